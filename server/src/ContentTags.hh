/*
 * Entity tags that follow the bytes of files: a digest of a file's content
 * (OpenFile::ContentTag), read once for each state of the file
 * (OpenFile::Tag: device, inode, size, times) and kept by path, so that a
 * copy of the tree, a restored backup or a touched file keeps its tag, and
 * caches between keep what they hold. At most kMaxEntries paths are kept;
 * past that it starts afresh. Thread-safe.
 */
#ifndef QX_QUARN_SERVER_CONTENTTAGS_HH_
#define QX_QUARN_SERVER_CONTENTTAGS_HH_

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "OpenFile.hh"

namespace qx::quarn_server {

class ContentTags {
 public:
  static constexpr std::size_t kMaxEntries = 1 << 16;

  // The content tag of `file`, opened from `path`: the one kept for its
  // state, or else read now (and kept); empty when it cannot be read. Two
  // first calls for one file may both read it; they find the same.
  std::string Of(const std::string &path, const OpenFile &file);
  // Keeps `tag` as the content tag of `path` in the state `identity`.
  void Remember(const std::string &path, const std::string &identity, const std::string &tag);
  // Forgets the tags of the paths below the directory `dir`, but `keep`.
  void ForgetBelow(const std::string &dir, const std::string &keep);

 private:
  struct Known {
    std::string identity;
    std::string tag;
  };
  std::mutex mutex_;
  std::map<std::string, Known> known_;  // guarded by mutex_
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CONTENTTAGS_HH_
