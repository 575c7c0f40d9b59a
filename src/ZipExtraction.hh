/*
 * Unpacking an archive under limits, through the file-system seam: what
 * Zip::Extract does, plus what the cache needs to keep a hostile or
 * oversized archive from filling the disk. Internal; any thread, as long as
 * destinations differ.
 */
#ifndef QX_QUARN_TOOLS_SRC_ZIPEXTRACTION_HH_
#define QX_QUARN_TOOLS_SRC_ZIPEXTRACTION_HH_

#include <cstdint>
#include <string>
#include <vector>

#include "CacheLimits.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal {

// One file an extraction wrote: its "/"-separated path below the
// destination, its size and the CRC-32 libzip checked it against.
struct ExtractedFile {
  std::string path;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
};

struct ExtractOptions {
  UnpackLimits limits;
  // Refuse, before writing anything, an archive whose entries declare more
  // bytes than the destination's file system has free.
  bool checkFreeSpace = true;
  // The destination is a fresh directory of the caller's (nothing in it may
  // be replaced, nothing links out of it): entries are written in place
  // rather than beside their names first.
  bool freshDestination = false;
  // When set, receives every file written, in archive order.
  std::vector<ExtractedFile> *files = nullptr;
};

// Unpacks `src` under `dst` as Zip::Extract does, with these additions: an
// archive with more entries than the limit, or whose entries declare more
// bytes than the limit or than the free space, is refused before anything
// is written; the bytes really written are counted and the extraction stops
// once they pass the limit (declared sizes can lie); the first write error
// (a full disk, EIO, a permission error) stops it with one error line naming
// the path and the system's reason. Damaged entries are logged and skipped.
// True only when every entry was written whole.
bool ExtractArchive(const std::string &src, const std::string &dst, const ExtractOptions &options,
                    FileSystem &fileSystem);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ZIPEXTRACTION_HH_
