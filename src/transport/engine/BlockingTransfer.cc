#include "engine/BlockingTransfer.hh"

#include <chrono>
#include <memory>

#include "engine/Connections.hh"
#include "engine/Stream.hh"
#include "engine/TransferEngine.hh"

namespace qx::quarn_tools::internal::engine {
namespace {

// How often a waiting caller looks at its cancellation token.
constexpr std::chrono::milliseconds kLookEvery(100);

}  // namespace

Outcome Perform(CURL *easy, const std::string &url, long maxStreams, const CancelToken &cancel,
                Receiver &receiver) {
  Outcome outcome;
  if (cancel.Cancelled()) {
    outcome.code = CURLE_ABORTED_BY_CALLBACK;
    outcome.error = kInterrupted;
    outcome.cancelled = true;
    return outcome;
  }
  TransferEngine &engine = TransferEngine::Instance();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  UseConnectionOptions(easy, url, engine.Share());
  const auto stream = std::make_shared<Stream>(easy, OriginOf(url));
  if (!engine.Start(stream, maxStreams)) {
    outcome.code = CURLE_FAILED_INIT;
    outcome.error = "the transfer engine could not start";
    return outcome;
  }
  bool stopping = false;
  while (true) {
    Stream::Arrivals arrivals = stream->Take(kLookEvery);
    if (!stopping && cancel.Cancelled()) {
      stopping = outcome.cancelled = true;
      engine.Abort(stream, CURLE_ABORTED_BY_CALLBACK);
    }
    for (const Piece &piece : arrivals.pieces) {
      if (stopping) break;
      if (piece.header) {
        receiver.HeaderLine(piece.bytes);
      } else if (!receiver.BodyBytes(piece.bytes.data(), piece.bytes.size(), piece.status,
                                     piece.length)) {
        stopping = true;
        engine.Abort(stream, CURLE_WRITE_ERROR);
      }
    }
    if (arrivals.done) break;
    if (arrivals.paused && !stopping) engine.Resume(stream);
  }
  outcome.code = stream->Code();
  if (outcome.cancelled) {
    // However the transfer ended meanwhile, the caller gave up on it.
    outcome.code = CURLE_ABORTED_BY_CALLBACK;
    outcome.error = kInterrupted;
    return outcome;
  }
  outcome.error = stream->Error();
  while (!outcome.error.empty() && (outcome.error.back() == '\n' || outcome.error.back() == '\r'))
    outcome.error.pop_back();
  if (outcome.error.empty() && outcome.code != CURLE_OK)
    outcome.error = curl_easy_strerror(outcome.code);
  return outcome;
}

bool Multiplexes(const std::string &url) {
  return TransferEngine::Instance().Multiplexes(OriginOf(url));
}

void CloseIdleConnections() { TransferEngine::Instance().CloseIdleConnections(); }

}  // namespace qx::quarn_tools::internal::engine
