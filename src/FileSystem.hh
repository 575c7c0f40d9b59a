/*
 * The one seam through which the cache writes to disk: directories, files,
 * renames, links, removal and free space. The default is the real POSIX
 * file system; tests install one of their own to make a disk run full, a
 * write fail with EIO or a rename fail, exactly where they want.
 *
 * Every operation returns 0 or the errno value of the failure, so callers can
 * name the system's own reason ("No space left on device"). Operations never
 * follow a symbolic link at the last component of the path they create or
 * remove. Internal to the library; the installed file system may be used
 * from any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_
#define QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qx::quarn_tools::internal {

// A file open for writing. Close it to learn whether everything reached it.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Appends all `size` bytes; 0 or errno.
  virtual int Append(const char *data, std::size_t size) = 0;
  // Flushes and closes; 0 or errno. Further calls return EBADF.
  virtual int Close() = 0;
};

// What lstat says of a path, as far as the cache needs it.
struct PathStatus {
  bool exists = false;
  bool directory = false;
  bool regular = false;
  bool link = false;
  uid_t owner = 0;
  std::int64_t modified = 0;  // seconds since the epoch
  std::uint64_t size = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // lstat (a link describes itself); a missing path is no error.
  virtual int Status(const std::string &path, PathStatus &status) = 0;
  // Whether `path` leads to a directory, links followed.
  virtual bool IsDirectoryFollowingLinks(const std::string &path) = 0;
  // Creates one directory; EEXIST when something is there already.
  virtual int CreateDirectory(const std::string &path) = 0;
  // Creates a new file (never an existing one, never through a link).
  virtual int CreateFile(const std::string &path, std::unique_ptr<WritableFile> &file) = 0;
  // Opens a file for appending, creating it when missing (not through a
  // link); `size` receives its length.
  virtual int OpenForAppend(const std::string &path, std::unique_ptr<WritableFile> &file,
                            std::uint64_t &size) = 0;
  virtual int Rename(const std::string &from, const std::string &to) = 0;
  // Swaps two directories in one atomic step; ENOSYS (or EINVAL) where the
  // system cannot.
  virtual int Exchange(const std::string &a, const std::string &b) = 0;
  // A hard link `to` of the file `from`.
  virtual int Link(const std::string &from, const std::string &to) = 0;
  // Removes an empty directory (ENOTEMPTY otherwise).
  virtual int RemoveEmptyDirectory(const std::string &path) = 0;
  // Removes a file, a link or a whole tree below a directory, never
  // following links; a missing path is no error.
  virtual int RemoveAll(const std::string &path) = 0;
  // The bytes an unprivileged user may still write on the file system
  // holding `path`.
  virtual int FreeSpace(const std::string &path, std::uint64_t &bytes) = 0;
};

// The real file system.
FileSystem &PosixFileSystem();

// The file system the cache writes through: PosixFileSystem() unless a test
// installed another.
FileSystem &CurrentFileSystem();

// Installs `fileSystem` for the lifetime of the object (tests only; install
// it while no save runs). Nests.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem &fileSystem);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem &) = delete;
  ScopedFileSystem &operator=(const ScopedFileSystem &) = delete;

 private:
  FileSystem *previous_;
};

// Creates `path` and its missing parents through `fileSystem`, following
// links (mkdir -p); 0 or errno.
int CreateDirectories(FileSystem &fileSystem, const std::string &path);

// "No space left on device" for ENOSPC, and so on.
std::string ErrorText(int error);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_
