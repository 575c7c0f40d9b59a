/*
 * The client configuration: the known servers, the cache location, the
 * configuration file it was loaded from and the user agent. A value type
 * (deep copies). Not safe to write from several threads at once.
 *
 * The configuration file is YAML:
 *
 *   servers:
 *     - url: https://quarn.example.org
 *       private-token: KEY
 *   cache:
 *     path: /data/quarn
 *   limits:                       # what one archive may unpack to
 *     max-unpacked-size: 16GiB
 *     max-entries: 100000
 *   transfer:
 *     retries: 2
 *     connect-timeout: 30         # seconds
 *     stall-timeout: 60           # seconds
 *     document-timeout: 300       # seconds
 *     max-document-size: 64MiB
 *     max-streams: 100            # requests at once on one HTTP/2 connection
 */
#ifndef QX_QUARN_TOOLS_CLIENTCONFIG_HH_
#define QX_QUARN_TOOLS_CLIENTCONFIG_HH_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

// The user agent sent with listings and referral follow-ups by default.
QX_QUARN_TOOLS_VISIBLE extern const char *const kDefaultUserAgent;

// Configuration files larger than this are refused.
QX_QUARN_TOOLS_VISIBLE extern const long kMaxConfigFileSize;

// The default caps on what one archive may unpack to: 16 GiB written, and
// 100,000 entries.
QX_QUARN_TOOLS_VISIBLE extern const std::uint64_t kDefaultMaxUnpackedSize;
QX_QUARN_TOOLS_VISIBLE extern const std::uint64_t kDefaultMaxEntries;

// How the client talks to servers. A client built from a configuration
// applies its options to every request of the process (the most recent
// client's win); the environment variables QX_QUARN_RETRIES,
// QX_QUARN_CONNECT_TIMEOUT, QX_QUARN_STALL_TIMEOUT,
// QX_QUARN_DOCUMENT_TIMEOUT, QX_QUARN_MAX_DOCUMENT_SIZE and
// QX_QUARN_MAX_STREAMS override them. Retries go from 0 to 10, time-outs
// from 1 second to a day, streams from 1 to 1000.
struct QX_QUARN_TOOLS_VISIBLE TransferOptions {
  // Further tries of a request that failed in a way worth trying again: a
  // GET on a connection error, a time-out or the statuses 429, 502, 503 and
  // 504; other methods only when nothing of them was sent. 0: no retries.
  int retries = 2;
  // The longest wait for a connection.
  long connectTimeoutSeconds = 30;
  // A transfer moving less than 1 byte per second for this long is given up.
  long stallTimeoutSeconds = 60;
  // The longest one try of a document request (a listing page, details, the
  // licence list, a deletion) may take, however steadily bytes trickle in.
  long documentTimeoutSeconds = 300;
  // The largest document (a listing page, details, the licence list) taken
  // from a server.
  std::uint64_t maxDocumentSize = std::uint64_t{64} << 20;
  // The most requests one HTTP/2 connection carries at once (fewer when the
  // server allows fewer); a batch keeps this many archive requests moving
  // on a server that offers HTTP/2.
  long maxStreams = 100;
};

class QX_QUARN_TOOLS_VISIBLE ClientConfig {
 public:
  // One default server, the cache location HOME/.qx/quarn, the default user
  // agent. Only when QX_QUARN_CACHE_PATH is set: that directory becomes the
  // cache location and its config.yaml (else config.yml) is loaded. When the
  // variable names no directory, or neither it nor HOME is set, an error is
  // logged and the cache location stays empty: the cache then finds and
  // saves nothing, rather than moving somewhere else.
  ClientConfig();
  ClientConfig(const ClientConfig &other);
  ClientConfig &operator=(const ClientConfig &other);
  ~ClientConfig();

  // Reads a configuration file, adding its servers and setting the cache
  // location: QX_QUARN_CACHE_PATH when set (a warning says so when the file
  // names a cache path too), else the file's cache path, else
  // HOME/.qx/quarn. True when nothing went wrong; what was read before a
  // failure stays applied. Time and memory are linear in the file's size.
  bool LoadConfig(const std::string &path);

  std::vector<ServerConfig> Servers() const;
  // The stored server list, writable even through a const configuration.
  std::vector<ServerConfig> &MutableServers() const;
  // Appends a copy; no duplicate check.
  void AddServer(const ServerConfig &server);

  std::string CacheLocation() const;
  void SetCacheLocation(const std::string &path);

  // The file given to the last LoadConfig that got as far as opening it.
  std::string ConfigPath() const;

  const std::string &UserAgent() const;
  void SetUserAgent(const std::string &agent);

  // The caps on what one downloaded archive may unpack to: bytes really
  // written, and entries. Past either the save stops and fails, leaving
  // nothing behind. The environment variables QX_QUARN_MAX_UNPACKED_SIZE and
  // QX_QUARN_MAX_ENTRIES override them.
  std::uint64_t MaxUnpackedSize() const;
  void SetMaxUnpackedSize(std::uint64_t bytes);
  std::uint64_t MaxEntries() const;
  void SetMaxEntries(std::uint64_t entries);

  // Offline: the client sends no request at all; downloads, listings,
  // details and writes fail (or, for listings of a server, answer from the
  // cache) with a line saying why. Off by default.
  bool Offline() const;
  void SetOffline(bool offline);

  // Retries, time-outs and the document size limit (see TransferOptions).
  const TransferOptions &Transfer() const;
  void SetTransfer(const TransferOptions &options);

  // No servers, empty cache location and config path, default user agent,
  // limits and transfer options. The offline switch stays as it is.
  void Clear();

  std::string AsString(const std::string &prefix = "") const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_CLIENTCONFIG_HH_
