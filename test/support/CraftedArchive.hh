/*
 * Writes zip archives byte by byte, where every field can lie: entries that
 * declare another size than the data they hold, zip64 records, end records
 * that claim entries or directory bytes the archive does not hold. For the
 * hostile archives that libzip itself would never write.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_CRAFTEDARCHIVE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_CRAFTEDARCHIVE_HH_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::test {

struct CraftedEntry {
  std::string name;  // stored as UTF-8 (general purpose flag 0x800)
  std::string data;  // what the entry really holds
  bool deflated = true;
  // The uncompressed size it declares; its data's size when not given.
  std::optional<std::uint64_t> declaredSize;
  // Sizes in a zip64 extra field (needed for declared sizes of 4 GiB on).
  bool zip64 = false;
  // The compression method it names, whatever it holds (a method libzip
  // does not know makes the entry unreadable); 8 or 0 when not given.
  std::optional<std::uint16_t> method;
};

class CraftedArchive {
 public:
  CraftedArchive &Add(CraftedEntry entry);
  // A deflated entry holding `data`.
  CraftedArchive &File(const std::string &name, const std::string &data);
  // The end record (and, with `zip64`, a zip64 end record with its locator)
  // claims this many entries, whatever the archive holds.
  CraftedArchive &ClaimEntries(std::uint64_t entries, bool zip64 = false);
  // The end record claims a central directory of this many bytes.
  CraftedArchive &ClaimDirectoryBytes(std::uint32_t bytes);

  std::string Bytes() const;
  void Write(const std::string &path) const;

 private:
  std::vector<CraftedEntry> entries_;
  std::optional<std::uint64_t> claimedEntries_;
  bool claimZip64_ = false;
  std::optional<std::uint32_t> claimedBytes_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_CRAFTEDARCHIVE_HH_
