/*
 * cpp-httplib's server (plain or TLS) with connections served our way:
 * cpp-httplib accepts them and parses requests, a ConnectionPool decides
 * when a thread takes each up, and ConnectionStream holds the deadlines. The
 * listening socket takes a long backlog (cpp-httplib listens with 5, which
 * drops clients of a burst). Start and stop it through Http() like any
 * cpp-httplib server; its handlers are set there too.
 */
#ifndef QX_QUARN_SERVER_POOLEDSERVER_HH_
#define QX_QUARN_SERVER_POOLEDSERVER_HH_

#include <httplib.h>

#include <cstddef>
#include <memory>
#include <string>

#include "ConnectionPool.hh"
#include "ConnectionStream.hh"

namespace qx::quarn_server {

struct PooledServerSettings {
  ConnectionPool::Settings pool;
  ConnectionTimeouts timeouts;
  // Requests one connection may carry.
  std::size_t requestsPerConnection = 1000;
};

class PooledServer {
 public:
  virtual ~PooledServer() = default;
  // The server whose handlers, binding and listening loop are cpp-httplib's.
  virtual httplib::Server &Http() = 0;
  // Whether the certificate and key loaded (always, for plain HTTP).
  virtual bool Valid() = 0;
  // Lets the bound socket keep this many connections that wait to be
  // accepted (the system caps it at its own limit); after binding.
  virtual bool WidenBacklog(int backlog) = 0;
  // Ends every connection (served or waiting) and joins the threads, so
  // that the listening loop can end; after Http().stop().
  virtual void EndConnections() = 0;
};

// A plain HTTP server, or an HTTPS one when `certFile` or `keyFile` is set.
std::unique_ptr<PooledServer> makePooledServer(const PooledServerSettings &settings,
                                               const std::string &certFile,
                                               const std::string &keyFile);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_POOLEDSERVER_HH_
