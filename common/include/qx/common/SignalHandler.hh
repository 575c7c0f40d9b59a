/*
 * Runs callbacks for SIGINT and SIGTERM while a SignalHandler object lives.
 * The signal handler itself only writes the signal number to a pipe (an
 * async-signal-safe operation); a dispatcher thread reads it and calls the
 * callbacks of every live handler, outside the signal context. Handlers may be
 * created and destroyed on any thread. The previous signal dispositions come
 * back when the last handler is destroyed, unless someone replaced ours.
 *
 * Callbacks run on the dispatcher thread, one at a time. Once the destructor
 * has returned, none of the handler's callbacks runs any more (it waits for
 * one that is running); a callback may create handlers or destroy any
 * handler, its own included.
 */
#ifndef QX_COMMON_SIGNALHANDLER_HH_
#define QX_COMMON_SIGNALHANDLER_HH_

#include <functional>
#include <memory>

namespace qx::common {

class SignalHandler {
 public:
  using Callback = std::function<void(int signal)>;

  SignalHandler();
  ~SignalHandler();
  SignalHandler(const SignalHandler &) = delete;
  SignalHandler &operator=(const SignalHandler &) = delete;

  // Whether the handlers were installed.
  bool Initialized() const;

  // Adds a callback that receives the signal number. Returns false when the
  // handler is not initialized or the callback is empty.
  bool AddCallback(const Callback &callback);

 private:
  struct Registration;
  std::shared_ptr<Registration> registration_;
};

}  // namespace qx::common

#endif  // QX_COMMON_SIGNALHANDLER_HH_
