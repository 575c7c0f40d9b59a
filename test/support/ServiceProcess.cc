#include "support/ServiceProcess.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/TestSupport.hh"

namespace qx::test {

ServiceProcess::~ServiceProcess() { Stop(); }

bool ServiceProcess::Start(const std::vector<std::string> &argv, int port, const std::string &log,
                           const std::vector<std::string> &logs, std::chrono::seconds wait) {
  Stop();
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    failure_ = "fork failed";
    return false;
  }
  if (pid == 0) {
    // Dies with the test, whatever ends it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  const auto explain = [&](const std::string &why) {
    failure_ = argv.front() + " " + why + ": " + ReadFile(log);
    for (const std::string &file : logs) failure_ += ReadFile(file);
  };
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      explain("exited");
      return false;
    }
    if (SendAndDrain(port, "")) {
      pid_ = pid;
      failure_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  explain("did not answer on port " + std::to_string(port));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

void ServiceProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = 0;
}

bool SendAndDrain(int port, const std::string &request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  const bool connected =
      ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  if (connected && !request.empty()) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    while (::recv(fd, buffer, sizeof(buffer), 0) > 0) {
    }
  }
  ::close(fd);
  return connected;
}

}  // namespace qx::test
