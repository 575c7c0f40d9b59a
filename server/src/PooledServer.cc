#include "PooledServer.hh"

#include <sys/socket.h>

#include <functional>
#include <type_traits>
#include <utility>

namespace qx::quarn_server {
namespace {

// cpp-httplib's task queue, which the listening loop hands every accepted
// connection to: here it runs the hand-over at once, on the listener.
class HandOver : public httplib::TaskQueue {
 public:
  explicit HandOver(ConnectionPool &pool) : pool_(pool) {}
  void enqueue(std::function<void()> task) override { task(); }
  void shutdown() override { pool_.Shutdown(); }

 private:
  ConnectionPool &pool_;
};

template <class Base>
class Pooled final : public Base, public PooledServer {
 public:
  template <class... Args>
  explicit Pooled(const PooledServerSettings &settings, Args &&...args)
      : Base(std::forward<Args>(args)...),
        settings_(settings),
        pool_(TlsContext() ? WithoutRefusal(settings.pool) : settings.pool,
              [this](int fd) { Serve(fd); }) {
    this->new_task_queue = [this] { return new HandOver(pool_); };
  }

  httplib::Server &Http() override { return *this; }
  bool Valid() override { return this->is_valid(); }
  bool WidenBacklog(int backlog) override {
    return this->svr_sock_ != INVALID_SOCKET && ::listen(this->svr_sock_, backlog) == 0;
  }
  void EndConnections() override { pool_.Shutdown(); }

 private:
  // cpp-httplib calls this for every accepted connection (through the task
  // queue, on the listener): the pool takes it over.
  bool process_and_close_socket(socket_t sock) override {
    pool_.Admit(sock);
    return true;
  }

  void Serve(int fd) {
    serveConnection(fd, TlsContext(), settings_.timeouts, settings_.requestsPerConnection,
                    [this](httplib::Stream &stream, bool last, bool &closed) {
                      return this->process_request(stream, last, closed, nullptr);
                    });
  }

  SSL_CTX *TlsContext() {
    if constexpr (std::is_base_of_v<httplib::SSLServer, Base>)
      return this->ssl_context();
    else
      return nullptr;
  }

  // A 503 written in plain text would garble a TLS connection: those wait.
  static ConnectionPool::Settings WithoutRefusal(ConnectionPool::Settings settings) {
    settings.queueTimeout = std::chrono::milliseconds(0);
    return settings;
  }

  const PooledServerSettings settings_;
  ConnectionPool pool_;
};

}  // namespace

std::unique_ptr<PooledServer> makePooledServer(const PooledServerSettings &settings,
                                               const std::string &certFile,
                                               const std::string &keyFile) {
  if (certFile.empty() && keyFile.empty())
    return std::make_unique<Pooled<httplib::Server>>(settings);
  return std::make_unique<Pooled<httplib::SSLServer>>(settings, certFile.c_str(),
                                                      keyFile.c_str());
}

}  // namespace qx::quarn_server
