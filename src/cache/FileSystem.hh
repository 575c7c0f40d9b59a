/*
 * The one seam through which the cache writes to disk: directories, files,
 * renames, links, removal and free space. The default is the real POSIX
 * file system; tests install one of their own to make a disk run full, a
 * write fail with EIO or a rename fail, exactly where they want.
 *
 * Below the directories a caller chose (the cache root, a destination given
 * to Zip::Extract), everything is reached by name inside a directory held
 * open, one path component at a time, and a symbolic link is never
 * followed: whatever another user of a shared cache renames or links in
 * place of a directory while a save runs, the save's writes stay where it
 * opened them.
 *
 * Every operation returns 0 or the errno value of the failure, so callers can
 * name the system's own reason ("No space left on device"). Internal to the
 * library; the installed file system may be used from any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_
#define QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
  unsigned mode = 0;          // the permission bits
  std::int64_t modified = 0;  // seconds since the epoch
  std::uint64_t size = 0;
  std::uint64_t device = 0;  // with the inode, which file this is
  std::uint64_t inode = 0;
};

// A directory held open. Entries are reached by name relative to it, so
// what its path (or a parent's) leads to later does not matter. Path() is
// where it was opened, for log lines. Owns its descriptor.
class Directory {
 public:
  Directory(int descriptor, std::string path);
  ~Directory();
  Directory(const Directory &) = delete;
  Directory &operator=(const Directory &) = delete;

  int Descriptor() const { return descriptor_; }
  const std::string &Path() const { return path_; }
  // Path() joined with the "/"-separated `relative`.
  std::string Join(const std::string &relative) const;

 private:
  int descriptor_;
  std::string path_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // By path, for the directories a caller chose (links followed on the way,
  // as the system does):
  //
  // lstat (a link describes itself); a missing path is no error.
  virtual int Status(const std::string &path, PathStatus &status) = 0;
  // Whether `path` leads to a directory, links followed.
  virtual bool IsDirectoryFollowingLinks(const std::string &path) = 0;
  // Creates one directory; EEXIST when something is there already.
  virtual int CreateDirectory(const std::string &path) = 0;
  // Opens the directory `path` leads to.
  virtual int OpenDirectory(const std::string &path, std::unique_ptr<Directory> &directory) = 0;
  // The bytes an unprivileged user may still write on the file system
  // holding `path`.
  virtual int FreeSpace(const std::string &path, std::uint64_t &bytes) = 0;

  // By name inside an open directory. `name` is one path component (EINVAL
  // for anything else), and a link at `name` is never followed:
  //
  // lstat of the entry; a missing entry is no error.
  virtual int StatusAt(const Directory &parent, const std::string &name, PathStatus &status) = 0;
  // Opens the subdirectory `name`; ENOTDIR when it is a link or no directory.
  virtual int OpenDirectoryAt(const Directory &parent, const std::string &name,
                              std::unique_ptr<Directory> &directory) = 0;
  // Opens the directory the link `name` leads to; `owner` receives the
  // owner of that very link (checked and followed in one go, so it cannot
  // be swapped in between), for the caller to refuse it before any use.
  // EINVAL when `name` is no link.
  virtual int FollowLinkAt(const Directory &parent, const std::string &name, uid_t &owner,
                           std::unique_ptr<Directory> &directory) = 0;
  // Creates the directory `name` with the permission bits `mode` (less the
  // umask); EEXIST when something is there already.
  virtual int CreateDirectoryAt(const Directory &parent, const std::string &name,
                                unsigned mode = 0777) = 0;
  // Creates the new file `name` (never an existing one).
  virtual int CreateFileAt(const Directory &parent, const std::string &name,
                           std::unique_ptr<WritableFile> &file) = 0;
  // Renames, replacing what is at `to` (a link there is replaced).
  virtual int RenameAt(const Directory &fromParent, const std::string &from,
                       const Directory &toParent, const std::string &to) = 0;
  // Swaps two entries in one atomic step; ENOSYS (or EINVAL) where the
  // system cannot.
  virtual int ExchangeAt(const Directory &aParent, const std::string &a,
                         const Directory &bParent, const std::string &b) = 0;
  // A hard link `to` of the entry `from` (of the link itself when `from` is
  // one); EEXIST when `to` exists.
  virtual int LinkAt(const Directory &fromParent, const std::string &from,
                     const Directory &toParent, const std::string &to) = 0;
  // Removes an empty directory (ENOTEMPTY otherwise).
  virtual int RemoveEmptyDirectoryAt(const Directory &parent, const std::string &name) = 0;
  // Removes a file, a link or a whole tree, never following links; a
  // missing entry is no error.
  virtual int RemoveAllAt(const Directory &parent, const std::string &name) = 0;
  // Gives the open directory the permission bits `mode`.
  virtual int SetMode(const Directory &directory, unsigned mode) = 0;
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

// Whether `name` may be given to the ...At operations: one component, not
// "." nor "..".
bool IsOneComponent(const std::string &name);

// Opens the directory `relative` ("/"-separated, components as
// IsOneComponent wants them; "" is `top` itself) below `top`, one component
// at a time, never following a link; with `create`, missing directories are
// made. 0 or errno, with `failed` the path that could not be opened or made
// (a file or link where a directory should be gives EEXIST).
int OpenBelow(FileSystem &fileSystem, const Directory &top, const std::string &relative,
              bool create, std::unique_ptr<Directory> &directory, std::string &failed);

// Reading needs no seam: these read the entry `name` of an open directory
// without following a link there.
//
// A descriptor open for reading the regular file `name` (ELOOP for a link);
// the caller closes it.
int OpenForReading(const Directory &parent, const std::string &name, int &descriptor);
// The whole file `name`, when it holds at most `limit` bytes (EFBIG
// otherwise).
int ReadFileAt(const Directory &parent, const std::string &name, std::size_t limit,
               std::string &content);
// What fstat says of an open directory.
int StatusOf(const Directory &directory, PathStatus &status);
// The names in an open directory (without "." and ".."), unsorted.
int ListDirectory(const Directory &directory, std::vector<std::string> &names);

// "No space left on device" for ENOSPC, and so on.
std::string ErrorText(int error);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_FILESYSTEM_HH_
