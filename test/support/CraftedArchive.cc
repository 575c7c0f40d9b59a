#include "support/CraftedArchive.hh"

#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace qx::test {
namespace {

void put(std::string &out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::string rawDeflate(const std::string &data) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int done = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (done != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

}  // namespace

CraftedArchive &CraftedArchive::Add(CraftedEntry entry) {
  entries_.push_back(std::move(entry));
  return *this;
}

CraftedArchive &CraftedArchive::File(const std::string &name, const std::string &data) {
  CraftedEntry entry;
  entry.name = name;
  entry.data = data;
  return Add(entry);
}

CraftedArchive &CraftedArchive::ClaimEntries(std::uint64_t entries, bool zip64) {
  claimedEntries_ = entries;
  claimZip64_ = zip64;
  return *this;
}

CraftedArchive &CraftedArchive::ClaimDirectoryBytes(std::uint32_t bytes) {
  claimedBytes_ = bytes;
  return *this;
}

std::string CraftedArchive::Bytes() const {
  std::string out;
  std::string central;
  for (const CraftedEntry &entry : entries_) {
    const std::string stored = entry.deflated ? rawDeflate(entry.data) : entry.data;
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(entry.data.data()), static_cast<uInt>(entry.data.size())));
    const std::uint64_t size = entry.declaredSize.value_or(entry.data.size());
    const std::uint64_t offset = out.size();
    const std::uint16_t version = entry.zip64 ? 45 : 20;
    const std::uint16_t method = entry.method.value_or(entry.deflated ? 8 : 0);
    std::string extra;
    std::string centralExtra;
    if (entry.zip64) {
      put(extra, 1, 2), put(extra, 16, 2), put(extra, size, 8), put(extra, stored.size(), 8);
      put(centralExtra, 1, 2), put(centralExtra, 24, 2), put(centralExtra, size, 8);
      put(centralExtra, stored.size(), 8), put(centralExtra, offset, 8);
    }
    const std::uint64_t shortSize = entry.zip64 ? 0xffffffff : size;
    const std::uint64_t shortStored = entry.zip64 ? 0xffffffff : stored.size();
    put(out, 0x04034b50, 4), put(out, version, 2), put(out, 0x800, 2), put(out, method, 2);
    put(out, 0, 2), put(out, 0x21, 2), put(out, crc, 4), put(out, shortStored, 4);
    put(out, shortSize, 4), put(out, entry.name.size(), 2), put(out, extra.size(), 2);
    out += entry.name + extra + stored;

    put(central, 0x02014b50, 4), put(central, (3 << 8) | version, 2), put(central, version, 2);
    put(central, 0x800, 2), put(central, method, 2), put(central, 0, 2), put(central, 0x21, 2);
    put(central, crc, 4), put(central, shortStored, 4), put(central, shortSize, 4);
    put(central, entry.name.size(), 2), put(central, centralExtra.size(), 2), put(central, 0, 2);
    put(central, 0, 2), put(central, 0, 2), put(central, 0100644u << 16, 4);
    put(central, entry.zip64 ? 0xffffffff : offset, 4);
    central += entry.name + centralExtra;
  }
  const std::uint64_t directoryOffset = out.size();
  out += central;
  const std::uint64_t entries = claimedEntries_.value_or(entries_.size());
  if (claimZip64_) {
    const std::uint64_t zip64End = out.size();
    put(out, 0x06064b50, 4), put(out, 44, 8), put(out, 45, 2), put(out, 45, 2), put(out, 0, 4);
    put(out, 0, 4), put(out, entries, 8), put(out, entries, 8), put(out, central.size(), 8);
    put(out, directoryOffset, 8);
    put(out, 0x07064b50, 4), put(out, 0, 4), put(out, zip64End, 8), put(out, 1, 4);
  }
  const std::uint64_t shortEntries = claimZip64_ ? 0xffff : (entries & 0xffff);
  put(out, 0x06054b50, 4), put(out, 0, 2), put(out, 0, 2), put(out, shortEntries, 2);
  put(out, shortEntries, 2), put(out, claimedBytes_.value_or(static_cast<std::uint32_t>(central.size())), 4);
  put(out, directoryOffset, 4), put(out, 0, 2);
  return out;
}

void CraftedArchive::Write(const std::string &path) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  const std::string bytes = Bytes();
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qx::test
