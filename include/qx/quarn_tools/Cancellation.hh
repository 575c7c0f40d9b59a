/*
 * A handle that cancels one call: given to a call in its RequestOptions, it
 * stops every request that call makes, on its own thread and on every
 * thread the call starts, when any copy of the handle is cancelled (from
 * any thread, at any time, before the call too). The call then ends within
 * about a tenth of a second with FailureReason::kInterrupted for whatever
 * it had not finished, and leaves the cache as an interrupted quarn does:
 * no partial version, its staging directories removed. Other calls, and
 * other threads' calls, go on. Copies share one state; a handle stays
 * cancelled once cancelled.
 */
#ifndef QX_QUARN_TOOLS_CANCELLATION_HH_
#define QX_QUARN_TOOLS_CANCELLATION_HH_

#include <memory>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

namespace internal {
class CancelToken;
struct CancellationAccess;
}  // namespace internal

class QX_QUARN_TOOLS_VISIBLE Cancellation {
 public:
  // A handle of its own, not cancelled.
  Cancellation();

  // Cancels every call given this handle (or a copy), now and later.
  void Cancel() const;
  bool Cancelled() const;

 private:
  friend struct internal::CancellationAccess;
  std::shared_ptr<const internal::CancelToken> token_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_CANCELLATION_HH_
