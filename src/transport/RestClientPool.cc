#include "RestClientPool.hh"

#include <array>
#include <deque>
#include <memory>
#include <mutex>
#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal {
namespace {

// Idle handles kept beyond this many are closed, oldest first.
constexpr std::size_t kMaxIdleHandles = 32;

struct UrlDeleter {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
struct PartDeleter {
  void operator()(char *part) const { curl_free(part); }
};

std::string urlPart(CURLU *url, CURLUPart what, unsigned int flags = 0) {
  char *part = nullptr;
  if (curl_url_get(url, what, &part, flags) != CURLUE_OK || part == nullptr) return "";
  const std::unique_ptr<char, PartDeleter> owned(part);
  return part;
}

// The handles, and what they share: DNS answers and TLS sessions, each
// behind a lock of its own. Made once and never destroyed, so handles in use
// while the process exits never outlive it.
class Pool {
 public:
  static Pool &Instance() {
    static Pool *pool = new Pool();
    return *pool;
  }

  CURL *Lend(const std::string &origin) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->origin != origin) continue;
        CURL *easy = it->easy;
        idle_.erase(std::next(it).base());
        return easy;
      }
      if (!idle_.empty()) {
        CURL *easy = idle_.back().easy;
        idle_.pop_back();
        return easy;
      }
    }
    CURL *easy = curl_easy_init();
    if (easy != nullptr && share_ != nullptr) curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    return easy;
  }

  void CloseIdle() {
    std::deque<Idle> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing.swap(idle_);
    }
    for (const Idle &idle : closing) curl_easy_cleanup(idle.easy);
  }

  void Return(CURL *easy, const std::string &origin) {
    curl_easy_reset(easy);
    CURL *closing = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      idle_.push_back({easy, origin});
      if (idle_.size() > kMaxIdleHandles) {
        closing = idle_.front().easy;
        idle_.pop_front();
      }
    }
    if (closing != nullptr) curl_easy_cleanup(closing);
  }

 private:
  struct Idle {
    CURL *easy;
    std::string origin;
  };

  Pool() {
    InitCurlOnce();
    share_ = curl_share_init();
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Pool::LockShare);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Pool::UnlockShare);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  static void LockShare(CURL *, curl_lock_data data, curl_lock_access, void *self) {
    static_cast<Pool *>(self)->LockOf(data).lock();
  }
  static void UnlockShare(CURL *, curl_lock_data data, void *self) {
    static_cast<Pool *>(self)->LockOf(data).unlock();
  }
  std::mutex &LockOf(curl_lock_data data) {
    const auto index = static_cast<std::size_t>(data);
    return shareLocks_[index < shareLocks_.size() ? index : 0];
  }

  std::mutex mutex_;
  std::deque<Idle> idle_;
  CURLSH *share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> shareLocks_;
};

}  // namespace

void InitCurlOnce() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  static std::once_flag reported;
  if (code != CURLE_OK) {
    std::call_once(reported, [] {
      qxerr << "[Rest::Request()]: libcurl initialisation failed: " << curl_easy_strerror(code);
    });
  }
}

std::string OriginOf(const std::string &url) {
  const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "";
  return qx::common::lowercase(urlPart(parsed.get(), CURLUPART_SCHEME) + "://" +
                               urlPart(parsed.get(), CURLUPART_HOST) + ":" +
                               urlPart(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT));
}

void CloseIdleConnections() { Pool::Instance().CloseIdle(); }

PooledHandle::PooledHandle(const std::string &origin)
    : easy_(Pool::Instance().Lend(origin)), origin_(origin) {}

PooledHandle::~PooledHandle() {
  if (easy_ != nullptr) Pool::Instance().Return(easy_, origin_);
}

void PooledHandle::Reset() {
  if (easy_ != nullptr) curl_easy_reset(easy_);
}

}  // namespace qx::quarn_tools::internal
