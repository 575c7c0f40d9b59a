#include "qx/common/SignalHandler.hh"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace qx::common {

namespace {

// One live SignalHandler: its callbacks and whether it still wants them run.
struct HandlerEntry {
  std::mutex callbacksMutex;  // guards callbacks
  std::vector<SignalHandler::Callback> callbacks;
  std::mutex callMutex;  // held while the dispatcher runs the callbacks
  std::atomic<bool> alive{true};
  bool initialized = false;
};

constexpr int kSignals[] = {SIGINT, SIGTERM};

// Write end of the signal pipe, read by the async-signal handler. The pipe is
// created once and never closed, so a handler running late on another thread
// can never write into a descriptor that was reused meanwhile.
std::atomic<int> gSignalPipeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

thread_local bool tOnDispatcher = false;

extern "C" void onSignal(int signal) {
  int savedErrno = errno;
  int fd = gSignalPipeWrite.load(std::memory_order_relaxed);
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(signal);
    ssize_t ignored = ::write(fd, &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

bool makePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
  }
  return true;
}

// Reads everything waiting in the non-blocking `fd`.
std::vector<unsigned char> drain(int fd) {
  std::vector<unsigned char> bytes;
  unsigned char buffer[64];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return bytes;
    }
  }
}

// One run of the dispatcher thread. The thread owns the read end of its stop
// pipe; whoever stops it writes one byte and closes the write end.
struct Dispatcher {
  std::thread thread;
  int stopWrite = -1;
};

class SignalState {
 public:
  static SignalState &Instance() {
    // Never destroyed: a detached dispatcher may still be finishing at exit.
    static SignalState *state = new SignalState;
    return *state;
  }

  bool Add(const std::shared_ptr<HandlerEntry> &registration) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (registrations_.empty() && !Start()) return false;
    registrations_.push_back(registration);
    return true;
  }

  void Remove(const std::shared_ptr<HandlerEntry> &registration) {
    Dispatcher finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find(registrations_.begin(), registrations_.end(), registration);
      if (it == registrations_.end()) return;
      registrations_.erase(it);
      if (!registrations_.empty()) return;
      RestoreDispositions();
      finished = std::move(dispatcher_);
      dispatcher_ = Dispatcher();
    }
    Stop(finished);
  }

 private:
  SignalState() = default;

  // Called with mutex_ held, for the first live handler.
  bool Start() {
    if (gSignalPipeWrite.load() < 0) {
      if (!makePipe(signalPipe_)) return false;
      gSignalPipeWrite.store(signalPipe_[1]);
    }
    // Signals that came after the previous handlers went are not theirs to
    // hand to the new ones.
    drain(signalPipe_[0]);

    // Signals caught before the thread runs wait in the pipe for it.
    if (!InstallDispositions() || !StartThread()) {
      RestoreDispositions();
      return false;
    }
    return true;
  }

  bool StartThread() {
    int stopPipe[2];
    if (!makePipe(stopPipe)) return false;
    try {
      dispatcher_.thread = std::thread(&SignalState::Run, this, stopPipe[0]);
    } catch (...) {
      ::close(stopPipe[0]);
      ::close(stopPipe[1]);
      return false;
    }
    dispatcher_.stopWrite = stopPipe[1];
    return true;
  }

  bool InstallDispositions() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      if (::sigaction(kSignals[i], &action, &previous_[i]) != 0) return false;
      installed_[i] = true;
    }
    return true;
  }

  // Puts back what was there before, unless someone replaced our handler.
  void RestoreDispositions() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      if (!installed_[i]) continue;
      struct sigaction current {};
      if (::sigaction(kSignals[i], nullptr, &current) == 0 &&
          current.sa_handler == onSignal) {
        ::sigaction(kSignals[i], &previous_[i], nullptr);
      }
      installed_[i] = false;
    }
  }

  // Called without mutex_ held.
  static void Stop(Dispatcher &dispatcher) {
    if (!dispatcher.thread.joinable()) return;
    unsigned char stop = 0;
    while (::write(dispatcher.stopWrite, &stop, 1) < 0 && errno == EINTR) {
    }
    ::close(dispatcher.stopWrite);
    if (dispatcher.thread.get_id() == std::this_thread::get_id()) {
      // The last handler went away inside one of its callbacks: the thread
      // ends by itself once that callback returns.
      dispatcher.thread.detach();
    } else {
      dispatcher.thread.join();
    }
  }

  void Run(int stopRead) {
    tOnDispatcher = true;
    // Signals go to the other threads; this one only relays them.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : kSignals) sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    while (true) {
      pollfd fds[2] = {{signalPipe_[0], POLLIN, 0}, {stopRead, POLLIN, 0}};
      int ready = ::poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      if (fds[0].revents != 0) {
        for (unsigned char signal : drain(signalPipe_[0])) Dispatch(signal);
      }
    }
    ::close(stopRead);
  }

  void Dispatch(int signal) {
    std::vector<std::shared_ptr<HandlerEntry>> live;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      live = registrations_;
    }
    for (const auto &registration : live) {
      std::lock_guard<std::mutex> callLock(registration->callMutex);
      if (!registration->alive) continue;
      std::vector<SignalHandler::Callback> callbacks;
      {
        std::lock_guard<std::mutex> lock(registration->callbacksMutex);
        callbacks = registration->callbacks;
      }
      for (const auto &callback : callbacks) {
        if (!registration->alive) break;
        try {
          callback(signal);
        } catch (...) {
          // A throwing callback must not end the dispatcher.
        }
      }
    }
  }

  std::mutex mutex_;  // guards everything below
  std::vector<std::shared_ptr<HandlerEntry>> registrations_;
  Dispatcher dispatcher_;
  int signalPipe_[2] = {-1, -1};
  struct sigaction previous_[std::size(kSignals)] {};
  bool installed_[std::size(kSignals)] = {};
};

}  // namespace

struct SignalHandler::Registration : HandlerEntry {};

SignalHandler::SignalHandler() : registration_(std::make_shared<Registration>()) {
  try {
    registration_->initialized = SignalState::Instance().Add(registration_);
  } catch (...) {
    registration_->initialized = false;
  }
}

SignalHandler::~SignalHandler() {
  if (!registration_->initialized) return;
  if (tOnDispatcher) {
    // Inside a callback: no other callback runs now, and waiting for
    // callMutex would wait for ourselves.
    registration_->alive = false;
  } else {
    // Waits for a callback of ours that is running right now.
    std::lock_guard<std::mutex> lock(registration_->callMutex);
    registration_->alive = false;
  }
  try {
    SignalState::Instance().Remove(registration_);
  } catch (...) {
    // Only allocation can fail in there; the handler stays registered but
    // dead, so its callbacks never run again.
  }
}

bool SignalHandler::Initialized() const { return registration_->initialized; }

bool SignalHandler::AddCallback(const Callback &callback) {
  if (!registration_->initialized || !callback) return false;
  try {
    std::lock_guard<std::mutex> lock(registration_->callbacksMutex);
    registration_->callbacks.push_back(callback);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace qx::common
