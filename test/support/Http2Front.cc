#include "support/Http2Front.hh"

#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>

#include <qx/common/Filesystem.hh>

#include "support/Certificates.hh"
#include "support/RawHttp.hh"

namespace qx::test {
namespace {

const char *const kMarker = "/qx-test-marker-";

// The throw-away certificates of every front of this program.
const TestCertificates &FrontCertificates() {
  static TempDir *const directory = new TempDir;
  static const TestCertificates made = MakeTestCertificates(directory->Path());
  return made;
}

std::string Configuration(const std::string &dir, int port, int markerPort,
                          const std::string &upstream, const Http2Front::Options &options) {
  const TestCertificates &certificates = FrontCertificates();
  std::ostringstream out;
  out << "pid \"" << dir << "/nginx.pid\";\n"
      << "error_log \"" << dir << "/error.log\" info;\n"
      << "events { worker_connections 1024; }\n"
      << "http {\n"
      << "  log_format front '$connection $connection_requests $server_protocol $status "
         "\"$request\"';\n"
      << "  access_log \"" << dir << "/access.log\" front;\n";
  for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    out << "  " << kind << "_temp_path \"" << dir << "/" << kind << "\";\n";
  out << "  client_max_body_size 0;\n"
      << "  keepalive_requests " << options.keepaliveRequests << ";\n"
      // Bodies stream through as they come, both ways; answers (redirects
      // included) pass unchanged.
      << "  proxy_http_version 1.1;\n"
      << "  proxy_set_header Connection \"\";\n"
      << "  proxy_buffering off;\n"
      << "  proxy_request_buffering off;\n"
      << "  proxy_redirect off;\n"
      << "  proxy_read_timeout 1d;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << port << " ssl" << (options.http2 ? " http2" : "") << ";\n"
      << "    listen 127.0.0.1:" << markerPort << ";\n"
      << "    ssl_certificate \"" << certificates.serverCert << "\";\n"
      << "    ssl_certificate_key \"" << certificates.serverKey << "\";\n"
      << "    location " << kMarker << " { return 204; }\n"
      << "    location / { proxy_pass " << upstream << "; }\n"
      << "  }\n"
      << "}\n";
  return out.str();
}

// "CONNECTION REQUESTS PROTOCOL STATUS \"METHOD TARGET VERSION\"".
FrontRequest Parse(const std::string &line) {
  FrontRequest request;
  std::istringstream in(line);
  std::string quotedMethod;
  in >> request.connection >> request.onConnection >> request.protocol >> request.status >>
      quotedMethod >> request.target;
  request.method = quotedMethod.substr(quotedMethod.empty() ? 0 : 1);
  return request;
}

}  // namespace

Http2Front::Http2Front(const std::string &upstream) : Http2Front(upstream, Options()) {}

Http2Front::Http2Front(const std::string &upstream, const Options &options) {
  if (!FrontCertificates().ok) {
    failure_ = "openssl could not make the certificates";
    return;
  }
  // Another process may take a port between the probe and nginx's bind.
  for (int attempt = 0; attempt < 3 && !nginx_.Running(); ++attempt) {
    port_ = UnusedPort();
    markerPort_ = UnusedPort();
    const std::string config = directory_.Join("nginx.conf");
    WriteFile(config, Configuration(directory_.Path(), port_, markerPort_, upstream, options));
    if (!nginx_.Start(config, port_, directory_.Join("stderr.log")))
      failure_ = nginx_.Failure() + ReadFile(directory_.Join("error.log"));
  }
}

std::string Http2Front::Url() const { return "https://127.0.0.1:" + std::to_string(port_); }

const std::string &Http2Front::CaBundle() { return FrontCertificates().caCert; }

std::vector<FrontRequest> Http2Front::Requests() {
  const std::vector<std::string> lines = NginxProcess::LogLinesUpTo(
      directory_.Join("access.log"), markerPort_, kMarker + std::to_string(++markers_));
  std::vector<FrontRequest> requests;
  for (std::size_t i = skipped_; i < lines.size(); ++i) {
    if (lines[i].empty() || lines[i].find(kMarker) != std::string::npos) continue;
    requests.push_back(Parse(lines[i]));
  }
  return requests;
}

std::size_t Http2Front::Connections() {
  std::set<std::string> connections;
  for (const FrontRequest &request : Requests()) connections.insert(request.connection);
  return connections.size();
}

void Http2Front::ClearRequests() {
  skipped_ = NginxProcess::LogLinesUpTo(directory_.Join("access.log"), markerPort_,
                                        kMarker + std::to_string(++markers_))
                 .size();
}

}  // namespace qx::test
