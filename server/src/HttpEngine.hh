/*
 * The server's HTTP engine, libmicrohttpd behind a narrow interface: it
 * listens, reads requests on a few event threads (epoll; idle and slow
 * connections hold no thread), refuses requests whose framing cannot be
 * trusted (HttpRequest.hh) with 400 and closes their connection, hands
 * every other request to an HttpService and sends the service's Reply:
 * from memory, from a file (sendfile), cut short, or after a delay. A
 * service that needs time (a file system that blocks, a delay) answers
 * later from any thread; the connection waits without holding a thread.
 * Connections are capped in all and per client address, must send a
 * request's header within a time limit and keep a minimum rate while a
 * body or an answer moves (ConnectionWatch.hh), and idle ones are closed
 * after a while. Nothing of libmicrohttpd shows here. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_HTTPENGINE_HH_
#define QX_QUARN_SERVER_HTTPENGINE_HH_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HttpRequest.hh"
#include "Reply.hh"

namespace qx::quarn_server {

// The rest of one request, once its header is complete: it takes the body
// and then answers. Made by the service, used by one engine thread at a
// time, and destroyed once its answer is handed over for sending (after
// any delay) or the request ends without one.
class HttpExchange {
 public:
  // Takes the reply of a request, once, from any thread.
  using Answer = std::function<void(Reply)>;

  virtual ~HttpExchange() = default;
  // The next bytes of the body, in order. A reply refuses the request:
  // the rest of the body is read and dropped and the reply sent when the
  // body ends, or, when more than HttpSettings::maxDiscard bytes of it
  // remain (or a chunked body passes that), the connection is closed
  // without it.
  virtual std::optional<Reply> Body(const char *data, std::size_t size) = 0;
  // The body is complete (or there was none): gives `answer` the reply,
  // now or later.
  virtual void Finish(Answer answer) = 0;
};

class HttpService {
 public:
  // What becomes of a request whose header is complete: a refusal is sent
  // at once, before any of the body is read (no "100 Continue"), and the
  // connection is closed after it (an exchange given with it is kept, and
  // destroyed, as for any answer, once the refusal is handed over; it is
  // given nothing); otherwise the exchange takes the rest.
  struct Admission {
    std::optional<Reply> refusal;
    std::unique_ptr<HttpExchange> exchange;
  };

  virtual ~HttpService() = default;
  virtual Admission Admit(const HttpRequest &request) = 0;
  // Whether requests of `method` may carry a body; a body on any other
  // method is refused as bad framing.
  virtual bool TakesBody(const std::string &method) const = 0;
};

struct HttpSettings {
  // Address to bind ("127.0.0.1", "0.0.0.0", "::", ...); port 0 lets the
  // system choose.
  std::string host = "127.0.0.1";
  int port = 0;
  // Threads that read, parse and send (each serves many connections).
  std::size_t threads = 2;
  // Open connections at most, and per client address (0: no cap). Past
  // the first, clients wait in the listening socket's backlog; past the
  // second, their connections are closed at once.
  std::size_t maxConnections = 1000;
  std::size_t maxConnectionsPerAddress = 0;
  // How long a kept connection may stay silent between requests, and any
  // connection without any progress at all.
  std::chrono::seconds idleTimeout{60};
  // See ConnectionWatch::Limits.
  std::chrono::milliseconds headerTimeout{10000};
  std::uint64_t minimumRate = 1024;
  std::chrono::milliseconds rateWindow{30000};
  // How much of a refused request's chunked body is read and dropped
  // before its connection is ended instead.
  std::uint64_t maxDiscard = 1 << 20;
  // Both set: TLS with this certificate chain and private key (PEM text).
  std::string certificatePem;
  std::string keyPem;
  // Connections that may wait to be accepted (the system caps it).
  int backlog = 4096;
};

class HttpEngine {
 public:
  // `service` must outlive the engine.
  HttpEngine(const HttpSettings &settings, HttpService &service);
  // Stops.
  ~HttpEngine();
  HttpEngine(const HttpEngine &) = delete;
  HttpEngine &operator=(const HttpEngine &) = delete;

  // Binds and listens: the port is known from then on, and clients wait
  // to be accepted. False, with an error line in the log, when the address
  // cannot be bound.
  bool Bind();
  // Starts the threads that answer (binding first, when Bind was not
  // called); false, with an error line, when they or TLS cannot start.
  bool Start();
  // Ends every connection at once: answers waiting for a delay are sent
  // (as far as the connection still takes them), answers the service has
  // not given yet are dropped. Joins the threads. Idempotent.
  void Stop();
  bool Running() const;
  // The bound port (0 before Start).
  int Port() const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_HTTPENGINE_HH_
