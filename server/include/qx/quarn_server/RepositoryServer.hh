/*
 * The repository server: serves a directory laid out like one server
 * directory of the client's cache (OWNER/models/NAME/VERSION/..., OWNER/worlds/
 * NAME/VERSION/..., OWNER/collections/NAME.json, licenses.json) over the
 * repository's REST protocol, on HTTP or HTTPS, and takes uploads, edits and
 * deletions into it. Archives and single files are sent from files (with
 * validators, conditional and range requests), never built in memory.
 * Tests script faults on it and read the log of what it received. All
 * members may be called from any
 * thread; the server answers on threads of its own between Start and Stop.
 */
#ifndef QX_QUARN_SERVER_REPOSITORYSERVER_HH_
#define QX_QUARN_SERVER_REPOSITORYSERVER_HH_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_server {

// Name of the response header that carries the delivered version number.
extern const char *const kVersionHeader;  // "X-Qel-Resource-Version"
// Name of the request header that carries the API key.
extern const char *const kApiKeyHeader;   // "Private-token"

// One part of a multipart form as received.
struct FormPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string content;  // at most RequestRecord::kStoredBodyLimit bytes
};

// One request as the server received it.
struct RequestRecord {
  // Bodies and form parts longer than this are stored cut to this size;
  // bodySize always holds the full size.
  static constexpr std::size_t kStoredBodyLimit = 1 << 20;

  std::string method;  // "GET", "HEAD", "POST", ...
  // The request target exactly as sent: path and query, still escaped.
  std::string target;
  // The route below the API version segment, percent-decoded once; empty when
  // the target did not start with the server's API version.
  std::string route;
  // The query text after "?", as sent; empty when there was none.
  std::string query;
  // Header lines in the order the server keeps them (by name, case
  // insensitively; repeated names in arrival order).
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t bodySize = 0;
  std::string body;            // plain bodies (not multipart forms)
  std::vector<FormPart> form;  // multipart form parts, ordered by name
  int status = 0;              // the status the server answered
  // How many requests the server was answering when this one arrived, this
  // one included; a request counts from its arrival until its answer
  // (delay included) is handed over for sending.
  std::size_t concurrent = 0;
  // The client's end of the connection the request came on ("ADDR:PORT"):
  // requests on one kept-alive connection share it.
  std::string peer;

  // The first value of header `name` (compared case-insensitively).
  std::optional<std::string> Header(const std::string &name) const;
};

// A change to the answers that matching requests get. The server builds its
// normal answer first, then applies, in this order: the referral, status,
// body, content type, headers, removed headers and the dropped version
// header; the delay and the truncation act while the answer is sent. A
// write (upload, edit, deletion) matched by a script that sets the status
// or a referral is not carried out: the script's answer stands in for it,
// built on an empty 200 answer.
struct ResponseScript {
  // Which requests: the method ("GET" also matches "HEAD"; empty matches
  // any), the decoded route (exact), and, when set, the exact query text.
  std::string method = "GET";
  std::string route;
  std::optional<std::string> query;
  // How many matching requests it applies to; 0 means all of them.
  int times = 0;

  // Answer 200 with this URL as a text body (content type
  // referralContentType), keeping the version header of the normal answer.
  std::optional<std::string> referralUrl;
  std::string referralContentType = "text/plain";
  std::optional<int> status;
  std::optional<std::string> body;
  std::optional<std::string> contentType;
  // Headers to send: the first entry of a name replaces the server's own
  // headers of that name, later entries of the same name add more lines.
  std::vector<std::pair<std::string, std::string>> headers;
  // Header names to leave out ("Content-Type" included).
  std::vector<std::string> removeHeaders;
  bool dropVersionHeader = false;
  // Send only this many bytes of the body, announce a longer Content-Length
  // (the body's size, or this count plus one when that is not longer), then
  // close the connection.
  std::optional<std::size_t> truncateAfter;
  // Wait this long (a day at most) before answering; cut short when the
  // server stops.
  std::chrono::milliseconds delay{0};
};

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
    // When not empty, details, downloads, single files and every write
    // (upload, edit, deletion) require the request header "Private-token: " +
    // apiKey; listings and licences do not, but leave private models out
    // for requests without it.
    std::string apiKey;
    // Both set: serve HTTPS with this certificate and private key (PEM).
    std::string certFile;
    std::string keyFile;
    // Write one message line per request to the log.
    bool logRequests = false;
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

  // Adds a script; returns its id for RemoveScript. Scripts are tried in the
  // order they were added; the first that matches and has uses left applies.
  int AddScript(const ResponseScript &script);
  void RemoveScript(int id);
  void ClearScripts();

  // Every request received so far, oldest first (the newest 10000 at most,
  // fewer when their stored bodies pass 64 MiB).
  std::vector<RequestRecord> Requests() const;
  // Those whose decoded route equals `route`.
  std::vector<RequestRecord> Requests(const std::string &route) const;
  void ClearRequests();

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REPOSITORYSERVER_HH_
