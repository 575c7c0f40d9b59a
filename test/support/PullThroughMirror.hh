/*
 * nginx as a lab's pull-through mirror: the configuration that quarn mirror
 * proxy-config nginx writes for an upstream repository server, run on
 * 127.0.0.1 and a port of its own, its cache, logs and temporary files in a
 * temporary directory. A child of the test that dies with it, stopped when
 * the object goes away.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_PULLTHROUGHMIRROR_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_PULLTHROUGHMIRROR_HH_

#include <string>

#include "support/ServiceProcess.hh"
#include "support/TestSupport.hh"

namespace qx::test {

class PullThroughMirror {
 public:
  // Writes the configuration for `upstream` (an https upstream checked
  // against the certificates in `caFile`) and starts nginx; see Started.
  explicit PullThroughMirror(const std::string &upstream, const std::string &caFile = "");
  PullThroughMirror(const PullThroughMirror &) = delete;
  PullThroughMirror &operator=(const PullThroughMirror &) = delete;

  // Whether nginx runs and takes connections; why not otherwise.
  bool Started() const { return nginx_.Running(); }
  const std::string &Failure() const { return failure_; }
  // "http://127.0.0.1:PORT": the server URL the lab's machines configure.
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }
  // The access log so far: one line per request, ending in how the cache
  // answered it ($upstream_cache_status: HIT, MISS, REVALIDATED, BYPASS, ...).
  std::string AccessLog() const { return ReadFile(directory_.Join("access.log")); }
  std::string ErrorLog() const { return ReadFile(directory_.Join("error.log")); }

 private:
  TempDir directory_;
  int port_ = 0;
  ServiceProcess nginx_;
  std::string failure_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_PULLTHROUGHMIRROR_HH_
