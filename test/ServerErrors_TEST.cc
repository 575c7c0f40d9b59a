// What a server's refusal says in words, the one way every caller shows
// it: the category, the parts and the one-line reason of each kind of
// answer, and the server's own short text made safe.
#include "ServerErrors.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qx/quarn_tools/DownloadOutcome.hh"

namespace qx::quarn_tools {
namespace {

constexpr const char *kServer = "http://127.0.0.1:8085";

TEST(ServerErrors, EachAnswerHasItsCategoryAndWords) {
  struct Case {
    int status;
    std::string resource;
    std::string body;
    std::string transport;
    FailureReason reason;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, "alice/models/box", "", "Couldn't connect to server", FailureReason::kNetwork,
       "no answer from http://127.0.0.1:8085 (Couldn't connect to server)"},
      {0, "alice/models/box", "", "", FailureReason::kNetwork,
       "no answer from http://127.0.0.1:8085"},
      {404, "alice/models/ghost", "", "", FailureReason::kNotFound,
       "model alice/ghost was not found on http://127.0.0.1:8085 (404)"},
      {401, "alice/worlds/town", "{\"error\": \"token\"}", "", FailureReason::kUnauthorized,
       "http://127.0.0.1:8085 refused access to world alice/town (401): token"},
      {403, "alice/models/box", "", "", FailureReason::kUnauthorized,
       "http://127.0.0.1:8085 refused access to model alice/box (403)"},
      {503, "alice/models/box", "{\"message\": \"maintenance\\u001b[31m until noon\"}", "",
       FailureReason::kServer,
       "http://127.0.0.1:8085 answered 503 for model alice/box: maintenance%1B[31m until noon"},
      {500, "alice/collections/c/models", "<html>oops</html>", "", FailureReason::kServer,
       "http://127.0.0.1:8085 answered 500 for alice/collections/c/models"},
      {200, "models", "", "", FailureReason::kServer,
       "http://127.0.0.1:8085 answered models with something that is not a listing"},
  };
  for (const Case &c : cases) {
    ServerReply reply;
    reply.server = kServer;
    reply.resource = c.resource;
    reply.status = c.status;
    reply.text = c.body;
    const DownloadFailure failure = internal::ReplyFailure(reply, c.transport);
    EXPECT_EQ(failure.reason, c.reason) << c.status;
    EXPECT_EQ(failure.text, c.text) << c.status;
    EXPECT_EQ(failure.status, c.status);
    EXPECT_EQ(failure.server, kServer);
    EXPECT_EQ(failure.detail, c.transport);
    // A result carrying the answer says the same (without the transport's words).
    if (c.transport.empty()) {
      EXPECT_EQ(failureOf(Result(FETCH_FAILED, reply)).text, c.text);
    }
  }
}

TEST(ServerErrors, ServerTextIsOneShortPrintableLine) {
  struct Case {
    std::string body;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"{\"message\": \"gone\"}", "gone"},
      {"{\"errmsg\": \"first\\nsecond\"}", "first"},
      {"  plain words\r\nmore", "plain words"},
      {"<html><body>no</body></html>", ""},
      {"[1, 2]", ""},
      {std::string(300, 'x'), std::string(200, 'x') + "..."},
      {"bell\a", "bell%07"},
  };
  for (const Case &c : cases) EXPECT_EQ(internal::ServerErrorText(c.body), c.text) << c.body;
}

TEST(ServerErrors, AResultWithoutAnAnswerGivesItsReadableText) {
  EXPECT_EQ(failureOf(Result(FETCH_DONE)).reason, FailureReason::kNone);
  const DownloadFailure failure = failureOf(Result(FETCH_FAILED));
  EXPECT_EQ(failure.reason, FailureReason::kOther);
  EXPECT_EQ(failure.text, "Fetch failed. Other errors");
}

TEST(ServerErrors, EveryReasonHasAName) {
  const std::vector<std::pair<FailureReason, std::string>> names = {
      {FailureReason::kNone, "none"},          {FailureReason::kInvalidUrl, "invalid-url"},
      {FailureReason::kNotFound, "not-found"}, {FailureReason::kUnauthorized, "unauthorized"},
      {FailureReason::kOffline, "offline"},    {FailureReason::kNetwork, "network"},
      {FailureReason::kServer, "server"},      {FailureReason::kCache, "cache"},
      {FailureReason::kArchive, "archive"},    {FailureReason::kInterrupted, "interrupted"},
      {FailureReason::kOther, "other"}};
  for (const auto &[reason, name] : names) EXPECT_EQ(failureReasonName(reason), name);
}

}  // namespace
}  // namespace qx::quarn_tools
