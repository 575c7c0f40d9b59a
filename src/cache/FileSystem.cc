#include "FileSystem.hh"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace qx::quarn_tools::internal {
namespace {

class PosixWritableFile : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int Append(const char *data, std::size_t size) override {
    if (fd_ < 0) return EBADF;
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) return errno;
      if (written == 0) return EIO;
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    return 0;
  }

  int Close() override {
    if (fd_ < 0) return EBADF;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

void describe(const struct stat &info, PathStatus &status) {
  status.exists = true;
  status.directory = S_ISDIR(info.st_mode);
  status.regular = S_ISREG(info.st_mode);
  status.link = S_ISLNK(info.st_mode);
  status.owner = info.st_uid;
  status.mode = static_cast<unsigned>(info.st_mode & 07777);
  status.modified = static_cast<std::int64_t>(info.st_mtime);
  status.size = static_cast<std::uint64_t>(info.st_size);
  status.device = static_cast<std::uint64_t>(info.st_dev);
  status.inode = static_cast<std::uint64_t>(info.st_ino);
}

int openDirectoryAt(int parent, const std::string &name, int &fd) {
  fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd < 0 ? errno : 0;
}

// The names in the directory open at `fd`.
int listNames(int fd, std::vector<std::string> &names) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return errno;
  DIR *dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int error = errno;
    ::close(copy);
    return error;
  }
  ::rewinddir(dir);
  errno = 0;
  while (const struct dirent *entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  return error;
}

// Removes the entry `name` of the directory open at `parent` and, for a
// directory, everything below it, never following a link.
int removeTree(int parent, const std::string &name) {
  if (::unlinkat(parent, name.c_str(), 0) == 0) return 0;
  const int unlinkError = errno;
  if (unlinkError == ENOENT) return 0;
  if (unlinkError != EISDIR && unlinkError != EPERM) return unlinkError;
  int fd = -1;
  const int opened = openDirectoryAt(parent, name, fd);
  if (opened == ENOENT) return 0;
  // Not a directory after all (or one we may not open): the unlink's reason.
  if (opened != 0) return opened == ENOTDIR ? unlinkError : opened;
  std::vector<std::string> names;
  int error = listNames(fd, names);
  for (const std::string &child : names) {
    const int removed = removeTree(fd, child);
    if (error == 0) error = removed;
  }
  ::close(fd);
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && error == 0)
    error = errno;
  return error;
}

std::unique_ptr<Directory> opened(int fd, std::string path) {
  return std::make_unique<Directory>(fd, std::move(path));
}

class Posix : public FileSystem {
 public:
  int Status(const std::string &path, PathStatus &status) override {
    status = PathStatus();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    describe(info, status);
    return 0;
  }

  bool IsDirectoryFollowingLinks(const std::string &path) override {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  int CreateDirectory(const std::string &path) override {
    return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
  }

  int OpenDirectory(const std::string &path, std::unique_ptr<Directory> &directory) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    directory = opened(fd, path);
    return 0;
  }

  int FreeSpace(const std::string &path, std::uint64_t &bytes) override {
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0) return errno;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
    return 0;
  }

  int StatusAt(const Directory &parent, const std::string &name, PathStatus &status) override {
    status = PathStatus();
    if (!IsOneComponent(name)) return EINVAL;
    struct stat info;
    if (::fstatat(parent.Descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    describe(info, status);
    return 0;
  }

  int OpenDirectoryAt(const Directory &parent, const std::string &name,
                      std::unique_ptr<Directory> &directory) override {
    if (!IsOneComponent(name)) return EINVAL;
    int fd = -1;
    const int error = openDirectoryAt(parent.Descriptor(), name, fd);
    if (error != 0) return error;
    directory = opened(fd, parent.Join(name));
    return 0;
  }

  int FollowLinkAt(const Directory &parent, const std::string &name, uid_t &owner,
                   std::unique_ptr<Directory> &directory) override {
    if (!IsOneComponent(name)) return EINVAL;
    std::string target;
    const int read = ReadLink(parent.Descriptor(), name, owner, target);
    if (read != 0) return read;
    // A relative target is relative to the directory holding the link.
    const int fd = ::openat(parent.Descriptor(), target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    directory = opened(fd, parent.Join(name));
    return 0;
  }

  int CreateDirectoryAt(const Directory &parent, const std::string &name, unsigned mode) override {
    if (!IsOneComponent(name)) return EINVAL;
    return ::mkdirat(parent.Descriptor(), name.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
  }

  int CreateFileAt(const Directory &parent, const std::string &name,
                   std::unique_ptr<WritableFile> &file) override {
    if (!IsOneComponent(name)) return EINVAL;
    const int fd = ::openat(parent.Descriptor(), name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    file = std::make_unique<PosixWritableFile>(fd);
    return 0;
  }

  int RenameAt(const Directory &fromParent, const std::string &from, const Directory &toParent,
               const std::string &to) override {
    if (!IsOneComponent(from) || !IsOneComponent(to)) return EINVAL;
    return ::renameat(fromParent.Descriptor(), from.c_str(), toParent.Descriptor(), to.c_str()) == 0
               ? 0
               : errno;
  }

  int ExchangeAt(const Directory &aParent, const std::string &a, const Directory &bParent,
                 const std::string &b) override {
    if (!IsOneComponent(a) || !IsOneComponent(b)) return EINVAL;
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    return ::renameat2(aParent.Descriptor(), a.c_str(), bParent.Descriptor(), b.c_str(),
                       RENAME_EXCHANGE) == 0
               ? 0
               : errno;
#else
    (void)aParent;
    (void)bParent;
    return ENOSYS;
#endif
  }

  int LinkAt(const Directory &fromParent, const std::string &from, const Directory &toParent,
             const std::string &to) override {
    if (!IsOneComponent(from) || !IsOneComponent(to)) return EINVAL;
    return ::linkat(fromParent.Descriptor(), from.c_str(), toParent.Descriptor(), to.c_str(), 0) ==
                   0
               ? 0
               : errno;
  }

  int RemoveEmptyDirectoryAt(const Directory &parent, const std::string &name) override {
    if (!IsOneComponent(name)) return EINVAL;
    return ::unlinkat(parent.Descriptor(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
  }

  int RemoveAllAt(const Directory &parent, const std::string &name) override {
    if (!IsOneComponent(name)) return EINVAL;
    return removeTree(parent.Descriptor(), name);
  }

  int SetMode(const Directory &directory, unsigned mode) override {
    return ::fchmod(directory.Descriptor(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
  }

 private:
  // The target of the link `name` and the owner of that very link.
  static int ReadLink(int parent, const std::string &name, uid_t &owner, std::string &target) {
    char buffer[PATH_MAX + 1];
#if defined(__linux__) && defined(O_PATH)
    // The link itself, held open: its owner and its target are read from
    // the same link, whatever is renamed in its place meanwhile.
    const int fd = ::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat info;
    int error = ::fstat(fd, &info) != 0 ? errno : (S_ISLNK(info.st_mode) ? 0 : EINVAL);
    ssize_t length = -1;
    if (error == 0) {
      length = ::readlinkat(fd, "", buffer, PATH_MAX);
      if (length < 0) error = errno;
    }
    ::close(fd);
#else
    struct stat info;
    struct stat again;
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISLNK(info.st_mode)) return EINVAL;
    const ssize_t length = ::readlinkat(parent, name.c_str(), buffer, PATH_MAX);
    int error = length < 0 ? errno : 0;
    // The link read must be the one whose owner we know.
    if (error == 0 && (::fstatat(parent, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
                       again.st_ino != info.st_ino || again.st_dev != info.st_dev))
      error = EAGAIN;
#endif
    if (error != 0) return error;
    owner = info.st_uid;
    target.assign(buffer, static_cast<std::size_t>(length));
    return 0;
  }
};

std::atomic<FileSystem *> gCurrent{nullptr};

// "a/b/c" as its components.
std::vector<std::string> components(const std::string &relative) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative.size()) {
    const std::size_t slash = relative.find('/', start);
    const std::size_t end = slash == std::string::npos ? relative.size() : slash;
    if (end > start) parts.push_back(relative.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

}  // namespace

Directory::Directory(int descriptor, std::string path)
    : descriptor_(descriptor), path_(std::move(path)) {}

Directory::~Directory() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::string Directory::Join(const std::string &relative) const {
  if (relative.empty()) return path_;
  if (path_.empty() || path_.back() == '/') return path_ + relative;
  return path_ + "/" + relative;
}

FileSystem &PosixFileSystem() {
  static Posix posix;
  return posix;
}

FileSystem &CurrentFileSystem() {
  FileSystem *current = gCurrent.load();
  return current != nullptr ? *current : PosixFileSystem();
}

ScopedFileSystem::ScopedFileSystem(FileSystem &fileSystem) : previous_(gCurrent.load()) {
  gCurrent.store(&fileSystem);
}

ScopedFileSystem::~ScopedFileSystem() { gCurrent.store(previous_); }

int CreateDirectories(FileSystem &fileSystem, const std::string &path) {
  if (path.empty()) return ENOENT;
  if (fileSystem.IsDirectoryFollowingLinks(path)) return 0;
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
  if (!parent.empty()) {
    const int error = CreateDirectories(fileSystem, parent);
    if (error != 0) return error;
  }
  const int error = fileSystem.CreateDirectory(path);
  if (error == EEXIST && fileSystem.IsDirectoryFollowingLinks(path)) return 0;
  return error;
}

bool IsOneComponent(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

int OpenBelow(FileSystem &fileSystem, const Directory &top, const std::string &relative,
              bool create, std::unique_ptr<Directory> &directory, std::string &failed) {
  const std::vector<std::string> parts = components(relative);
  if (parts.empty()) {
    const int fd = ::fcntl(top.Descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
      failed = top.Path();
      return errno;
    }
    directory = opened(fd, top.Path());
    return 0;
  }
  std::unique_ptr<Directory> current;
  for (const std::string &part : parts) {
    const Directory &parent = current ? *current : top;
    std::unique_ptr<Directory> next;
    int error = IsOneComponent(part) ? fileSystem.OpenDirectoryAt(parent, part, next) : EINVAL;
    if (error == ENOENT && create) {
      error = fileSystem.CreateDirectoryAt(parent, part);
      if (error == 0 || error == EEXIST) error = fileSystem.OpenDirectoryAt(parent, part, next);
    }
    // Something other than a directory is in the way.
    if (error == ENOTDIR && create) error = EEXIST;
    if (error != 0) {
      failed = parent.Join(part);
      return error;
    }
    current = std::move(next);
  }
  directory = std::move(current);
  return 0;
}

int OpenForReading(const Directory &parent, const std::string &name, int &descriptor) {
  if (!IsOneComponent(name)) return EINVAL;
  // Not blocking on a fifo someone put there; regular files only.
  const int fd = ::openat(parent.Descriptor(), name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info;
  const int error = ::fstat(fd, &info) != 0 ? errno : (S_ISREG(info.st_mode) ? 0 : EINVAL);
  if (error == 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (error != 0) {
    ::close(fd);
    return error;
  }
  descriptor = fd;
  return 0;
}

int ReadFileAt(const Directory &parent, const std::string &name, std::size_t limit,
               std::string &content) {
  int fd = -1;
  const int opened = OpenForReading(parent, name, fd);
  if (opened != 0) return opened;
  content.clear();
  char buffer[1 << 16];
  int error = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    if (content.size() + static_cast<std::size_t>(got) > limit) {
      error = EFBIG;
      break;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return error;
}

int StatusOf(const Directory &directory, PathStatus &status) {
  status = PathStatus();
  struct stat info;
  if (::fstat(directory.Descriptor(), &info) != 0) return errno;
  describe(info, status);
  return 0;
}

int ListDirectory(const Directory &directory, std::vector<std::string> &names) {
  return listNames(directory.Descriptor(), names);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace qx::quarn_tools::internal
