#include "CacheManifest.hh"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <qx/common/Filesystem.hh>
#include <sstream>
#include <system_error>

#include "CacheNames.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr const char *kHeader = "# quarn version manifest 1: crc32 size path";

// The CRC-32 of a file's content, read without following a link.
std::optional<std::uint32_t> crcOf(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
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

std::string manifestPath(const std::string &resourceDirectory, const std::string &version) {
  return qx::common::joinPaths(resourceDirectory, ManifestFileName(version));
}

}  // namespace

std::optional<Manifest> DescribeTree(const std::string &directory, const Manifest &known) {
  namespace fs = std::filesystem;
  Manifest manifest;
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, fs::directory_options::none, ec);
  if (ec) return std::nullopt;
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return std::nullopt;
    const fs::file_status status = it->symlink_status(ec);
    if (ec || !fs::is_regular_file(status)) continue;
    const std::string relative = fs::relative(it->path(), directory, ec).generic_string();
    const std::uint64_t size = it->file_size(ec);
    if (ec) return std::nullopt;
    const auto recorded = known.find(relative);
    if (recorded != known.end() && recorded->second.size == size) {
      manifest[relative] = recorded->second;
      continue;
    }
    const auto crc = crcOf(it->path().string());
    if (!crc) return std::nullopt;
    manifest[relative] = FileRecord{size, *crc};
  }
  return manifest;
}

int WriteManifest(FileSystem &fileSystem, const std::string &resourceDirectory,
                  const std::string &version, const Manifest &manifest) {
  std::string text = std::string(kHeader) + "\n";
  char line[64];
  for (const auto &[path, record] : manifest) {
    std::snprintf(line, sizeof line, "%08" PRIx32 " %" PRIu64 " ", record.crc, record.size);
    text += line + path + "\n";
  }
  const std::string target = manifestPath(resourceDirectory, version);
  const std::string temp = qx::common::joinPaths(resourceDirectory, NewPartFileName());
  std::unique_ptr<WritableFile> file;
  int error = fileSystem.CreateFile(temp, file);
  if (error == 0) error = file->Append(text.data(), text.size());
  if (error == 0) error = file->Close();
  if (error == 0) error = fileSystem.Rename(temp, target);
  if (error != 0) fileSystem.RemoveAll(temp);
  return error;
}

std::optional<Manifest> ReadManifest(const std::string &resourceDirectory,
                                     const std::string &version) {
  std::ifstream in(manifestPath(resourceDirectory, version));
  std::string line;
  if (!in || !std::getline(in, line) || line != kHeader) return std::nullopt;
  Manifest manifest;
  while (std::getline(in, line)) {
    unsigned int crc = 0;
    unsigned long long size = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%8x %llu %n", &crc, &size, &consumed) != 2 || consumed <= 0)
      return std::nullopt;
    manifest[line.substr(static_cast<std::size_t>(consumed))] =
        FileRecord{static_cast<std::uint64_t>(size), static_cast<std::uint32_t>(crc)};
  }
  return manifest;
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
