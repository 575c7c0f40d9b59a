// Archives and single files sent from files: ranges, conditional requests
// and HEAD, judged by the repository server over HTTP.
#include "FileDelivery.hh"

#include <httplib.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

using qx::test::ResponseScript;
using qx::test::WriteFile;

TEST(AnswerRange, Table) {
  struct Case {
    const char *header;
    RangeAnswer::Kind kind;
    std::uint64_t first;
    std::uint64_t length;
  };
  const std::uint64_t size = 100;
  const Case cases[] = {
      {"bytes=0-9", RangeAnswer::kPart, 0, 10},          // first bytes
      {"bytes=40-59", RangeAnswer::kPart, 40, 20},       // middle
      {"bytes=-10", RangeAnswer::kPart, 90, 10},         // last bytes
      {"bytes=99-", RangeAnswer::kPart, 99, 1},          // open to the end
      {"bytes=90-1000", RangeAnswer::kPart, 90, 10},     // past the end: cut
      {"bytes=-1000", RangeAnswer::kPart, 0, 100},       // a suffix longer than the body
      {" Bytes = 5 - 6 ", RangeAnswer::kPart, 5, 2},     // spaces and case
      {"bytes=0-99999999999999999999999", RangeAnswer::kPart, 0, 100},
      {"bytes=100-", RangeAnswer::kUnsatisfiable, 0, 0},  // starts past the end
      {"bytes=99999999999999999999999-", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=5-3", RangeAnswer::kUnsatisfiable, 0, 0},   // reversed
      {"bytes=-0", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=abc", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=a-b", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=", RangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=-", RangeAnswer::kUnsatisfiable, 0, 0},
      {"items=0-5", RangeAnswer::kWhole, 0, 0},   // another unit: ignored
      {"bytes=0-1,5-6", RangeAnswer::kWhole, 0, 0},  // several ranges: the whole body
      {"bytes=0-1,,5-6", RangeAnswer::kWhole, 0, 0},
      {"bytes=0-5,", RangeAnswer::kPart, 0, 6},       // empty list elements do not count
      {"bytes= , 0-5 , ", RangeAnswer::kPart, 0, 6},
      {"bytes=,", RangeAnswer::kUnsatisfiable, 0, 0},
      {"nonsense", RangeAnswer::kWhole, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    const RangeAnswer answer = answerRange(c.header, size);
    EXPECT_EQ(c.kind, answer.kind);
    if (c.kind == RangeAnswer::kPart) {
      EXPECT_EQ(c.first, answer.first);
      EXPECT_EQ(c.length, answer.length);
    }
  }
  EXPECT_EQ(RangeAnswer::kUnsatisfiable, answerRange("bytes=0-", 0).kind);
  EXPECT_EQ(RangeAnswer::kUnsatisfiable, answerRange("bytes=-5", 0).kind);
}

TEST(ParseHttpDate, TheThreeFormsOfHttpDates) {
  const std::optional<std::time_t> expected(784111777);
  for (const char *text : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994", " Sun, 06 Nov 1994 08:49:37 GMT "}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(expected, parseHttpDate(text));
  }
  EXPECT_EQ(std::optional<std::time_t>(1262304000), parseHttpDate("Friday, 01-Jan-10 00:00:00 GMT"));
  EXPECT_EQ(httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  for (const char *text : {"yesterday", "Sun, 06 Nov 1994 08:49:37 GMT trailing",
                           "Sunday, 06-Nov-94 08:49:37", "Sun Nov  6 08:49:37", ""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseHttpDate(text));
  }
}

// The HTTP date `imf` (IMF-fixdate) written in `format`.
std::string DateIn(const char *format, const std::string &imf) {
  const std::optional<std::time_t> time = parseHttpDate(imf);
  std::tm parts{};
  if (!time || ::gmtime_r(&*time, &parts) == nullptr) return "";
  char text[64];
  return std::string(text, std::strftime(text, sizeof(text), format, &parts));
}

class FileDeliveryTest : public qx::test::RepositoryFixture {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    client_ = std::make_unique<httplib::Client>(Url());
    client_->set_read_timeout(30);
    full_ = Get(kArchive)->body;
    ASSERT_GT(full_.size(), 100u);
  }

  httplib::Result Get(const std::string &route, const httplib::Headers &headers = {}) {
    return client_->Get(("/1.0/" + route).c_str(), headers);
  }
  httplib::Result Head(const std::string &route, const httplib::Headers &headers = {}) {
    return client_->Head(("/1.0/" + route).c_str(), headers);
  }

  const std::string kArchive = "alice/models/box/1/box.zip";
  std::unique_ptr<httplib::Client> client_;
  std::string full_;
};

TEST_F(FileDeliveryTest, WholeArchiveCarriesValidators) {
  auto result = Get(kArchive);
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("bytes", result->get_header_value("Accept-Ranges"));
  EXPECT_EQ(std::to_string(full_.size()), result->get_header_value("Content-Length"));
  EXPECT_EQ(34u, result->get_header_value("ETag").size());  // 32 digits in quotes
  EXPECT_TRUE(parseHttpDate(result->get_header_value("Last-Modified")));
  // Listings are not sent from files and take no ranges.
  auto listing = Get("models", {{"Range", "bytes=0-1"}});
  ASSERT_TRUE(listing);
  EXPECT_EQ(200, listing->status);
  EXPECT_FALSE(listing->has_header("Accept-Ranges"));
  EXPECT_FALSE(listing->has_header("ETag"));
  EXPECT_FALSE(Head("models")->has_header("Accept-Ranges"));
}

TEST_F(FileDeliveryTest, RangesOfAnArchive) {
  const std::string size = std::to_string(full_.size());
  const std::size_t n = full_.size();
  struct Case {
    std::string range;
    int status;
    std::string body;
    std::string contentRange;
  };
  const std::vector<Case> cases = {
      {"bytes=0-9", 206, full_.substr(0, 10), "bytes 0-9/" + size},
      {"bytes=10-19", 206, full_.substr(10, 10), "bytes 10-19/" + size},
      {"bytes=-10", 206, full_.substr(n - 10),
       "bytes " + std::to_string(n - 10) + "-" + std::to_string(n - 1) + "/" + size},
      {"bytes=" + std::to_string(n - 1) + "-", 206, full_.substr(n - 1),
       "bytes " + std::to_string(n - 1) + "-" + std::to_string(n - 1) + "/" + size},
      {"bytes=5-3", 416, "Range not satisfiable\n", "bytes */" + size},
      {"bytes=abc", 416, "Range not satisfiable\n", "bytes */" + size},
      {"bytes=" + size + "-", 416, "Range not satisfiable\n", "bytes */" + size},
      {"items=0-3", 200, full_, ""},
      {"bytes=0-1,4-5", 200, full_, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.range);
    auto result = Get(kArchive, {{"Range", c.range}});
    ASSERT_TRUE(result);
    EXPECT_EQ(c.status, result->status);
    EXPECT_EQ(c.body, result->body);
    EXPECT_EQ(c.contentRange, result->get_header_value("Content-Range"));
    EXPECT_EQ(std::to_string(c.body.size()), result->get_header_value("Content-Length"));
    if (c.status != 416) {
      EXPECT_EQ("1", result->get_header_value("X-Qel-Resource-Version"));
    }
    // Every range request is recorded with the status it got.
    EXPECT_EQ(c.status, Server().Requests().back().status);
  }
}

TEST_F(FileDeliveryTest, RangesOfASingleFile) {
  const std::string route = "alice/models/box/2/files/meshes/box.obj";
  const std::string whole = Get(route)->body;
  auto result = Get(route, {{"Range", "bytes=2-4"}});
  ASSERT_TRUE(result);
  EXPECT_EQ(206, result->status);
  EXPECT_EQ(whole.substr(2, 3), result->body);
  EXPECT_EQ("text/plain", result->get_header_value("Content-Type"));
  EXPECT_EQ("2", result->get_header_value("X-Qel-Resource-Version"));
  // An empty file has no bytes to give.
  WriteFile(Root() + "/alice/models/box/2/empty.txt", "");
  auto empty = Get("alice/models/box/2/files/empty.txt");
  ASSERT_TRUE(empty);
  EXPECT_EQ(200, empty->status);
  EXPECT_EQ("0", empty->get_header_value("Content-Length"));
  EXPECT_EQ(416, Get("alice/models/box/2/files/empty.txt", {{"Range", "bytes=0-"}})->status);
}

TEST_F(FileDeliveryTest, ConditionalRequests) {
  auto first = Get(kArchive);
  ASSERT_TRUE(first);
  const std::string tag = first->get_header_value("ETag");
  const std::string modified = first->get_header_value("Last-Modified");
  const std::string before = "Sat, 01 Jan 2000 00:00:00 GMT";
  struct Case {
    const char *what;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"same tag", {{"If-None-Match", tag}}, 304},
      {"weak form of the tag", {{"If-None-Match", "W/" + tag}}, 304},
      {"tag in a list", {{"If-None-Match", "\"other\", " + tag}}, 304},
      {"any", {{"If-None-Match", "*"}}, 304},
      {"other tag", {{"If-None-Match", "\"other\""}}, 200},
      {"other tag wins over the date", {{"If-None-Match", "\"other\""}, {"If-Modified-Since", modified}}, 200},
      {"not modified since", {{"If-Modified-Since", modified}}, 304},
      {"not modified since, RFC 850 date",
       {{"If-Modified-Since", DateIn("%A, %d-%b-%y %H:%M:%S GMT", modified)}}, 304},
      {"not modified since, asctime date",
       {{"If-Modified-Since", DateIn("%a %b %e %H:%M:%S %Y", modified)}}, 304},
      {"modified since, RFC 850 date",
       {{"If-Modified-Since", DateIn("%A, %d-%b-%y %H:%M:%S GMT", before)}}, 200},
      {"range with an empty list element", {{"Range", "bytes=0-3,"}}, 206},
      {"modified since", {{"If-Modified-Since", before}}, 200},
      {"unreadable date", {{"If-Modified-Since", "yesterday"}}, 200},
      {"range with a current If-Range", {{"Range", "bytes=0-3"}, {"If-Range", tag}}, 206},
      {"range with the date as If-Range", {{"Range", "bytes=0-3"}, {"If-Range", modified}}, 206},
      {"range with a stale If-Range", {{"Range", "bytes=0-3"}, {"If-Range", "\"other\""}}, 200},
      {"range with a weak If-Range", {{"Range", "bytes=0-3"}, {"If-Range", "W/" + tag}}, 200},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto result = Get(kArchive, c.headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(c.status, result->status);
    EXPECT_EQ(tag, result->get_header_value("ETag"));
    EXPECT_EQ("1", result->get_header_value("X-Qel-Resource-Version"));
    if (c.status == 304) {
      EXPECT_EQ("", result->body);
      // libmicrohttpd (0.9.75) announces an empty body on every 304, which
      // caches do not take over into what they stored (RFC 9111, 3.2).
      EXPECT_EQ("0", result->get_header_value("Content-Length"));
    } else if (c.status == 200) {
      EXPECT_EQ(full_, result->body);
    }
  }
}

TEST_F(FileDeliveryTest, HeadAnswersAsGetWithoutTheBody) {
  for (const httplib::Headers &headers : {httplib::Headers{}, httplib::Headers{{"Range", "bytes=0-9"}}}) {
    auto get = Get(kArchive, headers);
    auto head = Head(kArchive, headers);
    ASSERT_TRUE(get && head);
    EXPECT_EQ(get->status, head->status);
    EXPECT_EQ("", head->body);
    for (const char *name : {"Content-Length", "Content-Type", "ETag", "Last-Modified",
                             "Accept-Ranges", "Content-Range", "X-Qel-Resource-Version"}) {
      EXPECT_EQ(get->get_header_value(name), head->get_header_value(name)) << name;
    }
  }
  EXPECT_EQ("HEAD", Server().Requests().back().method);
}

TEST_F(FileDeliveryTest, ChangedVersionIsRebuiltWithANewTag) {
  const std::string tag = Get(kArchive)->get_header_value("ETag");
  WriteFile(Root() + "/alice/models/box/1/meshes/box.obj", "v 9 9 9\n");
  auto changed = Get(kArchive, {{"If-None-Match", tag}});
  ASSERT_TRUE(changed);
  EXPECT_EQ(200, changed->status);
  EXPECT_NE(tag, changed->get_header_value("ETag"));
  EXPECT_NE(full_, changed->body);
}

TEST_F(FileDeliveryTest, ScriptedAnswersStillApplyToFiles) {
  ResponseScript script;
  script.route = kArchive;
  script.body = "replaced";
  script.times = 1;
  Server().AddScript(script);
  auto replaced = Get(kArchive, {{"Range", "bytes=0-1"}});
  ASSERT_TRUE(replaced);
  // A body in memory takes no ranges and has no file validators.
  EXPECT_EQ(200, replaced->status);
  EXPECT_EQ("replaced", replaced->body);
  EXPECT_FALSE(replaced->has_header("ETag"));

  ResponseScript cut;
  cut.route = kArchive;
  cut.truncateAfter = 3;
  cut.times = 1;
  Server().AddScript(cut);
  auto truncated = Get(kArchive, {{"Range", "bytes=10-29"}});
  EXPECT_FALSE(truncated);  // 3 of the 20 bytes, then the connection closes
}

}  // namespace
}  // namespace qx::quarn_server
