#include "support/RepositoryFixture.hh"

#include "RestClientInternal.hh"

#include <filesystem>
#include <system_error>

#include <qx/common/URI.hh>
#include <qx/common/Util.hh>

namespace fs = std::filesystem;

namespace qx::test {

const char *const kServerUrlPlaceholder = "{{SERVER_URL}}";

bool CopyExampleRepository(const std::string &destination) {
  std::error_code ec;
  fs::create_directories(destination, ec);
  if (ec) return false;
  fs::copy(fs::path(QX_TEST_DATA_DIR) / "repository", destination,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  return !ec;
}

void FillServerUrl(const std::string &root, const std::string &url) {
  ReplaceInFiles(root, kServerUrlPlaceholder, url);
}

void ReplaceInFiles(const std::string &root, const std::string &from, const std::string &to) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string path = it->path().string();
    const std::string content = ReadFile(path);
    if (content.find(from) != std::string::npos)
      WriteFile(path, qx::common::replaceAll(content, from, to));
  }
}

ExampleServer::ExampleServer(const qx::quarn_server::RepositoryServer::Options &options)
    : server_(std::make_unique<InstrumentedServer>(directory_.Path(), options)) {
  if (!CopyExampleRepository(directory_.Path()) || !server_->Start()) return;
  FillServerUrl(directory_.Path(), server_->Url());
  started_ = true;
}

ExampleServer::~ExampleServer() {
  // Connections the client keeps would hold the server's workers until its
  // keep-alive time-out.
  qx::quarn_tools::internal::CloseIdleConnections();
  server_->Stop();
}

void ExampleServer::NameServerAs(const std::string &url) {
  ReplaceInFiles(directory_.Path(), server_->Url(), url);
}

qx::quarn_tools::ServerConfig ExampleServer::Config() const {
  qx::quarn_tools::ServerConfig config;
  config.SetUrl(qx::common::URI(server_->Url()));
  config.SetVersion(server_->ApiVersion());
  return config;
}

void RepositoryFixture::SetUp() {
  example_ = std::make_unique<ExampleServer>(ServerOptions());
  ASSERT_TRUE(example_->Started()) << "the example repository server did not start";
}

void RepositoryFixture::TearDown() { example_.reset(); }

}  // namespace qx::test
