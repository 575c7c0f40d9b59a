/*
 * A file system for the cache's seam that behaves like the real one until
 * told otherwise: a disk that fills after so many bytes, creations, renames
 * or swaps that fail with a given errno, a made-up amount of free space, and
 * a hook that sees every operation before it happens (to publish a rival
 * copy, or to kill the process at a chosen step). Installed for its
 * lifetime. Any thread.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_FAULTYFILESYSTEM_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_FAULTYFILESYSTEM_HH_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "FileSystem.hh"

namespace qx::test {

class FaultyFileSystem : public qx::quarn_tools::internal::FileSystem {
 public:
  // The operations the hook sees, with the paths they concern (an entry of
  // an open directory is named by the directory's path and its name). For
  // kAppend, the path is the file's and `other` the bytes it will hold after
  // this append; for kRename, kExchange and kLink `other` is the second path.
  enum class Op { kCreateDirectory, kCreateFile, kAppend, kRename, kExchange, kLink, kRemove };
  using Hook = std::function<void(Op op, const std::string &path, const std::string &other)>;

  FaultyFileSystem();
  ~FaultyFileSystem() override;

  // Appends fail with `error` once `bytes` have been written in all.
  void FailWritesAfter(std::uint64_t bytes, int error);
  // File and directory creations whose path contains `part` fail.
  void FailCreate(const std::string &part, int error);
  // Renames whose target contains `part` fail.
  void FailRename(const std::string &part, int error);
  // Every swap of two directories fails.
  void FailExchange(int error);
  // What FreeSpace reports.
  void SetFreeSpace(std::uint64_t bytes);
  void SetHook(Hook hook);

  std::uint64_t BytesWritten() const { return written_.load(); }

  using Directory = qx::quarn_tools::internal::Directory;
  using PathStatus = qx::quarn_tools::internal::PathStatus;
  using WritableFile = qx::quarn_tools::internal::WritableFile;

  int Status(const std::string &path, PathStatus &status) override;
  bool IsDirectoryFollowingLinks(const std::string &path) override;
  int CreateDirectory(const std::string &path) override;
  int OpenDirectory(const std::string &path, std::unique_ptr<Directory> &directory) override;
  int FreeSpace(const std::string &path, std::uint64_t &bytes) override;
  int StatusAt(const Directory &parent, const std::string &name, PathStatus &status) override;
  int OpenDirectoryAt(const Directory &parent, const std::string &name,
                      std::unique_ptr<Directory> &directory) override;
  int FollowLinkAt(const Directory &parent, const std::string &name, uid_t &owner,
                   std::unique_ptr<Directory> &directory) override;
  int CreateDirectoryAt(const Directory &parent, const std::string &name,
                        unsigned mode) override;
  int CreateFileAt(const Directory &parent, const std::string &name,
                   std::unique_ptr<WritableFile> &file) override;
  int RenameAt(const Directory &fromParent, const std::string &from, const Directory &toParent,
               const std::string &to) override;
  int ExchangeAt(const Directory &aParent, const std::string &a, const Directory &bParent,
                 const std::string &b) override;
  int LinkAt(const Directory &fromParent, const std::string &from, const Directory &toParent,
             const std::string &to) override;
  int RemoveEmptyDirectoryAt(const Directory &parent, const std::string &name) override;
  int RemoveAllAt(const Directory &parent, const std::string &name) override;
  int SetMode(const Directory &directory, unsigned mode) override;

  // For the files it hands out: 0, or the error of an append of `size`
  // bytes at this point.
  int TakeWrite(std::size_t size);
  void See(Op op, const std::string &path, const std::string &other = "");

 private:
  qx::quarn_tools::internal::FileSystem &real_;
  qx::quarn_tools::internal::ScopedFileSystem installed_;
  mutable std::mutex mutex_;
  std::optional<std::uint64_t> writeLimit_;
  int writeError_ = 0;
  std::string createPart_;
  int createError_ = 0;
  std::string renamePart_;
  int renameError_ = 0;
  int exchangeError_ = 0;
  std::optional<std::uint64_t> freeSpace_;
  Hook hook_;
  std::atomic<std::uint64_t> written_{0};
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_FAULTYFILESYSTEM_HH_
