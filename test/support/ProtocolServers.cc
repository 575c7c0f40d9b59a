#include "support/ProtocolServers.hh"

#include <set>

#include <qx/common/URI.hh>

namespace qx::test {

using qx::quarn_server::RepositoryServer;
using qx::test::RequestRecord;

std::string ProtocolName(const ::testing::TestParamInfo<Protocol> &info) {
  return info.param == Protocol::kHttp2 ? "Http2" : "Http1";
}

void PrintTo(Protocol protocol, std::ostream *out) {
  *out << (protocol == Protocol::kHttp2 ? "HTTP/2 through nginx" : "HTTP/1.1 to our server");
}

std::optional<std::string> CaBundleFor(Protocol protocol) {
  if (protocol != Protocol::kHttp2) return std::nullopt;
  return Http2Front::CaBundle();
}

namespace {

std::size_t Peers(const std::vector<RequestRecord> &requests) {
  std::set<std::string> peers;
  for (const RequestRecord &record : requests) peers.insert(record.peer);
  return peers.size();
}

}  // namespace

ScriptedServer::ScriptedServer(Protocol protocol, const RepositoryServer::Options &options)
    : repository_(options) {
  if (protocol == Protocol::kHttp2 && repository_.Started())
    front_ = std::make_unique<Http2Front>(repository_.Url());
}

bool ScriptedServer::Started() const {
  return repository_.Started() && (!front_ || front_->Started());
}

std::string ScriptedServer::Failure() const {
  if (!repository_.Started()) return "our repository server did not start";
  return front_ ? front_->Failure() : std::string();
}

std::string ScriptedServer::Url() const { return front_ ? front_->Url() : repository_.Url(); }

std::string ScriptedServer::CaBundle() const {
  return front_ ? Http2Front::CaBundle() : std::string();
}

std::size_t ScriptedServer::ClientConnections() {
  return front_ ? front_->Connections() : Peers(repository_.Requests());
}

ExampleServerOver::ExampleServerOver(Protocol protocol) {
  if (protocol != Protocol::kHttp2 || !example_.Started()) return;
  front_ = std::make_unique<Http2Front>(example_.Url());
  if (front_->Started()) example_.NameServerAs(front_->Url());
}

bool ExampleServerOver::Started() const {
  return example_.Started() && (!front_ || front_->Started());
}

std::string ExampleServerOver::Failure() const {
  if (!example_.Started()) return "the example repository server did not start";
  return front_ ? front_->Failure() : std::string();
}

std::string ExampleServerOver::Url() const { return front_ ? front_->Url() : example_.Url(); }

qx::quarn_tools::ServerConfig ExampleServerOver::Config() const {
  qx::quarn_tools::ServerConfig config = example_.Config();
  config.SetUrl(qx::common::URI(Url()));
  return config;
}

std::string ExampleServerOver::CaBundle() const {
  return front_ ? Http2Front::CaBundle() : std::string();
}

std::size_t ExampleServerOver::ClientConnections() {
  return front_ ? front_->Connections() : Peers(example_.Server().Requests());
}

void ProtocolRepositoryFixture::SetUp() {
  server_ = std::make_unique<ExampleServerOver>(GetParam());
  ASSERT_TRUE(server_->Started()) << server_->Failure();
  if (!server_->CaBundle().empty()) caBundle_.emplace("QX_QUARN_CA_BUNDLE", server_->CaBundle());
}

void ProtocolRepositoryFixture::TearDown() {
  caBundle_.reset();
  server_.reset();
}

std::vector<std::string> ProtocolRepositoryFixture::SeenRoutes() {
  std::vector<std::string> routes;
  for (const auto &record : Server().Requests()) routes.push_back(record.route);
  return routes;
}

}  // namespace qx::test
