/*
 * Owners of libzip's handles, so that no path of packing or unpacking frees
 * one by hand. Internal; one thread per handle.
 */
#ifndef QX_QUARN_TOOLS_SRC_ZIPHANDLES_HH_
#define QX_QUARN_TOOLS_SRC_ZIPHANDLES_HH_

#include <zip.h>

#include <memory>

namespace qx::quarn_tools::internal {

struct ArchiveDiscard {
  void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDiscard>;

struct EntryClose {
  void operator()(zip_file_t *file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryClose>;

struct SourceFree {
  void operator()(zip_source_t *source) const { zip_source_free(source); }
};
using SourcePtr = std::unique_ptr<zip_source_t, SourceFree>;

// Writes the archive and releases the handle. On failure the handle stays
// owned by `archive` (and is discarded with it) so its error can be read.
inline bool closeArchive(ArchivePtr &archive) {
  if (zip_close(archive.get()) < 0) return false;
  archive.release();
  return true;
}

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ZIPHANDLES_HH_
