#include "qx/quarn_tools/Zip.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "ConfinedPath.hh"

namespace qx::quarn_tools {
namespace {

// Entries are copied through a buffer of at most this size, so memory use
// does not grow with the size of an entry.
constexpr zip_uint64_t kChunkSize = 1 << 20;

struct ArchiveDiscard {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDiscard>;

struct EntryClose {
  void operator()(zip_file_t *file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryClose>;

struct SourceFree {
  void operator()(zip_source_t *source) const { zip_source_free(source); }
};
using SourcePtr = std::unique_ptr<zip_source_t, SourceFree>;

ArchivePtr openArchive(const std::string &path, int flags) {
  int error = 0;
  return ArchivePtr(zip_open(path.c_str(), flags, &error));
}

// Writes the archive and releases the handle. On failure the handle stays
// owned by `archive` (and is discarded with it) so its error can be read.
bool closeArchive(ArchivePtr &archive) {
  if (zip_close(archive.get()) < 0) return false;
  archive.release();
  return true;
}

std::string archiveError(zip_t *archive) {
  return zip_error_strerror(zip_get_error(archive));
}

// ---------------------------------------------------------------------------
// Packing

// Adds a tree to an open archive. Directory links that lead back into a
// directory being packed are skipped, so a link loop cannot nest forever.
class Packer {
 public:
  explicit Packer(zip_t *archive) : archive_(archive) {}

  // Adds `path` under `entryName`; false when the entry itself could not be
  // added (failures of children are logged and skipped).
  bool Add(const std::string &path, const std::string &entryName) {
    if (qx::common::isDirectory(path)) return AddDirectory(path, entryName);
    if (qx::common::isFile(path)) return AddFile(path, entryName);
    // Neither a directory nor a regular file (a dangling link, a socket...).
    return true;
  }

 private:
  bool AddDirectory(const std::string &path, const std::string &entryName) {
    std::error_code ec;
    const std::string real = std::filesystem::canonical(path, ec).string();
    if (!ec && std::find(open_.begin(), open_.end(), real) != open_.end()) {
      qxwarn << "Skipping directory link loop: " << path << "\n";
      return true;
    }
    if (zip_dir_add(archive_, entryName.c_str(), 0) < 0) {
      qxerr << "Error adding directory to zip: " << path << "\n";
      return false;
    }
    open_.push_back(real);
    for (qx::common::DirIter it(path), end; it != end; ++it) {
      const std::string child = *it;
      const std::string childEntry =
          qx::common::joinPaths(entryName, qx::common::basename(child));
      if (!Add(child, childEntry))
        qxerr << "Error compressing file: " << child << "\n";
    }
    open_.pop_back();
    return true;
  }

  bool AddFile(const std::string &path, const std::string &entryName) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff length = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    SourcePtr source;
    if (length >= 0)
      source.reset(zip_source_file(archive_, path.c_str(), 0, length));
    if (!source) {
      qxerr << "Error adding file to zip: " << path << "\n";
      return false;
    }
    if (zip_file_add(archive_, entryName.c_str(), source.get(), 0) < 0) {
      qxerr << "Error adding file to zip: " << path << "\n";
      return false;
    }
    // The archive owns the source now.
    source.release();
    return true;
  }

  zip_t *archive_;
  std::vector<std::string> open_;
};

bool compress(const std::string &src, const std::string &dst) {
  if (!qx::common::exists(src)) {
    qxerr << "Directory does not exist: " << src << "\n";
    return false;
  }
  ArchivePtr archive = openArchive(dst, ZIP_CREATE);
  if (!archive) {
    qxerr << "Error opening zip archive: '" << dst << "'\n";
    return false;
  }
  const bool added = Packer(archive.get()).Add(src, qx::common::basename(src));
  if (!added) qxerr << "Error compressing file: " << src << "\n";
  // libzip reads the files and writes the archive only now.
  if (!closeArchive(archive)) {
    qxerr << "Error writing zip archive: '" << dst << "': " << archiveError(archive.get())
          << "\n";
    return false;
  }
  return added;
}

// ---------------------------------------------------------------------------
// Unpacking

// One entry of the archive, checked before anything is written.
struct Entry {
  zip_uint64_t index = 0;
  std::string name;      // as stored in the archive
  std::string path;      // where it goes, always inside the destination
  bool directory = false;
  bool link = false;
  std::optional<zip_uint64_t> size;
};

bool isLinkEntry(zip_t *archive, zip_uint64_t index) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) < 0)
    return false;
  return system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

// Reads the directory of the archive into `entries`. False, having logged
// the entry, when some entry would be written outside `dst`: then nothing
// may be extracted. Entries whose record cannot be read are logged, left
// out and counted in `failed`.
bool planEntries(zip_t *archive, const std::string &src, const std::string &dst,
                 std::vector<Entry> &entries, bool &failed) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_uint64_t i = 0; count > 0 && i < static_cast<zip_uint64_t>(count); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, i, 0, &stat) < 0) {
      qxerr << "Error get stats on archive index: " << i << "\n";
      failed = true;
      continue;
    }
    Entry entry;
    entry.index = i;
    entry.name = (stat.valid & ZIP_STAT_NAME) && stat.name ? stat.name : "";
    if (stat.valid & ZIP_STAT_SIZE) entry.size = stat.size;
    std::string name = entry.name;
    qx::common::changeFromUnixPath(name);
    const std::string sep = qx::common::separator("");
    entry.directory = name.size() >= sep.size() &&
                      name.compare(name.size() - sep.size(), sep.size(), sep) == 0;
    const std::optional<std::string> relative = confinedPath(qx::common::copyToUnixPath(name));
    if (!relative) {
      qxerr << "Refusing zip archive '" << src << "': entry [" << entry.name
            << "] leaves the destination directory\n";
      return false;
    }
    if (relative->empty() && !entry.directory) {
      qxerr << "Refusing zip archive '" << src << "': entry [" << entry.name
            << "] has no file name\n";
      return false;
    }
    std::string local = *relative;
    qx::common::changeFromUnixPath(local);
    entry.path = local.empty() ? dst : qx::common::joinPaths(dst, local);
    entry.link = !entry.directory && isLinkEntry(archive, i);
    entries.push_back(std::move(entry));
  }
  return true;
}

bool createDirectory(const std::string &path) {
  if (qx::common::createDirectories(path)) return true;
  qxerr << "Error creating directory [" << path << "]. "
        << "Do you have the right permissions?\n";
  return false;
}

// A new file beside the target that takes the target's place only when
// committed; otherwise it is removed. So a damaged entry never replaces a
// good file, and a link at the target's name is replaced, not followed.
class PendingFile {
 public:
  // The temporary name is short, so any name that fits its directory works.
  explicit PendingFile(const std::string &target) : target_(target) {
    static std::atomic<unsigned long> counter{0};
    const std::string dir = qx::common::parentPath(target);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      temp_ = qx::common::joinPaths(dir, ".qxpart-" + std::to_string(getpid()) + "-" +
                                             std::to_string(counter++));
      fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                   0666);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    created_ = fd_ >= 0;
  }
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (created_ && !committed_) ::unlink(temp_.c_str());
  }
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;

  bool Opened() const { return fd_ >= 0; }

  bool Write(const char *data, size_t size) {
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      data += written;
      size -= static_cast<size_t>(written);
    }
    return true;
  }

  bool Commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return false;
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  bool created_ = false;
  bool committed_ = false;
};

enum class CopyResult { kDone, kReadError, kWriteError };

// Streams the entry into `out` chunk by chunk. libzip checks the CRC when
// the end of the data is read.
CopyResult copyEntry(zip_file_t *file, const Entry &entry, PendingFile &out) {
  std::vector<char> buffer(static_cast<size_t>(
      std::max<zip_uint64_t>(1, std::min(kChunkSize, entry.size.value_or(kChunkSize)))));
  zip_uint64_t total = 0;
  for (;;) {
    const zip_int64_t read = zip_fread(file, buffer.data(), buffer.size());
    if (read < 0) return CopyResult::kReadError;
    if (read == 0) break;
    total += static_cast<zip_uint64_t>(read);
    if (!out.Write(buffer.data(), static_cast<size_t>(read))) return CopyResult::kWriteError;
  }
  if (entry.size && total != *entry.size) return CopyResult::kReadError;
  return CopyResult::kDone;
}

bool extractFile(zip_t *archive, const Entry &entry) {
  const std::string parent = qx::common::parentPath(entry.path);
  if (!parent.empty() && !qx::common::isDirectory(parent) && !createDirectory(parent))
    return false;
  if (entry.link) {
    qxwarn << "Archive entry [" << entry.name
           << "] is a symbolic link, written as a regular file\n";
  }
  EntryPtr file(zip_fopen_index(archive, entry.index, 0));
  if (!file) {
    qxerr << "Error opening: " << entry.name << "\n";
    return false;
  }
  PendingFile out(entry.path);
  CopyResult result = out.Opened() ? copyEntry(file.get(), entry, out)
                                   : CopyResult::kWriteError;
  // Closing the entry reports a checksum mismatch that the reads did not.
  if (zip_fclose(file.release()) != 0 && result == CopyResult::kDone)
    result = CopyResult::kReadError;
  if (result == CopyResult::kDone && !out.Commit()) result = CopyResult::kWriteError;
  if (result == CopyResult::kReadError) {
    qxerr << "Error reading " << entry.name << "\n";
    return false;
  }
  if (result == CopyResult::kWriteError) {
    qxerr << "Failed to write file [" << entry.path << "]\n";
    return false;
  }
  qxdbg << "Created file [" << entry.path << "]\n";
  return true;
}

bool extract(const std::string &src, const std::string &dst) {
  if (!qx::common::exists(src)) {
    qxerr << "Source archive does not exist: " << src << "\n";
    return false;
  }
  if (dst.empty()) {
    qxerr << "No destination directory to extract '" << src << "' into\n";
    return false;
  }
  ArchivePtr archive = openArchive(src, ZIP_RDONLY);
  if (!archive) {
    qxerr << "Error opening zip archive: '" << src << "'\n";
    return false;
  }
  std::vector<Entry> entries;
  bool failed = false;
  if (!planEntries(archive.get(), src, dst, entries, failed)) return false;

  for (const Entry &entry : entries) {
    if (entry.directory) {
      // A directory that cannot be made stops the extraction.
      if (!createDirectory(entry.path)) return false;
      continue;
    }
    if (!extractFile(archive.get(), entry)) failed = true;
  }

  if (!closeArchive(archive)) {
    qxerr << "Error closing zip archive\n";
    return false;
  }
  return !failed;
}

}  // namespace

bool Zip::Compress(const std::string &src, const std::string &dst) {
  try {
    return compress(src, dst);
  } catch (const std::exception &e) {
    qxerr << "Error compressing file: " << src << ": " << e.what() << "\n";
    return false;
  }
}

bool Zip::Extract(const std::string &src, const std::string &dst) {
  try {
    return extract(src, dst);
  } catch (const std::exception &e) {
    qxerr << "Error extracting zip archive: '" << src << "': " << e.what() << "\n";
    return false;
  }
}

}  // namespace qx::quarn_tools
