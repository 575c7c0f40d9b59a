/*
 * What the transport offers the rest of the library beyond Rest::Request:
 * requests whose body streams into a sink instead of memory, the reason a
 * request failed, the process-wide transfer settings (time-outs, retries,
 * the size of documents, streams per connection) and what the transport
 * knows of a server's connections. Cancellation.hh cancels requests in
 * flight. Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
#define QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools::internal {

// Where a body goes, piece by piece as it arrives.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // Takes the next `size` bytes; false stops the transfer (the sink keeps
  // and reports its reason when ReportsRefusal()).
  virtual bool Write(const char *data, std::size_t size) = 0;
  // Drops what it took, to take a body again from its start (a retry, a
  // redirect, a server that ignored a range); false when it cannot.
  virtual bool Restart() = 0;
  // How many bytes it holds: where a broken body resumes.
  virtual std::uint64_t Size() const = 0;
  // Whether the sink logs why it refused bytes itself; otherwise the
  // transport reports the aborted transfer as any other failure.
  virtual bool ReportsRefusal() const { return true; }
};

// Why an exchange brought no whole answer, in the transport's own words:
// libcurl's error (a name that does not resolve, a refused connection, a
// TLS failure, a time-out, a reset stream), a redirect that may not be
// followed, a body that broke its promises; kInterrupted ("interrupted",
// Cancellation.hh) with `cancelled` when the caller's token stopped it.
// Empty when the server answered, or when the sink refused the body (it
// says why itself).
struct ExchangeFailure {
  std::string text;
  bool cancelled = false;
};

// Rest::Request of a GET with the user agent `userAgent`, except that the
// body goes to `sink` as it arrives and the response's data stays empty. A
// body that breaks off resumes where it stopped, with a range request, when
// the server announced its length and answers ranges. When the sink refuses
// bytes, the transfer stops and statusCode is 0. With statusCode 0,
// `failure` (when given) says why.
RestResponse RequestToSink(const std::string &userAgent, const std::string &url,
                           const std::string &version, const std::string &path,
                           const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, BodySink &sink,
                           ExchangeFailure *failure = nullptr);

// How every request of the process is made: the options of the most recent
// client's configuration (or the defaults), and how retries wait.
struct TransferSettings {
  TransferOptions options;
  // The wait before the first retry; it doubles for every further one,
  // with a quarter of jitter either way.
  double firstBackoffSeconds = 0.5;
  // The longest wait a server's Retry-After obtains.
  double retryAfterCapSeconds = 30;
};

// The settings of requests that start now: the stored ones, with the
// environment's QX_QUARN_RETRIES, QX_QUARN_CONNECT_TIMEOUT,
// QX_QUARN_STALL_TIMEOUT, QX_QUARN_DOCUMENT_TIMEOUT,
// QX_QUARN_MAX_DOCUMENT_SIZE and QX_QUARN_MAX_STREAMS on top (a value out of
// its range is ignored with a warning).
TransferSettings CurrentTransferSettings();
// Stores the options a client's configuration gives.
void UseTransferOptions(const TransferOptions &options);
// Replaces the stored settings (tests shorten waits) and returns the
// previous ones.
TransferSettings SetTransferSettings(const TransferSettings &settings);

// How many requests to the server at `url` the transport runs at once: the
// streams of one connection (max-streams) when its latest answer came over
// HTTP/2, else 1 (an HTTP/1.1 connection carries one request at a time;
// more at once open more connections).
long RequestsPerConnection(const std::string &url);

// Closes the kept connections (for a program about to stop the servers it
// talks to, such as tests): at once when no request runs, else when those
// running have ended.
void CloseIdleConnections();

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
