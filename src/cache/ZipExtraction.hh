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
  // be replaced): entries are written in place rather than beside their
  // names first.
  bool freshDestination = false;
  // Stop at the first entry that cannot be written (damaged, lying about
  // its size, clashing with another), where one failed entry fails the
  // whole extraction anyway.
  bool stopAtFirstFailure = false;
  // When set, receives every file written, in archive order.
  std::vector<ExtractedFile> *files = nullptr;
};

// Unpacks `src` under `dst` as Zip::Extract does, with these additions: an
// archive with more entries than the limit (read from its end record before
// libzip loads its directory), whose entries declare more bytes than the
// limit or than the free space, or whose entry names hold control
// characters, is refused before anything is written; the bytes really
// written are counted and the extraction stops once they pass the limit
// (declared sizes can lie; an entry that holds more than it declares is
// damaged); the first write error (a full disk, EIO, a permission error)
// stops it with one error line naming the path and the system's reason.
// Damaged entries are logged and skipped. Below `dst`, which is made as it
// stands, nothing is written through a symbolic link: a link where a
// directory is needed fails the entry, a link at a file's name is replaced.
// True only when every entry was written whole.
bool ExtractArchive(const std::string &src, const std::string &dst, const ExtractOptions &options,
                    FileSystem &fileSystem);

// The same for the archive open for reading at the descriptor `archive`
// (taken, whatever happens; `src` names it in log lines), into the open
// directory `dst`.
bool ExtractArchiveInto(int archive, const std::string &src, const Directory &dst,
                        const ExtractOptions &options, FileSystem &fileSystem);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ZIPEXTRACTION_HH_
