/*
 * While an object of this class lives, a configuration built on the same
 * thread does not log that it has no default cache (HOME and
 * QX_QUARN_CACHE_PATH unset): for a caller about to read a configuration
 * file that may name the cache, so that the complaint comes only when the
 * file names none either. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_QUIETDEFAULTCACHE_HH_
#define QX_QUARN_TOOLS_SRC_QUIETDEFAULTCACHE_HH_

namespace qx::quarn_tools::internal {

class QuietDefaultCache {
 public:
  QuietDefaultCache();
  ~QuietDefaultCache();
  QuietDefaultCache(const QuietDefaultCache &) = delete;
  QuietDefaultCache &operator=(const QuietDefaultCache &) = delete;

  // Whether an object of this class lives on the calling thread.
  static bool Active();

 private:
  bool outer_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_QUIETDEFAULTCACHE_HH_
