#include "CacheManifest.hh"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <qx/common/Filesystem.hh>
#include <sstream>

#include "CacheNames.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

constexpr std::size_t kChunk = 1 << 20;
// Records written by older libraries keep paths as they are.
constexpr const char *kPlainHeader = "# quarn version manifest 1: crc32 size path";
constexpr const char *kHeader =
    "# quarn version manifest 2: crc32 size path (\\\\ and control characters as \\xHH)";
// A record larger than this is no record of ours.
constexpr std::size_t kMaxRecordBytes = std::size_t{1} << 30;

// The CRC-32 of the regular file `name` of `parent`, read without following
// a link.
std::optional<std::uint32_t> crcOf(const Directory &parent, const std::string &name) {
  int fd = -1;
  if (OpenForReading(parent, name, fd) != 0) return std::nullopt;
  std::vector<unsigned char> buffer(kChunk);
  uLong crc = crc32(0L, Z_NULL, 0);
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return static_cast<std::uint32_t>(crc);
}

bool describe(FileSystem &fileSystem, const Directory &directory, const std::string &prefix,
              const Manifest &known, Manifest &manifest) {
  std::vector<std::string> names;
  if (ListDirectory(directory, names) != 0) return false;
  for (const std::string &name : names) {
    PathStatus status;
    if (fileSystem.StatusAt(directory, name, status) != 0) return false;
    const std::string relative = prefix + name;
    if (status.directory) {
      std::unique_ptr<Directory> inner;
      if (fileSystem.OpenDirectoryAt(directory, name, inner) != 0 ||
          !describe(fileSystem, *inner, relative + "/", known, manifest))
        return false;
      continue;
    }
    if (!status.regular) continue;
    const auto recorded = known.find(relative);
    if (recorded != known.end() && recorded->second.size == status.size) {
      manifest[relative] = recorded->second;
      continue;
    }
    const auto crc = crcOf(directory, name);
    if (!crc) return false;
    manifest[relative] = FileRecord{status.size, *crc};
  }
  return true;
}

std::string escaped(const std::string &path) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> unescaped(const std::string &text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      path += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      path += '\\';
      ++i;
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
    const int high = hexValue(text[i + 2]);
    const int low = hexValue(text[i + 3]);
    if (high < 0 || low < 0) return std::nullopt;
    path += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return path;
}

}  // namespace

std::optional<Manifest> DescribeTree(const Directory &directory, const Manifest &known) {
  Manifest manifest;
  if (!describe(CurrentFileSystem(), directory, "", known, manifest)) return std::nullopt;
  return manifest;
}

std::optional<Manifest> DescribeTree(const std::string &path, const Manifest &known) {
  std::unique_ptr<Directory> directory;
  if (CurrentFileSystem().OpenDirectory(path, directory) != 0) return std::nullopt;
  return DescribeTree(*directory, known);
}

std::string ManifestText(const Manifest &manifest) {
  std::string text = std::string(kHeader) + "\n";
  char line[64];
  for (const auto &[path, record] : manifest) {
    std::snprintf(line, sizeof line, "%08" PRIx32 " %" PRIu64 " ", record.crc, record.size);
    text += line + escaped(path) + "\n";
  }
  return text;
}

std::optional<Manifest> ParseManifest(const std::string &text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kHeader && line != kPlainHeader)) return std::nullopt;
  const bool plain = line == kPlainHeader;
  Manifest manifest;
  while (std::getline(in, line)) {
    unsigned int crc = 0;
    unsigned long long size = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%8x %llu %n", &crc, &size, &consumed) != 2 || consumed <= 0)
      return std::nullopt;
    const std::string written = line.substr(static_cast<std::size_t>(consumed));
    const std::optional<std::string> path = plain ? written : unescaped(written);
    if (!path || path->empty()) return std::nullopt;
    manifest[*path] = FileRecord{static_cast<std::uint64_t>(size), static_cast<std::uint32_t>(crc)};
  }
  return manifest;
}

int WriteManifest(FileSystem &fileSystem, const Directory &directory, const std::string &name,
                  const Manifest &manifest) {
  const std::string text = ManifestText(manifest);
  std::unique_ptr<WritableFile> file;
  int error = fileSystem.CreateFileAt(directory, name, file);
  if (error == 0) error = file->Append(text.data(), text.size());
  if (error == 0) error = file->Close();
  if (error != 0 && file) fileSystem.RemoveAllAt(directory, name);
  return error;
}

std::optional<Manifest> ReadManifest(const std::string &resourceDirectory,
                                     const std::string &version) {
  std::unique_ptr<Directory> resource;
  std::string text;
  if (CurrentFileSystem().OpenDirectory(resourceDirectory, resource) != 0 ||
      ReadFileAt(*resource, ManifestFileName(version), kMaxRecordBytes, text) != 0)
    return std::nullopt;
  return ParseManifest(text);
}

Differences Compare(const Manifest &recorded, const Manifest &now) {
  Differences differences;
  for (const auto &[path, record] : recorded) {
    const auto found = now.find(path);
    if (found == now.end())
      differences.missing.push_back(path);
    else if (!(found->second == record))
      differences.changed.push_back(path);
  }
  for (const auto &[path, record] : now)
    if (recorded.count(path) == 0) differences.added.push_back(path);
  return differences;
}

}  // namespace qx::quarn_tools::internal::cache
