/*
 * Bare sockets for transport tests, on 127.0.0.1 and an ephemeral port.
 *
 * RawHttpServer sends canned bytes, for responses no well-behaved server
 * library would write (odd header lines, odd status lines, bodies cut short,
 * answers on kept connections that die). UnusedPort names a port on which
 * nothing listens.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_RAWHTTP_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_RAWHTTP_HH_

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::test {

// What the server does on one connection: reads a request (head and
// Content-Length body) and sends the next reply, for each reply in turn. An
// empty reply closes the connection without answering that request. After
// the last reply the server ends its side, or with `hold` keeps the
// connection open (reading) until the client closes it.
struct RawConnection {
  std::vector<std::string> replies;
  bool hold = false;
};

// Serves the connections in the order they arrive, each on a thread of its
// own; connections beyond the list are closed without an answer. Stopped by
// the destructor.
class RawHttpServer {
 public:
  // One reply per connection.
  explicit RawHttpServer(const std::vector<std::string> &responses);
  explicit RawHttpServer(std::vector<RawConnection> connections);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer &) = delete;
  RawHttpServer &operator=(const RawHttpServer &) = delete;

  bool Running() const { return listenFd_ >= 0; }
  std::string Url() const;
  // The request heads received, in the order they arrived.
  std::vector<std::string> Requests() const;

 private:
  void Serve();
  void Answer(int connection, std::size_t index);
  // Reads one request; its head, empty when the connection ended first.
  std::string ReadRequest(int connection);

  std::vector<RawConnection> connections_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<int> open_;  // connections being served
  std::vector<std::thread> workers_;
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (bound, then released).
int UnusedPort();

// A socket connected to 127.0.0.1:`port` whose reads give up after
// `receiveTimeoutSeconds` (with `receiveBuffer` other than 0, a receive
// buffer that small), from the loopback address `from` when given (any of
// 127.0.0.0/8, to be another client address); -1 when it cannot connect.
// The caller closes it.
int ConnectToLoopback(int port, int receiveTimeoutSeconds, int receiveBuffer = 0,
                      const std::string &from = "");

// What a server sent on one connection.
struct RawOutcome {
  std::string received;
  bool closed = false;  // the server closed the connection (else it went quiet)
};

// Connects to 127.0.0.1:`port`, sends `request` (bytes as they stand) and
// reads until the server closes the connection or sends nothing for
// `quietSeconds`.
RawOutcome RawExchange(int port, const std::string &request, int quietSeconds = 30);

// The status of the first response in `received` (0 when there is none).
int RawStatus(const std::string &received);

// "HTTP/1.1 STATUS\r\n" with the header lines (each without its line end),
// Content-Length of `body` unless `length` announces another, then `body`.
std::string RawReply(const std::string &status, const std::vector<std::string> &headers,
                     const std::string &body, long long length = -1);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_RAWHTTP_HH_
