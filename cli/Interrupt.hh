/*
 * What an interrupt (or terminate signal) does to a command of quarn: one
 * line saying what was left undone, and the exit status 128 + the signal
 * (130 for an interrupt). A command either ends at once or, for work that
 * must not be cut in the middle, finishes the step at hand and stops. Create
 * and destroy on the main thread; the signal is handled on a thread of its
 * own.
 */
#ifndef QX_QUARN_CLI_INTERRUPT_HH_
#define QX_QUARN_CLI_INTERRUPT_HH_

#include <atomic>
#include <mutex>
#include <string>

#include <qx/common/SignalHandler.hh>

namespace qx::quarn_cli {

class Interrupt {
 public:
  enum class Mode {
    kEndAtOnce,       // say what is undone, end the process
    kAfterThisStep,   // only note the signal; the command asks Requested()
  };

  // `undone` says what an interrupt leaves undone ("the download of URL").
  Interrupt(Mode mode, const std::string &undone);
  ~Interrupt();
  Interrupt(const Interrupt &) = delete;
  Interrupt &operator=(const Interrupt &) = delete;

  void SetUndone(const std::string &undone);
  // Whether a signal came (kAfterThisStep).
  bool Requested() const { return signal_ != 0; }
  // For a command that stopped after a signal: writes the line, and returns
  // the exit status to end with.
  int Stopped(const std::string &undone) const;

 private:
  void OnSignal(int signal);

  const Mode mode_;
  std::mutex mutex_;  // guards undone_
  std::string undone_;
  std::atomic<int> signal_{0};
  qx::common::SignalHandler handler_;
};

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_INTERRUPT_HH_
