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
 * when it was published (CacheManifest.hh), built in the staging directory
 * too and moved beside the version once it is published. The staging
 * directory is only ours, and everything in it and in the resource
 * directory is reached through open directories (StagingDirectory.hh), so
 * no other user of a shared cache can redirect a write. Internal; any
 * thread.
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
  // the version directory it becomes; adds to `changed` the "/"-separated
  // paths of the files it changed. False (having said why) when the version
  // must not be published.
  std::function<bool(const Directory &tree, const std::string &versionDirectory,
                     std::vector<std::string> &changed)>
      prepare;
};

class CacheWriter {
 public:
  explicit CacheWriter(FileSystem &fileSystem);

  // Saves the archive file at `archive` (left where it is; a download's
  // archive in a staging directory of this process is read through it). True
  // with `versionDirectory` set once the version is published.
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
