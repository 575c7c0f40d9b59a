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
  // The operations the hook sees. For kAppend, the path is the file's and
  // `other` the bytes it will hold after this append.
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

  int Status(const std::string &path, qx::quarn_tools::internal::PathStatus &status) override;
  bool IsDirectoryFollowingLinks(const std::string &path) override;
  int CreateDirectory(const std::string &path) override;
  int CreateFile(const std::string &path,
                 std::unique_ptr<qx::quarn_tools::internal::WritableFile> &file) override;
  int OpenForAppend(const std::string &path,
                    std::unique_ptr<qx::quarn_tools::internal::WritableFile> &file,
                    std::uint64_t &size) override;
  int Rename(const std::string &from, const std::string &to) override;
  int Exchange(const std::string &a, const std::string &b) override;
  int Link(const std::string &from, const std::string &to) override;
  int RemoveEmptyDirectory(const std::string &path) override;
  int RemoveAll(const std::string &path) override;
  int FreeSpace(const std::string &path, std::uint64_t &bytes) override;

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
