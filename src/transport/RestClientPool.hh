/*
 * The transport's connections for the whole process. Transfer handles are
 * kept in a pool after their request and lent again to later requests,
 * preferring one whose last request went to the same origin: its connection
 * (kept alive, with its TLS session) serves the next request without a new
 * handshake. All handles share DNS answers and TLS sessions, so a new
 * connection to a known server resumes its session. A handle is used by one
 * request at a time; requests on any number of threads borrow handles of
 * their own. Internal to the transport.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESTCLIENTPOOL_HH_
#define QX_QUARN_TOOLS_SRC_RESTCLIENTPOOL_HH_

#include <curl/curl.h>

#include <string>

namespace qx::quarn_tools::internal {

// scheme://host:port of a URL (the port always written), lower-cased; empty
// when the URL does not parse. Credentials belong to an origin.
std::string OriginOf(const std::string &url);

// A transfer handle on loan from the pool, its options at libcurl's
// defaults (connections, DNS and TLS sessions kept), returned when the
// object goes away.
class PooledHandle {
 public:
  // Lends a handle, preferring one last used for `origin`.
  explicit PooledHandle(const std::string &origin);
  ~PooledHandle();
  PooledHandle(const PooledHandle &) = delete;
  PooledHandle &operator=(const PooledHandle &) = delete;

  bool Valid() const { return easy_ != nullptr; }
  CURL *Easy() const { return easy_; }
  // Resets the handle's options for the next request of the same loan.
  void Reset();
  // The origin of the handle's latest request, for the pool's preference.
  void SetOrigin(const std::string &origin) { origin_ = origin; }

 private:
  CURL *easy_ = nullptr;
  std::string origin_;
};

// Closes every idle handle of the pool, and with them the connections they
// keep (for a program about to stop the servers it talks to, such as tests).
void CloseIdleConnections();

// libcurl's global state, set up once per process before the first handle,
// whichever thread gets here first.
void InitCurlOnce();

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESTCLIENTPOOL_HH_
