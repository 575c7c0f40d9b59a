/*
 * The connections of the transfer engine: how its multi handle keeps and
 * shares them, what every transfer shares (DNS answers, TLS sessions), and
 * what the engine learnt of each origin's protocol. Internal to the
 * transport.
 *
 * Requests to one origin share connections. Over TLS a server may offer
 * HTTP/2 (ALPN): then one connection carries up to max-streams requests at
 * once, and a request waits for the first connection to an origin to learn
 * whether it multiplexes rather than opening one of its own. Plain http://
 * and servers that offer only HTTP/1.1 get kept connections, one request at
 * a time each, as many at once as the requests need (up to
 * kMaxConnectionsPerHost per origin), kept after their request for the next
 * (up to kMaxConnectionsKept in all).
 */
#ifndef QX_QUARN_TOOLS_SRC_ENGINE_CONNECTIONS_HH_
#define QX_QUARN_TOOLS_SRC_ENGINE_CONNECTIONS_HH_

#include <curl/curl.h>

#include <array>
#include <mutex>
#include <set>
#include <string>

namespace qx::quarn_tools::internal {

// scheme://host:port of a URL (the port always written), lower-cased; empty
// when the URL does not parse. Credentials belong to an origin.
std::string OriginOf(const std::string &url);

// libcurl's global state, set up once per process before the first handle,
// whichever thread gets here first.
void InitCurlOnce();

namespace engine {

// Connections open to one origin at most; more requests wait for one.
inline constexpr long kMaxConnectionsPerHost = 64;
// Idle connections kept for later requests, in all.
inline constexpr long kMaxConnectionsKept = 64;

// A new multi handle with multiplexing on and the limits above, running at
// most `maxStreams` streams on one HTTP/2 connection; null when libcurl
// cannot make one.
CURLM *NewMulti(long maxStreams);

// The options of one request that choose its protocol and connection: HTTP/2
// over TLS where the server offers it, HTTP/1.1 otherwise (always for plain
// http://), and waiting to share a connection being opened to the origin.
// `share` is the engine's (SharedSessions::Handle).
void UseConnectionOptions(CURL *easy, const std::string &url, CURLSH *share);

// DNS answers and TLS sessions shared by every transfer of the engine, each
// kind behind a lock of its own. Lives as long as the engine.
class SharedSessions {
 public:
  SharedSessions();
  ~SharedSessions();
  SharedSessions(const SharedSessions &) = delete;
  SharedSessions &operator=(const SharedSessions &) = delete;

  // Null when libcurl could not make a share (transfers then keep their own).
  CURLSH *Handle() const { return share_; }

 private:
  static void Lock(CURL *, curl_lock_data data, curl_lock_access, void *self);
  static void Unlock(CURL *, curl_lock_data data, void *self);
  std::mutex &LockOf(curl_lock_data data);

  CURLSH *share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> locks_;
};

// The origins whose latest finished transfer ran on a multiplexed (HTTP/2)
// connection. Any thread.
class OriginProtocols {
 public:
  void Note(const std::string &origin, bool multiplexed);
  bool Multiplexes(const std::string &origin) const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> multiplexing_;
};

}  // namespace engine
}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ENGINE_CONNECTIONS_HH_
