/*
 * A directory of the cache's own, beside the versions of one resource, where
 * a save builds a version before publishing it with one rename. It is
 * removed, with whatever it holds, when the object goes away; a process that
 * dies leaves it behind under a name that says which host and process made
 * it, and later saves of the resource remove it once that process is gone
 * (or a day has passed). Internal; one thread per object.
 */
#ifndef QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_
#define QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_

#include <memory>
#include <string>

#include "CacheNames.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

class StagingDirectory {
 public:
  // Makes ROOT/UNIQUE-NAME (the link rule of CacheDirectories.hh applied),
  // removes the stale scratch entries there, and makes a fresh directory of
  // `kind` in it. Nothing, with a one-line `error`, when it cannot.
  static std::unique_ptr<StagingDirectory> Create(FileSystem &fileSystem, const std::string &root,
                                                  const std::string &uniqueName, std::string &error,
                                                  Scratch kind = Scratch::kStaging);
  ~StagingDirectory();
  StagingDirectory(const StagingDirectory &) = delete;
  StagingDirectory &operator=(const StagingDirectory &) = delete;

  // The staging directory itself, and the resource directory holding it.
  const std::string &Path() const { return path_; }
  const std::string &ResourceDirectory() const { return resource_; }
  // Path() joined with `name`.
  std::string Join(const std::string &name) const;

 private:
  StagingDirectory(FileSystem &fileSystem, std::string resource, std::string path);

  FileSystem &fileSystem_;
  std::string resource_;
  std::string path_;
};

// Removes the scratch entries of `resourceDirectory` whose process is gone
// (same host, no such process) or that are older than a day. Links are
// removed, never followed.
void RemoveStaleScratch(FileSystem &fileSystem, const std::string &resourceDirectory);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_
