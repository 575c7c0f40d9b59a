#include "support/NginxMirror.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include <qx/common/Util.hh>
#include <qx/quarn_server/MirrorExport.hh>

#include "Route.hh"
#include "support/RepositoryFixture.hh"

namespace fs = std::filesystem;

namespace qx::test {

const char *const kNginxProgram = "/usr/sbin/nginx";

namespace {

const auto kStartWait = std::chrono::seconds(10);
const auto kStopWait = std::chrono::seconds(5);

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port that was free on 127.0.0.1 a moment ago.
int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof(address);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

// Sends `request` to 127.0.0.1:`port` and reads until the server closes;
// false when nothing listens there.
bool sendAndDrain(int port, const std::string &request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
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

// The request target of an access log line in nginx's combined format.
std::string targetOf(const std::string &line) {
  const std::size_t quote = line.find('"');
  const std::size_t space = line.find(' ', quote);
  const std::size_t end = line.find(' ', space + 1);
  if (quote == std::string::npos || space == std::string::npos || end == std::string::npos)
    return "";
  return line.substr(space + 1, end - space - 1);
}

}  // namespace

NginxMirror::NginxMirror(std::size_t pageSize)
    : root_(directory_.Join("repository")), out_(directory_.Join("mirror")), pageSize_(pageSize) {
  // Another process may take the port between the probe and nginx's bind:
  // then another port, with the repository's URLs made anew.
  for (int attempt = 0; attempt < 3 && pid_ == 0; ++attempt) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    port_ = freeLoopbackPort();
    if (!CopyExampleRepository(root_)) {
      failure_ = "unable to copy the example repository";
      return;
    }
    FillServerUrl(root_, Url());
    if (!Export()) {
      failure_ = "the export failed";
      return;
    }
    Launch();
  }
}

NginxMirror::~NginxMirror() { Stop(); }

std::string NginxMirror::Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool NginxMirror::Export() {
  qx::quarn_server::MirrorOptions options;
  options.pageSize = pageSize_;
  options.listen = "127.0.0.1:" + std::to_string(port_);
  return qx::quarn_server::exportMirror(root_, out_, options);
}

bool NginxMirror::Restart() {
  Stop();
  return Launch();
}

bool NginxMirror::Launch() {
  const std::string config = out_ + "/nginx.conf";
  const std::string log = out_ + "/nginx/stderr.log";
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
    ::execl(kNginxProgram, "nginx", "-c", config.c_str(), "-g",
            "daemon off; master_process off;", static_cast<char *>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      failure_ = "nginx exited: " + ReadFile(log) + ReadFile(out_ + "/nginx/error.log");
      return false;
    }
    if (sendAndDrain(port_, "")) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  failure_ = "nginx did not answer on port " + std::to_string(port_);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

void NginxMirror::Stop() {
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

std::vector<std::string> NginxMirror::RequestLines() {
  const std::string marker = "/qx-test-marker-" + std::to_string(++markers_);
  sendAndDrain(port_, "GET " + marker + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  std::vector<std::string> lines;
  while (std::chrono::steady_clock::now() < deadline) {
    lines = qx::common::split(ReadFile(out_ + "/nginx/access.log"), "\n");
    for (const std::string &line : lines)
      if (targetOf(line) == marker) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "nginx did not log the marker request " << marker;
  return lines;
}

std::vector<std::string> NginxMirror::Routes() {
  const std::vector<std::string> lines = RequestLines();
  std::vector<std::string> routes;
  const std::string prefix = "/1.0/";
  for (std::size_t i = skipped_; i < lines.size(); ++i) {
    const std::string target = targetOf(lines[i]);
    if (target.compare(0, prefix.size(), prefix) != 0) continue;  // markers
    routes.push_back(qx::quarn_server::percentDecode(target.substr(prefix.size(), target.find('?') - prefix.size())));
  }
  return routes;
}

void NginxMirror::ClearRoutes() { skipped_ = RequestLines().size(); }

}  // namespace qx::test
