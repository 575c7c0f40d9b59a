/*
 * The values a transfer option may take, bounds included, wherever it comes
 * from (the configuration file, the environment). Internal; constants only.
 */
#ifndef QX_QUARN_TOOLS_SRC_OPTIONRANGES_HH_
#define QX_QUARN_TOOLS_SRC_OPTIONRANGES_HH_

#include <cstdint>

namespace qx::quarn_tools::internal {

// Retries beyond ten would only hide a server that is down; a time-out of 0
// would mean none at all, and libcurl takes none above a day's worth of
// seconds anyway. A connection carries at least one stream; past a thousand
// at once a server refuses them anyway (nginx allows 128 by default).
struct OptionRange {
  std::uint64_t least;
  std::uint64_t most;
};
inline constexpr OptionRange kRetriesRange{0, 10};
inline constexpr OptionRange kTimeoutRange{1, 24 * 60 * 60};
inline constexpr OptionRange kMaxStreamsRange{1, 1000};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_OPTIONRANGES_HH_
