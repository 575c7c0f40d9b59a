/*
 * nginx serving a mirror export (quarn mirror export) of a fresh copy of the
 * example repository, on 127.0.0.1 and a port of its own: the export's own
 * nginx.conf, run as one process that is a child of the test, dies with it
 * even when the test crashes, and is stopped when the object goes away.
 * nginx is Debian's (/usr/sbin/nginx); it writes its pid file, logs and
 * temporary files into the export directory.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_NGINXMIRROR_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_NGINXMIRROR_HH_

#include <cstddef>
#include <string>
#include <vector>

#include "support/Certificates.hh"
#include "support/NginxProcess.hh"
#include "support/ServiceProcess.hh"
#include "support/TestSupport.hh"

namespace qx::test {

class NginxMirror {
 public:
  // Copies the example repository (its dependency URLs naming the mirror),
  // exports it with `pageSize` entries per listing page and starts nginx;
  // with `tls`, serving HTTPS (HTTP/2 offered) with a throw-away
  // certificate (Certificates()).
  explicit NginxMirror(std::size_t pageSize = 20, bool tls = false);
  ~NginxMirror();
  NginxMirror(const NginxMirror &) = delete;
  NginxMirror &operator=(const NginxMirror &) = delete;

  // Whether the export was made and nginx answers; why not otherwise.
  bool Started() const { return nginx_.Running(); }
  const std::string &Failure() const { return failure_; }
  // "http://127.0.0.1:PORT", or https.
  std::string Url() const;
  // The throw-away CA, certificate and key of a mirror with TLS.
  const TestCertificates &Certificates() const { return certificates_; }
  // The access log's lines so far (nginx's combined format).
  std::vector<std::string> AccessLog() { return RequestLines(); }
  // The repository directory the mirror is exported from.
  const std::string &Root() const { return root_; }
  const std::string &Out() const { return out_; }
  // Exports Root() again, so that the mirror serves its changes.
  bool Export();
  // Starts nginx again on the same port, so that it reads the exported
  // configuration anew (as a reload would).
  bool Restart();
  // The routes of the requests nginx answered so far, oldest first: the
  // request path below the API version, percent-decoded once.
  std::vector<std::string> Routes();
  // Forgets the requests answered so far.
  void ClearRoutes();

 private:
  bool Launch();
  // The request lines of the access log, after a marker request that
  // nginx wrote last, so that no earlier request is missing.
  std::vector<std::string> RequestLines();

  TempDir directory_;
  const std::string root_;
  const std::string out_;
  const std::size_t pageSize_;
  const bool tls_;
  TestCertificates certificates_;
  int port_ = 0;
  ServiceProcess nginx_;
  std::size_t skipped_ = 0;  // access log lines before the last ClearRoutes
  int markers_ = 0;
  std::string failure_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_NGINXMIRROR_HH_
