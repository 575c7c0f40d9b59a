/*
 * How the module runs a call that may wait on the network or the disk: on
 * a thread of its own, while the calling thread waits without the GIL in
 * short slices, and between them calls the progress callback (with the
 * GIL) and checks for signals. An interrupt (Ctrl-C) runs the call's
 * interrupt action (a download cancels its own Cancellation handle, so
 * other threads' calls go on), gives the work about a second to unwind
 * (its staging directories removed), and raises KeyboardInterrupt in the
 * caller. Call with the GIL.
 */
#ifndef QX_QUARN_PYTHON_GUARDEDCALL_HH_
#define QX_QUARN_PYTHON_GUARDEDCALL_HH_

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace qx::quarn_python {

namespace py = pybind11;

// What the waiting calls between slices, with the GIL; it may raise.
class WaitSlices {
 public:
  virtual ~WaitSlices() = default;
  virtual void Between() {}
  virtual void AtEnd() {}
};

// What an interrupt does to the work before the caller raises: cancel the
// call's handle, say. None: the work ends by itself, unwatched (a request
// that saves nothing).
using InterruptAction = std::function<void()>;

// Runs `work` on a new thread and waits for it as described above; a
// thread that cannot be started runs the work on the calling thread
// (without the GIL). The work must not touch Python objects.
void runGuarded(std::function<void()> work, WaitSlices &slices,
                const InterruptAction &interrupt = {});

// The same, handing back what `work` returns.
template <typename T>
T callGuarded(std::function<T()> work, WaitSlices &slices, const InterruptAction &interrupt = {}) {
  // Shared with the thread: after an interrupt the caller leaves without it.
  auto value = std::make_shared<std::optional<T>>();
  runGuarded([work = std::move(work), value] { *value = work(); }, slices, interrupt);
  return std::move(**value);
}

template <typename T>
T callGuarded(std::function<T()> work, const InterruptAction &interrupt = {}) {
  WaitSlices none;
  return callGuarded<T>(std::move(work), none, interrupt);
}

// The progress callback of a download: called with a dict of the counters
// since the call began (resource, bytes, total, phase, resources_started,
// resources_finished, resources_saved) a few times a second while the work
// runs, and once more at its end with the phase "done".
class ProgressSlices : public WaitSlices {
 public:
  explicit ProgressSlices(py::object callback);
  void Between() override;
  void AtEnd() override;

 private:
  void Report(bool done);

  py::object callback_;
  struct Start;
  std::shared_ptr<Start> start_;
};

}  // namespace qx::quarn_python

#endif  // QX_QUARN_PYTHON_GUARDEDCALL_HH_
