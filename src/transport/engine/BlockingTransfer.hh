/*
 * The blocking facade of the transfer engine: one transfer, run by the
 * engine, waited for on the calling thread, which takes what arrives (header
 * lines, body bytes) in order as it arrives. Any thread; many at once.
 * Internal to the transport.
 */
#ifndef QX_QUARN_TOOLS_SRC_ENGINE_BLOCKINGTRANSFER_HH_
#define QX_QUARN_TOOLS_SRC_ENGINE_BLOCKINGTRANSFER_HH_

#include <curl/curl.h>

#include <cstddef>
#include <string>

#include "Cancellation.hh"

namespace qx::quarn_tools::internal::engine {

// What a transfer hands its caller, on the caller's thread.
class Receiver {
 public:
  virtual ~Receiver() = default;
  // One header line as it came, status lines and the empty line ending each
  // header block included (over HTTP/2, names in the form HTTP/1.1 servers
  // write them).
  virtual void HeaderLine(const std::string &line) = 0;
  // Body bytes of the response with `status` and the announced `length`
  // (-1 when none); false stops the transfer with CURLE_WRITE_ERROR.
  virtual bool BodyBytes(const char *data, std::size_t size, long status,
                         curl_off_t length) = 0;
};

// How a transfer ended.
struct Outcome {
  CURLcode code = CURLE_OK;
  // libcurl's words for a failure (its error buffer, else its text for the
  // code); "interrupted" when cancelled.
  std::string error;
  bool cancelled = false;
};

// Runs the request set up on `easy` (method, headers, time-outs, TLS: every
// option but the URL, the protocol, the connection sharing and the
// callbacks, which are set here) to `url` on the process's engine, with at
// most `maxStreams` streams per HTTP/2 connection. Returns once the transfer
// ended and the engine let go of `easy`. When `cancel` is cancelled, the
// transfer ends within a tenth of a second.
Outcome Perform(CURL *easy, const std::string &url, long maxStreams, const CancelToken &cancel,
                Receiver &receiver);

// Whether the latest finished transfer to the origin of `url` ran on a
// multiplexed (HTTP/2) connection: requests to it then run at once up to
// the streams of a connection.
bool Multiplexes(const std::string &url);

// Closes the engine's kept connections (for a program about to stop the
// servers it talks to, such as tests): at once when no transfer runs, else
// when the transfers running have ended.
void CloseIdleConnections();

}  // namespace qx::quarn_tools::internal::engine

#endif  // QX_QUARN_TOOLS_SRC_ENGINE_BLOCKINGTRANSFER_HH_
