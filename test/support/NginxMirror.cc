#include "support/NginxMirror.hh"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include <qx/common/Util.hh>
#include <qx/quarn_server/MirrorExport.hh>

#include "Route.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"

namespace fs = std::filesystem;

namespace qx::test {

namespace {

// The request target of an access log line in nginx's combined format.
std::string targetOf(const std::string &line) {
  const std::size_t quote = line.find('"');
  const std::size_t space = line.find(' ', quote);
  const std::size_t end = line.find(' ', space + 1);
  if (quote == std::string::npos || space == std::string::npos || end == std::string::npos)
    return "";
  return line.substr(space + 1, end - space - 1);
}

}  // namespace

NginxMirror::NginxMirror(std::size_t pageSize, bool tls)
    : root_(directory_.Join("repository")),
      out_(directory_.Join("mirror")),
      pageSize_(pageSize),
      tls_(tls) {
  if (tls_) {
    fs::create_directories(directory_.Join("certificates"));
    certificates_ = MakeTestCertificates(directory_.Join("certificates"));
    if (!certificates_.ok) {
      failure_ = "unable to make the certificates";
      return;
    }
  }
  // Another process may take the port between the probe and nginx's bind:
  // then another port, with the repository's URLs made anew.
  for (int attempt = 0; attempt < 3 && !nginx_.Running(); ++attempt) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    port_ = UnusedPort();
    if (!CopyExampleRepository(root_)) {
      failure_ = "unable to copy the example repository";
      return;
    }
    FillServerUrl(root_, Url());
    if (!Export()) {
      failure_ = "the export failed";
      return;
    }
    Launch();
  }
}

NginxMirror::~NginxMirror() = default;

std::string NginxMirror::Url() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

bool NginxMirror::Export() {
  qx::quarn_server::MirrorOptions options;
  options.pageSize = pageSize_;
  options.listen = "127.0.0.1:" + std::to_string(port_);
  if (tls_) {
    options.tlsCertificate = certificates_.serverCert;
    options.tlsKey = certificates_.serverKey;
  }
  return qx::quarn_server::exportMirror(root_, out_, options);
}

bool NginxMirror::Restart() {
  nginx_.Stop();
  return Launch();
}

bool NginxMirror::Launch() {
  const bool started = nginx_.Start(
      {kNginxProgram, "-c", out_ + "/nginx.conf", "-g", "daemon off; master_process off;"}, port_,
      out_ + "/nginx/stderr.log", {out_ + "/nginx/error.log"});
  failure_ = nginx_.Failure();
  return started;
}

std::vector<std::string> NginxMirror::RequestLines() {
  const std::string marker = "/qx-test-marker-" + std::to_string(++markers_);
  if (tls_) {
    // Over TLS: curl sends it.
    const std::string command = "curl -s -o /dev/null --cacert '" + certificates_.caCert + "' '" +
                                Url() + marker + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << "curl failed: " << command;
  } else {
    SendAndDrain(port_,
                 "GET " + marker + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<std::string> lines;
  while (std::chrono::steady_clock::now() < deadline) {
    lines = qx::common::split(ReadFile(out_ + "/nginx/access.log"), "\n");
    for (const std::string &line : lines)
      if (targetOf(line) == marker) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "nginx did not log the marker request " << marker;
  return lines;
}

std::vector<std::string> NginxMirror::Routes() {
  const std::vector<std::string> lines = RequestLines();
  std::vector<std::string> routes;
  const std::string prefix = "/1.0/";
  for (std::size_t i = skipped_; i < lines.size(); ++i) {
    const std::string target = targetOf(lines[i]);
    if (target.compare(0, prefix.size(), prefix) != 0) continue;  // markers
    routes.push_back(qx::quarn_server::percentDecode(target.substr(prefix.size(), target.find('?') - prefix.size())));
  }
  return routes;
}

void NginxMirror::ClearRoutes() { skipped_ = RequestLines().size(); }

}  // namespace qx::test
