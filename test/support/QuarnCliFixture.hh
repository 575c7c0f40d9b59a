/*
 * Tests of the quarn tool as a program: a fixture that runs the built tool
 * (its path comes in as QX_QUARN_CLI) against our repository server over
 * the example repository, with a home and a cache of its own.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_QUARNCLIFIXTURE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_QUARNCLIFIXTURE_HH_

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/URI.hh>
#include <qx/quarn_tools/Helpers.hh>

#include "support/QuarnProcess.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

#ifndef QX_QUARN_CLI
#error "QX_QUARN_CLI must name the quarn program"
#endif

namespace qx::test {

// Bytes that have no place in plain text: anything below a blank except the
// line end, and DEL.
inline bool HasControlCharacters(const std::string &text) {
  for (const unsigned char c : text) {
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
  }
  return false;
}

class QuarnCliTest : public RepositoryFixture {
 protected:
  ProcessOutcome Run(const std::vector<std::string> &args, const ProcessOptions &options = {}) {
    QuarnProcess quarn(QX_QUARN_CLI, args, options);
    EXPECT_TRUE(quarn.Started());
    return quarn.Wait();
  }
  std::string ResourceUrl(const std::string &route) const { return Url() + "/1.0/" + route; }
  // The cache directory of the example server.
  std::string ServerCache() const {
    return home_.Cache() + "/" + qx::quarn_tools::uriToPath(qx::common::URI(Url()));
  }
  std::string Cached(const std::string &route) const { return ServerCache() + "/" + route; }
  const std::string &Cache() const { return home_.Cache(); }
  const std::string &Home() const { return home_.Home(); }
  // A configuration file in the cache (read by every command) naming the
  // example server, with `token` when given.
  void ConfigureServer(const std::string &token = "") {
    WriteFile(Cache() + "/config.yaml",
              "servers:\n  - url: " + Url() + "\n" +
                  (token.empty() ? "" : "    private-token: " + token + "\n"));
  }
  // Answers the requests of `route` only when the server stops.
  void Stall(const std::string &route) {
    qx::test::ResponseScript stall;
    stall.route = route;
    stall.delay = std::chrono::hours(1);
    Server().AddScript(stall);
  }
  // Answers the requests of `route` with `status` and `body`.
  void Refuse(const std::string &route, int status, const std::string &body = "",
              const std::string &method = "GET") {
    qx::test::ResponseScript refusal;
    refusal.method = method;
    refusal.route = route;
    refusal.status = status;
    refusal.body = body;
    refusal.contentType = "text/plain";
    Server().AddScript(refusal);
  }
  // Waits until the server has been asked for `route`.
  bool AwaitRequest(const std::string &route) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!Server().Requests(route).empty()) return true;
      ::usleep(10000);
    }
    return false;
  }

 private:
  IsolatedHome home_{true};
  // Failures are the point of many cases here: no retries, which would
  // only make them wait (the transport's tests cover retries).
  ScopedEnv noRetries_{"QX_QUARN_RETRIES", std::string("0")};
};

// The same against a server that wants the header "Private-token: " +
// kApiKey for details, downloads and writes.
class ProtectedQuarnCliTest : public QuarnCliTest {
 protected:
  static constexpr const char *kApiKey = "s3cret-key";

  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.apiKey = kApiKey;
    return options;
  }
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_QUARNCLIFIXTURE_HH_
