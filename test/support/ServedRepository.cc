#include "support/ServedRepository.hh"

#include <qx/common/URI.hh>

namespace qx::test {

std::string BackendName(const ::testing::TestParamInfo<Backend> &info) {
  return info.param == Backend::kNginxMirror ? "NginxMirror" : "RepositoryServer";
}

void PrintTo(Backend backend, std::ostream *out) {
  *out << (backend == Backend::kNginxMirror ? "nginx over a mirror export" : "our repository server");
}

void ServedRepositoryFixture::SetUp() {
  if (GetParam() == Backend::kNginxMirror) {
    mirror_ = std::make_unique<NginxMirror>(PageSize());
    ASSERT_TRUE(mirror_->Started()) << "nginx over the mirror did not start: "
                                    << mirror_->Failure();
  } else {
    qx::quarn_server::RepositoryServer::Options options;
    options.pageSize = PageSize();
    server_ = std::make_unique<ExampleServer>(options);
    ASSERT_TRUE(server_->Started()) << "the example repository server did not start";
  }
}

void ServedRepositoryFixture::TearDown() {
  mirror_.reset();
  server_.reset();
}

std::string ServedRepositoryFixture::Url() const {
  return mirror_ ? mirror_->Url() : server_->Url();
}

qx::quarn_tools::ServerConfig ServedRepositoryFixture::Config() const {
  qx::quarn_tools::ServerConfig config;
  config.SetUrl(qx::common::URI(Url()));
  config.SetVersion("1.0");
  return config;
}

const std::string &ServedRepositoryFixture::Root() const {
  return mirror_ ? mirror_->Root() : server_->Root();
}

void ServedRepositoryFixture::Publish() {
  if (mirror_) {
    ASSERT_TRUE(mirror_->Export());
  }
}

std::vector<std::string> ServedRepositoryFixture::SeenRoutes() {
  if (mirror_) return mirror_->Routes();
  std::vector<std::string> routes;
  for (const auto &record : server_->Server().Requests()) routes.push_back(record.route);
  return routes;
}

void ServedRepositoryFixture::ClearSeen() {
  if (mirror_)
    mirror_->ClearRoutes();
  else
    server_->Server().ClearRequests();
}

}  // namespace qx::test
