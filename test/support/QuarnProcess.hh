/*
 * A program run as a child process, the way people and scripts run the
 * quarn tool: chosen arguments and environment, standard input from a text,
 * standard output and standard error on pipes or on pseudo-terminals. The
 * child is killed and reaped when the object goes away.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_QUARNPROCESS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_QUARNPROCESS_HH_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qx::test {

struct ProcessOutcome {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

struct ProcessOptions {
  // Environment changes: a value sets the variable, nullopt unsets it.
  std::map<std::string, std::optional<std::string>> environment;
  // Standard input: this text, then its end (without: /dev/null).
  std::optional<std::string> input;
  bool stdoutOnTerminal = false;
  bool stderrOnTerminal = false;
  // Standard output to this file (such as /dev/full) instead of a pipe.
  std::optional<std::string> standardOutput;
};

class QuarnProcess {
 public:
  QuarnProcess(const std::string &program, const std::vector<std::string> &args,
               const ProcessOptions &options = {});
  ~QuarnProcess();
  QuarnProcess(const QuarnProcess &) = delete;
  QuarnProcess &operator=(const QuarnProcess &) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line of standard output, without its line end; empty when the
  // output ends first (or after two minutes).
  std::string ReadLine();
  void Signal(int signal);
  // Waits for the end (two minutes at most), collecting both outputs.
  ProcessOutcome Wait();

 private:
  bool Pump(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string outText_;
  std::string errText_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_QUARNPROCESS_HH_
