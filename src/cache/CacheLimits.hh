/*
 * How much one archive may unpack to: the cap on the bytes really written and
 * on the number of entries, which stops a decompression bomb long before the
 * disk is full. The configuration holds the values (config.yaml, cache:
 * max-unpacked-size and max-entries); the environment variables
 * QX_QUARN_MAX_UNPACKED_SIZE and QX_QUARN_MAX_ENTRIES override them.
 * Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_
#define QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_

#include <chrono>
#include <cstdint>
#include <string>

namespace qx::quarn_tools {
class ClientConfig;
}

namespace qx::quarn_tools::internal {

// What ClientConfig starts with: 16 GiB written, 100,000 entries.
inline constexpr std::uint64_t kDefaultUnpackBytes = std::uint64_t{16} << 30;
inline constexpr std::uint64_t kDefaultUnpackEntries = 100000;

inline constexpr const char *kMaxUnpackedSizeVariable = "QX_QUARN_MAX_UNPACKED_SIZE";
inline constexpr const char *kMaxEntriesVariable = "QX_QUARN_MAX_ENTRIES";
inline constexpr const char *kLockWaitVariable = "QX_QUARN_LOCK_WAIT";

struct UnpackLimits {
  std::uint64_t maxBytes = kDefaultUnpackBytes;
  std::uint64_t maxEntries = kDefaultUnpackEntries;
};

// The configuration's limits (the defaults without one), overridden by the
// environment; a variable that does not read as a size is ignored with a
// warning.
UnpackLimits EffectiveUnpackLimits(const ClientConfig *config);

// How long a download waits for another download of the same resource (in
// this process or another) before going ahead by itself: QX_QUARN_LOCK_WAIT
// seconds, 600 when unset; 0 does not wait.
std::chrono::milliseconds LockPatience();

// Reads "1000", "512K", "16GiB", "2 MB"... as bytes: a whole number and an
// optional unit (K, M, G, T, with or without "i" and "B", in any case),
// always in powers of 1024. False for anything else, or on overflow.
bool ParseByteSize(const std::string &text, std::uint64_t &bytes);

// "1.5 GiB", "12 KiB", "900 B": for people.
std::string HumanBytes(std::uint64_t bytes);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CACHELIMITS_HH_
