#include "qx/quarn_tools/RestClient.hh"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "RestClientInternal.hh"
#include "support/Certificates.hh"
#include "support/EmptyRepository.hh"
#include "support/ProtocolServers.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::test::FormPart;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::EmptyRepository;
using qx::test::CaBundleFor;
using qx::test::IsolatedHome;
using qx::test::JsonAnswer;
using qx::test::LogCapture;
using qx::test::Protocol;
using qx::test::ProtocolOf;
using qx::test::RawHttpServer;
using qx::test::RedirectAnswer;
using qx::test::ScopedEnv;
using qx::test::ScriptedServer;
using qx::test::TargetPath;
using qx::test::TempDir;

// Our repository server over an empty directory, straight over HTTP/1.1 or
// through nginx over HTTP/2 (the parameter, or its first part); each test
// scripts the answers it needs. Neither TLS variable leaks in from the
// environment.
template <typename Param>
class RestTestOn : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Started()) << server_.Failure(); }

  Protocol Over() const { return ProtocolOf(this->GetParam()); }

  RestResponse Get(const std::string &path, const std::vector<std::string> &query = {},
                   const std::vector<std::string> &headers = {}) {
    return rest_.Request(HttpMethod::GET, server_.Url(), "1.0", path, query, headers);
  }

  RequestRecord OnlyRequest() const {
    const auto requests = server_.Requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? RequestRecord() : requests.front();
  }

  IsolatedHome home_;
  ScopedEnv insecure_{"QX_QUARN_INSECURE", std::nullopt};
  ScopedEnv caBundle_{"QX_QUARN_CA_BUNDLE", CaBundleFor(Over())};
  ScriptedServer server_{Over()};
  Rest rest_;
};

using RestTest = RestTestOn<Protocol>;
QX_ON_BOTH_PROTOCOLS(RestTest);

TEST_P(RestTest, EmptyUrlSendsNothing) {
  LogCapture log;
  const RestResponse response = rest_.Request(HttpMethod::GET, "", "1.0", "models", {}, {});
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_TRUE(response.data.empty());
  EXPECT_TRUE(response.headers.empty());
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(server_.Requests().size(), 0u);
}

// ---- URL building ----------------------------------------------------------

struct UrlCase {
  const char *urlSuffix;  // appended to the server's URL
  const char *version;
  const char *path;
  const char *expectedPath;  // as the server receives it, still escaped
  // The route the server decodes (empty when the path does not start with
  // its API version "1.0"), which the answer is scripted on.
  const char *route;
};

class RestUrl : public RestTestOn<std::tuple<Protocol, UrlCase>> {};

TEST_P(RestUrl, JoinsAndEscapes) {
  const UrlCase &c = std::get<1>(GetParam());
  server_.Script({JsonAnswer(c.route, "{}")});
  const RestResponse response = rest_.Request(
      HttpMethod::GET, server_.Url() + c.urlSuffix, c.version, c.path, {}, {});
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(TargetPath(OnlyRequest()), c.expectedPath);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RestUrl,
    ::testing::Combine(
    ::testing::Values(Protocol::kHttp1, Protocol::kHttp2),
    ::testing::Values(UrlCase{"", "1.0", "models", "/1.0/models", "models"},
                      UrlCase{"/", "/1.0", "models", "/1.0/models", "models"},
                      UrlCase{"/", "1.0", "models", "/1.0/models", "models"},
                      UrlCase{"", "/1.0", "models", "/1.0/models", "models"},
                      UrlCase{"", "", "models", "/models", ""},
                      UrlCase{"", "1.0", "", "/1.0", ""},
                      UrlCase{"/api", "1.0", "models", "/api/1.0/models", ""},
                      UrlCase{"/api/", "2.0/", "models", "/api/2.0/models", ""},
                      // The route is one escaped piece.
                      UrlCase{"", "1.0", "alice/models/box", "/1.0/alice%2Fmodels%2Fbox",
                              "alice/models/box"},
                      UrlCase{"", "1.0", "/models", "/1.0/%2Fmodels", "/models"},
                      UrlCase{"", "1.0", "my box", "/1.0/my%20box", "my box"},
                      // Already escaped: not escaped twice.
                      UrlCase{"", "1.0", "my%20box", "/1.0/my%20box", "my box"},
                      UrlCase{"", "1.0", "a%2Fb", "/1.0/a%2Fb", "a/b"},
                      UrlCase{"", "1.0", "a+b", "/1.0/a%2Bb", "a+b"},
                      UrlCase{"", "1.0", "caf\xc3\xa9", "/1.0/caf%C3%A9", "caf\xc3\xa9"},
                      UrlCase{"", "1.0", "a-b.c_d~e", "/1.0/a-b.c_d~e", "a-b.c_d~e"},
                      UrlCase{"", "1.0", "o/m/1/files/a?b#c",
                              "/1.0/o%2Fm%2F1%2Ffiles%2Fa%3Fb%23c", "o/m/1/files/a?b#c"})));

struct QueryCase {
  std::vector<std::string> items;
  const char *expectedTarget;  // after the path
};

class RestQuery : public RestTestOn<std::tuple<Protocol, QueryCase>> {};

TEST_P(RestQuery, AppendsItemsVerbatim) {
  const QueryCase &c = std::get<1>(GetParam());
  server_.Script({JsonAnswer("models", "{}")});
  Get("models", c.items);
  EXPECT_EQ(OnlyRequest().target, std::string("/1.0/models") + c.expectedTarget);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RestQuery,
    ::testing::Combine(
        ::testing::Values(Protocol::kHttp1, Protocol::kHttp2),
        ::testing::Values(QueryCase{{}, ""}, QueryCase{{""}, ""},
                          QueryCase{{"page=2"}, "?page=2"},
                          QueryCase{{"a=1", "b=2", "c"}, "?a=1&b=2&c"},
                          QueryCase{{"", ""}, "?&"}, QueryCase{{"q=%41%2B"}, "?q=%41%2B"},
                          QueryCase{{"link=true", ""}, "?link=true&"})));

// ---- Request headers and methods ----------------------------------------------

TEST_P(RestTest, HeaderLinesAndUserAgentAreSent) {
  server_.Script({JsonAnswer("models", "{}"), JsonAnswer("", "{}")});
  rest_.SetUserAgent("QuarnTools/11.0");
  EXPECT_EQ(rest_.UserAgent(), "QuarnTools/11.0");
  Get("models", {}, {"Private-token: abc", "X-Custom: a, b"});
  Rest plain;
  plain.Request(HttpMethod::GET, server_.Url(), "", "x", {}, {});
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Private-token"), "abc");
  EXPECT_EQ(requests[0].Header("X-Custom"), "a, b");
  EXPECT_EQ(requests[0].Header("User-Agent"), "QuarnTools/11.0");
  // No header of the library's own, and none for an empty user agent.
  EXPECT_FALSE(requests[1].Header("User-Agent"));
  EXPECT_FALSE(requests[1].Header("Content-Type"));
  EXPECT_FALSE(requests[1].Header("Private-token"));
}

TEST_P(RestTest, CopiesKeepTheUserAgent) {
  rest_.SetUserAgent("agent");
  const Rest copy = rest_;
  Rest assigned;
  assigned = copy;
  EXPECT_EQ(copy.UserAgent(), "agent");
  EXPECT_EQ(assigned.UserAgent(), "agent");
}

TEST_P(RestTest, MethodsAndBodies) {
  server_.Script({JsonAnswer("p", "done"), JsonAnswer("d", "done"), JsonAnswer("g", "done")});
  const std::string body("a\0b=c", 5);
  EXPECT_EQ(rest_.Request(HttpMethod::POST, server_.Url(), "1.0", "p", {}, {}, body).statusCode,
            200);
  // The body is ignored by the other methods.
  EXPECT_EQ(rest_.Request(HttpMethod::DELETE, server_.Url(), "1.0", "d", {}, {}, "x").statusCode,
            200);
  EXPECT_EQ(rest_.Request(HttpMethod::GET, server_.Url(), "1.0", "g", {}, {}, "x").statusCode,
            200);
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, body);  // whole, zero byte included
  EXPECT_EQ(requests[1].method, "DELETE");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[2].body, "");
}

TEST_P(RestTest, UnsupportedMethodsSendNothing) {
  server_.Script({JsonAnswer("p", "done")});
  for (HttpMethod method : {HttpMethod::PUT, HttpMethod::PATCH, static_cast<HttpMethod>(42)}) {
    LogCapture log;
    const RestResponse response =
        rest_.Request(method, server_.Url(), "1.0", "p", {}, {}, "data", {{"a", "b"}});
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_TRUE(response.data.empty());
    EXPECT_EQ(log.Count("Unsupported method", LOG_ERROR), 1);
  }
  EXPECT_EQ(server_.Requests().size(), 0u);
}

// ---- Responses ---------------------------------------------------------------

TEST_P(RestTest, ErrorStatusIsPassedThroughWithoutLog) {
  server_.Script({JsonAnswer("missing", R"({"errcode": 404})", 404)});
  LogCapture log;
  const RestResponse response = Get("missing");
  EXPECT_EQ(response.statusCode, 404);
  EXPECT_EQ(response.data, R"({"errcode": 404})");
  EXPECT_EQ(response.headers.at("Content-Type"), "application/json\r\n");
  EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_P(RestTest, BinaryBodyArrivesWhole) {
  std::string archive("PK\x03\x04\0\0\xff", 7);
  archive += std::string(100000, '\0');
  ResponseScript reply = JsonAnswer("o/models/m/1/m.zip", archive);
  reply.contentType = "application/zip";
  server_.Script({reply});
  const RestResponse response = Get("o/models/m/1/m.zip");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, archive);
}

// Callers look headers up by their exact names. HTTP/1.1 keeps the names
// as the server wrote them; HTTP/2 carries them in lower case, and the
// transport writes them the way HTTP/1.1 servers do, so the same lookups
// find them on both protocols.
TEST_P(RestTest, HeadersAreFoundByTheirUsualNamesOnBothProtocols) {
  ResponseScript reply = JsonAnswer("h", "{}");
  reply.headers = {{"X-Qel-Resource-Version", "3"},
                   {"ETag", "\"v1\""},
                   {"Link", "<https://x/1.0/worlds?page=2>; rel=\"next\""},
                   {"Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT"},
                   {"Retry-After", "5"},
                   {"WWW-Authenticate", "Basic realm=\"quarn\""},
                   {"Content-MD5", "Q2hlY2sgSW50ZWdyaXR5IQ=="}};
  server_.Script({reply});
  const RestResponse response = Get("h");
  ASSERT_EQ(response.statusCode, 200);
  for (const auto &[name, value] : reply.headers) {
    ASSERT_EQ(response.headers.count(name), 1u) << name;
    EXPECT_EQ(response.headers.at(name), value + "\r\n") << name;
  }
  EXPECT_EQ(response.headers.at("Content-Type"), "application/json\r\n");
  for (const auto &entry : response.headers) {
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(entry.first[0]))) << entry.first;
  }
}

TEST(RestHeaders, ParsedAsTheServerWroteThem) {
  RawHttpServer server({
      "HTTP/1.1 200 OK: fine\r\n"
      "X-Plain: value\r\n"
      "X-NoSpace:value\r\n"
      "X-Twice: first\r\n"
      "X-Twice: second\r\n"
      "x-lower: kept\r\n"
      "X-Padded:   spaced  \r\n"
      "X-Empty:\r\n"
      "Content-Length: 2\r\n"
      "Connection: close\r\n"
      "\r\n"
      "ok"});
  const RestResponse response =
      Rest().Request(HttpMethod::GET, server.Url(), "1.0", "h", {}, {});
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "ok");
  const std::map<std::string, std::string> expected{
      {"X-Plain", "value\r\n"},
      {"X-NoSpace", "alue\r\n"},  // the character after the colon is skipped
      {"X-Twice", "first\r\n"},
      {"x-lower", "kept\r\n"},
      {"X-Padded", "  spaced  \r\n"},
      {"X-Empty", "\n"},
      {"Content-Length", "2\r\n"},
      {"Connection", "close\r\n"},
  };
  EXPECT_EQ(response.headers, expected);
}

TEST_P(RestTest, RedirectIsFollowedAndTheFinalHeadersWin) {
  ResponseScript moved = RedirectAnswer("old", server_.Url() + "/1.0/new");
  moved.headers.emplace_back("X-Qel-Resource-Version", "3");
  ResponseScript archive = JsonAnswer("new", "PK-archive");
  archive.contentType = "application/zip";
  server_.Script({moved, archive});
  const RestResponse response = Get("old");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "PK-archive");
  EXPECT_EQ(response.headers.at("Content-Type"), "application/zip\r\n");
  EXPECT_EQ(response.headers.at("Content-Length"), "10\r\n");
  // Carried only by the redirect: survives.
  EXPECT_EQ(response.headers.at("X-Qel-Resource-Version"), "3\r\n");
  EXPECT_EQ(response.headers.count("Location"), 1u);
  EXPECT_EQ(server_.Requests().size(), 2u);
}

TEST_P(RestTest, RedirectChainWithinTheLimitIsFollowed) {
  for (int hop = 0; hop < 3; ++hop) {
    server_.Script({RedirectAnswer(std::to_string(hop),
                                   server_.Url() + "/1.0/" + std::to_string(hop + 1), 301)});
  }
  server_.Script({JsonAnswer("3", "arrived")});
  const RestResponse response = Get("0");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "arrived");
  EXPECT_EQ(server_.Requests().size(), 4u);
}

TEST_P(RestTest, EndlessRedirectsFail) {
  server_.Script({RedirectAnswer("loop", server_.Url() + "/1.0/loop")});
  LogCapture log;
  testing::internal::CaptureStderr();
  const RestResponse response = Get("loop");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(server_.Requests().size(), 4u);  // the request and three redirects
  EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
  // libcurl\'s own message is part of the log entry, never written beside it.
  EXPECT_TRUE(log.Contains("Error in REST request\nlibcurl: (47) ", LOG_ERROR)) << log.Text();
  EXPECT_EQ(err, "");
}

TEST_P(RestTest, RedirectToAnotherSchemeIsRefused) {
  server_.Script({RedirectAnswer("sneaky", "file:///etc/passwd")});
  LogCapture log;
  testing::internal::CaptureStderr();
  const RestResponse response = Get("sneaky");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(response.data.find("root:"), std::string::npos);
  EXPECT_TRUE(log.Contains("Error in REST request", LOG_ERROR));

  LogCapture direct;
  testing::internal::CaptureStderr();
  const RestResponse file =
      rest_.Request(HttpMethod::GET, "file:///etc", "", "passwd", {}, {});
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(file.statusCode, 0);
  EXPECT_TRUE(file.data.empty());
}

// ---- Failures ----------------------------------------------------------------

TEST(RestFailures, UnreachableHost) {
  LogCapture log;
  const std::string url = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  testing::internal::CaptureStderr();
  const RestResponse response = Rest().Request(HttpMethod::GET, url, "1.0", "models", {}, {});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_TRUE(response.data.empty());
  EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
  EXPECT_TRUE(log.Contains("Error in REST request\nlibcurl: (7) ", LOG_ERROR)) << log.Text();
  EXPECT_EQ(err, "");
}

TEST_P(RestTest, TruncatedBodyIsNoSuccessButKeepsWhatArrived) {
  ResponseScript cut = JsonAnswer("o/models/m/tip/m.zip", std::string(1000, 'z'));
  cut.contentType = "application/zip";
  cut.headers.emplace_back("X-Qel-Resource-Version", "2");
  cut.truncateAfter = 100;
  server_.Script({cut});
  LogCapture log;
  testing::internal::CaptureStderr();
  const RestResponse response = Get("o/models/m/tip/m.zip");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(response.data, std::string(100, 'z'));
  EXPECT_EQ(response.headers.at("X-Qel-Resource-Version"), "2\r\n");
  EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
  // libcurl\'s own message is part of the log entry, never written beside it:
  // the body ended early (HTTP/1.1), or nginx reset the stream (HTTP/2).
  const std::string code = Over() == Protocol::kHttp2 ? "(92) " : "(18) ";
  EXPECT_TRUE(log.Contains("Error in REST request\nlibcurl: " + code, LOG_ERROR)) << log.Text();
  EXPECT_EQ(err, "");
}

TEST_P(RestTest, BodyCutByTheServerClosingIsNoSuccess) {
  // Content-Length 50, then the server hangs up after "only this".
  ResponseScript cut = JsonAnswer("m.zip", "only this" + std::string(41, '-'));
  cut.truncateAfter = 9;
  server_.Script({cut});
  LogCapture log;
  testing::internal::CaptureStderr();
  const RestResponse response =
      Rest().Request(HttpMethod::GET, server_.Url(), "1.0", "m.zip", {}, {});
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(response.data, "only this");
  EXPECT_EQ(response.headers.at("Content-Length"), "50\r\n");
}

TEST_P(RestTest, StalledServerIsAbandoned) {
  internal::TransferSettings shortened = internal::CurrentTransferSettings();
  shortened.options.stallTimeoutSeconds = 1;
  shortened.options.retries = 0;
  const internal::TransferSettings previous = internal::SetTransferSettings(shortened);
  // The answer waits far longer than the client does; the server's stop
  // cuts the wait short.
  ResponseScript stall = JsonAnswer("slow", "");
  stall.delay = std::chrono::hours(24);
  server_.Script({stall});
  LogCapture log;
  testing::internal::CaptureStderr();
  const RestResponse response = Get("slow");
  const std::string err = testing::internal::GetCapturedStderr();
  internal::SetTransferSettings(previous);
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
  // libcurl\'s own message is part of the log entry, never written beside it.
  EXPECT_TRUE(log.Contains("Error in REST request\nlibcurl: (28) ", LOG_ERROR)) << log.Text();
  EXPECT_EQ(err, "");
}

TEST(RestLimits, DefaultTimeOuts) {
  const internal::TransferSettings settings = internal::CurrentTransferSettings();
  EXPECT_EQ(settings.options.connectTimeoutSeconds, 30);
  EXPECT_EQ(settings.options.stallTimeoutSeconds, 60);
  EXPECT_EQ(settings.options.retries, 2);
}

TEST_P(RestTest, ManyThreadsShareOneRest) {
  constexpr int kThreads = 6;
  for (int i = 0; i < kThreads; ++i) {
    const std::string route = "t" + std::to_string(i);
    server_.Script({JsonAnswer(route, "/1.0/" + route)});
  }
  rest_.SetUserAgent("shared");
  std::vector<RestResponse> responses(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { responses[i] = Get("t" + std::to_string(i)); });
  }
  for (std::thread &thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(responses[i].statusCode, 200);
    EXPECT_EQ(responses[i].data, "/1.0/t" + std::to_string(i));
  }
}

// ---- Multipart forms -----------------------------------------------------------

class RestForm : public RestTest {
 protected:
  // Writes a file named `name` into the temporary directory; returns its path.
  std::string File(const std::string &name, const std::string &content = "content") {
    const std::string path = files_.Join(name);
    qx::test::WriteFile(path, content);
    return path;
  }

  FormPart Part(const std::string &name) const {
    const auto requests = server_.Requests();
    EXPECT_FALSE(requests.empty());
    if (requests.empty()) return FormPart();
    for (const FormPart &part : requests.back().form) {
      if (part.name == name) return part;
    }
    ADD_FAILURE() << "no form part " << name;
    return FormPart();
  }

  TempDir files_;
};

QX_ON_BOTH_PROTOCOLS(RestForm);

TEST_P(RestForm, ContentTypeTable) {
  const std::vector<std::pair<std::string, std::string>> table{
      {".config", "text/xml"},   {".bvh", "text/plain"},       {".dae", "text/xml"},
      {".erb", "text/plain"},    {".obj", "text/plain"},       {".gif", "image/gif"},
      {".glsl", "text/plain"},   {".htm", "text/html"},        {".html", "text/html"},
      {".jpg", "image/jpeg"},    {".jpeg", "image/jpeg"},      {".json", "text/json"},
      {".material", "text/plain"}, {".md", "text/plain"},      {".mtl", "text/plain"},
      {".pbtxt", "text/json"},   {".pdf", "application/pdf"},  {".png", "image/png"},
      {".sdf", "text/xml"},      {".stl", "text/plain"},       {".svg", "image/svg+xml"},
      {".tga", "image/tga"},     {".txt", "text/plain"},       {".urdf", "text/xml"},
      {".xml", "text/xml"},      {".SDF", "text/xml"},         {".Png", "image/png"},
  };
  std::multimap<std::string, std::string> form;
  for (std::size_t i = 0; i < table.size(); ++i) {
    form.emplace("file" + std::to_string(i), "@" + File("f" + std::to_string(i) + table[i].first));
  }
  server_.Script({JsonAnswer("models", "{}")});
  LogCapture log;
  const RestResponse response =
      rest_.Request(HttpMethod::POST_FORM, server_.Url(), "1.0", "models", {}, {}, "", form);
  EXPECT_EQ(response.statusCode, 200);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const FormPart part = Part("file" + std::to_string(i));
    EXPECT_EQ(part.contentType, table[i].second) << table[i].first;
    EXPECT_EQ(part.filename, "f" + std::to_string(i) + table[i].first);
    EXPECT_EQ(part.content, "content");
  }
  EXPECT_EQ(OnlyRequest().method, "POST");
  EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_P(RestForm, FieldsFilesAndFileNames) {
  const std::string sdf = File("model.sdf", "<sdf/>");
  const std::string readme = File("README", "read me");
  const std::string mesh = File("mesh.xyz", std::string("\0mesh", 5));
  const std::multimap<std::string, std::string> form{
      {"name", "My Model"},
      {"description", ""},
      {"tags", "a;b"},
      {"email", "x@y"},
      {"file", "@" + sdf + ";uploaded/model.txt"},
      {"readme", "@" + readme},
      {"mesh", "@" + mesh},
  };
  server_.Script({JsonAnswer("models", "{}")});
  LogCapture log;
  EXPECT_EQ(rest_.Request(HttpMethod::POST_FORM, server_.Url(), "1.0", "models", {}, {}, "", form)
                .statusCode,
            200);
  EXPECT_EQ(Part("name").content, "My Model");
  EXPECT_EQ(Part("name").filename, "");
  EXPECT_EQ(Part("description").content, "");
  EXPECT_EQ(Part("tags").content, "a;b");
  EXPECT_EQ(Part("email").content, "x@y");
  // After a semicolon: the announced file name; the type follows the path.
  EXPECT_EQ(Part("file").filename, "uploaded/model.txt");
  EXPECT_EQ(Part("file").contentType, "text/xml");
  EXPECT_EQ(Part("file").content, "<sdf/>");
  // No dot: the default type, silently.
  EXPECT_EQ(Part("readme").filename, "README");
  EXPECT_EQ(Part("readme").contentType, "application/octet-stream");
  // Unknown extension: the default type, with a warning.
  EXPECT_EQ(Part("mesh").contentType, "application/octet-stream");
  EXPECT_EQ(Part("mesh").content, std::string("\0mesh", 5));
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u) << log.Text();
  EXPECT_EQ(lines[0].first, LOG_WARNING);
  EXPECT_NE(lines[0].second.find("Unknown mime type for file[" + mesh +
                                 "]. The mime type 'application/octet-stream' will be used.\n"),
            std::string::npos)
      << lines[0].second;
}

TEST_P(RestForm, PatchFormUsesThePatchMethod) {
  const std::string config = File("model.config", "<model/>");
  server_.Script({JsonAnswer("o/models/m", "{}")});
  EXPECT_EQ(rest_.Request(HttpMethod::PATCH_FORM, server_.Url(), "1.0", "o/models/m", {}, {}, "",
                          {{"description", "new"}, {"file", "@" + config}})
                .statusCode,
            200);
  EXPECT_EQ(OnlyRequest().method, "PATCH");
  EXPECT_EQ(Part("description").content, "new");
  EXPECT_EQ(Part("file").contentType, "text/xml");
  EXPECT_EQ(Part("file").filename, "model.config");
}

TEST_P(RestForm, FormIsIgnoredByOtherMethods) {
  server_.Script({JsonAnswer("m", "{}")});
  rest_.Request(HttpMethod::GET, server_.Url(), "1.0", "m", {}, {}, "", {{"a", "b"}});
  EXPECT_TRUE(OnlyRequest().form.empty());
  EXPECT_TRUE(OnlyRequest().body.empty());
}

TEST_P(RestForm, UnreadableFileStopsTheRequestBeforeSending) {
  server_.Script({JsonAnswer("models", "{}")});
  LogCapture log;
  const std::string missing = files_.Join("missing.sdf");
  const RestResponse response =
      rest_.Request(HttpMethod::POST_FORM, server_.Url(), "1.0", "models", {}, {}, "",
                    {{"name", "m"}, {"file", "@" + missing}});
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(server_.Requests().size(), 0u);
  EXPECT_EQ(log.Count("[Rest::Request()]: Unable to read the file [" + missing +
                          "] of form field [file]",
                      LOG_ERROR),
            1)
      << log.Text();
}

// ---- TLS ---------------------------------------------------------------------

// An HTTPS server whose certificate a throw-away CA signed: our server
// itself (HTTP/1.1), or nginx in front of it (HTTP/2).
class RestTls : public ::testing::TestWithParam<Protocol> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    certificates_ = qx::test::MakeTestCertificates(dir_->Path());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(certificates_.ok) << "openssl could not make the test certificates";
    qx::quarn_server::RepositoryServer::Options options;
    if (GetParam() == Protocol::kHttp1) {
      options.certFile = certificates_.serverCert;
      options.keyFile = certificates_.serverKey;
    }
    server_ = std::make_unique<ScriptedServer>(GetParam(), options);
    ASSERT_TRUE(server_->Started()) << server_->Failure();
    server_->Script({JsonAnswer("models", "secret model")});
  }

  // The CA that signed the server's certificate.
  std::string CaCert() const {
    return GetParam() == Protocol::kHttp2 ? qx::test::Http2Front::CaBundle()
                                          : certificates_.caCert;
  }

  RestResponse Get() const {
    return Rest().Request(HttpMethod::GET, server_->Url(), "1.0", "models", {}, {});
  }

  static TempDir *dir_;
  static qx::test::TestCertificates certificates_;
  IsolatedHome home_;
  std::unique_ptr<ScriptedServer> server_;
};

TempDir *RestTls::dir_ = nullptr;
qx::test::TestCertificates RestTls::certificates_;

QX_ON_BOTH_PROTOCOLS(RestTls);

TEST_P(RestTls, VerificationIsOnByDefault) {
  for (const std::optional<std::string> &insecure :
       {std::optional<std::string>(), std::optional<std::string>("0"),
        std::optional<std::string>("yes")}) {
    ScopedEnv insecureEnv("QX_QUARN_INSECURE", insecure);
    ScopedEnv caEnv("QX_QUARN_CA_BUNDLE", std::nullopt);
    LogCapture log;
    testing::internal::CaptureStderr();
    const RestResponse response = Get();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_TRUE(response.data.empty());
    EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
    // libcurl\'s own message is part of the log entry, never written beside it.
    EXPECT_TRUE(log.Contains("Error in REST request\nlibcurl: (60) ", LOG_ERROR)) << log.Text();
    EXPECT_EQ(err, "");
    EXPECT_FALSE(log.Contains("certificate verification is off"));
  }
  EXPECT_EQ(server_->Requests().size(), 0u);
}

TEST_P(RestTls, CaBundleVerifiesTheServer) {
  ScopedEnv insecureEnv("QX_QUARN_INSECURE", std::nullopt);
  ScopedEnv caEnv("QX_QUARN_CA_BUNDLE", CaCert());
  LogCapture log;
  const RestResponse response = Get();
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "secret model");
  EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST_P(RestTls, CaBundleOfAnotherAuthorityIsRefused) {
  TempDir other;
  const qx::test::TestCertificates stranger = qx::test::MakeTestCertificates(other.Path());
  ASSERT_TRUE(stranger.ok);
  ScopedEnv insecureEnv("QX_QUARN_INSECURE", std::nullopt);
  ScopedEnv caEnv("QX_QUARN_CA_BUNDLE", stranger.caCert);
  LogCapture log;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Get().statusCode, 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(server_->Requests().size(), 0u);
}

TEST_P(RestTls, MissingCaBundleFileFails) {
  ScopedEnv insecureEnv("QX_QUARN_INSECURE", std::nullopt);
  ScopedEnv caEnv("QX_QUARN_CA_BUNDLE", dir_->Join("nowhere.pem"));
  LogCapture log;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Get().statusCode, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.Count("Error in REST request", LOG_ERROR), 1);
  EXPECT_EQ(server_->Requests().size(), 0u);
}

// Two requests with verification off: both succeed and exactly one warning
// line is written. Exits 0 when so, else 1 with the reason on stderr.
void InsecureTwiceThenExit(const std::string &url) {
  LogCapture log;
  const auto get = [&url] { return Rest().Request(HttpMethod::GET, url, "1.0", "models", {}, {}); };
  const RestResponse first = get();
  const RestResponse second = get();
  const auto lines = log.Lines();
  const std::string warning =
      "QX_QUARN_INSECURE=1: certificate verification is off; downloads are not "
      "protected against tampering.\n";
  const bool ok = first.statusCode == 200 && first.data == "secret model" &&
                  second.statusCode == 200 && lines.size() == 1 &&
                  lines[0].first == LOG_WARNING &&
                  lines[0].second.find(warning) != std::string::npos;
  if (!ok) {
    std::fprintf(stderr, "statuses %d %d, log:\n%s", first.statusCode, second.statusCode,
                 log.Text().c_str());
  }
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

// The warning is once per process, so the check runs in a fresh process of
// its own (whatever other tests of this program did before).
TEST_P(RestTls, InsecureTurnsVerificationOffWithOneWarning) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScopedEnv insecureEnv("QX_QUARN_INSECURE", std::string("1"));
  ScopedEnv caEnv("QX_QUARN_CA_BUNDLE", std::nullopt);
  EXPECT_EXIT(InsecureTwiceThenExit(server_->Url()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qx::quarn_tools
