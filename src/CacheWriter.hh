/*
 * How a version enters the cache. A save never works in place: the archive
 * is unpacked into a staging directory beside the version directory (the
 * SDF rewrite runs there too), and one rename then publishes the whole
 * version. So a lookup sees a version whole or not at all, whatever other
 * processes, crashes or full disks do, and a failed save leaves nothing.
 *
 * Several processes may save the same version at once: whichever publishes
 * first wins and the others discard their copies, since a version's content
 * is the same. A save over a version that was already cached when it began
 * (overwrite) keeps the old files the new archive lacks and swaps the
 * merged tree in atomically. With each version goes a record of what it held
 * when it was published (CacheManifest.hh). Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHEWRITER_HH_
#define QX_QUARN_TOOLS_SRC_CACHEWRITER_HH_

#include <functional>
#include <string>
#include <vector>

#include "CacheLimits.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

// What to save, and where.
struct VersionToSave {
  std::string root;        // the cache root
  std::string uniqueName;  // SERVER/OWNER/KIND/NAME
  std::string version;     // the version directory's name
  std::string name;        // the resource's name (its archive is NAME.zip)
  bool overwrite = true;
  UnpackLimits limits;
  // Runs on the unpacked tree before it is published (the SDF rewrite), with
  // the version directory it becomes; returns the "/"-separated paths of the
  // files it changed.
  std::function<std::vector<std::string>(const std::string &tree,
                                         const std::string &versionDirectory)>
      prepare;
};

class CacheWriter {
 public:
  explicit CacheWriter(FileSystem &fileSystem);

  // Saves the archive file at `archive` (left where it is). True with
  // `versionDirectory` set once the version is published.
  bool SaveArchiveFile(const VersionToSave &save, const std::string &archive,
                       std::string &versionDirectory);
  // The same for archive bytes held in memory: they are written to a
  // staging directory first.
  bool SaveArchiveData(const VersionToSave &save, const std::string &data,
                       std::string &versionDirectory);

 private:
  FileSystem &fileSystem_;
};

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHEWRITER_HH_
