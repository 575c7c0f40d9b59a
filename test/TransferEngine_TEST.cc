// The transfer engine: many requests at once on one HTTP/2 connection (and
// no more of them than max-streams), a GOAWAY that moves the next requests
// to a new connection, header names as callers look them up, requests
// cancelled in flight, a slow reader that holds up no other transfer, kept
// connections closed on demand, and a forked child with an engine of its own.
// Our repository server is the peer, straight over HTTP/1.1 or through nginx
// over HTTP/2; nginx's log shows the client's connections.
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <qx/common/Console.hh>

#include "Cancellation.hh"
#include "RestClientInternal.hh"
#include "engine/HeaderNames.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "support/Matchers.hh"
#include "support/ProtocolServers.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::FrontRequest;
using qx::test::Http2Front;
using qx::test::JsonAnswer;
using qx::test::LogCapture;
using qx::test::Protocol;
using qx::test::ScopedEnv;
using qx::test::ScriptedServer;

using Clock = std::chrono::steady_clock;

// A JSON answer for `route` that comes after `delay`.
ResponseScript SlowAnswer(const std::string &route, std::chrono::milliseconds delay,
                          const std::string &body = "[]") {
  ResponseScript script = JsonAnswer(route, body);
  script.delay = delay;
  return script;
}

RestResponse Get(const std::string &url, const std::string &route) {
  return Rest().Request(HttpMethod::GET, url, "1.0", route, {}, {});
}

// `count` GETs of `route` at once, each on a thread of its own; their
// statuses.
std::vector<int> GetAtOnce(const std::string &url, const std::string &route, int count) {
  std::vector<int> statuses(static_cast<std::size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i)
    threads.emplace_back([&, i] { statuses[static_cast<std::size_t>(i)] = Get(url, route).statusCode; });
  for (std::thread &thread : threads) thread.join();
  return statuses;
}

std::size_t MostAtOnce(const std::vector<RequestRecord> &requests) {
  std::size_t most = 0;
  for (const RequestRecord &record : requests) most = std::max(most, record.concurrent);
  return most;
}

// -------------------------------------------------------------------------
// Header names

TEST(HeaderNames, HTTP2NamesAreWrittenAsHTTP1ServersWriteThem) {
  const struct {
    const char *name;
    const char *usual;
  } cases[] = {
      {"content-type", "Content-Type"},
      {"x-qel-resource-version", "X-Qel-Resource-Version"},
      {"link", "Link"},
      {"etag", "ETag"},
      {"last-modified", "Last-Modified"},
      {"retry-after", "Retry-After"},
      {"www-authenticate", "WWW-Authenticate"},
      {"content-md5", "Content-MD5"},
      {"x-xss-protection", "X-XSS-Protection"},
      {"Content-Type", "Content-Type"},
      {"X-QEL-RESOURCE-VERSION", "X-Qel-Resource-Version"},
      {"a--b-", "A--B-"},
      {"", ""},
  };
  for (const auto &c : cases) EXPECT_EQ(internal::engine::CanonicalHeaderName(c.name), c.usual);
  EXPECT_EQ(internal::engine::CanonicalHeaderLine("etag: \"v1\"\r\n"), "ETag: \"v1\"\r\n");
  EXPECT_EQ(internal::engine::CanonicalHeaderLine("HTTP/2 200 \r\n"), "HTTP/2 200 \r\n");
  EXPECT_EQ(internal::engine::CanonicalHeaderLine("\r\n"), "\r\n");
}

// -------------------------------------------------------------------------
// One HTTP/2 connection, many streams

class EngineHttp2 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Started()) << server_.Failure();
    // Connections of earlier tests are not counted here.
    internal::CloseIdleConnections();
  }

  ScriptedServer server_{Protocol::kHttp2};
  ScopedEnv caBundle_{"QX_QUARN_CA_BUNDLE", Http2Front::CaBundle()};
  LogCapture log_;
};

TEST_F(EngineHttp2, ManyRequestsAtOnceShareOneConnection) {
  constexpr int kRequests = 20;
  server_.Script({SlowAnswer("slow", std::chrono::milliseconds(500))});
  const std::vector<int> statuses = GetAtOnce(server_.Url(), "slow", kRequests);
  EXPECT_THAT(statuses, ::testing::Each(200));
  const std::vector<FrontRequest> front = server_.Front()->Requests();
  ASSERT_EQ(front.size(), static_cast<std::size_t>(kRequests));
  for (const FrontRequest &request : front) {
    EXPECT_EQ(request.connection, front[0].connection);
    EXPECT_EQ(request.protocol, "HTTP/2.0");
  }
  // They were in flight together: the server behind nginx answered many at
  // once.
  EXPECT_GE(MostAtOnce(server_.Requests()), static_cast<std::size_t>(kRequests / 2));
  EXPECT_TRUE(log_.Lines().empty()) << log_.Text();
}

// A connection carries at most max-streams requests at once; more requests
// at once open more connections.
TEST_F(EngineHttp2, AConnectionCarriesAtMostMaxStreamsAtOnce) {
  const ScopedEnv streams("QX_QUARN_MAX_STREAMS", "2");
  server_.Script({SlowAnswer("slow", std::chrono::milliseconds(500))});
  EXPECT_THAT(GetAtOnce(server_.Url(), "slow", 6), ::testing::Each(200));
  EXPECT_GE(server_.Front()->Connections(), 3u);
}

// nginx ends a connection after a number of requests with a GOAWAY: the
// requests past it go on another connection, whether they came one after
// the other or all at once, and none fails.
TEST(EngineGoAway, RequestsPastAGoAwayMoveToANewConnection) {
  qx::test::EmptyRepository upstream;
  ASSERT_TRUE(upstream.Started());
  Http2Front::Options options;
  options.keepaliveRequests = 3;
  Http2Front front(upstream.Url(), options);
  ASSERT_TRUE(front.Started()) << front.Failure();
  const ScopedEnv caBundle("QX_QUARN_CA_BUNDLE", Http2Front::CaBundle());
  upstream.Script({JsonAnswer("doc", "[1]"), SlowAnswer("slow", std::chrono::milliseconds(300))});
  internal::CloseIdleConnections();
  LogCapture log;
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Get(front.Url(), "doc").statusCode, 200);
  EXPECT_EQ(front.Connections(), 3u);
  front.ClearRequests();
  EXPECT_THAT(GetAtOnce(front.Url(), "slow", 12), ::testing::Each(200));
  std::vector<FrontRequest> requests = front.Requests();
  EXPECT_EQ(requests.size(), 12u);
  for (const FrontRequest &request : requests) EXPECT_LE(request.onConnection, 3);
  EXPECT_EQ(log.Count("", LOG_ERROR), 0) << log.Text();
}

// -------------------------------------------------------------------------
// Both protocols

class Engine : public ::testing::TestWithParam<Protocol> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Started()) << server_.Failure();
    internal::CloseIdleConnections();
  }

  ScriptedServer server_{GetParam()};
  ScopedEnv caBundle_{"QX_QUARN_CA_BUNDLE", qx::test::CaBundleFor(GetParam())};
};

QX_ON_BOTH_PROTOCOLS(Engine);

// A body sink that takes its time over every piece, as a slow disk would.
class SlowSink : public internal::BodySink {
 public:
  bool Write(const char *data, std::size_t size) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    std::lock_guard<std::mutex> lock(mutex_);
    body_.append(data, size);
    return true;
  }
  bool Restart() override {
    std::lock_guard<std::mutex> lock(mutex_);
    body_.clear();
    return true;
  }
  std::uint64_t Size() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return body_.size();
  }
  std::string Body() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return body_;
  }

 private:
  mutable std::mutex mutex_;
  std::string body_;
};

// A reader that falls behind pauses its own transfer only: other requests
// come and go meanwhile, and its body arrives whole.
TEST_P(Engine, ASlowReaderHoldsUpNoOtherTransfer) {
  const std::string big = qx::test::IncompressibleBytes(6 << 20);
  ResponseScript archive = JsonAnswer("big.zip", big);
  archive.contentType = "application/zip";
  server_.Script({archive, JsonAnswer("doc", "[1]")});
  SlowSink sink;
  std::atomic<bool> done{false};
  RestResponse slow;
  std::thread reader([&] {
    slow = internal::RequestToSink("", server_.Url(), "1.0", "big.zip", {}, {}, sink);
    done = true;
  });
  while (sink.Size() == 0 && !done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  EXPECT_FALSE(done) << "the slow reader finished before the others were answered";
  reader.join();
  EXPECT_EQ(slow.statusCode, 200);
  EXPECT_TRUE(sink.Body() == big) << "the body arrived with " << sink.Body().size() << " of "
                                  << big.size() << " bytes, or changed";
}

TEST_P(Engine, RequestsPerConnectionFollowTheProtocolOfTheLatestAnswer) {
  server_.Script({JsonAnswer("doc", "[1]")});
  ASSERT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  EXPECT_EQ(internal::RequestsPerConnection(server_.Url() + "/1.0/anything"),
            GetParam() == Protocol::kHttp2 ? 100 : 1);
  const ScopedEnv streams("QX_QUARN_MAX_STREAMS", "40");
  EXPECT_EQ(internal::RequestsPerConnection(server_.Url()),
            GetParam() == Protocol::kHttp2 ? 40 : 1);
}

TEST_P(Engine, ClosedConnectionsAreOpenedAgain) {
  server_.Script({JsonAnswer("doc", "[1]")});
  EXPECT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  EXPECT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  internal::CloseIdleConnections();
  EXPECT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  EXPECT_EQ(server_.ClientConnections(), 2u);
}

// A child made by fork has no engine thread of its parent's; its requests
// run on an engine of its own.
TEST_P(Engine, AForkedChildHasAnEngineOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not follow a multi-threaded process into fork";
#endif
  server_.Script({JsonAnswer("doc", "[1]")});
  ASSERT_EQ(Get(server_.Url(), "doc").statusCode, 200);
  // The parent's threads (the engine's, the server's) settle first: under
  // AddressSanitizer a child forked while one of them allocates would find
  // the allocator locked for good.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(30);
    const RestResponse response = Get(server_.Url(), "doc");
    ::_exit(response.statusCode == 200 && response.data == "[1]" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// -------------------------------------------------------------------------
// Cancellation

class Cancelling : public Engine {};
QX_ON_BOTH_PROTOCOLS(Cancelling);

// A download that would take half a minute is cancelled from another thread:
// it ends at once, with no answer, no error line, and "interrupted" for a
// reason; a request on another thread meanwhile goes on.
TEST_P(Cancelling, ACancelledSlowDownloadEndsAtOnceAndOthersGoOn) {
  server_.Script({SlowAnswer("slow.zip", std::chrono::seconds(30)), JsonAnswer("doc", "[1]")});
  LogCapture log;
  const internal::CancelToken token;
  SlowSink sink;
  RestResponse response;
  internal::ExchangeFailure failure;
  Clock::time_point ended;
  std::thread download([&] {
    const internal::CancelScope scope(token);
    response = internal::RequestToSink("", server_.Url(), "1.0", "slow.zip", {}, {}, sink, &failure);
    ended = Clock::now();
  });
  while (server_.Server().Requests("slow.zip").empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const Clock::time_point cancelled = Clock::now();
  token.Cancel();
  std::optional<RestResponse> other;
  std::thread bystander([&] { other = Get(server_.Url(), "doc"); });
  download.join();
  bystander.join();
  EXPECT_LT(ended - cancelled, std::chrono::seconds(1));
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(failure.text, "interrupted");
  EXPECT_TRUE(failure.cancelled);
  EXPECT_EQ(other->statusCode, 200);
  EXPECT_EQ(log.Count("", LOG_ERROR) + log.Count("", LOG_WARNING), 0) << log.Text();
}

// A retry's wait is cut short too, and nothing more is sent.
TEST_P(Cancelling, ACancelledRetryWaitEndsAtOnce) {
  ResponseScript busy = JsonAnswer("busy", "", 503);
  busy.headers = {{"Retry-After", "20"}};
  server_.Script({busy});
  internal::TransferSettings settings = internal::CurrentTransferSettings();
  settings.retryAfterCapSeconds = 30;
  const internal::TransferSettings previous = internal::SetTransferSettings(settings);
  const internal::CancelToken token;
  RestResponse response;
  Clock::time_point ended;
  std::thread request([&] {
    const internal::CancelScope scope(token);
    response = Get(server_.Url(), "busy");
    ended = Clock::now();
  });
  while (server_.Server().Requests("busy").empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const Clock::time_point cancelled = Clock::now();
  token.Cancel();
  request.join();
  internal::SetTransferSettings(previous);
  EXPECT_LT(ended - cancelled, std::chrono::seconds(1));
  EXPECT_EQ(response.statusCode, 0);
  EXPECT_EQ(server_.Server().Requests("busy").size(), 1u);
}

TEST_P(Cancelling, NothingIsSentUnderATokenCancelledBefore) {
  server_.Script({JsonAnswer("doc", "[1]")});
  const internal::CancelToken token;
  token.Cancel();
  LogCapture log;
  const internal::CancelScope scope(token);
  EXPECT_EQ(Get(server_.Url(), "doc").statusCode, 0);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(log.Count("", LOG_ERROR), 0) << log.Text();
}

TEST(CancelToken, ChildrenFollowTheirParentAndNotTheOtherWayRound) {
  const internal::CancelToken parent;
  const internal::CancelToken child = parent.Child();
  const internal::CancelToken grandchild = child.Child();
  const internal::CancelToken sibling = parent.Child();
  child.Cancel();
  EXPECT_TRUE(child.Cancelled());
  EXPECT_TRUE(grandchild.Cancelled());
  EXPECT_FALSE(parent.Cancelled());
  EXPECT_FALSE(sibling.Cancelled());
  parent.Cancel();
  EXPECT_TRUE(sibling.Cancelled());
}

TEST(CancelToken, TheCurrentTokenIsTheInnermostScopes) {
  const internal::CancelToken outer;
  const internal::CancelToken inner;
  EXPECT_FALSE(internal::CurrentCancelToken().Cancelled());
  {
    const internal::CancelScope outerScope(outer);
    {
      const internal::CancelScope innerScope(inner);
      inner.Cancel();
      EXPECT_TRUE(internal::CurrentCancelToken().Cancelled());
    }
    EXPECT_FALSE(internal::CurrentCancelToken().Cancelled());
    // Another thread has no token of this one's.
    std::thread([] { EXPECT_FALSE(internal::CurrentCancelToken().Cancelled()); }).join();
  }
}

TEST(CancelToken, ASleepEndsWhenTheTokenIsCancelled) {
  const internal::CancelToken token;
  EXPECT_TRUE(token.SleepFor(std::chrono::milliseconds(20)));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    token.Cancel();
  });
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(token.SleepFor(std::chrono::seconds(30)));
  canceller.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace qx::quarn_tools
