#include "support/NginxMirror.hh"

#include <filesystem>

#include <gtest/gtest.h>

#include <qx/common/Util.hh>
#include <qx/quarn_server/MirrorExport.hh>

#include "Route.hh"
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

NginxMirror::NginxMirror(std::size_t pageSize)
    : root_(directory_.Join("repository")), out_(directory_.Join("mirror")), pageSize_(pageSize) {
  // Another process may take the port between the probe and nginx's bind:
  // then another port, with the repository's URLs made anew.
  for (int attempt = 0; attempt < 3 && !nginx_.Running(); ++attempt) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    port_ = FreeLoopbackPort();
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

std::string NginxMirror::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool NginxMirror::Export() {
  qx::quarn_server::MirrorOptions options;
  options.pageSize = pageSize_;
  options.listen = "127.0.0.1:" + std::to_string(port_);
  return qx::quarn_server::exportMirror(root_, out_, options);
}

bool NginxMirror::Restart() {
  nginx_.Stop();
  return Launch();
}

bool NginxMirror::Launch() {
  if (nginx_.Start(out_ + "/nginx.conf", port_, out_ + "/nginx/stderr.log")) return true;
  failure_ = nginx_.Failure() + ReadFile(out_ + "/nginx/error.log");
  return false;
}

std::vector<std::string> NginxMirror::RequestLines() {
  return NginxProcess::LogLinesUpTo(out_ + "/nginx/access.log", port_,
                                    "/qx-test-marker-" + std::to_string(++markers_));
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
