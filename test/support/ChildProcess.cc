#include "support/ChildProcess.hh"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace qx::test {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string> &extra) {
  std::vector<std::string> merged;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (extra.count(name) == 0) merged.push_back(text);
  }
  for (const auto &[name, value] : extra) merged.push_back(name + "=" + value);
  return merged;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (std::string &text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Reads what is there; false at the end of the stream.
bool drain(int fd, std::string &into) {
  char buffer[65536];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got > 0) into.append(buffer, static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && errno == EINTR);
}

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &args,
                           const std::map<std::string, std::string> &environment) {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<std::string> env = mergedEnvironment(environment);
  std::vector<char *> argv = pointers(all);
  std::vector<char *> envp = pointers(env);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

ChildOutcome ChildProcess::Wait(std::chrono::seconds patience) {
  ChildOutcome outcome;
  if (pid_ <= 0) return outcome;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool outOpen = true;
  bool errOpen = true;
  while (outOpen || errOpen) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid_, SIGKILL);
      break;
    }
    pollfd fds[2] = {{outOpen ? outFd_ : -1, POLLIN, 0}, {errOpen ? errFd_ : -1, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP))) outOpen = drain(outFd_, outcome.out);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP))) errOpen = drain(errFd_, outcome.err);
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

}  // namespace qx::test
