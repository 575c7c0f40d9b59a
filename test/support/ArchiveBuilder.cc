#include "support/ArchiveBuilder.hh"

#include <sys/stat.h>
#include <zip.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "support/TestSupport.hh"

namespace qx::test {
namespace {

struct ArchiveDiscard {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDiscard>;

ArchivePtr openArchive(const std::string &path, int flags) {
  int error = 0;
  ArchivePtr archive(zip_open(path.c_str(), flags, &error));
  if (!archive) throw std::runtime_error("cannot open archive " + path);
  return archive;
}

zip_int64_t addData(zip_t *archive, const std::string &name, const std::string &data) {
  zip_source_t *source = zip_source_buffer(archive, data.data(), data.size(), 0);
  if (source == nullptr) throw std::runtime_error("cannot make a source for " + name);
  const zip_int64_t index = zip_file_add(archive, name.c_str(), source, 0);
  if (index < 0) {
    zip_source_free(source);
    throw std::runtime_error("cannot add " + name + ": " + zip_strerror(archive));
  }
  return index;
}

uint32_t little16(const std::string &bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) |
         (static_cast<unsigned char>(bytes[at + 1]) << 8);
}

}  // namespace

ArchiveBuilder &ArchiveBuilder::File(const std::string &name, const std::string &content,
                                     bool stored) {
  items_.push_back({Kind::kFile, name, content, stored});
  return *this;
}

ArchiveBuilder &ArchiveBuilder::Directory(const std::string &name) {
  items_.push_back({Kind::kDirectory, name, "", false});
  return *this;
}

ArchiveBuilder &ArchiveBuilder::Symlink(const std::string &name, const std::string &target) {
  items_.push_back({Kind::kSymlink, name, target, true});
  return *this;
}

void ArchiveBuilder::Write(const std::string &path) const {
  if (items_.empty()) {
    // libzip writes no file for an archive without entries.
    WriteFile(path, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    return;
  }
  ArchivePtr archive = openArchive(path, ZIP_CREATE | ZIP_TRUNCATE);
  for (const Item &item : items_) {
    if (item.kind == Kind::kDirectory) {
      if (zip_dir_add(archive.get(), item.name.c_str(), 0) < 0)
        throw std::runtime_error("cannot add directory " + item.name);
      continue;
    }
    const zip_int64_t index = addData(archive.get(), item.name, item.content);
    if (item.stored) zip_set_file_compression(archive.get(), index, ZIP_CM_STORE, 0);
    if (item.kind == Kind::kSymlink) {
      zip_file_set_external_attributes(archive.get(), index, 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
    }
  }
  if (zip_close(archive.get()) < 0)
    throw std::runtime_error("cannot write archive " + path);
  archive.release();
}

bool DamageArchive(const std::string &path, const std::string &needle, size_t offset) {
  const std::string bytes = ReadFile(path);
  const size_t at = bytes.find(needle);
  if (at == std::string::npos) return false;
  FlipByte(path, static_cast<long>(at + offset));
  return true;
}

long EntryDataOffset(const std::string &path, const std::string &name) {
  const std::string bytes = ReadFile(path);
  const std::string signature("PK\x03\x04", 4);
  for (size_t at = bytes.find(signature); at != std::string::npos && at + 30 <= bytes.size();
       at = bytes.find(signature, at + 1)) {
    const size_t nameLength = little16(bytes, at + 26);
    const size_t extraLength = little16(bytes, at + 28);
    if (bytes.compare(at + 30, nameLength, name) == 0 && nameLength == name.size())
      return static_cast<long>(at + 30 + nameLength + extraLength);
  }
  return -1;
}

void FlipByte(const std::string &path, long offset) {
  std::string bytes = ReadFile(path);
  if (offset < 0 || static_cast<size_t>(offset) >= bytes.size())
    throw std::runtime_error("offset outside the archive");
  bytes[static_cast<size_t>(offset)] = static_cast<char>(~bytes[static_cast<size_t>(offset)]);
  WriteFile(path, bytes);
}

std::vector<std::string> ArchiveEntryNames(const std::string &path) {
  ArchivePtr archive = openArchive(path, ZIP_RDONLY);
  std::vector<std::string> names;
  const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const char *name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
    names.push_back(name ? name : "");
  }
  return names;
}

}  // namespace qx::test
