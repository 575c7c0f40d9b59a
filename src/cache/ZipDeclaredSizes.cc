#include "ZipDeclaredSizes.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <vector>

#include <qx/common/Console.hh>

#include "FailureNotes.hh"

#include "qx/quarn_tools/ByteSizes.hh"

namespace qx::quarn_tools::internal {
namespace {

// Bytes of central directory allowed besides those of the entries' records.
constexpr std::uint64_t kDirectorySlack = std::uint64_t{16} << 20;
// Bytes of central directory allowed per entry the limit admits: far more
// than a record with a file name any file system accepts.
constexpr std::uint64_t kDirectoryBytesPerEntry = 1024;

std::uint64_t saturatingMultiply(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

std::uint64_t littleEndian(const unsigned char *bytes, int size) {
  std::uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

bool readAt(int fd, std::uint64_t offset, unsigned char *buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// What the end records of an archive say of its central directory, read
// before libzip loads it (which takes memory in proportion).
struct DirectoryRecord {
  std::uint64_t entries = 0;
  std::uint64_t bytes = 0;
};

// The end-of-central-directory record (and its zip64 twin, when there is
// one) of the archive open at `fd`; nothing when there is none.
std::optional<DirectoryRecord> readDirectoryRecord(int fd) {
  constexpr std::size_t kEndSize = 22;
  constexpr std::size_t kMaxComment = 0xffff;
  constexpr std::size_t kLocatorSize = 20;
  constexpr std::size_t kZip64EndSize = 56;
  struct stat info;
  if (::fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(kEndSize)) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const std::uint64_t tailSize = std::min<std::uint64_t>(size, kEndSize + kMaxComment + kLocatorSize);
  std::vector<unsigned char> tail(static_cast<std::size_t>(tailSize));
  if (!readAt(fd, size - tailSize, tail.data(), tail.size())) return std::nullopt;
  for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    const unsigned char *end = tail.data() + at;
    if (littleEndian(end, 4) != 0x06054b50) continue;
    DirectoryRecord record;
    record.entries = littleEndian(end + 10, 2);
    record.bytes = littleEndian(end + 12, 4);
    if (at < kLocatorSize) return record;
    const unsigned char *locator = end - kLocatorSize;
    if (littleEndian(locator, 4) != 0x07064b50) return record;
    unsigned char zip64[kZip64EndSize];
    if (!readAt(fd, littleEndian(locator + 8, 8), zip64, sizeof zip64) ||
        littleEndian(zip64, 4) != 0x06064b50)
      return record;
    record.entries = std::max(record.entries, littleEndian(zip64 + 32, 8));
    record.bytes = std::max(record.bytes, littleEndian(zip64 + 40, 8));
    return record;
  }
  return std::nullopt;
}

}  // namespace

bool DirectoryWithinLimits(int fd, const std::string &src, const UnpackLimits &limits) {
  const std::optional<DirectoryRecord> record = readDirectoryRecord(fd);
  if (!record) return true;  // libzip says what is wrong with it
  if (record->entries > limits.maxEntries) {
    qxerr << "Refusing zip archive '" << src << "': it holds " << record->entries
          << " entries, more than the limit of " << limits.maxEntries << "\n";
    NoteArchiveFailure(src, "the archive holds " + std::to_string(record->entries) +
                                " entries, more than the limit of " +
                                std::to_string(limits.maxEntries));
    return false;
  }
  const std::uint64_t allowed = SaturatingAdd(
      kDirectorySlack, saturatingMultiply(limits.maxEntries, kDirectoryBytesPerEntry));
  if (record->bytes > allowed) {
    qxerr << "Refusing zip archive '" << src << "': its directory of entries takes "
          << record->bytes << " bytes (" << humanBytes(record->bytes) << "), more than the "
          << allowed << " bytes (" << humanBytes(allowed) << ") that " << limits.maxEntries
          << " entries may take\n";
    NoteArchiveFailure(src, "the archive's directory of entries takes " +
                                humanBytes(record->bytes) + ", more than " +
                                std::to_string(limits.maxEntries) + " entries may take");
    return false;
  }
  return true;
}

}  // namespace qx::quarn_tools::internal
