/*
 * A program of ours run as a child process, as people and scripts run it:
 * arguments, extra environment variables, standard input from /dev/null,
 * standard output and error collected. Killed and reaped when the object
 * goes away, so a failing test leaves no process behind.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_CHILDPROCESS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_CHILDPROCESS_HH_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace qx::test {

struct ChildOutcome {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

class ChildProcess {
 public:
  // Starts `program` with `args`; `environment` adds to (or replaces in)
  // this process's environment.
  ChildProcess(const std::string &program, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Collects its output until it ends (killing it after `patience`, a guard
  // against hangs), and how it ended.
  ChildOutcome Wait(std::chrono::seconds patience = std::chrono::seconds(120));

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_CHILDPROCESS_HH_
