/*
 * Bare sockets for transport tests, on 127.0.0.1 and an ephemeral port.
 *
 * RawHttpServer sends canned bytes, for responses no well-behaved server
 * library would write (odd header lines, odd status lines). UnusedPort names
 * a port on which nothing listens.
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

// Answers each connection with the next canned byte string (sent as is,
// then the connection is closed). Connections beyond the list are closed
// without an answer. Stopped by the destructor.
class RawHttpServer {
 public:
  explicit RawHttpServer(std::vector<std::string> responses);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer &) = delete;
  RawHttpServer &operator=(const RawHttpServer &) = delete;

  bool Running() const { return listenFd_ >= 0; }
  std::string Url() const;
  // The request heads received, one per connection.
  std::vector<std::string> Requests() const;

 private:
  void Serve();
  void Answer(int connection, std::size_t index);

  std::vector<std::string> responses_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A port on 127.0.0.1 on which nothing listens (bound, then released).
int UnusedPort();

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_RAWHTTP_HH_
