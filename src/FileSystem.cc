#include "FileSystem.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

int openWritable(const std::string &path, int flags, std::unique_ptr<WritableFile> &file) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  file = std::make_unique<PosixWritableFile>(fd);
  return 0;
}

class Posix : public FileSystem {
 public:
  int Status(const std::string &path, PathStatus &status) override {
    status = PathStatus();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    status.exists = true;
    status.directory = S_ISDIR(info.st_mode);
    status.regular = S_ISREG(info.st_mode);
    status.link = S_ISLNK(info.st_mode);
    status.owner = info.st_uid;
    status.modified = static_cast<std::int64_t>(info.st_mtime);
    status.size = static_cast<std::uint64_t>(info.st_size);
    return 0;
  }

  bool IsDirectoryFollowingLinks(const std::string &path) override {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  int CreateDirectory(const std::string &path) override {
    return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
  }

  int CreateFile(const std::string &path, std::unique_ptr<WritableFile> &file) override {
    return openWritable(path, O_CREAT | O_EXCL, file);
  }

  int OpenForAppend(const std::string &path, std::unique_ptr<WritableFile> &file,
                    std::uint64_t &size) override {
    const int error = openWritable(path, O_CREAT | O_APPEND, file);
    if (error != 0) return error;
    struct stat info;
    size = ::lstat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return 0;
  }

  int Rename(const std::string &from, const std::string &to) override {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int Exchange(const std::string &a, const std::string &b) override {
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
#else
    (void)a;
    (void)b;
    return ENOSYS;
#endif
  }

  int Link(const std::string &from, const std::string &to) override {
    return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int RemoveEmptyDirectory(const std::string &path) override {
    return ::rmdir(path.c_str()) == 0 ? 0 : errno;
  }

  int RemoveAll(const std::string &path) override {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return ec ? ec.value() : 0;
  }

  int FreeSpace(const std::string &path, std::uint64_t &bytes) override {
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0) return errno;
    bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
    return 0;
  }
};

std::atomic<FileSystem *> gCurrent{nullptr};

}  // namespace

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

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace qx::quarn_tools::internal
