#include "Archive.hh"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

#include <qx/common/Console.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// Changes whenever the way archives are written changes, so that archives
// kept from before are not taken for new ones.
const char kArchiveFormat[] = "quarn-archive-1";

struct ArchiveDeleter {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDeleter>;

struct DigestDeleter {
  void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// Adds one directory or file entry, with its modification time. A file's
// bytes are read when the archive is closed.
bool addEntry(zip_t *archive, const Repository &repository, const fs::path &dir,
              const std::string &name, bool directory) {
  const fs::path path = dir / name;
  zip_int64_t index = -1;
  if (directory) {
    index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
  } else {
    if (!repository.Inside(path)) {
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
  zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), modificationTime(path), 0);
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
  for (const auto *names : {&tree.directories, &tree.files}) {
    for (const std::string &name : *names) {
      struct stat info {};
      if (::stat((versionDir / name).c_str(), &info) != 0) info = {};
      char line[160];
      std::snprintf(line, sizeof(line), "%llu %o %lld.%09ld",
                    static_cast<unsigned long long>(info.st_size),
                    static_cast<unsigned>(info.st_mode), static_cast<long long>(info.st_mtim.tv_sec),
                    info.st_mtim.tv_nsec);
      add(name);
      add(line);
    }
  }
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
