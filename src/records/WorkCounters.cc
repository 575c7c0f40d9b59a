#include "WorkCounters.hh"

#include <atomic>

namespace qx::quarn_tools::internal {
namespace {

// Relaxed: each counter is a statistic of its own.
std::atomic<std::uint64_t> gCacheWalks{0};
std::atomic<std::uint64_t> gModelConfigReads{0};
std::atomic<std::uint64_t> gMetadataPbtxtReads{0};

}  // namespace

void countCacheWalk() { gCacheWalks.fetch_add(1, std::memory_order_relaxed); }

void countModelConfigRead() { gModelConfigReads.fetch_add(1, std::memory_order_relaxed); }

void countMetadataPbtxtRead() { gMetadataPbtxtReads.fetch_add(1, std::memory_order_relaxed); }

WorkCounts currentWorkCounts() {
  WorkCounts counts;
  counts.cacheWalks = gCacheWalks.load(std::memory_order_relaxed);
  counts.modelConfigReads = gModelConfigReads.load(std::memory_order_relaxed);
  counts.metadataPbtxtReads = gMetadataPbtxtReads.load(std::memory_order_relaxed);
  return counts;
}

}  // namespace qx::quarn_tools::internal
