/*
 * Debian's squid as a lab runs it: a caching HTTP proxy (the machines'
 * http_proxy) with its stock freshness rules, on 127.0.0.1 and a port of
 * its own, its cache in memory and its configuration, pid file and logs in
 * a temporary directory. A child of the test that dies with it, stopped
 * when the object goes away. When the test runs as root, squid drops its
 * privileges to the user "proxy", which then owns the directory.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SQUIDPROXY_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SQUIDPROXY_HH_

#include <string>
#include <vector>

#include "support/ServiceProcess.hh"
#include "support/TestSupport.hh"

namespace qx::test {

// Where Debian installs squid.
extern const char *const kSquidProgram;  // "/usr/sbin/squid"

class SquidProxy {
 public:
  // Starts squid; see Started.
  SquidProxy();
  SquidProxy(const SquidProxy &) = delete;
  SquidProxy &operator=(const SquidProxy &) = delete;

  // Whether squid runs and takes connections; why not otherwise.
  bool Started() const { return squid_.Running(); }
  const std::string &Failure() const { return failure_; }
  // "http://127.0.0.1:PORT", for http_proxy.
  std::string Url() const;
  int Port() const { return port_; }
  // The lines of its access log so far (squid writes them as it answers).
  std::vector<std::string> AccessLog() const;

 private:
  TempDir directory_;
  int port_ = 0;
  ServiceProcess squid_;
  std::string failure_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SQUIDPROXY_HH_
