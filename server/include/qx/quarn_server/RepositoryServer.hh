/*
 * The repository server: serves a directory laid out like one server
 * directory of the client's cache (OWNER/models/NAME/VERSION/..., OWNER/worlds/
 * NAME/VERSION/..., OWNER/collections/NAME.json, licenses.json) over the
 * repository's REST protocol, on HTTP or HTTPS, and takes uploads, edits and
 * deletions into it when it has a write key. Archives and single files are
 * sent from files (with validators, conditional and range requests), never
 * built in memory; uploads are received into files. Instruments (the tests'
 * request log and scripted faults) watch it through one hook
 * (RequestObserver.hh). All members may be called from any thread; the
 * server answers on threads of its own between Start and Stop.
 */
#ifndef QX_QUARN_SERVER_REPOSITORYSERVER_HH_
#define QX_QUARN_SERVER_REPOSITORYSERVER_HH_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_server/RequestObserver.hh"

namespace qx::quarn_server {

// Name of the response header that carries the delivered version number.
extern const char *const kVersionHeader;  // "X-Qel-Resource-Version"
// Name of the request header that carries the API key.
extern const char *const kApiKeyHeader;   // "Private-token"

// A directory for the archives of `root` that outlives the server, for a
// server run by hand: $XDG_CACHE_HOME/quarn/archives/KEY, or else
// $HOME/.cache/quarn/archives/KEY, where KEY names the real path of `root`
// (its last component and a hash of the whole). Empty when neither
// variable is set.
std::string persistentArchiveStore(const std::string &root);

class RepositoryServer {
 public:
  struct Options {
    // Address to bind; port 0 lets the system choose a free port.
    std::string host = "127.0.0.1";
    int port = 0;
    // The API version segment in front of every route.
    std::string apiVersion = "1.0";
    // Entries per listing page (at least 1).
    std::size_t pageSize = 20;
    // The read key: when set, details, downloads and single files need the
    // request header "Private-token: " + readKey, and listings show
    // private resources only to requests that carry it (the others are
    // answered as if those resources were not there). Without a read key,
    // private resources are served to no one.
    std::string readKey;
    // The write key: uploads, edits and deletions need it in
    // "Private-token". Without one the server takes no writes at all.
    std::string writeKey;
    // Both keys at once, for those of the two left empty.
    std::string apiKey;
    // Names clients use for the server besides its address (a TLS
    // terminator's name, say): a write's Host (and Origin, when sent)
    // must name the server, by its listen address (any local address when
    // it listens on all), "localhost" when it listens on loopback, or one
    // of these, ASCII case ignored.
    std::vector<std::string> serverNames;
    // The largest request body taken (an upload), in bytes; a longer one
    // is refused with 413, at once when its declared length says so.
    std::uint64_t maxUpload = std::uint64_t(4) << 30;
    // Both set: serve HTTPS with this certificate and private key (PEM).
    std::string certFile;
    std::string keyFile;
    // Write one message line per request to the log.
    bool logRequests = false;
    // Watches every request (test instruments); none by default.
    std::shared_ptr<RequestObserver> observer;
    // Where download archives are kept once built: a directory outside the
    // served one (made when missing). Empty: a fresh temporary directory,
    // removed by Stop. See persistentArchiveStore for one that lasts.
    std::string archiveStore;
    // Build every archive the store lacks in Start, before listening, with
    // a progress line on standard error when that is a terminal.
    bool prebuild = false;
    // Threads that read requests and send answers, each serving many
    // connections (a connection waiting for a slow client or for its
    // answer holds none); 0: one per processor core, at least 2.
    std::size_t threads = 0;
    // Threads for the work that may take long: building a download archive
    // and carrying out a write.
    std::size_t workers = 8;
    // Open connections at most (past it, clients wait to be accepted), and
    // per client address (past it, further connections from that address
    // are closed at once; 0: no cap).
    std::size_t maxConnections = 1000;
    std::size_t maxConnectionsPerAddress = 64;
    // How long a kept connection may stay silent between requests (and any
    // connection may make no progress at all).
    std::chrono::seconds idleTimeout{60};
    // How long a request's header may take to arrive whole, from its first
    // byte (for a new connection, from the moment it opened).
    std::chrono::milliseconds headerTimeout{10000};
    // The rate a request's body and an answer must keep: at least
    // minimumRate bytes a second over each rateWindow, else the connection
    // is closed (a client that pauses reading for a while keeps its
    // download).
    std::uint64_t minimumRate = 1024;
    std::chrono::milliseconds rateWindow{30000};
  };

  // Serves the directory `root`, which Start looks up (symbolic links
  // resolved) and every request reads afresh.
  explicit RepositoryServer(std::string root);
  RepositoryServer(std::string root, Options options);
  // Stops the server and waits for its threads.
  ~RepositoryServer();
  RepositoryServer(const RepositoryServer &) = delete;
  RepositoryServer &operator=(const RepositoryServer &) = delete;

  // Binds and starts answering; returns once the server listens. False, with
  // an error line in the log, when the root is no directory, the archive
  // store cannot be made or lies inside the root, the certificate or key
  // cannot be loaded, the address cannot be bound, or the server is running
  // already. A stopped server may be started again (on a new port
  // when the port option is 0).
  bool Start();
  // Starts, writes the server's URL and a line end to `out`, answers until
  // the process receives an interrupt or terminate signal, then stops. False
  // when the server could not start.
  bool ServeUntilSignalled(std::ostream &out);
  // Makes a prebuild that Start is running stop after the version it is
  // building; Start then goes on to listen. Callable from any thread (an
  // atomic store: from a signal handler too).
  void CancelPrebuild();
  // Stops answering and joins every thread; pending delays end at once, and
  // so do the connections being served. Idempotent.
  void Stop();
  bool Running() const;

  // The bound port (0 before Start).
  int Port() const;
  // "http://HOST:PORT" (or https), without a trailing slash.
  std::string Url() const;
  const std::string &ApiVersion() const;
  // The full URL of a decoded route: Url(), the API version and the route,
  // each segment percent-escaped ("a b/c" gives .../1.0/a%20b/c).
  std::string RouteUrl(const std::string &route) const;
  const std::string &Root() const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REPOSITORYSERVER_HH_
