/*
 * How much one archive may unpack to: the cap on the bytes really written and
 * on the number of entries, which stops a decompression bomb long before the
 * disk is full. The configuration holds the values (config.yaml, limits:
 * max-unpacked-size and max-entries); the environment variables
 * QX_QUARN_MAX_UNPACKED_SIZE and QX_QUARN_MAX_ENTRIES override them. Also how
 * long a download waits for the lock of a resource (QX_QUARN_LOCK_WAIT).
 * Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_
#define QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_

#include <chrono>
#include <cstdint>

#include "qx/quarn_tools/ClientConfig.hh"

namespace qx::quarn_tools::internal {

inline constexpr const char *kMaxUnpackedSizeVariable = "QX_QUARN_MAX_UNPACKED_SIZE";
inline constexpr const char *kMaxEntriesVariable = "QX_QUARN_MAX_ENTRIES";
inline constexpr const char *kLockWaitVariable = "QX_QUARN_LOCK_WAIT";

// What ClientConfig starts with unless told otherwise.
struct UnpackLimits {
  std::uint64_t maxBytes = kDefaultMaxUnpackedSize;
  std::uint64_t maxEntries = kDefaultMaxEntries;
};

// The configuration's limits (the defaults without one), overridden by the
// environment; a variable that does not read as a size is ignored with a
// warning.
UnpackLimits EffectiveUnpackLimits(const ClientConfig *config);

// How long a download waits for another download of the same resource (in
// this process or another) before going ahead by itself: QX_QUARN_LOCK_WAIT
// seconds, 600 when unset; 0 does not wait.
std::chrono::milliseconds LockPatience();

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_
