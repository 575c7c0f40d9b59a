/*
 * The two protocols the transport speaks, for tests of what must hold on
 * both: HTTP/1.1 straight to our repository server, and HTTP/2 over TLS
 * through an Http2Front (nginx) in front of it, so that the server's scripts
 * and request log serve both. TEST_P over Protocol; QX_ON_BOTH_PROTOCOLS
 * instantiates a suite for both. Over HTTP/2, clients must trust the
 * front's CA (CaBundle(), for QX_QUARN_CA_BUNDLE), which the fixtures here
 * set while a test runs.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_PROTOCOLSERVERS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_PROTOCOLSERVERS_HH_

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <qx/quarn_server/RepositoryServer.hh>
#include <qx/quarn_tools/ServerConfig.hh>

#include "support/EmptyRepository.hh"
#include "support/Http2Front.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace qx::test {

enum class Protocol { kHttp1, kHttp2 };
std::string ProtocolName(const ::testing::TestParamInfo<Protocol> &info);
void PrintTo(Protocol protocol, std::ostream *out);

// The protocol of a test parameter: the protocol itself, or the first part
// of a (protocol, case) pair of a table over both protocols.
inline Protocol ProtocolOf(Protocol protocol) { return protocol; }
template <typename Case>
Protocol ProtocolOf(const std::tuple<Protocol, Case> &param) {
  return std::get<0>(param);
}

// What QX_QUARN_CA_BUNDLE must name for a client of `protocol` to trust the
// servers here: the HTTP/2 front's CA, else nothing.
std::optional<std::string> CaBundleFor(Protocol protocol);

// Our repository server over an empty directory (EmptyRepository), reached
// over `protocol`.
class ScriptedServer {
 public:
  explicit ScriptedServer(Protocol protocol,
                          const qx::quarn_server::RepositoryServer::Options &options = {});

  // Whether it (and its front) listen; why not otherwise.
  bool Started() const;
  std::string Failure() const;
  InstrumentedServer &Server() { return repository_.Server(); }
  // Where clients send requests: the front's URL over HTTP/2.
  std::string Url() const;
  // The CA that clients must trust: the front's over HTTP/2, else none.
  std::string CaBundle() const;
  void Script(const std::vector<qx::test::ResponseScript> &scripts) {
    repository_.Script(scripts);
  }
  std::vector<qx::test::RequestRecord> Requests() const { return repository_.Requests(); }
  // The client connections that carried the requests so far: the peers the
  // server saw over HTTP/1.1, the front's client connections over HTTP/2.
  std::size_t ClientConnections();
  // The front (over HTTP/2), else null.
  Http2Front *Front() { return front_.get(); }

 private:
  EmptyRepository repository_;
  std::unique_ptr<Http2Front> front_;
};

// Our repository server over a fresh copy of the example repository
// (ExampleServer), reached over `protocol`; the repository's files name the
// URL that clients reach it by.
class ExampleServerOver {
 public:
  explicit ExampleServerOver(Protocol protocol);

  bool Started() const;
  std::string Failure() const;
  InstrumentedServer &Server() { return example_.Server(); }
  const std::string &Root() const { return example_.Root(); }
  // Where clients send requests: the front's URL over HTTP/2.
  std::string Url() const;
  // A server record for the client: Url() and API version "1.0".
  qx::quarn_tools::ServerConfig Config() const;
  // As ScriptedServer's.
  std::string CaBundle() const;
  std::size_t ClientConnections();
  Http2Front *Front() { return front_.get(); }

 private:
  ExampleServer example_;
  std::unique_ptr<Http2Front> front_;
};

// RepositoryFixture over a protocol: the example repository served by our
// server, reached over GetParam(), with QX_QUARN_CA_BUNDLE naming the CA
// that clients need. The same members as RepositoryFixture.
class ProtocolRepositoryFixture : public ::testing::TestWithParam<Protocol> {
 protected:
  void SetUp() override;
  void TearDown() override;

  InstrumentedServer &Server() { return server_->Server(); }
  const std::string &Root() const { return server_->Root(); }
  std::string Url() const { return server_->Url(); }
  qx::quarn_tools::ServerConfig Config() const { return server_->Config(); }
  void Publish() {}
  std::vector<std::string> SeenRoutes();
  void ClearSeen() { Server().ClearRequests(); }
  std::size_t ClientConnections() { return server_->ClientConnections(); }
  Http2Front *Front() { return server_->Front(); }

 private:
  std::unique_ptr<ExampleServerOver> server_;
  std::optional<ScopedEnv> caBundle_;
};

}  // namespace qx::test

// Runs the TEST_P cases of `suite` over both protocols.
#define QX_ON_BOTH_PROTOCOLS(suite)                                                         \
  INSTANTIATE_TEST_SUITE_P(Protocols, suite,                                                \
                           ::testing::Values(::qx::test::Protocol::kHttp1,                 \
                                             ::qx::test::Protocol::kHttp2),                \
                           ::qx::test::ProtocolName)

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_PROTOCOLSERVERS_HH_
