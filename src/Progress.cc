#include "qx/quarn_tools/Progress.hh"

#include <atomic>

#include "ProgressCounters.hh"

namespace qx::quarn_tools {
namespace {

// Relaxed: each counter is a statistic of its own; a snapshot need not be
// consistent across the three.
std::atomic<std::uint64_t> gBytesReceived{0};
std::atomic<std::uint64_t> gBytesExpected{0};
std::atomic<std::uint64_t> gResourcesStarted{0};
std::atomic<std::uint64_t> gResourcesFinished{0};

}  // namespace

TransferProgress currentTransferProgress() {
  TransferProgress progress;
  progress.bytesReceived = gBytesReceived.load(std::memory_order_relaxed);
  progress.bytesExpected = gBytesExpected.load(std::memory_order_relaxed);
  progress.resourcesStarted = gResourcesStarted.load(std::memory_order_relaxed);
  progress.resourcesFinished = gResourcesFinished.load(std::memory_order_relaxed);
  return progress;
}

namespace internal {

void countBytesReceived(std::size_t bytes) {
  gBytesReceived.fetch_add(bytes, std::memory_order_relaxed);
}

void countBytesExpected(std::uint64_t bytes) {
  gBytesExpected.fetch_add(bytes, std::memory_order_relaxed);
}

ResourceDownloadCount::ResourceDownloadCount() {
  gResourcesStarted.fetch_add(1, std::memory_order_relaxed);
}

ResourceDownloadCount::~ResourceDownloadCount() {
  gResourcesFinished.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace qx::quarn_tools
