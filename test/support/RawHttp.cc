#include "support/RawHttp.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <utility>

namespace qx::test {
namespace {

constexpr const char *kHost = "127.0.0.1";

// A listening socket on 127.0.0.1 and an ephemeral port; -1 on failure.
int ListenOnEphemeralPort(int &port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  ::inet_pton(AF_INET, kHost, &address.sin_addr);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

RawHttpServer::RawHttpServer(std::vector<std::string> responses)
    : responses_(std::move(responses)) {
  listenFd_ = ListenOnEphemeralPort(port_);
  if (listenFd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer() {
  stopping_.store(true);
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::string RawHttpServer::Url() const {
  return std::string("http://") + kHost + ":" + std::to_string(port_);
}

std::vector<std::string> RawHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void RawHttpServer::Serve() {
  for (std::size_t index = 0; !stopping_.load(); ++index) {
    const int connection = ::accept(listenFd_, nullptr, nullptr);
    if (connection < 0) return;
    Answer(connection, index);
    ::close(connection);
  }
}

void RawHttpServer::Answer(int connection, std::size_t index) {
  timeval timeout{5, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t received = ::recv(connection, buffer, sizeof(buffer), 0);
    if (received <= 0) break;
    head.append(buffer, static_cast<std::size_t>(received));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(head);
  }
  if (index >= responses_.size()) return;
  const std::string &reply = responses_[index];
  std::size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t written =
        ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (written <= 0) return;
    sent += static_cast<std::size_t>(written);
  }
  // Let the client read everything before the connection closes.
  ::shutdown(connection, SHUT_WR);
  while (::recv(connection, buffer, sizeof(buffer), 0) > 0) {
  }
}

int UnusedPort() {
  int port = 0;
  const int fd = ListenOnEphemeralPort(port);
  if (fd >= 0) ::close(fd);
  return port;
}

}  // namespace qx::test
