/*
 * How much of the cache the library read, counted so that tests can hold
 * the download road to its budget: walks over a server directory of the
 * cache (every lookup and listing makes one) and reads of the metadata
 * files of a resource (model.config, metadata.pbtxt). Process-wide and
 * lock-free; any thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_WORKCOUNTERS_HH_
#define QX_QUARN_TOOLS_SRC_WORKCOUNTERS_HH_

#include <cstdint>

namespace qx::quarn_tools::internal {

struct WorkCounts {
  std::uint64_t cacheWalks = 0;
  std::uint64_t modelConfigReads = 0;
  std::uint64_t metadataPbtxtReads = 0;
};

void countCacheWalk();
void countModelConfigRead();
void countMetadataPbtxtRead();

// The counts since the process began; tests compare two snapshots.
WorkCounts currentWorkCounts();

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_WORKCOUNTERS_HH_
