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
#include <optional>
#include <string>
#include <vector>

#include "CacheLimits.hh"
#include "FileSystem.hh"
#include "ModelPreparation.hh"
#include "StagingDirectory.hh"

namespace qx::quarn_tools::internal::cache {

// What a save published: the version directory and its name, and for a
// model the metadata it read once from the version before publishing it.
struct Published {
  std::string directory;
  std::string version;
  ModelMetadata metadata;
};

// What to save, and where.
struct VersionToSave {
  std::string root;        // the cache root
  std::string uniqueName;  // SERVER/OWNER/KIND/NAME
  std::string version;     // the version directory's name
  std::string name;        // the resource's name (its archive is NAME.zip)
  bool overwrite = true;
  UnpackLimits limits;
  // Runs on the unpacked tree before it is published (a model's
  // preparation, ModelPreparation.hh), with the version directory it
  // becomes; adds to `changed` the "/"-separated paths of the files it
  // changed, and what it read to `published`. False (having said why) when
  // the version must not be published.
  std::function<bool(const Directory &tree, const std::string &versionDirectory,
                     std::vector<std::string> &changed, Published &published)>
      prepare;
};

// Every save ends the same way: what was published, or nothing when the
// save failed (having said why, with the reason noted, FailureNotes.hh),
// and then nothing of it is left in the cache.
class CacheWriter {
 public:
  explicit CacheWriter(FileSystem &fileSystem);

  // Saves the archive `archiveName` that a download left in the staging
  // directory `stage` of the same resource, working in that directory
  // (which stays its owner's to remove).
  std::optional<Published> SaveStaged(const VersionToSave &save, StagingDirectory &stage,
                                      const std::string &archiveName);
  // Saves the archive file at `archive` (left where it is).
  std::optional<Published> SaveArchiveFile(const VersionToSave &save, const std::string &archive);
  // The same for archive bytes held in memory: they are written to a
  // staging directory first.
  std::optional<Published> SaveArchiveData(const VersionToSave &save, const std::string &data);

 private:
  FileSystem &fileSystem_;
};

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHEWRITER_HH_
