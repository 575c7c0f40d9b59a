/*
 * Builds zip archives entry by entry with libzip, including the hostile
 * kinds a server might send: names that are absolute or climb out with "..",
 * files without directory entries, symbolic links, stored entries whose
 * bytes a test can then damage.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_ARCHIVEBUILDER_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_ARCHIVEBUILDER_HH_

#include <string>
#include <vector>

namespace qx::test {

class ArchiveBuilder {
 public:
  // A file entry named exactly `name`. Stored entries keep their bytes
  // verbatim in the archive, so DamageArchive can find them.
  ArchiveBuilder &File(const std::string &name, const std::string &content,
                       bool stored = false);
  // A directory entry; libzip adds the trailing "/" when it is missing.
  ArchiveBuilder &Directory(const std::string &name);
  // A Unix symbolic-link entry whose data is the link target.
  ArchiveBuilder &Symlink(const std::string &name, const std::string &target);

  // Writes the archive to `path` (replacing a file there). An archive
  // without entries is written as a bare end-of-directory record.
  void Write(const std::string &path) const;

 private:
  enum class Kind { kFile, kDirectory, kSymlink };
  struct Item {
    Kind kind;
    std::string name;
    std::string content;
    bool stored;
  };
  std::vector<Item> items_;
};

// Flips every bit of the byte `offset` bytes after the first occurrence of
// `needle` in the file. False when `needle` is not there.
bool DamageArchive(const std::string &path, const std::string &needle, size_t offset = 0);

// The offset of the data of the first entry named `name`, read from its
// local header; -1 when not found.
long EntryDataOffset(const std::string &path, const std::string &name);

// Flips every bit of the byte at `offset`.
void FlipByte(const std::string &path, long offset);

// The names of the archive's entries in index order.
std::vector<std::string> ArchiveEntryNames(const std::string &path);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_ARCHIVEBUILDER_HH_
