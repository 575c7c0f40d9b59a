/*
 * Zip archives: packs a directory tree (or one file) into an archive and
 * unpacks an archive into a directory. Stateless; both operations may run on
 * several threads at once as long as they work on different paths. Problems
 * are reported as log lines; the caller gets a bool.
 *
 * Archives come from servers and are treated as hostile input: Extract never
 * writes outside its destination directory and never creates links.
 */
#ifndef QX_QUARN_TOOLS_ZIP_HH_
#define QX_QUARN_TOOLS_ZIP_HH_

#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE Zip {
 public:
  // Packs `src` into the archive `dst` (created, or added to when it exists).
  // The first entry is named after the base name of `src`; a directory gets
  // an entry ending in "/" before the entries inside it. Entries that cannot
  // be added below the top level are logged and skipped. False when `src`
  // does not exist, the archive cannot be opened, the top-level entry cannot
  // be added or the archive cannot be written.
  static bool Compress(const std::string &src, const std::string &dst);

  // Unpacks the archive `src` under the directory `dst`, creating missing
  // directories. Refused before anything is written: an archive holding an
  // entry whose name is absolute or leaves `dst`, one with more than
  // kDefaultMaxEntries entries or whose entries declare more than
  // kDefaultMaxUnpackedSize bytes (ClientConfig.hh), and one that does not
  // fit the free space of `dst`'s file system. Entries that cannot be read
  // (corrupt data, bad checksum) are logged and make the result false, while
  // the other entries are still extracted. A write error (a full disk, EIO)
  // or more bytes written than the limit stops the extraction at once.
  // Symbolic-link entries are written as regular files holding the link
  // text. Entries are streamed in bounded chunks, whatever their size.
  static bool Extract(const std::string &src, const std::string &dst);
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_ZIP_HH_
