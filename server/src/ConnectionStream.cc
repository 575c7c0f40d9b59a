#include "ConnectionStream.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qx::quarn_server {
namespace {

// Bytes read from the socket at once while a request's header arrives
// (cpp-httplib reads a header a byte at a time).
const std::size_t kReadBufferSize = 4096;

// The numeric address and the port of a socket address.
void addressOf(const sockaddr_storage &address, socklen_t length, std::string &ip, int &port) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof(host),
                    nullptr, 0, NI_NUMERICHOST) == 0)
    ip = host;
  if (address.ss_family == AF_INET)
    port = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
  else if (address.ss_family == AF_INET6)
    port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
}

int clampToInt(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

ConnectionStream::ConnectionStream(int fd, SSL *tls, const ConnectionTimeouts &timeouts)
    : fd_(fd), tls_(tls), timeouts_(timeouts), buffer_(kReadBufferSize) {
  const int flags = ::fcntl(fd_, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) failed_ = true;
}

bool ConnectionStream::WaitFor(short events, Clock::time_point deadline) const {
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd watched{fd_, events, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::max<long long>(0, left.count())));
    // An error or hang-up counts: the read or write that follows says so.
    if (ready > 0) return true;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && Clock::now() < deadline) continue;
    failed_ = true;
    return false;
  }
}

bool ConnectionStream::Handshake(Clock::time_point deadline) {
  while (!failed_) {
    ERR_clear_error();
    const int done = SSL_accept(tls_);
    if (done == 1) return true;
    AwaitTls(SSL_get_error(tls_, done), deadline);
  }
  return false;
}

void ConnectionStream::AwaitTls(int error, Clock::time_point deadline) {
  // TLS may need to read to write, or write to read (a renegotiation).
  if (error == SSL_ERROR_WANT_READ)
    WaitFor(POLLIN, deadline);
  else if (error == SSL_ERROR_WANT_WRITE)
    WaitFor(POLLOUT, deadline);
  else
    failed_ = true;
}

std::size_t ConnectionStream::Buffered() const { return bufferEnd_ - bufferStart_; }

bool ConnectionStream::AwaitRequest(Clock::time_point firstByte, Clock::time_point header) {
  if (failed_) return false;
  const bool pending = Buffered() > 0 || (tls_ && SSL_pending(tls_) > 0);
  if (!pending && !WaitFor(POLLIN, firstByte)) return false;
  inHeader_ = true;
  headerDeadline_ = header;
  headerBytes_ = 0;
  headerTail_ = 0;
  return true;
}

bool ConnectionStream::CountHeader(const char *bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    headerTail_ = (headerTail_ << 8) | static_cast<unsigned char>(bytes[i]);
    if (headerTail_ == 0x0d0a0d0a) {  // the empty line after the header
      inHeader_ = false;
      return true;
    }
  }
  headerBytes_ += size;
  return headerBytes_ <= kMaxHeaderBytes;
}

ssize_t ConnectionStream::Receive(char *into, std::size_t size, Clock::time_point deadline) {
  while (!failed_) {
    if (tls_) {
      ERR_clear_error();
      const int got = SSL_read(tls_, into, clampToInt(size));
      if (got > 0) return got;
      const int error = SSL_get_error(tls_, got);
      if (error == SSL_ERROR_ZERO_RETURN) return 0;
      AwaitTls(error, deadline);
      continue;
    }
    const ssize_t got = ::recv(fd_, into, size, 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      WaitFor(POLLIN, deadline);
    else
      failed_ = true;
  }
  return -1;
}

bool ConnectionStream::is_readable() const {
  if (Buffered() > 0 || (tls_ && SSL_pending(tls_) > 0)) return true;
  return WaitFor(POLLIN, inHeader_ ? headerDeadline_ : Clock::now() + timeouts_.stall);
}

bool ConnectionStream::is_writable() const {
  return !failed_ && WaitFor(POLLOUT, Clock::now() + timeouts_.stall);
}

ssize_t ConnectionStream::read(char *ptr, size_t size) {
  if (size == 0) return 0;
  if (Buffered() == 0) {
    const Clock::time_point deadline =
        inHeader_ ? headerDeadline_ : Clock::now() + timeouts_.stall;
    // A body read larger than the buffer goes straight to the caller.
    if (!inHeader_ && size >= buffer_.size()) return Receive(ptr, size, deadline);
    const ssize_t got = Receive(buffer_.data(), buffer_.size(), deadline);
    if (got <= 0) return got;
    bufferStart_ = 0;
    bufferEnd_ = static_cast<std::size_t>(got);
  }
  const std::size_t count = std::min(size, Buffered());
  std::memcpy(ptr, buffer_.data() + bufferStart_, count);
  bufferStart_ += count;
  if (inHeader_ && !CountHeader(ptr, count)) {
    failed_ = true;
    return -1;
  }
  return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::write(const char *ptr, size_t size) {
  const Clock::time_point deadline = Clock::now() + timeouts_.stall;
  while (!failed_) {
    if (tls_) {
      ERR_clear_error();
      const int sent = SSL_write(tls_, ptr, clampToInt(size));
      if (sent > 0) return sent;
      AwaitTls(SSL_get_error(tls_, sent), deadline);
      continue;
    }
    const ssize_t sent = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      WaitFor(POLLOUT, deadline);
    else
      failed_ = true;
  }
  return -1;
}

void ConnectionStream::get_remote_ip_and_port(std::string &ip, int &port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    addressOf(address, length, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string &ip, int &port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    addressOf(address, length, ip, port);
}

void serveConnection(int fd, SSL_CTX *tlsContext, const ConnectionTimeouts &timeouts,
                     std::size_t maxRequests,
                     const std::function<bool(httplib::Stream &, bool, bool &)> &serveRequest) {
  using Clock = ConnectionStream::Clock;
  SSL *tls = nullptr;
  if (tlsContext) {
    tls = SSL_new(tlsContext);
    if (tls == nullptr || SSL_set_fd(tls, fd) != 1) {
      SSL_free(tls);
      return;
    }
    SSL_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  ConnectionStream stream(fd, tls, timeouts);
  Clock::time_point header = Clock::now() + timeouts.header;
  Clock::time_point firstByte = header;
  if (!tls || stream.Handshake(header)) {
    for (std::size_t served = 0; served < maxRequests; ++served) {
      if (!stream.AwaitRequest(firstByte, header)) break;
      bool closed = false;
      const bool answered = serveRequest(stream, served + 1 == maxRequests, closed);
      if (!answered || closed || stream.Failed()) break;
      const Clock::time_point now = Clock::now();
      firstByte = now + timeouts.keepAlive;
      header = now + timeouts.header;
    }
  }
  if (tls) {
    if (!stream.Failed()) {
      ERR_clear_error();
      SSL_shutdown(tls);
    }
    SSL_free(tls);
  }
}

}  // namespace qx::quarn_server
