#include "OpenFile.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/sha.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx::quarn_server {

std::shared_ptr<const OpenFile> OpenFile::Open(const std::filesystem::path &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // What identifies this state of the file, hashed: the tag tells no one
  // the file's device and inode.
  char identity[96];
  std::snprintf(identity, sizeof(identity), "%llx-%llx-%llx-%llx.%09ld",
                static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino),
                static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  ::SHA256(reinterpret_cast<const unsigned char *>(identity), std::strlen(identity), digest);
  std::string tag = "\"";
  for (std::size_t i = 0; i < 16; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", digest[i]);
    tag += hex;
  }
  tag += "\"";
  return std::shared_ptr<const OpenFile>(
      new OpenFile(fd, static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, tag));
}

OpenFile::OpenFile(int fd, std::uint64_t size, std::time_t modified, std::string tag)
    : fd_(fd), size_(size), modified_(modified), tag_(std::move(tag)) {}

OpenFile::~OpenFile() { ::close(fd_); }

long OpenFile::Read(std::uint64_t offset, char *buffer, std::size_t count) const {
  while (true) {
    const ssize_t got = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

}  // namespace qx::quarn_server
