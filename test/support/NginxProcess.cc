#include "support/NginxProcess.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <qx/common/Util.hh>

#include "support/TestSupport.hh"

namespace qx::test {

const char *const kNginxProgram = "/usr/sbin/nginx";

namespace {

const auto kStartWait = std::chrono::seconds(10);
const auto kStopWait = std::chrono::seconds(5);

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Sends `request` to 127.0.0.1:`port` and reads until the server closes;
// false when nothing listens there.
bool SendAndDrain(int port, const std::string &request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
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

}  // namespace

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

NginxProcess::~NginxProcess() { Stop(); }

bool NginxProcess::Start(const std::string &config, int port, const std::string &stderrLog) {
  Stop();
  failure_.clear();
  port_ = port;
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
    const int fd = ::open(stderrLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execl(kNginxProgram, "nginx", "-c", config.c_str(), "-g",
            "daemon off; master_process off;", static_cast<char *>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      failure_ = "nginx exited: " + ReadFile(stderrLog);
      return false;
    }
    if (SendAndDrain(port, "")) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  failure_ = "nginx did not answer on port " + std::to_string(port);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

void NginxProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
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

std::vector<std::string> NginxProcess::LogLinesUpTo(const std::string &accessLog, int port,
                                                    const std::string &marker) {
  SendAndDrain(port, "GET " + marker + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  std::vector<std::string> lines;
  while (std::chrono::steady_clock::now() < deadline) {
    lines = qx::common::split(ReadFile(accessLog), "\n");
    for (const std::string &line : lines)
      if (line.find(" " + marker + " ") != std::string::npos) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "nginx did not log the marker request " << marker;
  return lines;
}

}  // namespace qx::test
