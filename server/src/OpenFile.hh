/*
 * A regular file opened for reading, owned for as long as a reply that is
 * sent from it lives: the bytes sent are those of the file that was opened,
 * whatever happens to its name meanwhile. Reads go by offset, so one open
 * file serves any number of threads at once.
 */
#ifndef QX_QUARN_SERVER_OPENFILE_HH_
#define QX_QUARN_SERVER_OPENFILE_HH_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

namespace qx::quarn_server {

class OpenFile {
 public:
  // The regular file at `path` (symbolic links followed); nullptr when it
  // cannot be opened or is no regular file.
  static std::shared_ptr<const OpenFile> Open(const std::filesystem::path &path);
  ~OpenFile();
  OpenFile(const OpenFile &) = delete;
  OpenFile &operator=(const OpenFile &) = delete;

  // The size and modification time when it was opened.
  std::uint64_t Size() const { return size_; }
  std::time_t Modified() const { return modified_; }
  // A validator that changes when the file is replaced or changed: a hash
  // of its device, inode, size and modification time (nanoseconds), 32
  // hexadecimal digits in quotes (which give none of them away).
  const std::string &Tag() const { return tag_; }

  // Reads up to `count` bytes at `offset` into `buffer`: the number read,
  // 0 at the end of the file, -1 on an error.
  long Read(std::uint64_t offset, char *buffer, std::size_t count) const;
  // The open file itself, for senders that read it by descriptor (it
  // stays open for as long as this object lives).
  int Descriptor() const { return fd_; }

 private:
  OpenFile(int fd, std::uint64_t size, std::time_t modified, std::string tag);

  const int fd_;
  const std::uint64_t size_;
  const std::time_t modified_;
  const std::string tag_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_OPENFILE_HH_
