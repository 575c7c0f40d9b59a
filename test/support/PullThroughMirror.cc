#include "support/PullThroughMirror.hh"

#include <optional>

#include <qx/quarn_server/ProxyConfig.hh>

#include "support/NginxMirror.hh"
#include "support/RawHttp.hh"

namespace qx::test {

PullThroughMirror::PullThroughMirror(const std::string &upstream, const std::string &caFile) {
  qx::quarn_server::ProxyOptions options;
  options.upstream = upstream;
  options.directory = directory_.Path();
  if (!caFile.empty()) options.caFile = caFile;
  for (int attempt = 0; attempt < 3 && !nginx_.Running(); ++attempt) {
    port_ = UnusedPort();
    options.listen = "127.0.0.1:" + std::to_string(port_);
    std::string error;
    const std::optional<std::string> config = qx::quarn_server::nginxProxyConfig(options, error);
    if (!config) {
      failure_ = error;
      return;
    }
    WriteFile(directory_.Join("nginx.conf"), *config);
    nginx_.Start({kNginxProgram, "-c", directory_.Join("nginx.conf"), "-g",
                  "daemon off; master_process off;"},
                 port_, directory_.Join("stderr.log"), {directory_.Join("error.log")});
    failure_ = nginx_.Failure();
  }
}

}  // namespace qx::test
