/*
 * One client connection as cpp-httplib reads requests from it and writes
 * answers to it, plain or TLS, with deadlines of its own: the header of a
 * request must arrive whole within a time limit (a client that sends it a
 * line at a time cannot hold a thread for longer), and a transfer fails
 * only when it makes no progress for a while (a client that pauses reading
 * keeps its download). The socket is non-blocking; every wait is a poll.
 * Used by one thread at a time.
 */
#ifndef QX_QUARN_SERVER_CONNECTIONSTREAM_HH_
#define QX_QUARN_SERVER_CONNECTIONSTREAM_HH_

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qx::quarn_server {

// How long a connection may take for what.
struct ConnectionTimeouts {
  // From the moment a thread takes a connection up (or ends the previous
  // request on it) until the next request's header is complete.
  std::chrono::milliseconds header{10000};
  // How long a kept connection may stay silent before the next request.
  std::chrono::milliseconds keepAlive{1000};
  // How long receiving a request's body or sending an answer may make no
  // progress.
  std::chrono::milliseconds stall{60000};
};

class ConnectionStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  // Requests' headers longer than this are refused.
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

  // Serves the connected socket `fd` (made non-blocking), through `tls`
  // when it is not null. Owns neither.
  ConnectionStream(int fd, SSL *tls, const ConnectionTimeouts &timeouts);
  ConnectionStream(const ConnectionStream &) = delete;
  ConnectionStream &operator=(const ConnectionStream &) = delete;

  // The TLS handshake, until `deadline`.
  bool Handshake(Clock::time_point deadline);
  // Waits until the next request begins to arrive, at most until
  // `firstByte`; the whole header must then arrive by `header`. False when
  // nothing came (or the peer closed).
  bool AwaitRequest(Clock::time_point firstByte, Clock::time_point header);
  // Whether the connection failed: a deadline passed, a header was too
  // long, or the peer went away. Then it must be closed.
  bool Failed() const { return failed_; }

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char *ptr, size_t size) override;
  ssize_t write(const char *ptr, size_t size) override;
  void get_remote_ip_and_port(std::string &ip, int &port) const override;
  void get_local_ip_and_port(std::string &ip, int &port) const override;
  socket_t socket() const override { return fd_; }

 private:
  // Whether `events` (POLLIN, POLLOUT) happen on the socket before
  // `deadline`.
  bool WaitFor(short events, Clock::time_point deadline) const;
  // After a TLS call that could not go on with `error` (SSL_get_error):
  // waits, until `deadline`, for what TLS needs; fails the stream for any
  // other error.
  void AwaitTls(int error, Clock::time_point deadline);
  // Reads what arrives into `into` (up to `size` bytes) by `deadline`:
  // the number of bytes, 0 at the end, -1 on an error or time-out.
  ssize_t Receive(char *into, std::size_t size, Clock::time_point deadline);
  // Notes the header bytes handed out, finding the header's end.
  bool CountHeader(const char *bytes, std::size_t size);
  // Bytes already received and not yet handed out.
  std::size_t Buffered() const;

  const int fd_;
  SSL *const tls_;
  const ConnectionTimeouts timeouts_;
  std::vector<char> buffer_;
  std::size_t bufferStart_ = 0;
  std::size_t bufferEnd_ = 0;
  bool inHeader_ = false;
  Clock::time_point headerDeadline_;
  std::size_t headerBytes_ = 0;
  std::uint32_t headerTail_ = 0;
  mutable bool failed_ = false;
};

// Serves the requests of the connected socket `fd` one after another until
// the client closes it, a deadline passes or `maxRequests` were answered;
// `serveRequest(stream, last, closed)` answers one (cpp-httplib's
// process_request), setting `closed` when the connection must end. With
// `tlsContext`, the connection speaks TLS. Leaves `fd` open.
void serveConnection(int fd, SSL_CTX *tlsContext, const ConnectionTimeouts &timeouts,
                     std::size_t maxRequests,
                     const std::function<bool(httplib::Stream &, bool, bool &)> &serveRequest);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CONNECTIONSTREAM_HH_
