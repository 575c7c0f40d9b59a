#include "qx/quarn_tools/Progress.hh"

#include <atomic>
#include <mutex>

#include "ProgressCounters.hh"

namespace qx::quarn_tools {
namespace {

// Relaxed: each counter is a statistic of its own; a snapshot need not be
// consistent across them.
std::atomic<std::uint64_t> gBytesReceived{0};
std::atomic<std::uint64_t> gBytesExpected{0};
std::atomic<std::uint64_t> gResourcesStarted{0};
std::atomic<std::uint64_t> gResourcesFinished{0};
std::atomic<std::uint64_t> gResourcesSaved{0};
std::atomic<std::uint64_t> gResourcesUnpacking{0};

// The names change once per resource, not per byte: a mutex is cheap enough.
struct LatestNames {
  std::mutex mutex;
  std::string begun;
  std::string saved;
};

LatestNames &latestNames() {
  static LatestNames *const names = new LatestNames();  // never destroyed: any thread, any time
  return *names;
}

void setName(std::string LatestNames::*which, const std::string &name) {
  LatestNames &names = latestNames();
  std::lock_guard<std::mutex> lock(names.mutex);
  names.*which = name;
}

}  // namespace

TransferProgress currentTransferProgress() {
  TransferProgress progress;
  progress.bytesReceived = gBytesReceived.load(std::memory_order_relaxed);
  progress.bytesExpected = gBytesExpected.load(std::memory_order_relaxed);
  progress.resourcesStarted = gResourcesStarted.load(std::memory_order_relaxed);
  progress.resourcesFinished = gResourcesFinished.load(std::memory_order_relaxed);
  progress.resourcesSaved = gResourcesSaved.load(std::memory_order_relaxed);
  progress.resourcesUnpacking = gResourcesUnpacking.load(std::memory_order_relaxed);
  LatestNames &names = latestNames();
  std::lock_guard<std::mutex> lock(names.mutex);
  progress.latestResource = names.begun;
  progress.latestSaved = names.saved;
  return progress;
}

namespace internal {

void countBytesReceived(std::size_t bytes) {
  gBytesReceived.fetch_add(bytes, std::memory_order_relaxed);
}

void countBytesExpected(std::uint64_t bytes) {
  gBytesExpected.fetch_add(bytes, std::memory_order_relaxed);
}

ResourceDownloadCount::ResourceDownloadCount(const std::string &name) : name_(name) {
  setName(&LatestNames::begun, name_);
  gResourcesStarted.fetch_add(1, std::memory_order_relaxed);
}

ResourceDownloadCount::~ResourceDownloadCount() {
  if (saved_) {
    setName(&LatestNames::saved, name_);
    gResourcesSaved.fetch_add(1, std::memory_order_relaxed);
  }
  gResourcesFinished.fetch_add(1, std::memory_order_relaxed);
}

void ResourceDownloadCount::Saved() { saved_ = true; }

UnpackingCount::UnpackingCount() { gResourcesUnpacking.fetch_add(1, std::memory_order_relaxed); }

UnpackingCount::~UnpackingCount() {
  gResourcesUnpacking.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace qx::quarn_tools
