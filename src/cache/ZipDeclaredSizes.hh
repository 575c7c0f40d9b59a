/*
 * What an archive declares about its size, checked before anything is
 * unpacked: the entries and bytes of its central directory, read from its
 * end records before libzip loads the directory (which takes memory in
 * proportion), and sums of the sizes its entries declare, which saturate
 * rather than wrap. Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_ZIPDECLAREDSIZES_HH_
#define QX_QUARN_TOOLS_SRC_ZIPDECLAREDSIZES_HH_

#include <cstdint>
#include <string>

#include "CacheLimits.hh"

namespace qx::quarn_tools::internal {

// a + b, or the largest value when that does not fit.
inline std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Refuses, before libzip reads it, the archive open at `fd` (`src` names it
// in log lines) when its central directory holds more entries than the
// limit, or more bytes than that many entries need. True when it holds
// neither, or has no end record to tell (libzip then says what is wrong).
bool DirectoryWithinLimits(int fd, const std::string &src, const UnpackLimits &limits);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ZIPDECLAREDSIZES_HH_
