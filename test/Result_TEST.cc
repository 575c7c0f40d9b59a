#include "qx/quarn_tools/Result.hh"

#include <gtest/gtest.h>

#include <utility>

namespace qx::quarn_tools {
namespace {

struct ResultCase {
  int code;
  bool success;
  const char *text;
};

TEST(Result, CodesTheirSuccessAndText) {
  const ResultCase cases[] = {
      {0, false, "Unknown result"},
      {1, true, "Successfully deleted"},
      {2, false, "Could not delete, model not found"},
      {3, false, "Delete failed. Other errors"},
      {4, true, "Successfully fetched from server"},
      {5, true, "Already in cache, did not fetch from server"},
      {6, false, "Model not found"},
      {7, false, "Fetch failed. Other errors"},
      {8, true, "Successfully uploaded to server"},
      {9, false, "Model already exists"},
      {10, false, "Upload failed. Other errors"},
      {11, false, "Patch failed."},
      {12, true, "Successfully sent patch request to the server"},
      {13, false, "Unknown result"},
      {-1, false, "Unknown result"},
      {1000, false, "Unknown result"},
  };
  for (const auto &c : cases) {
    const Result result(static_cast<ResultType>(c.code));
    EXPECT_EQ(static_cast<bool>(result), c.success) << c.code;
    EXPECT_EQ(result.ReadableResult(), c.text) << c.code;
    EXPECT_EQ(static_cast<int>(result.Type()), c.code);
  }
}

TEST(Result, DefaultIsUnknown) {
  const Result result;
  EXPECT_EQ(result.Type(), RESULT_UNKNOWN);
  EXPECT_FALSE(result);
}

TEST(Result, ServerReplyTravelsWithCopiesAndIsCut) {
  EXPECT_EQ(Result(FETCH_FAILED).Reply(), nullptr);
  ServerReply reply;
  reply.server = "http://h";
  reply.resource = "o/models/n";
  reply.status = 404;
  reply.text = std::string(ServerReply::kTextLimit + 10, 'x');
  Result copy;
  {
    const Result original(FETCH_FAILED, reply);
    copy = original;
  }
  ASSERT_NE(copy.Reply(), nullptr);
  EXPECT_EQ(copy.Reply()->status, 404);
  EXPECT_EQ(copy.Reply()->resource, "o/models/n");
  EXPECT_EQ(copy.Reply()->text.size(), ServerReply::kTextLimit);
  const Result moved(std::move(copy));
  EXPECT_EQ(moved.Reply()->server, "http://h");
}

TEST(Result, CopyOutlivesTheOriginal) {
  Result *original = new Result(FETCH_CACHED);
  const Result copy(*original);
  Result assigned;
  assigned = *original;
  delete original;
  EXPECT_EQ(copy.Type(), FETCH_CACHED);
  EXPECT_EQ(assigned.Type(), FETCH_CACHED);
  EXPECT_TRUE(copy);
}

TEST(Result, MovesTransferTheCode) {
  Result source(UPLOAD_DONE);
  Result moved(std::move(source));
  EXPECT_EQ(moved.Type(), UPLOAD_DONE);
  Result target(FETCH_FAILED);
  target = std::move(moved);
  EXPECT_EQ(target.Type(), UPLOAD_DONE);
  // A moved-from result can take a new value, by move or by copy.
  moved = Result(PATCH_DONE);
  EXPECT_EQ(moved.Type(), PATCH_DONE);
  Result emptied(std::move(target));
  const Result copied(DELETE_DONE);
  target = copied;
  EXPECT_EQ(target.Type(), DELETE_DONE);
}

}  // namespace
}  // namespace qx::quarn_tools
