/*
 * Cancelling requests in flight. A CancelToken is a shared flag: whoever
 * holds a copy may cancel it, and every request made under it ends at once
 * (within a tenth of a second) with statusCode 0, no error line, and the
 * reason "interrupted"; a retry's wait ends too, and nothing more is sent.
 *
 * Requests take the token of the calling thread: a road sets it with a
 * CancelScope for as long as it works, and hands it to the threads it starts
 * (a new thread has no token until it opens a scope of its own). A child
 * token is cancelled with its parent, and may be cancelled alone (requests
 * asked ahead that nobody waits for any more). Any thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CANCELLATION_HH_
#define QX_QUARN_TOOLS_SRC_CANCELLATION_HH_

#include <atomic>
#include <chrono>
#include <memory>

#include "qx/quarn_tools/Cancellation.hh"

namespace qx::quarn_tools::internal {

// The reason a cancelled request gives.
inline constexpr const char *kInterrupted = "interrupted";

class CancelToken {
 public:
  // A token of its own, not cancelled.
  CancelToken();

  // A token cancelled when this one is, or by itself.
  CancelToken Child() const;

  void Cancel() const;
  bool Cancelled() const;

  // Sleeps for `duration`, or less when the token is cancelled meanwhile
  // (looking every tenth of a second). False when it was cancelled.
  bool SleepFor(std::chrono::duration<double> duration) const;

 private:
  struct State {
    std::atomic<bool> cancelled{false};
    std::shared_ptr<const State> parent;
  };
  explicit CancelToken(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
};

// The token of the requests this thread makes: the innermost CancelScope's,
// or else a new token of its own.
CancelToken CurrentCancelToken();

// Makes `token` the calling thread's for as long as it lives. Scopes on one
// thread nest.
class CancelScope {
 public:
  explicit CancelScope(CancelToken token);
  ~CancelScope();
  CancelScope(const CancelScope &) = delete;
  CancelScope &operator=(const CancelScope &) = delete;

 private:
  CancelToken token_;
  const CancelToken *outer_;
};

// The token behind a public Cancellation handle: a road opens a CancelScope
// with it for a call given the handle.
struct CancellationAccess {
  static CancelToken TokenOf(const Cancellation &handle) { return *handle.token_; }
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CANCELLATION_HH_
