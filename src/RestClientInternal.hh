/*
 * What the transport offers the rest of the library beyond Rest::Request:
 * requests whose body streams into a sink instead of memory, and the
 * time-outs that keep a dead or stalled server from hanging a caller.
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
#define QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools::internal {

// Where a streamed body goes, piece by piece as it arrives.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // Takes the next `size` bytes; false stops the transfer (the sink keeps
  // and reports its reason).
  virtual bool Write(const char *data, std::size_t size) = 0;
  // Whether the sink logs why it refused bytes itself; otherwise the
  // transport reports the aborted transfer as any other failure.
  virtual bool ReportsRefusal() const { return true; }
};

// Rest::Request with the user agent `userAgent`, except that the body goes
// to `sink` as it arrives and the response's data stays empty. When the
// sink refuses bytes, the transfer stops, statusCode is 0 and nothing is
// logged here.
RestResponse RequestToSink(const std::string &userAgent, HttpMethod method,
                           const std::string &url, const std::string &version,
                           const std::string &path, const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, BodySink &sink);

struct TransferLimits {
  // Longest wait for a connection to be established.
  long connectTimeoutSeconds = 30;
  // A transfer moving less than 1 byte per second for this long is aborted.
  long lowSpeedTimeSeconds = 60;
};

// The limits applied to requests that start from now on.
TransferLimits CurrentTransferLimits();
// Replaces the limits (tests shorten them) and returns the previous ones.
TransferLimits SetTransferLimits(const TransferLimits &limits);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESTCLIENTINTERNAL_HH_
