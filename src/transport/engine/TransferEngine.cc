#include "engine/TransferEngine.hh"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <exception>
#include <utility>

namespace qx::quarn_tools::internal::engine {
namespace {

// The longest the engine's thread sleeps when nothing happens; libcurl's
// own timers wake it sooner.
constexpr int kLongestSleepMs = 1000;
// The longest CloseIdleConnections waits for the engine's thread.
constexpr auto kCloseWait = std::chrono::seconds(5);

// The engine of this process, and those of the processes it was forked
// from (kept, never used again: their threads do not exist here).
std::mutex &InstanceMutex() {
  static std::mutex *const mutex = new std::mutex;
  return *mutex;
}
TransferEngine *gEngine = nullptr;
std::vector<TransferEngine *> *gForkedEngines = nullptr;

void BeforeFork() { InstanceMutex().lock(); }
void AfterForkInParent() { InstanceMutex().unlock(); }
void AfterForkInChild() {
  if (gEngine != nullptr) {
    if (gForkedEngines == nullptr) gForkedEngines = new std::vector<TransferEngine *>;
    gForkedEngines->push_back(gEngine);
    gEngine = nullptr;
  }
  InstanceMutex().unlock();
}

// Signals that a program handles on its own threads (an interrupt, a
// terminal resized) are not taken by the engine's thread.
class AsynchronousSignalsBlocked {
 public:
  AsynchronousSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGCHLD, SIGWINCH, SIGUSR1,
                             SIGUSR2, SIGPIPE})
      sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~AsynchronousSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

}  // namespace

TransferEngine &TransferEngine::Instance() {
  static std::once_flag registered;
  std::call_once(registered,
                 [] { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); });
  std::lock_guard<std::mutex> lock(InstanceMutex());
  if (gEngine == nullptr) gEngine = new TransferEngine();
  return *gEngine;
}

TransferEngine::TransferEngine() { multi_ = NewMulti(maxStreams_); }

bool TransferEngine::Start(const std::shared_ptr<Stream> &stream, long maxStreams) {
  Command command{Command::kStart, stream};
  command.maxStreams = maxStreams;
  return Send(std::move(command), true);
}

void TransferEngine::Abort(const std::shared_ptr<Stream> &stream, CURLcode code) {
  Command command{Command::kAbort, stream};
  command.code = code;
  Send(std::move(command));
}

void TransferEngine::Resume(const std::shared_ptr<Stream> &stream) {
  Send(Command{Command::kResume, stream});
}

void TransferEngine::CloseIdleConnections() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!running_) return;
  Command command{Command::kCloseIdle, nullptr};
  command.close = ++closesAsked_;
  commands_.push_back(std::move(command));
  curl_multi_wakeup(multi_);
  const std::uint64_t asked = closesAsked_;
  closed_.wait_for(lock, kCloseWait, [this, asked] { return closesSeen_ >= asked; });
}

bool TransferEngine::Send(Command command, bool start) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (multi_ == nullptr) return false;
  if (start && !running_) {
    const AsynchronousSignalsBlocked blocked;
    try {
      thread_ = std::thread([this] { Run(); });
      running_ = true;
    } catch (const std::exception &) {
      return false;
    }
  }
  if (!running_) return false;
  commands_.push_back(std::move(command));
  curl_multi_wakeup(multi_);
  return true;
}

void TransferEngine::Run() {
  while (true) {
    std::vector<Command> commands;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands.swap(commands_);
    }
    for (const Command &command : commands) Apply(command);
    int running = 0;
    curl_multi_perform(multi_, &running);
    CollectFinished();
    CloseWhenIdle();
    {
      // A wakeup may have gone to a multi handle that CloseWhenIdle replaced.
      std::lock_guard<std::mutex> lock(mutex_);
      if (!commands_.empty()) continue;
    }
    curl_multi_poll(multi_, nullptr, 0, kLongestSleepMs, nullptr);
  }
}

void TransferEngine::Apply(const Command &command) {
  switch (command.kind) {
    case Command::kStart: {
      CURL *easy = command.stream->Easy();
      if (command.maxStreams != maxStreams_) {
        maxStreams_ = command.maxStreams;
        curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, maxStreams_);
      }
      if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        command.stream->Finish(CURLE_FAILED_INIT);
        return;
      }
      streams_[easy] = command.stream;
      return;
    }
    case Command::kAbort: {
      const auto found = streams_.find(command.stream->Easy());
      if (found == streams_.end() || found->second != command.stream) return;
      curl_multi_remove_handle(multi_, found->first);
      streams_.erase(found);
      command.stream->Finish(command.code);
      return;
    }
    case Command::kResume: {
      const auto found = streams_.find(command.stream->Easy());
      if (found != streams_.end() && found->second == command.stream)
        curl_easy_pause(found->first, CURLPAUSE_CONT);
      return;
    }
    case Command::kCloseIdle:
      closePending_ = true;
      closesTaken_ = command.close;
      return;
  }
}

void TransferEngine::CollectFinished() {
  int left = 0;
  while (CURLMsg *message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL *easy = message->easy_handle;
    const CURLcode code = message->data.result;
    const auto found = streams_.find(easy);
    if (found == streams_.end()) {
      curl_multi_remove_handle(multi_, easy);
      continue;
    }
    long version = 0;
    if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK && version != 0)
      protocols_.Note(found->second->Origin(), version == CURL_HTTP_VERSION_2_0);
    curl_multi_remove_handle(multi_, easy);
    const std::shared_ptr<Stream> stream = std::move(found->second);
    streams_.erase(found);
    stream->Finish(code);
  }
}

void TransferEngine::CloseWhenIdle() {
  if (closePending_ && streams_.empty()) {
    CURLM *fresh = NewMulti(maxStreams_);
    if (fresh != nullptr) {
      CURLM *old = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        old = multi_;
        multi_ = fresh;
      }
      curl_multi_cleanup(old);
      closePending_ = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closesSeen_ >= closesTaken_) return;
    closesSeen_ = closesTaken_;
  }
  closed_.notify_all();
}

}  // namespace qx::quarn_tools::internal::engine
