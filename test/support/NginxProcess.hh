/*
 * One nginx process for a test: Debian's nginx (/usr/sbin/nginx) with a
 * configuration the test wrote, run in the foreground as a child of the
 * test that dies with it even when the test crashes, stopped when the
 * object goes away. Plus the reading of its access log up to a marker
 * request, so that no request answered before is missing from it.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_NGINXPROCESS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_NGINXPROCESS_HH_

#include <string>
#include <vector>

#include "support/ServiceProcess.hh"

namespace qx::test {

// Where Debian installs nginx.
extern const char *const kNginxProgram;  // "/usr/sbin/nginx"

class NginxProcess {
 public:
  NginxProcess() = default;
  NginxProcess(const NginxProcess &) = delete;
  NginxProcess &operator=(const NginxProcess &) = delete;

  // Runs nginx with the configuration file `config` (its standard error
  // appended to `stderrLog`) and waits until 127.0.0.1:`port` accepts
  // connections. False, with Failure() saying why, when it exits or does
  // not answer within 10 s.
  bool Start(const std::string &config, int port, const std::string &stderrLog);
  // Ends the process (SIGTERM, then SIGKILL after 5 s). Idempotent.
  void Stop();
  bool Running() const { return process_.Running(); }
  const std::string &Failure() const { return process_.Failure(); }

  // The lines of the access log `accessLog`, read once the plain HTTP
  // request "GET `marker`" sent to 127.0.0.1:`port` appears in it (nginx
  // logs a request when it is answered, in order).
  static std::vector<std::string> LogLinesUpTo(const std::string &accessLog, int port,
                                               const std::string &marker);

 private:
  ServiceProcess process_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_NGINXPROCESS_HH_
