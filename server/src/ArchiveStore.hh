/*
 * The archive store: every version's download archive, built once into a
 * directory outside the served tree and then sent from there. An archive's
 * file is named by its version and the fingerprint of the version's files
 * (Archive.hh), so a change of the files builds a new one and the old one
 * goes; it is written aside and renamed into place, so no reader sees half
 * an archive; what a crashed process left aside is removed when a store is
 * opened. Concurrent requests for an archive that is not built yet build it
 * once: the others wait for it. The store removes only files of its own
 * (archives and archives being written), and takes only an empty directory
 * or one that is an archive store already (marked by .quarn-archive-store).
 * Its directories are the owner's alone (0700) and so are its archives
 * (0600): they hold private models too. The archives of a version the
 * repository no longer holds go when the store is opened, and those of a
 * resource the server deletes go with it. Safe to use from any number of
 * threads.
 */
#ifndef QX_QUARN_SERVER_ARCHIVESTORE_HH_
#define QX_QUARN_SERVER_ARCHIVESTORE_HH_

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "OpenFile.hh"
#include "Repository.hh"

namespace qx::quarn_server {

class ArchiveStore {
 public:
  // An archive ready to send.
  struct Archive {
    std::shared_ptr<const OpenFile> file;
    std::string tag;  // the ETag: the fingerprint, in quotes
  };

  // Keeps the archives of `repository` below `directory`, which Open makes.
  ArchiveStore(const Repository &repository, std::filesystem::path directory);
  ArchiveStore(const ArchiveStore &) = delete;
  ArchiveStore &operator=(const ArchiveStore &) = delete;

  // Makes the directory, marks it as a store and removes what crashed
  // builds left in it and the archives of versions the repository no
  // longer holds; false, with an error line, when it cannot be made,
  // lies inside the served directory (bind mounts and symbolic links seen
  // through) or holds it, or holds anything but an archive store.
  bool Open();
  const std::filesystem::path &Directory() const { return directory_; }

  // The archive of `version` of `resource`, built first when the store does
  // not hold it for the version's files as they are now; nullopt, with an
  // error line, when it cannot be built.
  std::optional<Archive> Get(const Resource &resource, const VersionDir &version);

  // Removes every archive of `resource` (all its versions).
  void Remove(const Resource &resource);

  // Builds the archive of every version of every model and world that the
  // store lacks, calling `progress(done, total)` before the first and after
  // each version, until `cancelled()` (asked between versions) is true. The
  // number of versions whose archive could not be built.
  std::size_t BuildAll(const std::function<void(std::size_t, std::size_t)> &progress,
                       const std::function<bool()> &cancelled = [] { return false; });

 private:
  // The directory of one version's archives.
  std::filesystem::path VersionDirectory(const Resource &resource,
                                         const VersionDir &version) const;
  enum class BuildResult { kBuilt, kChanged, kFailed };
  // Builds `target` for the files that gave `fingerprint` and opens it into
  // `file`; kChanged when the files changed meanwhile, kFailed when the
  // archive cannot be written (then nothing is left at target).
  BuildResult Build(const Resource &resource, const VersionDir &version,
                    const std::string &fingerprint, const std::filesystem::path &target,
                    std::shared_ptr<const OpenFile> &file);
  // Removes from the version directory `dir` what crashed builds left
  // aside and, unless `keep` is empty, the archives other than `keep`.
  // Files that are not the store's own are never touched.
  void Tidy(const std::filesystem::path &dir, const std::string &keep) const;
  // Tidies every version directory of the store, and removes the archives
  // of versions the repository does not hold.
  void RemoveAbandoned() const;
  // Removes the store's own files below `dir` (a resource's or a version's
  // directory of the store) and the directories left empty, up to the
  // store's root.
  void RemoveBelow(const std::filesystem::path &dir) const;

  const Repository &repository_;
  const std::filesystem::path directory_;
  std::mutex mutex_;
  std::condition_variable built_;
  // Archives being built now (their target paths); guarded by mutex_.
  std::set<std::string> building_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ARCHIVESTORE_HH_
