// The transport on a real network's terms: connections kept and reused,
// credentials that stay with their origin across redirects, retries with
// back-off (and only of what may be retried), and answers of bounded size.
// Our repository server is the peer; its request log is the witness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qx/common/Console.hh>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "RestClientInternal.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "support/Certificates.hh"
#include "support/EmptyRepository.hh"
#include "support/Matchers.hh"
#include "support/ProtocolServers.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::quarn_server::RepositoryServer;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::EmptyRepository;
using qx::test::HasLogLine;
using qx::test::JsonAnswer;
using qx::test::LogCapture;
using qx::test::Protocol;
using qx::test::ProtocolOf;
using qx::test::RawConnection;
using qx::test::RawHttpServer;
using qx::test::RawReply;
using qx::test::RedirectAnswer;
using qx::test::ScopedEnv;
using qx::test::ScriptedServer;

constexpr const char *kToken = "Private-token: sekret";

bool CarriesToken(const RequestRecord &record) {
  return record.Header("Private-token").has_value();
}

// Transfer settings for one test, restored afterwards.
class ScopedSettings {
 public:
  explicit ScopedSettings(const internal::TransferSettings &settings)
      : previous_(internal::SetTransferSettings(settings)) {}
  ~ScopedSettings() { internal::SetTransferSettings(previous_); }

 private:
  internal::TransferSettings previous_;
};

// The current settings with quick retries, for one test.
internal::TransferSettings QuickRetries(int retries = 2) {
  internal::TransferSettings settings = internal::CurrentTransferSettings();
  settings.options.retries = retries;
  settings.firstBackoffSeconds = 0.001;
  return settings;
}

// The request heads that began with `method`.
std::size_t CountOf(const std::vector<std::string> &heads, const std::string &method) {
  std::size_t count = 0;
  for (const std::string &head : heads) count += head.rfind(method + " ", 0) == 0 ? 1 : 0;
  return count;
}

bool AsksForARange(const std::string &head) {
  return head.find("\r\nRange: bytes=") != std::string::npos;
}

// Two of our servers, home and away, over the protocol of the parameter (or
// of its first part).
template <typename Param>
class ExchangeOn : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.Started()) << home_.Failure();
    ASSERT_TRUE(away_.Started()) << away_.Failure();
  }
  Protocol Over() const { return ProtocolOf(this->GetParam()); }
  RestResponse Send(HttpMethod method, const std::string &route,
                    const std::vector<std::string> &headers = {kToken},
                    const std::multimap<std::string, std::string> &form = {}) {
    return Rest().Request(method, home_.Url(), "1.0", route, {}, headers, "", form);
  }

  LogCapture log_;
  ScopedEnv insecure_{"QX_QUARN_INSECURE", std::nullopt};
  ScriptedServer home_{Over()};
  ScriptedServer away_{Over()};
  ScopedEnv caBundle_{"QX_QUARN_CA_BUNDLE", qx::test::CaBundleFor(Over())};
};

using Exchange = ExchangeOn<Protocol>;
QX_ON_BOTH_PROTOCOLS(Exchange);

// -------------------------------------------------------------------------
// Connections

TEST_P(Exchange, SequentialRequestsShareOneConnection) {
  home_.Script({JsonAnswer("page", "[]")});
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Send(HttpMethod::GET, "page").statusCode, 200);
  EXPECT_EQ(home_.Requests().size(), 10u);
  EXPECT_EQ(home_.ClientConnections(), 1u);
}

// Over HTTP/1.1 a connection carries one request at a time, so threads at
// once open one each; over HTTP/2 they all share one.
TEST_P(Exchange, ThreadsAtOnceOpenNoMoreConnectionsThanTheProtocolNeeds) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  home_.Script({JsonAnswer("page", "[]")});
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kEach; ++i) Send(HttpMethod::GET, "page");
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(home_.Requests().size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_LE(home_.ClientConnections(),
            Over() == Protocol::kHttp2 ? 1u : static_cast<std::size_t>(kThreads));
}

// -------------------------------------------------------------------------
// Credentials and redirects

struct RedirectCase {
  const char *label;
  HttpMethod method;
  int status;
  bool sameOrigin;
  const char *methodAfter;  // what the redirect target receives
};

class Redirect : public ExchangeOn<std::tuple<Protocol, RedirectCase>> {};

TEST_P(Redirect, KeepsCredentialsOnlyAtTheirOrigin) {
  const RedirectCase &c = std::get<1>(GetParam());
  ScriptedServer &target = c.sameOrigin ? home_ : away_;
  home_.Script(
      {RedirectAnswer("from", target.Url() + "/1.0/to", c.status), JsonAnswer("to", "{}")});
  away_.Script({JsonAnswer("to", "{}")});
  const RestResponse response = Send(c.method, "from", {kToken, "X-Other: kept"},
                                     c.method == HttpMethod::POST_FORM
                                         ? std::multimap<std::string, std::string>{{"name", "lamp"}}
                                         : std::multimap<std::string, std::string>{});
  EXPECT_EQ(response.statusCode, 200);
  const std::vector<RequestRecord> landed = target.Server().Requests("to");
  ASSERT_EQ(landed.size(), 1u);
  EXPECT_EQ(landed[0].method, c.methodAfter);
  EXPECT_EQ(CarriesToken(landed[0]), c.sameOrigin);
  EXPECT_EQ(landed[0].Header("X-Other"), std::optional<std::string>("kept"));
  EXPECT_TRUE(CarriesToken(home_.Server().Requests("from").at(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Redirect,
    ::testing::Combine(::testing::Values(Protocol::kHttp1, Protocol::kHttp2), ::testing::Values(
        RedirectCase{"Get302ElsewhereDropsTheToken", HttpMethod::GET, 302, false, "GET"},
        RedirectCase{"Get307ElsewhereDropsTheToken", HttpMethod::GET, 307, false, "GET"},
        RedirectCase{"Get302AtHomeKeepsIt", HttpMethod::GET, 302, true, "GET"},
        RedirectCase{"Upload307ElsewhereKeepsTheFormNotTheToken", HttpMethod::POST_FORM, 307, false,
                     "POST"},
        RedirectCase{"Upload302BecomesAGet", HttpMethod::POST_FORM, 302, false, "GET"},
        RedirectCase{"Delete307ElsewhereDropsTheToken", HttpMethod::DELETE, 307, false, "DELETE"},
        RedirectCase{"Delete303BecomesAGet", HttpMethod::DELETE, 303, true, "GET"})),
    [](const ::testing::TestParamInfo<std::tuple<Protocol, RedirectCase>> &info) {
      return std::string(std::get<1>(info.param).label) +
             (std::get<0>(info.param) == Protocol::kHttp2 ? "Http2" : "Http1");
    });

TEST_P(Exchange, AnUploadRedirectedElsewhereSendsItsFormWithoutTheToken) {
  home_.Script({RedirectAnswer("models", away_.Url() + "/1.0/models", 307)});
  away_.Script({JsonAnswer("models", "{}")});
  Send(HttpMethod::POST_FORM, "models", {kToken}, {{"name", "lamp"}, {"owner", "studio"}});
  const std::vector<RequestRecord> landed = away_.Server().Requests("models");
  ASSERT_EQ(landed.size(), 1u);
  EXPECT_FALSE(CarriesToken(landed[0]));
  ASSERT_EQ(landed[0].form.size(), 2u);
  EXPECT_EQ(landed[0].form[0].content, "lamp");
}

// A redirect from https to http of the same host is another origin: from
// our server's HTTPS (HTTP/1.1), or from nginx's (HTTP/2).
class ExchangeTls : public ::testing::TestWithParam<Protocol> {};
QX_ON_BOTH_PROTOCOLS(ExchangeTls);

TEST_P(ExchangeTls, ARedirectFromHttpsToHttpDropsTheToken) {
  qx::test::TempDir certificates;
  const auto made = qx::test::MakeTestCertificates(certificates.Path());
  ASSERT_TRUE(made.ok);
  RepositoryServer::Options tls;
  if (GetParam() == Protocol::kHttp1) {
    tls.certFile = made.serverCert;
    tls.keyFile = made.serverKey;
  }
  ScriptedServer secure(GetParam(), tls);
  EmptyRepository plain;
  ASSERT_TRUE(secure.Started() && plain.Started());
  const ScopedEnv bundle("QX_QUARN_CA_BUNDLE",
                         GetParam() == Protocol::kHttp2 ? secure.CaBundle() : made.caCert);
  secure.Script({RedirectAnswer("from", plain.Url() + "/1.0/to", 302)});
  plain.Script({JsonAnswer("to", "{}")});
  LogCapture log;
  EXPECT_EQ(Rest().Request(HttpMethod::GET, secure.Url(), "1.0", "from", {}, {kToken}).statusCode,
            200);
  ASSERT_EQ(plain.Server().Requests("to").size(), 1u);
  EXPECT_FALSE(CarriesToken(plain.Server().Requests("to")[0]));
}

TEST_P(Exchange, RedirectsStopAfterThreeAndOnlyToTheWeb) {
  home_.Script({RedirectAnswer("loop", home_.Url() + "/1.0/loop")});
  EXPECT_EQ(Send(HttpMethod::GET, "loop").statusCode, 0);
  EXPECT_EQ(home_.Requests().size(), 4u);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Maximum (3) redirects followed"));
  home_.Script({RedirectAnswer("ftp", "ftp://127.0.0.1/x")});
  EXPECT_EQ(Send(HttpMethod::GET, "ftp").statusCode, 0);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "only http and https are followed"));
}

// -------------------------------------------------------------------------
// Retries

TEST_P(Exchange, AGetIsRetriedOnA503AndTheWarningSaysWhy) {
  home_.Script({JsonAnswer("flaky", "busy", 503, 1), JsonAnswer("flaky", "[1]")});
  const RestResponse response = Send(HttpMethod::GET, "flaky");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "[1]");
  EXPECT_EQ(home_.Requests().size(), 2u);
  EXPECT_EQ(log_.Count("Retrying GET", LOG_WARNING), 1);
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "(try 2 of 3): the server answered 503"));
}

TEST_P(Exchange, RetriesEndAfterThreeTriesWithTheLastAnswer) {
  home_.Script({JsonAnswer("down", "down", 502)});
  EXPECT_EQ(Send(HttpMethod::GET, "down").statusCode, 502);
  EXPECT_EQ(home_.Requests().size(), 3u);
  EXPECT_EQ(log_.Count("Retrying GET", LOG_WARNING), 2);
}

TEST_P(Exchange, ANotFoundIsNotRetriedNorAWriteThatReachedTheServer) {
  home_.Script({JsonAnswer("gone", "{}", 404), JsonAnswer("busy", "{}", 503)});
  EXPECT_EQ(Send(HttpMethod::GET, "gone").statusCode, 404);
  EXPECT_EQ(Send(HttpMethod::POST_FORM, "busy", {kToken}, {{"name", "x"}}).statusCode, 503);
  EXPECT_EQ(Send(HttpMethod::DELETE, "busy").statusCode, 503);
  EXPECT_EQ(home_.Requests().size(), 3u);
  EXPECT_EQ(log_.Count("Retrying", LOG_WARNING), 0);
}

TEST_P(Exchange, ADroppedConnectionIsRetried) {
  ResponseScript cut = JsonAnswer("cut", std::string(1000, 'x'));
  cut.truncateAfter = 10;
  cut.times = 1;
  home_.Script({cut, JsonAnswer("cut", "whole")});
  const RestResponse response = Send(HttpMethod::GET, "cut");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "whole");
  EXPECT_EQ(home_.Requests().size(), 2u);
}

TEST_P(Exchange, RetryAfterIsHonouredUpToTheCap) {
  internal::TransferSettings settings = internal::CurrentTransferSettings();
  settings.retryAfterCapSeconds = 0.3;
  const ScopedSettings scoped(settings);
  ResponseScript slowDown = JsonAnswer("later", "", 429, 1);
  slowDown.headers = {{"Retry-After", "1"}};
  ResponseScript past = JsonAnswer("past", "", 503, 1);
  past.headers = {{"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"}};
  home_.Script({slowDown, JsonAnswer("later", "ok"), past, JsonAnswer("past", "ok")});
  EXPECT_EQ(Send(HttpMethod::GET, "later").statusCode, 200);
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "/1.0/later in 0.3 s (try 2 of 3)"));
  EXPECT_EQ(Send(HttpMethod::GET, "past").statusCode, 200);
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "/1.0/past in 0.0 s (try 2 of 3)"));
}

TEST_P(Exchange, NoRetriesWhenTurnedOff) {
  const ScopedEnv none("QX_QUARN_RETRIES", std::string("0"));
  home_.Script({JsonAnswer("busy", "", 503)});
  EXPECT_EQ(Send(HttpMethod::GET, "busy").statusCode, 503);
  EXPECT_EQ(home_.Requests().size(), 1u);
}

// Nothing listens: every method may try again, as nothing was sent.
TEST(ExchangeRefused, AConnectionRefusedIsRetriedForEveryMethod) {
  LogCapture log;
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  for (HttpMethod method : {HttpMethod::GET, HttpMethod::DELETE, HttpMethod::POST}) {
    log.Clear();
    EXPECT_EQ(Rest().Request(method, nowhere, "1.0", "x", {}, {}).statusCode, 0);
    EXPECT_EQ(log.Count("Retrying", LOG_WARNING), 2) << static_cast<int>(method);
    EXPECT_THAT(log, HasLogLine(LOG_ERROR, "Error in REST request\nlibcurl: (7) "));
  }
}

// -------------------------------------------------------------------------
// Writes reach the server once

// The server takes a request on a kept connection and closes it without an
// answer (as one that timed the connection out would). libcurl sends such a
// request again on a new connection, which is harmless for a GET but not
// for a write: writes never go on a kept connection.
class WriteOnce : public ::testing::TestWithParam<HttpMethod> {};

TEST_P(WriteOnce, AWriteIsSentOnceWhenItsKeptConnectionDies) {
  const std::string ok = RawReply("200 OK", {"Content-Type: application/json"}, "{}");
  RawHttpServer raw({RawConnection{{ok, ""}, false}, RawConnection{{ok}, false},
                     RawConnection{{ok}, false}});
  ASSERT_TRUE(raw.Running());
  LogCapture log;
  Rest rest;
  ASSERT_EQ(rest.Request(HttpMethod::GET, raw.Url(), "1.0", "details", {}, {}).statusCode, 200);
  const RestResponse response = rest.Request(GetParam(), raw.Url(), "1.0", "write", {}, {},
                                             "data", {{"name", "lamp"}});
  EXPECT_EQ(response.statusCode, 200) << log.Text();
  const std::vector<std::string> heads = raw.Requests();
  const std::string method = GetParam() == HttpMethod::DELETE       ? "DELETE"
                             : GetParam() == HttpMethod::PATCH_FORM ? "PATCH"
                                                                    : "POST";
  EXPECT_EQ(CountOf(heads, method), 1u);
}

INSTANTIATE_TEST_SUITE_P(Methods, WriteOnce,
                         ::testing::Values(HttpMethod::POST, HttpMethod::POST_FORM,
                                           HttpMethod::PATCH_FORM, HttpMethod::DELETE),
                         [](const auto &info) {
                           switch (info.param) {
                             case HttpMethod::POST: return "Post";
                             case HttpMethod::POST_FORM: return "PostForm";
                             case HttpMethod::PATCH_FORM: return "PatchForm";
                             default: return "Delete";
                           }
                         });

// However connections are shared (kept over HTTP/1.1, multiplexed over
// HTTP/2), a write is the first request of a connection of its own.
TEST_P(Exchange, AWriteGoesOnAConnectionOfItsOwn) {
  home_.Script({JsonAnswer("details", "{}"), JsonAnswer("write", "{}")});
  ASSERT_EQ(Send(HttpMethod::GET, "details").statusCode, 200);
  for (HttpMethod method : {HttpMethod::POST_FORM, HttpMethod::PATCH_FORM, HttpMethod::DELETE})
    EXPECT_EQ(Send(method, "write", {kToken}, {{"name", "lamp"}}).statusCode, 200);
  EXPECT_EQ(home_.Server().Requests("write").size(), 3u);
  EXPECT_EQ(home_.ClientConnections(), 4u);
  if (Over() == Protocol::kHttp2) {
    for (const qx::test::FrontRequest &request : home_.Front()->Requests()) {
      EXPECT_EQ(request.onConnection, 1) << request.method;
      EXPECT_EQ(request.protocol, "HTTP/2.0");
    }
  }
}

// -------------------------------------------------------------------------
// Bodies that break off

// A body of 100 bytes whose first answer breaks off after 40: what the next
// tries are answered with, and what the exchange must make of it.
struct ResumeCase {
  const char *label;
  std::string firstStatus;
  std::vector<std::string> firstHeaders;
  std::vector<std::string> later;  // the answers of the next tries
  bool asksForRange;               // whether the second try asks for the rest
  int status;
  const char *data;  // "whole", "rest", "new" or ""
  std::size_t requests;
};

const std::string kWhole = [] {
  std::string body;
  for (int i = 0; i < 10; ++i) body += "0123456789";
  return body;
}();
const std::string kNew(100, 'n');
const std::vector<std::string> kTakesRanges = {"Accept-Ranges: bytes", "ETag: \"a\""};

std::string Partial(const char *range, const std::string &etag = "\"a\"") {
  return RawReply("206 Partial Content", {std::string("Content-Range: bytes ") + range,
                                          "ETag: " + etag},
                  kWhole.substr(40));
}

const ResumeCase kResumeCases[] = {
    {"ARangeThatFitsContinuesTheBody", "200 OK", kTakesRanges, {Partial("40-99/100")}, true, 200,
     "whole", 2},
    {"WithoutAValidatorTheBodyStartsOver", "200 OK", {"Accept-Ranges: bytes"},
     {RawReply("200 OK", {}, kNew)}, false, 200, "new", 2},
    {"AWeakTagIsNoValidator", "200 OK", {"Accept-Ranges: bytes", "ETag: W/\"a\""},
     {RawReply("200 OK", {}, kNew)}, false, 200, "new", 2},
    {"AnErrorIsNeverResumed", "404 Not Found", kTakesRanges,
     {RawReply("404 Not Found", {}, kNew)}, false, 404, "new", 2},
    {"AResumeAnsweredWithAnEmptyBodyIsEmpty", "200 OK", kTakesRanges,
     {RawReply("200 OK", {}, "")}, true, 200, "", 2},
    {"ARangeFromTheWrongByteStartsOver", "200 OK", kTakesRanges,
     {RawReply("206 Partial Content", {"Content-Range: bytes 0-99/100", "ETag: \"a\""}, kWhole),
      RawReply("200 OK", {}, kNew)},
     true, 200, "new", 3},
    {"ARangeOfAnotherLengthStartsOver", "200 OK", kTakesRanges,
     {Partial("40-149/150"), RawReply("200 OK", {}, kNew)}, true, 200, "new", 3},
    {"ARangeOfAnotherEntityStartsOver", "200 OK", kTakesRanges,
     {Partial("40-99/100", "\"b\""), RawReply("200 OK", {}, kNew)}, true, 200, "new", 3},
    {"ARangeNotSatisfiableStartsOver", "200 OK", kTakesRanges,
     {RawReply("416 Range Not Satisfiable", {"Content-Range: bytes */100"}, ""),
      RawReply("200 OK", {}, kNew)},
     true, 200, "new", 3},
};

class Resume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(Resume, TakesOnlyTheRestOfTheSameBody) {
  const ResumeCase &c = GetParam();
  std::vector<RawConnection> connections{
      RawConnection{{RawReply(c.firstStatus, c.firstHeaders, kWhole.substr(0, 40), 100)}, false}};
  for (const std::string &reply : c.later) connections.push_back(RawConnection{{reply}, false});
  RawHttpServer raw(connections);
  ASSERT_TRUE(raw.Running());
  const ScopedSettings quick(QuickRetries());
  LogCapture log;
  const RestResponse response = Rest().Request(HttpMethod::GET, raw.Url(), "1.0", "page", {}, {});
  EXPECT_EQ(response.statusCode, c.status) << log.Text();
  const std::string data = c.data;
  EXPECT_EQ(response.data, data == "whole" ? kWhole : data == "new" ? kNew : data);
  const std::vector<std::string> heads = raw.Requests();
  ASSERT_EQ(heads.size(), c.requests);
  EXPECT_FALSE(AsksForARange(heads[0]));
  EXPECT_EQ(AsksForARange(heads[1]), c.asksForRange);
  if (c.asksForRange) {
    EXPECT_NE(heads[1].find("\r\nIf-Range: \"a\""), std::string::npos);
  }
  // Starting over asks for the whole body.
  if (heads.size() > 2) {
    EXPECT_FALSE(AsksForARange(heads[2]));
    EXPECT_THAT(log, HasLogLine(LOG_WARNING, "did not resume at byte 40; starting over"));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Resume, ::testing::ValuesIn(kResumeCases),
                         [](const auto &info) { return std::string(info.param.label); });

// -------------------------------------------------------------------------
// Bounded answers

// A redirect is known by its headers; its body, however long (here it never
// ends), is not waited for.
TEST_P(Exchange, ARedirectsEndlessBodyIsNotWaitedFor) {
  internal::TransferSettings settings = QuickRetries(0);
  settings.options.stallTimeoutSeconds = 5;
  const ScopedSettings scoped(settings);
  away_.Script({JsonAnswer("to", "{}")});
  RawHttpServer raw({RawConnection{{RawReply("302 Found", {"Location: " + away_.Url() + "/1.0/to"},
                                             std::string(1 << 20, 'x'), 1LL << 40)},
                                   true}});
  ASSERT_TRUE(raw.Running());
  const RestResponse response = Rest().Request(HttpMethod::GET, raw.Url(), "1.0", "from", {}, {});
  EXPECT_EQ(response.statusCode, 200) << log_.Text();
  EXPECT_EQ(response.data, "{}");
  EXPECT_EQ(away_.Requests().size(), 1u);
}

// A server that trickles a document in forever is given up after the
// document time-out, however steady the trickle.
TEST(ExchangeRaw, ADocumentThatNeverEndsIsGivenUpAfterTheDocumentTimeOut) {
  internal::TransferSettings settings = QuickRetries(0);
  settings.options.documentTimeoutSeconds = 1;
  const ScopedSettings scoped(settings);
  RawHttpServer raw({RawConnection{{RawReply("200 OK", {}, "[", 1000)}, true}});
  ASSERT_TRUE(raw.Running());
  LogCapture log;
  const RestResponse response = Rest().Request(HttpMethod::GET, raw.Url(), "1.0", "page", {}, {});
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_THAT(log, HasLogLine(LOG_ERROR, "libcurl: (28) "));
}

// A caller that asks learns why no answer came, in libcurl's words.
TEST(ExchangeRefused, TheFailureSaysWhyInLibcurlsWords) {
  const ScopedSettings quick(QuickRetries(0));
  LogCapture log;
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  class Discard : public internal::BodySink {
   public:
    bool Write(const char *, std::size_t) override { return true; }
    bool Restart() override { return true; }
    std::uint64_t Size() const override { return 0; }
  } sink;
  internal::ExchangeFailure failure;
  EXPECT_EQ(internal::RequestToSink("", nowhere, "1.0", "x", {}, {}, sink, &failure).statusCode, 0);
  EXPECT_NE(failure.text.find("onnect"), std::string::npos) << failure.text;
  EXPECT_FALSE(failure.cancelled);
}

// However many retries are asked for, ten is the most.
TEST(ExchangeRefused, RetriesStopAtTen) {
  const ScopedSettings quick(QuickRetries(std::numeric_limits<int>::max()));
  LogCapture log;
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  EXPECT_EQ(Rest().Request(HttpMethod::GET, nowhere, "1.0", "x", {}, {}).statusCode, 0);
  EXPECT_EQ(log.Count("Retrying", LOG_WARNING), 10);
}

// The environment's transfer options out of their range are ignored.
TEST(ExchangeSettings, AnEnvironmentValueOutOfRangeIsIgnoredWithAWarning) {
  LogCapture log;
  const ScopedEnv stall("QX_QUARN_STALL_TIMEOUT", "0");
  const ScopedEnv retries("QX_QUARN_RETRIES", "99");
  const ScopedEnv streams("QX_QUARN_MAX_STREAMS", "0");
  const internal::TransferSettings settings = internal::CurrentTransferSettings();
  EXPECT_GE(settings.options.stallTimeoutSeconds, 1);
  EXPECT_LE(settings.options.retries, 10);
  EXPECT_EQ(settings.options.maxStreams, 100);
}

TEST(ExchangeSettings, TheEnvironmentSetsTheStreamsOfAConnection) {
  const ScopedEnv streams("QX_QUARN_MAX_STREAMS", "8");
  EXPECT_EQ(internal::CurrentTransferSettings().options.maxStreams, 8);
}

TEST_P(Exchange, ADocumentLargerThanTheLimitFailsClearly) {
  internal::TransferSettings settings = internal::CurrentTransferSettings();
  settings.options.maxDocumentSize = 1000;
  const ScopedSettings scoped(settings);
  home_.Script({JsonAnswer("huge", std::string(64 * 1024, ' ') + "[]")});
  const RestResponse response = Send(HttpMethod::GET, "huge");
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_LE(response.data.size(), 1000u);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "is larger than the limit of 1000 bytes"));
  EXPECT_EQ(home_.Requests().size(), 1u);
}

// A body that goes on past its Content-Length is cut there by the
// transport, whatever the server sends after it.
TEST(ExchangeRaw, ABodyLongerThanAnnouncedEndsAtItsLength) {
  qx::test::RawHttpServer raw(
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello and more"});
  ASSERT_TRUE(raw.Running());
  LogCapture log;
  const RestResponse response = Rest().Request(HttpMethod::GET, raw.Url(), "", "x", {}, {});
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "hello");
}

// -------------------------------------------------------------------------
// Why no answer came, for callers that carry the reason up

// A body that goes nowhere.
class DiscardingSink : public internal::BodySink {
 public:
  bool Write(const char *, std::size_t size) override {
    size_ += size;
    return true;
  }
  bool Restart() override {
    size_ = 0;
    return true;
  }
  std::uint64_t Size() const override { return size_; }

 private:
  std::uint64_t size_ = 0;
};

TEST_P(Exchange, AFailedExchangeSaysWhyInTheTransportsWords) {
  const ScopedSettings noRetries(QuickRetries(0));
  home_.Script({RedirectAnswer("loop", home_.Url() + "/1.0/loop"),
                RedirectAnswer("ftp", "ftp://127.0.0.1/x"), JsonAnswer("page", "[]")});
  struct Case {
    std::string url;
    std::string route;
    int status;
    std::string text;  // part of the failure's text; empty: no failure
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:" + std::to_string(qx::test::UnusedPort()), "x", 0, "onnect"},
      {home_.Url(), "loop", 0, "more than 3 redirects"},
      {home_.Url(), "ftp", 0, "only http and https are followed"},
      {home_.Url(), "page", 200, ""},
  };
  for (const Case &c : cases) {
    DiscardingSink sink;
    internal::ExchangeFailure failure;
    const RestResponse response =
        internal::RequestToSink("", c.url, "1.0", c.route, {}, {}, sink, &failure);
    EXPECT_EQ(response.statusCode, c.status) << c.route;
    EXPECT_THAT(failure.text, ::testing::HasSubstr(c.text)) << c.route;
    EXPECT_EQ(failure.text.empty(), c.text.empty()) << c.route << ": " << failure.text;
    EXPECT_FALSE(failure.cancelled) << c.route;
  }
}

}  // namespace
}  // namespace qx::quarn_tools
