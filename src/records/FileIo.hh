/*
 * Whole-file reads used across the library. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_FILEIO_HH_
#define QX_QUARN_TOOLS_SRC_FILEIO_HH_

#include <string>

namespace qx::quarn_tools::internal {

// Reads the whole file at `path` into `content`; false when it cannot be
// opened or read.
bool ReadWholeFile(const std::string &path, std::string &content);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_FILEIO_HH_
