#include "ZipExtraction.hh"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "CacheNames.hh"
#include "ConfinedPath.hh"
#include "FailureNotes.hh"
#include "ZipDeclaredSizes.hh"
#include "ZipHandles.hh"
#include "qx/quarn_tools/ByteSizes.hh"

namespace qx::quarn_tools::internal {
namespace {

// Entries are copied through one buffer of this size.
constexpr std::size_t kChunkSize = 1 << 20;

// An entry name as log lines show it: control characters (a newline, an
// escape sequence) and the backslash written as \xHH, so every line stays
// one line, the terminal shows what the archive holds, and a \xHH in the
// line can only be an escape.
std::string shownName(const std::string &name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
      shown += c;
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0xf];
  }
  return shown;
}

bool hasControlCharacter(const std::string &name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

// Entries deeper than this are refused: every level is a directory held
// open while a tree is walked.
constexpr std::size_t kMaxDepth = 128;

// Notes that the archive `src` is not a valid zip, for libzip's `reason`.
void noteInvalidZip(const std::string &src, const std::string &reason) {
  NoteArchiveFailure(src, "the archive is not a valid zip (" + reason + ")", reason);
}

// libzip's words for its error code `code`.
std::string zipErrorText(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  const std::string text = zip_error_strerror(&error);
  zip_error_fini(&error);
  return text;
}

// Logs a refusal of the whole archive, with the reason noted in words.
bool refuse(const std::string &src, const std::string &line, const std::string &reason,
            const std::string &detail = "") {
  qxerr << "Refusing zip archive '" << src << "': " << line << "\n";
  NoteArchiveFailure(src, reason, detail);
  return false;
}

// Opens the archive at `fd` (taken, whatever happens) for reading.
ArchivePtr openArchiveFrom(int fd, const std::string &src) {
  int error = 0;
  ArchivePtr archive(zip_fdopen(fd, ZIP_RDONLY, &error));
  if (archive) return archive;
  ::close(fd);
  const std::string reason = zipErrorText(error);
  qxerr << "Error opening zip archive: '" << src << "'\n";
  qxerr << "The zip archive '" << src << "' cannot be read: " << reason << "\n";
  noteInvalidZip(src, reason);
  return nullptr;
}

// One entry of the archive, checked before anything is written.
struct Entry {
  zip_uint64_t index = 0;
  std::string name;      // as stored in the archive
  std::string relative;  // "/"-separated path below the destination
  std::string path;      // where it goes, always inside the destination
  bool directory = false;
  bool link = false;
  std::optional<zip_uint64_t> size;
  std::uint32_t crc = 0;
};

// What the directory of an archive promises.
struct Plan {
  std::vector<Entry> entries;
  std::uint64_t declaredBytes = 0;
  bool unreadable = false;  // some entry record could not be read
};

bool isLinkEntry(zip_t *archive, zip_uint64_t index) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) < 0)
    return false;
  return system == ZIP_OPSYS_UNIX && ((attributes >> 16) & S_IFMT) == S_IFLNK;
}

std::size_t depthOf(const std::string &relative) {
  return relative.empty() ? 0 : static_cast<std::size_t>(
                                    std::count(relative.begin(), relative.end(), '/') + 1);
}

// Reads one entry record into `entry`. False, having logged the entry, when
// it may not be written (outside `dst`, a name no file may have): then
// nothing may be extracted.
bool planEntry(const zip_stat_t &stat, const std::string &src, const std::string &dst,
               Entry &entry) {
  entry.name = (stat.valid & ZIP_STAT_NAME) && stat.name ? stat.name : "";
  if (stat.valid & ZIP_STAT_SIZE) entry.size = stat.size;
  if (stat.valid & ZIP_STAT_CRC) entry.crc = stat.crc;
  const std::string shown = shownName(entry.name);
  if (hasControlCharacter(entry.name)) {
    return refuse(src, "entry [" + shown + "] has a control character in its name",
                  "the archive holds an entry whose name has a control character [" + shown + "]",
                  shown);
  }
  // Archivers on Windows write "..\\..\\x" for a path that climbs out; here a
  // backslash would be a file name's character. Either way no entry needs it.
  if (entry.name.find('\\') != std::string::npos) {
    return refuse(src, "entry [" + shown + "] has a backslash in its name",
                  "the archive holds an entry whose name has a backslash [" + shown + "]", shown);
  }
  std::string name = entry.name;
  qx::common::changeFromUnixPath(name);
  const std::string sep = qx::common::separator("");
  entry.directory = name.size() >= sep.size() &&
                    name.compare(name.size() - sep.size(), sep.size(), sep) == 0;
  const std::optional<std::string> relative = confinedPath(qx::common::copyToUnixPath(name));
  if (!relative) {
    return refuse(src, "entry [" + entry.name + "] leaves the destination directory",
                  "the archive holds an entry that leaves its directory [" + shown + "]", shown);
  }
  if (relative->empty() && !entry.directory) {
    return refuse(src, "entry [" + entry.name + "] has no file name",
                  "the archive holds an entry without a file name [" + shown + "]", shown);
  }
  if (depthOf(*relative) > kMaxDepth) {
    const std::string deep = "more than " + std::to_string(kMaxDepth) + " directories deep";
    return refuse(src, "entry [" + entry.name + "] lies " + deep,
                  "the archive holds an entry that lies " + deep + " [" + shown + "]", shown);
  }
  entry.relative = *relative;
  std::string local = *relative;
  qx::common::changeFromUnixPath(local);
  entry.path = local.empty() ? dst : qx::common::joinPaths(dst, local);
  return true;
}

// Reads the directory of the archive. False, having said why, when the
// archive may not be extracted at all. Entries whose record cannot be read
// are logged and left out.
bool planEntries(zip_t *archive, const std::string &src, const std::string &dst,
                 const UnpackLimits &limits, Plan &plan) {
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  if (count > 0 && static_cast<std::uint64_t>(count) > limits.maxEntries) {
    const std::string holds = "holds " + std::to_string(count) +
                              " entries, more than the limit of " +
                              std::to_string(limits.maxEntries);
    return refuse(src, "it " + holds, "the archive " + holds);
  }
  for (zip_uint64_t i = 0; count > 0 && i < static_cast<zip_uint64_t>(count); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, i, 0, &stat) < 0) {
      qxerr << "Error get stats on archive index: " << i << "\n";
      noteInvalidZip(src, zip_strerror(archive));
      plan.unreadable = true;
      continue;
    }
    Entry entry;
    entry.index = i;
    if (!planEntry(stat, src, dst, entry)) return false;
    entry.link = !entry.directory && isLinkEntry(archive, i);
    // Declared sizes come from the archive: their sum must not wrap.
    if (!entry.directory && entry.size) plan.declaredBytes = SaturatingAdd(plan.declaredBytes, *entry.size);
    plan.entries.push_back(std::move(entry));
  }
  if (plan.declaredBytes > limits.maxBytes) {
    const std::string declare = "declare " + std::to_string(plan.declaredBytes) + " bytes (" +
                                humanBytes(plan.declaredBytes) + "), more than the limit of " +
                                std::to_string(limits.maxBytes) + " bytes (" +
                                humanBytes(limits.maxBytes) + ")";
    return refuse(src, "its entries " + declare, "the archive's entries " + declare);
  }
  return true;
}

// Whether the declared bytes fit the free space where they go.
bool fitsFreeSpace(FileSystem &fileSystem, const std::string &src, const std::string &dst,
                   std::uint64_t declared) {
  std::uint64_t free = 0;
  // The destination may not exist yet: ask about its nearest existing parent.
  std::string probe = dst;
  while (!probe.empty() && !fileSystem.IsDirectoryFollowingLinks(probe)) {
    const std::string parent = qx::common::parentPath(probe);
    probe = parent == probe ? std::string() : parent;
  }
  if (probe.empty() || fileSystem.FreeSpace(probe, free) != 0) return true;
  if (declared <= free) return true;
  qxerr << "Not enough space to unpack '" << src << "': it needs " << declared << " bytes ("
        << humanBytes(declared) << "), the file system of [" << probe << "] has " << free
        << " bytes (" << humanBytes(free) << ") free\n";
  DownloadFailure failure;
  failure.reason = FailureReason::kCache;
  failure.path = probe;
  failure.detail = "needs " + humanBytes(declared) + ", " + humanBytes(free) + " free";
  failure.text = "not enough space in [" + probe + "] to unpack the archive: it " + failure.detail;
  NoteFailure(failure);
  return false;
}

// Whether a write error concerns one entry only (its name clashes with
// what is there) rather than the disk (full, failing, read-only, not ours),
// after which nothing more can be written.
bool concernsOneEntry(int error) {
  return error == ENOTDIR || error == EEXIST || error == EISDIR || error == ENAMETOOLONG;
}

void directoryFailed(const std::string &path, int error) {
  qxerr << "Error creating directory [" << path << "]. "
        << "Do you have the right permissions? (" << ErrorText(error) << ")\n";
  NoteCacheFailure("create directory", path, ErrorText(error));
}

// The directories of the destination, made as entries need them, one
// component at a time below the destination and never through a link. The
// last one opened stays open for the entries that follow it there.
class Destination {
 public:
  Destination(FileSystem &fileSystem, const Directory &top) : fileSystem_(fileSystem), top_(top) {}

  // The directory `relative` below the destination, made as needed; null
  // having logged why (with `error` the reason) when it cannot be.
  const Directory *Open(const std::string &relative, int &error) {
    error = 0;
    if (relative.empty()) return &top_;
    if (current_ && currentRelative_ == relative) return current_.get();
    current_.reset();
    std::string failed;
    error = OpenBelow(fileSystem_, top_, relative, true, current_, failed);
    if (error != 0) {
      directoryFailed(failed, error);
      return nullptr;
    }
    currentRelative_ = relative;
    return current_.get();
  }

 private:
  FileSystem &fileSystem_;
  const Directory &top_;
  std::string currentRelative_;
  std::unique_ptr<Directory> current_;
};

// A new file beside the target that takes the target's place only when
// committed; otherwise it is removed. So a damaged entry never replaces a
// good file, and a link at the target's name is replaced, not followed.
// In a fresh destination (`direct`), where nothing can be replaced, the
// target is written itself, and removed when not committed.
class PendingFile {
 public:
  PendingFile(FileSystem &fileSystem, const Directory &parent, const std::string &target,
              bool direct)
      : fileSystem_(fileSystem), parent_(parent), target_(target) {
    if (direct && fileSystem_.CreateFileAt(parent_, target_, file_) == 0) {
      temp_ = target_;
      created_ = true;
      return;
    }
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
      temp_ = cache::NewPartFileName();
      error_ = fileSystem_.CreateFileAt(parent_, temp_, file_);
      if (error_ != 0 && error_ != EEXIST) break;
    }
    created_ = file_ != nullptr;
  }
  ~PendingFile() {
    file_.reset();
    if (created_ && !committed_) fileSystem_.RemoveAllAt(parent_, temp_);
  }
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;

  // 0, or why the file could not be made.
  int OpenError() const { return file_ ? 0 : (error_ != 0 ? error_ : EEXIST); }
  int Write(const char *data, size_t size) { return file_->Append(data, size); }

  int Commit() {
    const int closeError = file_->Close();
    if (closeError != 0) return closeError;
    const int renameError =
        temp_ == target_ ? 0 : fileSystem_.RenameAt(parent_, temp_, parent_, target_);
    if (renameError != 0) return renameError;
    committed_ = true;
    return 0;
  }

 private:
  FileSystem &fileSystem_;
  const Directory &parent_;
  std::string target_;
  std::string temp_;
  std::unique_ptr<WritableFile> file_;
  int error_ = 0;
  bool created_ = false;
  bool committed_ = false;
};

// How copying one entry ended.
enum class Copied { kDone, kReadError, kTooLong, kWriteError, kOverLimit };

// Counts the bytes every entry of one extraction really writes.
class ByteBudget {
 public:
  explicit ByteBudget(std::uint64_t limit) : limit_(limit) {}
  bool Take(std::uint64_t bytes) {
    if (bytes > limit_ - used_) return false;
    used_ += bytes;
    return true;
  }
  std::uint64_t Limit() const { return limit_; }

 private:
  std::uint64_t limit_;
  std::uint64_t used_ = 0;
};

// Streams the entry into `out` through `buffer`. An entry that holds more
// than it declares is stopped at the first chunk past its size, so a lying
// entry costs at most one chunk more than an honest one. libzip checks the
// CRC when the end of the data is read.
Copied copyEntry(zip_file_t *file, const Entry &entry, std::vector<char> &buffer, PendingFile &out,
                 ByteBudget &budget, int &writeError, std::uint64_t &total,
                 std::string &readError) {
  for (;;) {
    const zip_int64_t read = zip_fread(file, buffer.data(), buffer.size());
    if (read < 0) {
      readError = zip_file_strerror(file);
      return Copied::kReadError;
    }
    if (read == 0) break;
    total += static_cast<std::uint64_t>(read);
    if (entry.size && total > *entry.size) return Copied::kTooLong;
    if (!budget.Take(static_cast<std::uint64_t>(read))) return Copied::kOverLimit;
    writeError = out.Write(buffer.data(), static_cast<size_t>(read));
    if (writeError != 0) return Copied::kWriteError;
  }
  if (entry.size && total != *entry.size) {
    readError = "an entry is shorter than it declares";
    return Copied::kReadError;
  }
  return Copied::kDone;
}

// What became of one file entry: written, skipped (damaged; the others go
// on) or fatal (nothing more may be written).
enum class Outcome { kWritten, kSkipped, kFatal };

class Extractor {
 public:
  Extractor(zip_t *archive, const std::string &src, const Directory &dst,
            const ExtractOptions &options, FileSystem &fileSystem)
      : archive_(archive), src_(src), options_(options), fileSystem_(fileSystem),
        destination_(fileSystem, dst), budget_(options.limits.maxBytes), buffer_(kChunkSize) {}

  // Makes a directory entry; false when it cannot be made.
  bool MakeDirectory(const Entry &entry) {
    int error = 0;
    return destination_.Open(entry.relative, error) != nullptr;
  }

  Outcome File(const Entry &entry) {
    const Outcome outcome = Write(entry);
    // Where a failed entry fails the whole extraction anyway, the others
    // need not be read.
    if (outcome == Outcome::kSkipped && options_.stopAtFirstFailure) return Outcome::kFatal;
    return outcome;
  }

 private:
  Outcome Write(const Entry &entry) {
    int error = 0;
    const Directory *parent = destination_.Open(qx::common::parentPath(entry.relative), error);
    if (parent == nullptr) return concernsOneEntry(error) ? Outcome::kSkipped : Outcome::kFatal;
    if (entry.link) {
      qxwarn << "Archive entry [" << shownName(entry.name)
             << "] is a symbolic link, written as a regular file\n";
    }
    EntryPtr file(zip_fopen_index(archive_, entry.index, 0));
    if (!file) {
      qxerr << "Error opening: " << shownName(entry.name) << "\n";
      noteInvalidZip(src_, zip_strerror(archive_));
      return Outcome::kSkipped;
    }
    PendingFile out(fileSystem_, *parent, qx::common::basename(entry.relative),
                    options_.freshDestination);
    int writeError = out.OpenError();
    std::uint64_t total = 0;
    std::string readError;
    Copied copied = writeError == 0 ? copyEntry(file.get(), entry, buffer_, out, budget_,
                                                writeError, total, readError)
                                    : Copied::kWriteError;
    // Closing the entry reports a checksum mismatch that the reads did not.
    const int closed = zip_fclose(file.release());
    if (closed != 0 && copied == Copied::kDone) {
      copied = Copied::kReadError;
      readError = zipErrorText(closed);
    }
    if (copied == Copied::kDone) {
      writeError = out.Commit();
      if (writeError != 0) copied = Copied::kWriteError;
    }
    return Report(entry, copied, writeError, total, readError);
  }

  Outcome Report(const Entry &entry, Copied copied, int writeError, std::uint64_t total,
                 const std::string &readError) {
    switch (copied) {
      case Copied::kTooLong:
        qxerr << "Error reading " << shownName(entry.name) << "\n";
        qxerr << "Entry [" << shownName(entry.name) << "] holds more than the "
              << entry.size.value_or(0) << " bytes it declares\n";
        noteInvalidZip(src_, "an entry holds more than it declares");
        return Outcome::kSkipped;
      case Copied::kReadError:
        qxerr << "Error reading " << shownName(entry.name) << "\n";
        noteInvalidZip(src_, readError);
        return Outcome::kSkipped;
      case Copied::kWriteError:
        qxerr << "Failed to write file [" << entry.path << "]: " << ErrorText(writeError)
              << "\n";
        NoteCacheFailure("write file", entry.path, ErrorText(writeError));
        return concernsOneEntry(writeError) ? Outcome::kSkipped : Outcome::kFatal;
      case Copied::kOverLimit:
        qxerr << "Stopped unpacking '" << src_ << "': it writes more than the limit of "
              << budget_.Limit() << " bytes (" << humanBytes(budget_.Limit())
              << "), though its entries declare less\n";
        NoteArchiveFailure(src_, "the archive unpacks to more than the limit of " +
                                     std::to_string(budget_.Limit()) + " bytes (" +
                                     humanBytes(budget_.Limit()) + ")");
        return Outcome::kFatal;
      case Copied::kDone:
        break;
    }
    qxdbg << "Created file [" << entry.path << "]\n";
    if (options_.files != nullptr) options_.files->push_back({entry.relative, total, entry.crc});
    return Outcome::kWritten;
  }

  zip_t *archive_;
  const std::string &src_;
  const ExtractOptions &options_;
  FileSystem &fileSystem_;
  Destination destination_;
  ByteBudget budget_;
  // Entries are copied through this one buffer, so memory use does not grow
  // with the size or the number of entries.
  std::vector<char> buffer_;
};

// The archive open at `fd` (taken), opened and planned for `dst` (the
// destination as log lines name it). False, having said why, when nothing
// may be extracted.
bool openAndPlan(int fd, const std::string &src, const std::string &dst,
                 const ExtractOptions &options, FileSystem &fileSystem, ArchivePtr &archive,
                 Plan &plan) {
  if (!DirectoryWithinLimits(fd, src, options.limits)) {
    ::close(fd);
    return false;
  }
  archive = openArchiveFrom(fd, src);
  if (!archive) return false;
  if (!planEntries(archive.get(), src, dst, options.limits, plan)) return false;
  return !options.checkFreeSpace || fitsFreeSpace(fileSystem, src, dst, plan.declaredBytes);
}

// Writes the planned entries below `dst`.
bool writeEntries(zip_t *archive, const Plan &plan, const std::string &src, const Directory &dst,
                  const ExtractOptions &options, FileSystem &fileSystem) {
  bool failed = plan.unreadable;
  if (failed && options.stopAtFirstFailure) return false;
  Extractor extractor(archive, src, dst, options, fileSystem);
  for (const Entry &entry : plan.entries) {
    if (entry.directory) {
      // A directory that cannot be made stops the extraction.
      if (!extractor.MakeDirectory(entry)) return false;
      continue;
    }
    const Outcome outcome = extractor.File(entry);
    if (outcome == Outcome::kFatal) return false;
    if (outcome == Outcome::kSkipped) failed = true;
  }
  return !failed;
}

bool finish(ArchivePtr &archive, const std::string &src, bool written) {
  if (!closeArchive(archive)) {
    qxerr << "Error closing zip archive\n";
    noteInvalidZip(src, "it does not close cleanly");
    return false;
  }
  return written;
}

bool extract(const std::string &src, const std::string &dst, const ExtractOptions &options,
             FileSystem &fileSystem) {
  if (!qx::common::exists(src)) {
    qxerr << "Source archive does not exist: " << src << "\n";
    return false;
  }
  if (dst.empty()) {
    qxerr << "No destination directory to extract '" << src << "' into\n";
    return false;
  }
  const int fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    qxerr << "Error opening zip archive: '" << src << "'\n";
    return false;
  }
  ArchivePtr archive;
  Plan plan;
  if (!openAndPlan(fd, src, dst, options, fileSystem, archive, plan)) return false;
  if (plan.entries.empty()) return finish(archive, src, !plan.unreadable);
  // The destination is the caller's choice: made, and opened, as it stands.
  std::unique_ptr<Directory> top;
  int error = CreateDirectories(fileSystem, dst);
  if (error == 0) error = fileSystem.OpenDirectory(dst, top);
  if (error != 0) {
    directoryFailed(dst, error);
    return false;
  }
  const bool written = writeEntries(archive.get(), plan, src, *top, options, fileSystem);
  return finish(archive, src, written);
}

bool extractInto(int fd, const std::string &src, const Directory &dst,
                 const ExtractOptions &options, FileSystem &fileSystem) {
  ArchivePtr archive;
  Plan plan;
  if (!openAndPlan(fd, src, dst.Path(), options, fileSystem, archive, plan)) return false;
  const bool written = writeEntries(archive.get(), plan, src, dst, options, fileSystem);
  return finish(archive, src, written);
}

}  // namespace

bool ExtractArchive(const std::string &src, const std::string &dst,
                    const ExtractOptions &options, FileSystem &fileSystem) {
  try {
    return extract(src, dst, options, fileSystem);
  } catch (const std::exception &e) {
    qxerr << "Error extracting zip archive: '" << src << "': " << e.what() << "\n";
    return false;
  }
}

bool ExtractArchiveInto(int archive, const std::string &src, const Directory &dst,
                        const ExtractOptions &options, FileSystem &fileSystem) {
  try {
    return extractInto(archive, src, dst, options, fileSystem);
  } catch (const std::exception &e) {
    qxerr << "Error extracting zip archive: '" << src << "': " << e.what() << "\n";
    return false;
  }
}

}  // namespace qx::quarn_tools::internal
