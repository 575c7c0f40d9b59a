#include "engine/Connections.hh"

#include <memory>
#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal {
namespace {

struct UrlDeleter {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
struct PartDeleter {
  void operator()(char *part) const { curl_free(part); }
};

std::string UrlPart(CURLU *url, CURLUPart what, unsigned int flags = 0) {
  char *part = nullptr;
  if (curl_url_get(url, what, &part, flags) != CURLUE_OK || part == nullptr) return "";
  const std::unique_ptr<char, PartDeleter> owned(part);
  return part;
}

}  // namespace

std::string OriginOf(const std::string &url) {
  const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "";
  return qx::common::lowercase(UrlPart(parsed.get(), CURLUPART_SCHEME) + "://" +
                               UrlPart(parsed.get(), CURLUPART_HOST) + ":" +
                               UrlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT));
}

void InitCurlOnce() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  static std::once_flag reported;
  if (code != CURLE_OK) {
    std::call_once(reported, [] {
      qxerr << "[Rest::Request()]: libcurl initialisation failed: " << curl_easy_strerror(code);
    });
  }
}

namespace engine {

CURLM *NewMulti(long maxStreams) {
  CURLM *multi = curl_multi_init();
  if (multi == nullptr) return nullptr;
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, maxStreams);
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, kMaxConnectionsKept);
  return multi;
}

void UseConnectionOptions(CURL *easy, const std::string &url, CURLSH *share) {
  const bool tls = qx::common::lowercase(url.substr(0, 8)) == "https://";
  // HTTP/2 only where ALPN can offer it; plain http:// stays HTTP/1.1 (and
  // so never waits for a multiplexed connection that cannot come).
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                   static_cast<long>(tls ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1));
  // A second request to an origin whose first connection is being opened
  // waits to learn whether it multiplexes, instead of opening another.
  curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
  if (share != nullptr) curl_easy_setopt(easy, CURLOPT_SHARE, share);
}

SharedSessions::SharedSessions() {
  InitCurlOnce();
  share_ = curl_share_init();
  if (share_ == nullptr) return;
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &SharedSessions::Lock);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &SharedSessions::Unlock);
  curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

SharedSessions::~SharedSessions() {
  if (share_ != nullptr) curl_share_cleanup(share_);
}

void SharedSessions::Lock(CURL *, curl_lock_data data, curl_lock_access, void *self) {
  static_cast<SharedSessions *>(self)->LockOf(data).lock();
}

void SharedSessions::Unlock(CURL *, curl_lock_data data, void *self) {
  static_cast<SharedSessions *>(self)->LockOf(data).unlock();
}

std::mutex &SharedSessions::LockOf(curl_lock_data data) {
  const auto index = static_cast<std::size_t>(data);
  return locks_[index < locks_.size() ? index : 0];
}

void OriginProtocols::Note(const std::string &origin, bool multiplexed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (multiplexed)
    multiplexing_.insert(origin);
  else
    multiplexing_.erase(origin);
}

bool OriginProtocols::Multiplexes(const std::string &origin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return multiplexing_.count(origin) != 0;
}

}  // namespace engine
}  // namespace qx::quarn_tools::internal
