#include "support/QuarnProcess.hh"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char **environ;

namespace qx::test {

namespace {

// A guard against hangs, not a measure of speed.
constexpr std::chrono::seconds kPatience{120};

void closeFd(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pseudo-terminal: [0] the controlling side, [1] the terminal itself.
bool openTerminal(int fds[2]) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof(name)) != 0) {
    ::close(master);
    return false;
  }
  const int terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) {
    ::close(master);
    return false;
  }
  fds[0] = master;
  fds[1] = terminal;
  return true;
}

bool openOutput(int fds[2], bool terminal) {
  return terminal ? openTerminal(fds) : ::pipe2(fds, O_CLOEXEC) == 0;
}

// The process environment with the changes applied, as "NAME=value" texts.
std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>> &changes) {
  std::vector<std::string> result;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (changes.count(text.substr(0, text.find('='))) == 0) result.push_back(text);
  }
  for (const auto &[name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (std::string &text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// False at the end of the output (a terminal reports EIO then).
bool drain(int fd, std::string &into) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof(buffer));
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

QuarnProcess::QuarnProcess(const std::string &program, const std::vector<std::string> &args,
                           const ProcessOptions &options) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int in[2] = {-1, -1};
  if (!openOutput(out, options.stdoutOnTerminal)) return;
  if (!openOutput(err, options.stderrOnTerminal) ||
      (options.input && ::pipe2(in, O_CLOEXEC) != 0)) {
    for (int *fd : {&out[0], &out[1], &err[0], &err[1]}) closeFd(*fd);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input)
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (options.standardOutput)
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.standardOutput->c_str(),
                                     O_WRONLY, 0);
  else
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> argTexts{program};
  argTexts.insert(argTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = environmentWith(options.environment);
  std::vector<char *> argv = pointers(argTexts);
  std::vector<char *> envp = pointers(envTexts);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  closeFd(out[1]);
  closeFd(err[1]);
  if (options.input) {
    closeFd(in[0]);
    // A child that ends before reading must not end the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    // Small texts fit the pipe; the child reads them at its pace.
    const ssize_t written = ::write(in[1], options.input->data(), options.input->size());
    (void)written;
    closeFd(in[1]);
  }
  outFd_ = out[0];
  errFd_ = err[0];
}

QuarnProcess::~QuarnProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(outFd_);
  closeFd(errFd_);
}

std::string QuarnProcess::ReadLine() {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (outText_.find('\n') == std::string::npos && Pump(deadline)) {
  }
  const auto end = outText_.find('\n');
  if (end == std::string::npos) return "";
  const std::string line = outText_.substr(0, end);
  outText_.erase(0, end + 1);
  return line;
}

void QuarnProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ProcessOutcome QuarnProcess::Wait() {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (Pump(deadline)) {
  }
  ProcessOutcome outcome;
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  outcome.out = outText_;
  outcome.err = errText_;
  return outcome;
}

bool QuarnProcess::Pump(std::chrono::steady_clock::time_point deadline) {
  if (outFd_ < 0 && errFd_ < 0) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
  if (fds[0].revents != 0 && !drain(outFd_, outText_)) closeFd(outFd_);
  if (fds[1].revents != 0 && !drain(errFd_, errText_)) closeFd(errFd_);
  return true;
}

}  // namespace qx::test
