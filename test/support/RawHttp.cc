#include "support/RawHttp.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
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

namespace {

std::vector<RawConnection> OneReplyEach(const std::vector<std::string> &responses) {
  std::vector<RawConnection> connections;
  for (const std::string &reply : responses) connections.push_back(RawConnection{{reply}, false});
  return connections;
}

// The Content-Length of a request head; 0 without one.
std::size_t BodyLength(const std::string &head) {
  std::string lower = head;
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<std::size_t>(std::strtoull(head.c_str() + at + 17, nullptr, 10));
}

bool SendAll(int connection, const std::string &bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t written =
        ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (written <= 0) return false;
    sent += static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

RawHttpServer::RawHttpServer(const std::vector<std::string> &responses)
    : RawHttpServer(OneReplyEach(responses)) {}

RawHttpServer::RawHttpServer(std::vector<RawConnection> connections)
    : connections_(std::move(connections)) {
  listenFd_ = ListenOnEphemeralPort(port_);
  if (listenFd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer() {
  stopping_.store(true);
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int connection : open_) ::shutdown(connection, SHUT_RDWR);  // wakes recv()
  }
  for (std::thread &worker : workers_) worker.join();
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
    std::lock_guard<std::mutex> lock(mutex_);
    open_.push_back(connection);
    workers_.emplace_back([this, connection, index] {
      Answer(connection, index);
      std::lock_guard<std::mutex> done(mutex_);
      open_.erase(std::find(open_.begin(), open_.end(), connection));
      ::close(connection);
    });
  }
}

std::string RawHttpServer::ReadRequest(int connection) {
  std::string head;
  char buffer[4096];
  std::size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t received = ::recv(connection, buffer, sizeof(buffer), 0);
    if (received <= 0) return std::string();
    head.append(buffer, static_cast<std::size_t>(received));
  }
  std::size_t body = head.size() - (end + 4);
  head.resize(end + 4);
  for (const std::size_t length = BodyLength(head); body < length;) {
    const ssize_t received =
        ::recv(connection, buffer, std::min(sizeof(buffer), length - body), 0);
    if (received <= 0) break;
    body += static_cast<std::size_t>(received);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(head);
  return head;
}

void RawHttpServer::Answer(int connection, std::size_t index) {
  timeval timeout{5, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (index >= connections_.size()) {
    ReadRequest(connection);
    return;
  }
  const RawConnection &script = connections_[index];
  for (const std::string &reply : script.replies) {
    if (ReadRequest(connection).empty() || reply.empty() || !SendAll(connection, reply)) return;
  }
  char buffer[4096];
  if (script.hold) {
    // Until the client goes away (or the server stops).
    while (!stopping_.load()) {
      const ssize_t received = ::recv(connection, buffer, sizeof(buffer), 0);
      if (received == 0 || (received < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
    return;
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

int ConnectToLoopback(int port, int receiveTimeoutSeconds, int receiveBuffer,
                      const std::string &from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  timeval timeout{receiveTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (!from.empty()) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (::inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof(source)) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawOutcome RawExchange(int port, const std::string &request, int quietSeconds) {
  RawOutcome outcome;
  const int fd = ConnectToLoopback(port, quietSeconds);
  if (fd < 0) return outcome;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    char buffer[4096];
    while (true) {
      const ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
      if (count > 0) {
        outcome.received.append(buffer, static_cast<std::size_t>(count));
        continue;
      }
      // 0: closed; a reset after the answer is a close as well; a time-out
      // leaves the connection open.
      outcome.closed = count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
  }
  ::close(fd);
  return outcome;
}

int RawStatus(const std::string &received) {
  if (received.compare(0, 5, "HTTP/") != 0) return 0;
  const std::size_t space = received.find(' ');
  return space == std::string::npos ? 0 : std::atoi(received.c_str() + space + 1);
}

std::string RawReply(const std::string &status, const std::vector<std::string> &headers,
                     const std::string &body, long long length) {
  std::string reply = "HTTP/1.1 " + status + "\r\n";
  for (const std::string &line : headers) reply += line + "\r\n";
  reply += "Content-Length: " +
           std::to_string(length >= 0 ? length : static_cast<long long>(body.size())) + "\r\n";
  return reply + "\r\n" + body;
}

}  // namespace qx::test
