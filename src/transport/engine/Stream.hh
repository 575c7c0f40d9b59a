/*
 * One transfer as the engine runs it: its easy handle and what arrives for
 * it, handed from the engine's thread to the caller's. libcurl calls the
 * engine back on its own thread with header lines and body bytes; those
 * callbacks only queue what came (HTTP/2 header names written in the form
 * HTTP/1.1 servers use, HeaderNames.hh), so a caller that takes long over
 * its bytes (a slow disk) never holds up the other transfers. A stream
 * whose caller falls behind by kMaxQueuedBytes pauses until the caller has
 * taken what waits. Internal to the transport.
 */
#ifndef QX_QUARN_TOOLS_SRC_ENGINE_STREAM_HH_
#define QX_QUARN_TOOLS_SRC_ENGINE_STREAM_HH_

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace qx::quarn_tools::internal::engine {

// What arrived for a transfer: a header line, or body bytes.
struct Piece {
  bool header = false;
  std::string bytes;
  // Body bytes: the status of the response they belong to and its announced
  // length (-1 when it announced none).
  long status = 0;
  curl_off_t length = -1;
};

class Stream {
 public:
  // The body bytes queued for the caller past which the transfer pauses.
  static constexpr std::size_t kMaxQueuedBytes = 1 << 20;

  // A transfer of `easy` (owned by the caller, who keeps it until the
  // transfer is done) to `origin`. Points the easy handle's callbacks and
  // error buffer at the stream.
  Stream(CURL *easy, std::string origin);
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;

  CURL *Easy() const { return easy_; }
  const std::string &Origin() const { return origin_; }

  // ---- The engine's thread

  // The transfer ended with `code`, and the engine no longer uses the easy
  // handle.
  void Finish(CURLcode code);

  // ---- The caller's thread

  // What the caller takes at once.
  struct Arrivals {
    std::vector<Piece> pieces;
    bool paused = false;  // the transfer paused for the caller: Resume it
    bool done = false;    // the transfer ended; nothing more comes
  };
  // Waits at most `wait` for something to arrive (or for the end), and takes
  // all that arrived.
  Arrivals Take(std::chrono::milliseconds wait);
  // After done: how the transfer ended, and libcurl's words for it.
  CURLcode Code() const;
  std::string Error() const;

 private:
  static size_t OnHeader(char *bytes, size_t size, size_t count, void *self);
  static size_t OnBody(char *bytes, size_t size, size_t count, void *self);
  // Queues `piece`, waking the caller.
  void Queue(Piece piece);

  CURL *const easy_;
  const std::string origin_;

  // Shared by the two threads, under mutex_.
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Piece> pieces_;
  std::size_t queuedBytes_ = 0;
  bool paused_ = false;
  bool done_ = false;
  CURLcode code_ = CURLE_OK;
  std::string error_;

  // The engine's thread only.
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  bool http2_ = false;       // the current response came over HTTP/2
  bool bodyStarted_ = false;  // the current response's body began
  long status_ = 0;
  curl_off_t length_ = -1;
};

}  // namespace qx::quarn_tools::internal::engine

#endif  // QX_QUARN_TOOLS_SRC_ENGINE_STREAM_HH_
