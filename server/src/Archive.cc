#include "Archive.hh"

#include <zip.h>

#include <cstdio>
#include <list>
#include <memory>

#include <qx/common/Console.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

struct SourceDeleter {
  void operator()(zip_source_t *source) const { zip_source_free(source); }
};
struct ArchiveDeleter {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using SourcePtr = std::unique_ptr<zip_source_t, SourceDeleter>;
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDeleter>;

// Adds one directory or file entry (with its modification time). File
// contents are kept in `contents` until the archive is written.
bool addEntry(zip_t *archive, const Repository &repository, const fs::path &dir,
              const std::string &name, bool directory, std::list<std::string> &contents) {
  const fs::path path = dir / name;
  zip_int64_t index = -1;
  if (directory) {
    index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
  } else {
    std::optional<std::string> content = repository.ReadFile(path);
    if (!content) {
      qxerr << "Unable to read [" << path.string() << "] for an archive";
      return false;
    }
    contents.push_back(std::move(*content));
    zip_source_t *source =
        zip_source_buffer(archive, contents.back().data(), contents.back().size(), 0);
    if (source == nullptr) return false;
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

// The bytes a closed in-memory archive left in its buffer source.
std::optional<std::string> sourceBytes(zip_source_t *source) {
  if (zip_source_open(source) < 0) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  zip_int64_t count = 0;
  while ((count = zip_source_read(source, buffer, sizeof(buffer))) > 0)
    bytes.append(buffer, static_cast<std::size_t>(count));
  zip_source_close(source);
  if (count < 0) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<std::string> buildArchive(const Repository &repository, const fs::path &versionDir) {
  zip_error_t error;
  zip_error_init(&error);
  SourcePtr source(zip_source_buffer_create(nullptr, 0, 0, &error));
  if (!source) {
    qxerr << "Unable to create an archive buffer: " << zip_error_strerror(&error);
    zip_error_fini(&error);
    return std::nullopt;
  }
  // The archive frees its source when closed or discarded; keep ours alive.
  zip_source_keep(source.get());
  ArchivePtr archive(zip_open_from_source(source.get(), ZIP_TRUNCATE, &error));
  if (!archive) {
    qxerr << "Unable to open an archive buffer: " << zip_error_strerror(&error);
    zip_error_fini(&error);
    zip_source_free(source.get());  // the reference the archive did not take
    return std::nullopt;
  }
  zip_error_fini(&error);

  const Tree tree = repository.Walk(versionDir);
  std::list<std::string> contents;
  for (const std::string &name : tree.directories) {
    if (!addEntry(archive.get(), repository, versionDir, name, true, contents))
      return std::nullopt;
  }
  for (const std::string &name : tree.files) {
    if (!addEntry(archive.get(), repository, versionDir, name, false, contents))
      return std::nullopt;
  }

  if (zip_close(archive.get()) < 0) {
    qxerr << "Unable to write an archive: " << zip_strerror(archive.get());
    return std::nullopt;
  }
  archive.release();  // zip_close freed it
  // libzip leaves nothing at all for an archive without entries; send the
  // empty archive (a lone end-of-central-directory record) instead.
  if (tree.directories.empty() && tree.files.empty())
    return std::string("PK\x05\x06", 4) + std::string(18, '\0');
  return sourceBytes(source.get());
}

}  // namespace qx::quarn_server
