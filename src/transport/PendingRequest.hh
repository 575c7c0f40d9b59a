/*
 * A request made ahead, on a thread of its own, whose answer the caller
 * takes when it needs it: how the library asks for what it will need next
 * (listing pages before the walk reaches them) while the transport runs
 * many requests at once. The request runs under a child of the starting
 * thread's cancellation token (Cancellation.hh): it stops when the starter
 * is cancelled, and a request dropped without its answer being taken is
 * cancelled. Where no thread can be started, the request runs when its
 * answer is taken, on the taker's thread. One thread uses the object;
 * internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_PENDINGREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_PENDINGREQUEST_HH_

#include <functional>
#include <thread>

#include "Cancellation.hh"
#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools::internal {

class PendingRequest {
 public:
  using Request = std::function<RestResponse()>;

  // Starts `request` (a call of Rest::Request, say) now.
  explicit PendingRequest(Request request);
  // Cancels the request unless its answer was taken, and returns once it
  // ended (within a tenth of a second).
  ~PendingRequest();
  PendingRequest(const PendingRequest &) = delete;
  PendingRequest &operator=(const PendingRequest &) = delete;

  // The answer, once the request ended. Only once.
  RestResponse Take();
  // Cancels the request without waiting for it to end (several may be
  // cancelled first and then waited for together).
  void Cancel() const { cancel_.Cancel(); }

 private:
  void Run();

  Request request_;
  const CancelToken cancel_;
  RestResponse answer_;
  bool taken_ = false;
  std::thread thread_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_PENDINGREQUEST_HH_
