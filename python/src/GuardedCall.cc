#include "GuardedCall.hh"

#include <chrono>
#include <system_error>
#include <thread>

#include <qx/quarn_tools/Progress.hh>

namespace qx::quarn_python {

namespace {

// How long the caller waits before it looks for signals and progress again.
constexpr std::chrono::milliseconds kSlice{50};
// How long work that was interrupted may take to unwind (remove its staging
// directory) before the caller raises anyway.
constexpr std::chrono::milliseconds kUnwindWait{1000};

struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;  // guarded by mutex
  std::exception_ptr failure;
};

// Waits at most `slice` for the work; true once it has finished.
bool waitSlice(Completion &completion, std::chrono::milliseconds slice) {
  py::gil_scoped_release released;
  std::unique_lock<std::mutex> lock(completion.mutex);
  return completion.done.wait_for(lock, slice, [&] { return completion.finished; });
}

}  // namespace

void runGuarded(std::function<void()> work, WaitSlices &slices, const InterruptAction &interrupt) {
  auto completion = std::make_shared<Completion>();
  auto body = [completion, work = std::move(work)] {
    try {
      work();
    } catch (...) {
      completion->failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->finished = true;
    completion->done.notify_all();
  };
  try {
    std::thread(body).detach();
  } catch (const std::system_error &) {
    // No thread to spare: the work runs here, without signals or progress.
    py::gil_scoped_release released;
    body();
  }
  while (!waitSlice(*completion, kSlice)) {
    if (PyErr_CheckSignals() != 0) {
      // Ctrl-C (or whatever the handler raised): this call's transfers
      // stop and what it staged goes, as when quarn is interrupted.
      const py::error_already_set raised;
      if (interrupt) {
        interrupt();
        waitSlice(*completion, kUnwindWait);
      }
      throw raised;
    }
    try {
      slices.Between();
    } catch (const py::error_already_set &) {
      // The callback raised: the work ends as it would have, then the
      // caller sees the callback's exception.
      while (!waitSlice(*completion, kSlice)) {
      }
      throw;
    }
  }
  if (completion->failure) std::rethrow_exception(completion->failure);
  slices.AtEnd();
}

struct ProgressSlices::Start {
  qx::quarn_tools::TransferProgress counters;
};

ProgressSlices::ProgressSlices(py::object callback)
    : callback_(std::move(callback)),
      start_(std::make_shared<Start>(Start{qx::quarn_tools::currentTransferProgress()})) {}

void ProgressSlices::Between() { Report(false); }

void ProgressSlices::AtEnd() { Report(true); }

void ProgressSlices::Report(bool done) {
  if (callback_.is_none()) return;
  const qx::quarn_tools::TransferProgress now = qx::quarn_tools::currentTransferProgress();
  const qx::quarn_tools::TransferProgress &start = start_->counters;
  const std::uint64_t bytes = now.bytesReceived - start.bytesReceived;
  const char *phase = done                         ? "done"
                      : now.resourcesUnpacking > 0 ? "unpacking"
                      : bytes > 0                  ? "downloading"
                                                   : "waiting";
  py::dict event;
  event["resource"] = now.resourcesStarted > start.resourcesStarted ? now.latestResource : "";
  event["bytes"] = bytes;
  event["total"] = now.bytesExpected - start.bytesExpected;
  event["phase"] = phase;
  event["resources_started"] = now.resourcesStarted - start.resourcesStarted;
  event["resources_finished"] = now.resourcesFinished - start.resourcesFinished;
  event["resources_saved"] = now.resourcesSaved - start.resourcesSaved;
  callback_(event);
}

}  // namespace qx::quarn_python
