/*
 * The process's transfer engine: one libcurl multi handle, driven by a
 * thread of its own, runs every transfer of the process and owns every
 * connection (Connections.hh says how they are shared). Callers prepare a
 * transfer, Start it here and wait for it on their own thread
 * (BlockingTransfer.hh); libcurl's callbacks run on the engine's thread and
 * only queue what arrives (Stream.hh). Made on first use and never
 * destroyed; a process made by fork gets an engine of its own at its first
 * request. Any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_ENGINE_TRANSFERENGINE_HH_
#define QX_QUARN_TOOLS_SRC_ENGINE_TRANSFERENGINE_HH_

#include <curl/curl.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Connections.hh"
#include "engine/Stream.hh"

namespace qx::quarn_tools::internal::engine {

// The number of streams one HTTP/2 connection carries at once by default.
inline constexpr long kDefaultMaxStreams = 100;

class TransferEngine {
 public:
  // The engine of this process.
  static TransferEngine &Instance();

  // Runs `stream`, whose easy handle is prepared (UseConnectionOptions
  // included), with at most `maxStreams` streams per connection from now
  // on. False, with nothing started, when the engine's thread cannot run.
  bool Start(const std::shared_ptr<Stream> &stream, long maxStreams);
  // Ends `stream` at once with `code`, unless it ended already.
  void Abort(const std::shared_ptr<Stream> &stream, CURLcode code);
  // Lets a stream that paused for its caller go on.
  void Resume(const std::shared_ptr<Stream> &stream);
  // Closes the kept connections: at once when no transfer runs, else as
  // soon as the transfers running have ended.
  void CloseIdleConnections();

  // DNS answers and TLS sessions shared by every transfer.
  CURLSH *Share() const { return sessions_.Handle(); }
  // Whether the latest finished transfer to `origin` ran on a multiplexed
  // (HTTP/2) connection.
  bool Multiplexes(const std::string &origin) const { return protocols_.Multiplexes(origin); }

 private:
  struct Command {
    enum Kind { kStart, kAbort, kResume, kCloseIdle } kind;
    std::shared_ptr<Stream> stream;
    CURLcode code = CURLE_OK;
    long maxStreams = 0;
    std::uint64_t close = 0;  // kCloseIdle: the number of the request
  };

  TransferEngine();
  // Queues `command` for the engine's thread and wakes it; starts the
  // thread first when `start`. False when the thread cannot run.
  bool Send(Command command, bool start = false);
  // The engine's thread.
  void Run();
  void Apply(const Command &command);
  void CollectFinished();
  // Replaces the multi handle (closing every kept connection) once no
  // transfer runs, when asked to.
  void CloseWhenIdle();

  SharedSessions sessions_;
  OriginProtocols protocols_;

  std::mutex mutex_;  // guards the members up to the thread, and multi_ against replacement
  std::condition_variable closed_;
  std::vector<Command> commands_;
  std::uint64_t closesAsked_ = 0;
  std::uint64_t closesSeen_ = 0;  // requests to close the engine's thread took up
  bool running_ = false;
  std::thread thread_;
  CURLM *multi_ = nullptr;

  // The engine's thread only.
  std::map<CURL *, std::shared_ptr<Stream>> streams_;
  long maxStreams_ = kDefaultMaxStreams;
  std::uint64_t closesTaken_ = 0;    // the latest request to close taken up
  bool closePending_ = false;        // connections to close once no transfer runs
};

}  // namespace qx::quarn_tools::internal::engine

#endif  // QX_QUARN_TOOLS_SRC_ENGINE_TRANSFERENGINE_HH_
