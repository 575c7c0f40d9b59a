/*
 * A server program a test runs (Debian's nginx, squid): a child process
 * that dies with the test even when the test crashes, ready once it
 * accepts connections on its port of 127.0.0.1, and stopped when the
 * object goes away.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SERVICEPROCESS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SERVICEPROCESS_HH_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qx::test {

class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess &) = delete;
  ServiceProcess &operator=(const ServiceProcess &) = delete;

  // Runs `argv` (the program's path first) with standard output and error
  // appended to `log`, and waits until 127.0.0.1:`port` accepts a
  // connection, `wait` at most. False, with Failure() saying why (the log
  // and the files of `logs` included), when the program ends first or does
  // not answer in time; then it is killed.
  bool Start(const std::vector<std::string> &argv, int port, const std::string &log,
             const std::vector<std::string> &logs = {},
             std::chrono::seconds wait = std::chrono::seconds(10));
  // SIGTERM, and SIGKILL when it is still there after `grace`.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

  bool Running() const { return pid_ > 0; }
  const std::string &Failure() const { return failure_; }

 private:
  pid_t pid_ = 0;
  std::string failure_;
};

// Connects to 127.0.0.1:`port`, sends `request` (when not empty) and reads
// until the server closes the connection (5 s at most); false when nothing
// listens there.
bool SendAndDrain(int port, const std::string &request);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SERVICEPROCESS_HH_
