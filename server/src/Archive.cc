#include "Archive.hh"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <system_error>

#include <qx/common/Console.hh>

#include "Route.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// Changes whenever the way archives are written changes, so that archives
// kept from before are not taken for new ones.
// 2: entry times in UTC, whatever the server's time zone.
const char kArchiveFormat[] = "quarn-archive-2";

struct ArchiveDeleter {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDeleter>;

struct DigestDeleter {
  void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// The modification time of `path` as an MS-DOS time and date in UTC (libzip
// would convert to the server's local time, so the same files would give
// other bytes in another time zone). Times before 1980 give 1980-01-01.
std::pair<zip_uint16_t, zip_uint16_t> dosTimeOf(const fs::path &path) {
  const std::time_t modified = modificationTime(path);
  std::tm utc{};
  if (::gmtime_r(&modified, &utc) == nullptr || utc.tm_year < 80) {
    utc = {};
    utc.tm_year = 80;
    utc.tm_mday = 1;
  }
  const int year = std::min(utc.tm_year - 80, 127);
  const auto time = static_cast<zip_uint16_t>((utc.tm_hour << 11) | (utc.tm_min << 5) | (utc.tm_sec / 2));
  const auto date = static_cast<zip_uint16_t>((year << 9) | ((utc.tm_mon + 1) << 5) | utc.tm_mday);
  return {time, date};
}

// Adds one directory or file entry, with its modification time. A file's
// bytes are read when the archive is closed.
bool addEntry(zip_t *archive, const Repository &repository, const fs::path &dir,
              const std::string &name, bool directory) {
  const fs::path path = dir / name;
  zip_int64_t index = -1;
  if (directory) {
    index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
  } else {
    if (!repository.VersionFile(dir, routeSegments(name))) {
      qxerr << "Unable to read [" << path.string() << "] for an archive";
      return false;
    }
    zip_source_t *source = zip_source_file(archive, path.c_str(), 0, -1);
    if (source == nullptr) {
      qxerr << "Unable to read [" << path.string() << "] for an archive: "
            << zip_strerror(archive);
      return false;
    }
    index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) zip_source_free(source);
  }
  if (index < 0) {
    qxerr << "Unable to add [" << name << "] to an archive: " << zip_strerror(archive);
    return false;
  }
  const auto [time, date] = dosTimeOf(path);
  if (zip_file_set_dostime(archive, static_cast<zip_uint64_t>(index), time, date, 0) < 0) {
    qxerr << "Unable to set the time of [" << name << "] in an archive: " << zip_strerror(archive);
    return false;
  }
  return true;
}

// libzip writes nothing at all for an archive without entries; the empty
// archive is a lone end-of-central-directory record.
bool writeEmptyArchive(const fs::path &target) {
  std::ofstream out(target, std::ios::binary);
  out << std::string("PK\x05\x06", 4) << std::string(18, '\0');
  out.close();
  if (out) return true;
  std::error_code ec;
  fs::remove(target, ec);
  qxerr << "Unable to write an archive [" << target.string() << "]";
  return false;
}

}  // namespace

bool writeArchive(const Repository &repository, const fs::path &versionDir,
                  const fs::path &target) {
  const Tree tree = repository.Walk(versionDir);
  if (tree.directories.empty() && tree.files.empty()) return writeEmptyArchive(target);
  int error = 0;
  // libzip writes into a temporary file beside the target and renames it
  // into place when closed; discarding leaves nothing behind.
  ArchivePtr archive(zip_open(target.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
  if (!archive) {
    zip_error_t reason;
    zip_error_init_with_code(&reason, error);
    qxerr << "Unable to create an archive [" << target.string()
          << "]: " << zip_error_strerror(&reason);
    zip_error_fini(&reason);
    return false;
  }
  for (const std::string &name : tree.directories)
    if (!addEntry(archive.get(), repository, versionDir, name, true)) return false;
  for (const std::string &name : tree.files)
    if (!addEntry(archive.get(), repository, versionDir, name, false)) return false;
  if (zip_close(archive.get()) < 0) {
    qxerr << "Unable to write an archive [" << target.string()
          << "]: " << zip_strerror(archive.get());
    return false;
  }
  archive.release();  // zip_close freed it
  return true;
}

std::string archiveFingerprint(const Repository &repository, const fs::path &versionDir) {
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return "";
  const auto add = [&](const std::string &text) {
    EVP_DigestUpdate(context.get(), text.data(), text.size() + 1);  // with its NUL
  };
  add(kArchiveFormat);
  const Tree tree = repository.Walk(versionDir);
  const auto addEntries = [&](const std::vector<std::string> &names,
                              const std::vector<struct stat> &status) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      const struct stat &info = status[i];
      // The inode and the change time too: a file rewritten in place with
      // its size kept and its modification time set back still changes
      // its change time, which no user can set.
      char line[200];
      std::snprintf(line, sizeof(line), "%llu %o %lld.%09ld %llu %lld.%09ld",
                    static_cast<unsigned long long>(info.st_size),
                    static_cast<unsigned>(info.st_mode), static_cast<long long>(info.st_mtim.tv_sec),
                    info.st_mtim.tv_nsec, static_cast<unsigned long long>(info.st_ino),
                    static_cast<long long>(info.st_ctim.tv_sec), info.st_ctim.tv_nsec);
      add(names[i]);
      add(line);
    }
  };
  addEntries(tree.directories, tree.directoryStatus);
  addEntries(tree.files, tree.fileStatus);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length < 16) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < 16; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

}  // namespace qx::quarn_server
