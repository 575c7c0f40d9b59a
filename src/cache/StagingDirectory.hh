/*
 * A directory of the cache's own, beside the versions of one resource, where
 * a save builds a version before publishing it with one rename. Only its
 * maker may enter it (mode 0700, checked to be ours once open), and
 * everything in it is reached through the open directory, so no other user
 * of a shared cache can plant a link in it or swap it for another. It is
 * removed, with whatever it holds, when the object goes away; a process that
 * dies leaves it behind under a name that says which host and process made
 * it, and later saves of the resource remove it once that process is gone
 * (or a day has passed without a change in it). Internal; one thread per
 * object.
 */
#ifndef QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_
#define QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_

#include <memory>
#include <string>

#include "CacheNames.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

// A fresh scratch name of this process, known to be in use while the object
// lives: removal of stale scratch entries leaves it alone even though it
// carries this process's id. Any thread.
class ClaimedScratch {
 public:
  explicit ClaimedScratch(Scratch kind);
  ~ClaimedScratch();
  ClaimedScratch(const ClaimedScratch &) = delete;
  ClaimedScratch &operator=(const ClaimedScratch &) = delete;

  const std::string &Name() const { return name_; }

 private:
  std::string name_;
};

class StagingDirectory {
 public:
  // Opens ROOT/UNIQUE-NAME (made as needed, the link rule of
  // CacheDirectories.hh applied), removes the stale scratch entries there,
  // and makes a fresh owner-only directory of `kind` in it. Nothing, with a
  // one-line `error`, when it cannot.
  static std::unique_ptr<StagingDirectory> Create(FileSystem &fileSystem, const std::string &root,
                                                  const std::string &uniqueName, std::string &error,
                                                  Scratch kind = Scratch::kStaging);
  // Removes every staging directory of this process now, for a process
  // about to end without unwinding (an interrupt): their saves then fail,
  // and nothing of them stays behind. Any thread.
  static void AbandonAll();
  ~StagingDirectory();
  StagingDirectory(const StagingDirectory &) = delete;
  StagingDirectory &operator=(const StagingDirectory &) = delete;

  // The staging directory itself, and the resource directory holding it,
  // both open.
  const Directory &Stage() const { return *stage_; }
  const Directory &Resource() const { return *resource_; }
  const std::string &Path() const { return stage_->Path(); }
  const std::string &ResourceDirectory() const { return resource_->Path(); }
  // Path() joined with `name`.
  std::string Join(const std::string &name) const;

 private:
  StagingDirectory(FileSystem &fileSystem, std::unique_ptr<ClaimedScratch> name,
                   std::unique_ptr<Directory> resource, std::unique_ptr<Directory> stage,
                   const PathStatus &identity);

  // Removes the directory this object made (not what may have been renamed
  // to its name meanwhile); 0 or errno.
  int Remove() const;

  FileSystem &fileSystem_;
  std::unique_ptr<ClaimedScratch> name_;
  std::unique_ptr<Directory> resource_;
  std::unique_ptr<Directory> stage_;
  PathStatus identity_;
};

// Removes the scratch entries of the open resource directory whose process
// is gone (same host, no such process, or this process's id on an entry it
// did not make) or in which nothing changed for a day, and part files a day
// old (saves of older libraries wrote records through them). Links are
// removed, never followed.
void RemoveStaleScratch(FileSystem &fileSystem, const Directory &resource);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_STAGINGDIRECTORY_HH_
