/*
 * What the cache answered for models asked by URL, kept so that a client
 * asked the same again (a simulator resolving a world's models on every
 * load) answers without walking the cache and reading metadata anew. An
 * answer counts only while every directory it came from (each version
 * directory and the resource directory beside it, of the model and of
 * every model it needs) is the one it was: the same file, unchanged. A
 * directory changed within the last second is not trusted to say so (file
 * times are coarse), and its answer is not kept. Any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHEDANSWERS_HH_
#define QX_QUARN_TOOLS_SRC_CACHEDANSWERS_HH_

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qx/quarn_tools/DownloadOutcome.hh"

namespace qx::quarn_tools::internal {

class CachedAnswers {
 public:
  // The answers kept under `keys`, in the order given: each while what it
  // came from is unchanged, nothing for the others.
  std::vector<std::optional<DownloadOutcome>> Find(const std::vector<std::string_view> &keys);
  // Keeps `outcome`, a model answered by the cache with every model it
  // needs (anything else is not kept), under `key`.
  void Keep(const std::string &key, const DownloadOutcome &outcome);
  // Forgets every answer.
  void Clear();

 private:
  // What identifies a directory as it was: device, inode, change times.
  struct Stamp {
    unsigned long long device = 0, inode = 0;
    long long modified = 0, changed = 0;  // nanoseconds
    bool operator==(const Stamp &other) const;
  };
  struct Entry {
    DownloadOutcome outcome;
    std::vector<std::pair<std::string, Stamp>> directories;
  };
  static Stamp StampOf(const struct stat &info);
  static std::optional<Stamp> StampOf(const std::string &path);
  class Directories;

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CACHEDANSWERS_HH_
