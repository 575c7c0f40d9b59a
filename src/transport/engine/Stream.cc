#include "engine/Stream.hh"

#include <utility>

#include "engine/HeaderNames.hh"

namespace qx::quarn_tools::internal::engine {

Stream::Stream(CURL *easy, std::string origin) : easy_(easy), origin_(std::move(origin)) {
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Stream::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Stream::OnBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  errorBuffer_[0] = '\0';
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
}

void Stream::Finish(CURLcode code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    code_ = code;
    error_ = errorBuffer_;
  }
  arrived_.notify_all();
}

Stream::Arrivals Stream::Take(std::chrono::milliseconds wait) {
  Arrivals arrivals;
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, wait, [this] { return !pieces_.empty() || done_; });
  arrivals.pieces.swap(pieces_);
  queuedBytes_ = 0;
  arrivals.paused = paused_;
  paused_ = false;
  arrivals.done = done_;
  return arrivals;
}

CURLcode Stream::Code() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return code_;
}

std::string Stream::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void Stream::Queue(Piece piece) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = pieces_.empty();
    if (!piece.header) queuedBytes_ += piece.bytes.size();
    pieces_.push_back(std::move(piece));
  }
  if (wake) arrived_.notify_all();
}

size_t Stream::OnHeader(char *bytes, size_t size, size_t count, void *self) {
  Stream &stream = *static_cast<Stream *>(self);
  const size_t length = size * count;
  try {
    Piece piece;
    piece.header = true;
    piece.bytes.assign(bytes, length);
    // A status line opens a new response.
    if (piece.bytes.compare(0, 5, "HTTP/") == 0) {
      stream.http2_ = piece.bytes.compare(0, 7, "HTTP/2 ") == 0;
      stream.bodyStarted_ = false;
    } else if (stream.http2_) {
      piece.bytes = CanonicalHeaderLine(piece.bytes);
    }
    stream.Queue(std::move(piece));
  } catch (...) {
    return 0;
  }
  return length;
}

size_t Stream::OnBody(char *bytes, size_t size, size_t count, void *self) {
  Stream &stream = *static_cast<Stream *>(self);
  const size_t length = size * count;
  {
    std::lock_guard<std::mutex> lock(stream.mutex_);
    if (stream.queuedBytes_ >= kMaxQueuedBytes) {
      // libcurl keeps these bytes and hands them again once resumed.
      stream.paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  }
  if (!stream.bodyStarted_) {
    stream.bodyStarted_ = true;
    curl_easy_getinfo(stream.easy_, CURLINFO_RESPONSE_CODE, &stream.status_);
    if (curl_easy_getinfo(stream.easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &stream.length_) !=
        CURLE_OK)
      stream.length_ = -1;
  }
  try {
    Piece piece;
    piece.bytes.assign(bytes, length);
    piece.status = stream.status_;
    piece.length = stream.length_;
    stream.Queue(std::move(piece));
  } catch (...) {
    return 0;
  }
  return length;
}

}  // namespace qx::quarn_tools::internal::engine
