#include "OpenFile.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qx::quarn_server {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// The first 128 bits of the SHA-256 of what `digest` took, as 32
// hexadecimal digits in quotes; empty when the digest fails.
std::string quotedTag(EVP_MD_CTX *digest) {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(digest, value, &length) != 1 || length < 16) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string tag = "\"";
  for (unsigned int i = 0; i < 16; ++i) {
    tag += kHex[value[i] >> 4];
    tag += kHex[value[i] & 15];
  }
  return tag + "\"";
}

}  // namespace

std::string digestTag(const std::string &bytes) {
  Digest digest(EVP_MD_CTX_new());
  if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(digest.get(), bytes.data(), bytes.size()) != 1)
    return "";
  return quotedTag(digest.get());
}

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
  char identity[160];
  std::snprintf(identity, sizeof(identity), "%llx-%llx-%llx-%llx.%09ld-%llx.%09ld",
                static_cast<unsigned long long>(info.st_dev),
                static_cast<unsigned long long>(info.st_ino),
                static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                static_cast<unsigned long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
  const std::string tag = digestTag(identity);
  return std::shared_ptr<const OpenFile>(
      new OpenFile(fd, static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, tag));
}

OpenFile::OpenFile(int fd, std::uint64_t size, std::time_t modified, std::string tag)
    : fd_(fd), size_(size), modified_(modified), tag_(std::move(tag)) {}

OpenFile::~OpenFile() { ::close(fd_); }

std::string OpenFile::ContentTag() const {
  Digest digest(EVP_MD_CTX_new());
  if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<char> buffer(1 << 20);
  std::uint64_t offset = 0;
  while (offset < size_) {
    const long got = Read(offset, buffer.data(), buffer.size());
    if (got <= 0 || EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(got)) != 1)
      return "";
    offset += static_cast<std::uint64_t>(got);
  }
  return quotedTag(digest.get());
}

long OpenFile::Read(std::uint64_t offset, char *buffer, std::size_t count) const {
  while (true) {
    const ssize_t got = ::pread(fd_, buffer, count, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

}  // namespace qx::quarn_server
