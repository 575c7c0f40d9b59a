/*
 * The archive store: every version's download archive, built once into a
 * directory outside the served tree and then sent from there. An archive's
 * file is named by its version and the fingerprint of the version's files
 * (Archive.hh), so a change of the files builds a new one and the old one
 * goes; it is written aside and renamed into place, so no reader sees half
 * an archive and a crash leaves none. Concurrent requests for an archive
 * that is not built yet build it once: the others wait for it. Safe to use
 * from any number of threads.
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

  // Makes the directory; false, with an error line, when it cannot be made
  // or lies inside the served directory.
  bool Open();
  const std::filesystem::path &Directory() const { return directory_; }

  // The archive of `version` of `resource`, built first when the store does
  // not hold it for the version's files as they are now; nullopt, with an
  // error line, when it cannot be built.
  std::optional<Archive> Get(const Resource &resource, const VersionDir &version);

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
  // Builds `target` for the files that gave `fingerprint`; false when that
  // fails or the files changed meanwhile (then nothing is left at target).
  bool Build(const Resource &resource, const VersionDir &version,
             const std::string &fingerprint, const std::filesystem::path &target);
  // Removes the archives in `dir` other than `keep`.
  void RemoveOthers(const std::filesystem::path &dir, const std::filesystem::path &keep) const;

  const Repository &repository_;
  const std::filesystem::path directory_;
  std::mutex mutex_;
  std::condition_variable built_;
  // Archives being built now (their target paths); guarded by mutex_.
  std::set<std::string> building_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ARCHIVESTORE_HH_
