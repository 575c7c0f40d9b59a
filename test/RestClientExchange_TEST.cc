// The transport on a real network's terms: connections kept and reused,
// credentials that stay with their origin across redirects, retries with
// back-off (and only of what may be retried), and answers of bounded size.
// Our repository server is the peer; its request log is the witness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qx/common/Console.hh>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RestClientInternal.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "support/Certificates.hh"
#include "support/EmptyRepository.hh"
#include "support/Matchers.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::quarn_server::RepositoryServer;
using qx::quarn_server::RequestRecord;
using qx::quarn_server::ResponseScript;
using qx::test::EmptyRepository;
using qx::test::HasLogLine;
using qx::test::JsonAnswer;
using qx::test::LogCapture;
using qx::test::RedirectAnswer;
using qx::test::ScopedEnv;

constexpr const char *kToken = "Private-token: sekret";

std::set<std::string> Peers(const std::vector<RequestRecord> &requests) {
  std::set<std::string> peers;
  for (const RequestRecord &record : requests) peers.insert(record.peer);
  return peers;
}

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

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.Started());
    ASSERT_TRUE(away_.Started());
  }
  RestResponse Send(HttpMethod method, const std::string &route,
                    const std::vector<std::string> &headers = {kToken},
                    const std::multimap<std::string, std::string> &form = {}) {
    return Rest().Request(method, home_.Url(), "1.0", route, {}, headers, "", form);
  }

  LogCapture log_;
  ScopedEnv insecure_{"QX_QUARN_INSECURE", std::nullopt};
  EmptyRepository home_;
  EmptyRepository away_;
};

// -------------------------------------------------------------------------
// Connections

TEST_F(Exchange, SequentialRequestsShareOneConnection) {
  home_.Script({JsonAnswer("page", "[]")});
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Send(HttpMethod::GET, "page").statusCode, 200);
  EXPECT_EQ(home_.Requests().size(), 10u);
  EXPECT_EQ(Peers(home_.Requests()).size(), 1u);
}

TEST_F(Exchange, ThreadsAtOnceOpenAConnectionEachAndNoMore) {
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
  EXPECT_LE(Peers(home_.Requests()).size(), static_cast<std::size_t>(kThreads));
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

class Redirect : public Exchange, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(Redirect, KeepsCredentialsOnlyAtTheirOrigin) {
  const RedirectCase &c = GetParam();
  EmptyRepository &target = c.sameOrigin ? home_ : away_;
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
    ::testing::Values(
        RedirectCase{"Get302ElsewhereDropsTheToken", HttpMethod::GET, 302, false, "GET"},
        RedirectCase{"Get307ElsewhereDropsTheToken", HttpMethod::GET, 307, false, "GET"},
        RedirectCase{"Get302AtHomeKeepsIt", HttpMethod::GET, 302, true, "GET"},
        RedirectCase{"Upload307ElsewhereKeepsTheFormNotTheToken", HttpMethod::POST_FORM, 307, false,
                     "POST"},
        RedirectCase{"Upload302BecomesAGet", HttpMethod::POST_FORM, 302, false, "GET"},
        RedirectCase{"Delete307ElsewhereDropsTheToken", HttpMethod::DELETE, 307, false, "DELETE"},
        RedirectCase{"Delete303BecomesAGet", HttpMethod::DELETE, 303, true, "GET"}),
    [](const ::testing::TestParamInfo<RedirectCase> &info) { return info.param.label; });

TEST_F(Exchange, AnUploadRedirectedElsewhereSendsItsFormWithoutTheToken) {
  home_.Script({RedirectAnswer("models", away_.Url() + "/1.0/models", 307)});
  away_.Script({JsonAnswer("models", "{}")});
  Send(HttpMethod::POST_FORM, "models", {kToken}, {{"name", "lamp"}, {"owner", "studio"}});
  const std::vector<RequestRecord> landed = away_.Server().Requests("models");
  ASSERT_EQ(landed.size(), 1u);
  EXPECT_FALSE(CarriesToken(landed[0]));
  ASSERT_EQ(landed[0].form.size(), 2u);
  EXPECT_EQ(landed[0].form[0].content, "lamp");
}

// A redirect from https to http of the same host is another origin.
TEST(ExchangeTls, ARedirectFromHttpsToHttpDropsTheToken) {
  qx::test::TempDir certificates;
  const auto made = qx::test::MakeTestCertificates(certificates.Path());
  ASSERT_TRUE(made.ok);
  RepositoryServer::Options tls;
  tls.certFile = made.serverCert;
  tls.keyFile = made.serverKey;
  EmptyRepository secure(tls);
  EmptyRepository plain;
  ASSERT_TRUE(secure.Started() && plain.Started());
  const ScopedEnv bundle("QX_QUARN_CA_BUNDLE", made.caCert);
  secure.Script({RedirectAnswer("from", plain.Url() + "/1.0/to", 302)});
  plain.Script({JsonAnswer("to", "{}")});
  LogCapture log;
  EXPECT_EQ(Rest().Request(HttpMethod::GET, secure.Url(), "1.0", "from", {}, {kToken}).statusCode,
            200);
  ASSERT_EQ(plain.Server().Requests("to").size(), 1u);
  EXPECT_FALSE(CarriesToken(plain.Server().Requests("to")[0]));
}

TEST_F(Exchange, RedirectsStopAfterThreeAndOnlyToTheWeb) {
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

TEST_F(Exchange, AGetIsRetriedOnA503AndTheWarningSaysWhy) {
  home_.Script({JsonAnswer("flaky", "busy", 503, 1), JsonAnswer("flaky", "[1]")});
  const RestResponse response = Send(HttpMethod::GET, "flaky");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "[1]");
  EXPECT_EQ(home_.Requests().size(), 2u);
  EXPECT_EQ(log_.Count("Retrying GET", LOG_WARNING), 1);
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "(try 2 of 3): the server answered 503"));
}

TEST_F(Exchange, RetriesEndAfterThreeTriesWithTheLastAnswer) {
  home_.Script({JsonAnswer("down", "down", 502)});
  EXPECT_EQ(Send(HttpMethod::GET, "down").statusCode, 502);
  EXPECT_EQ(home_.Requests().size(), 3u);
  EXPECT_EQ(log_.Count("Retrying GET", LOG_WARNING), 2);
}

TEST_F(Exchange, ANotFoundIsNotRetriedNorAWriteThatReachedTheServer) {
  home_.Script({JsonAnswer("gone", "{}", 404), JsonAnswer("busy", "{}", 503)});
  EXPECT_EQ(Send(HttpMethod::GET, "gone").statusCode, 404);
  EXPECT_EQ(Send(HttpMethod::POST_FORM, "busy", {kToken}, {{"name", "x"}}).statusCode, 503);
  EXPECT_EQ(Send(HttpMethod::DELETE, "busy").statusCode, 503);
  EXPECT_EQ(home_.Requests().size(), 3u);
  EXPECT_EQ(log_.Count("Retrying", LOG_WARNING), 0);
}

TEST_F(Exchange, ADroppedConnectionIsRetried) {
  ResponseScript cut = JsonAnswer("cut", std::string(1000, 'x'));
  cut.truncateAfter = 10;
  cut.times = 1;
  home_.Script({cut, JsonAnswer("cut", "whole")});
  const RestResponse response = Send(HttpMethod::GET, "cut");
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.data, "whole");
  EXPECT_EQ(home_.Requests().size(), 2u);
}

TEST_F(Exchange, RetryAfterIsHonouredUpToTheCap) {
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

TEST_F(Exchange, NoRetriesWhenTurnedOff) {
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
// Bounded answers

TEST_F(Exchange, ADocumentLargerThanTheLimitFailsClearly) {
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

}  // namespace
}  // namespace qx::quarn_tools
