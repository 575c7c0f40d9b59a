/*
 * One answer of the server before it goes on the wire: status, headers and
 * body, plus how to send it (delay, truncation). A plain value.
 */
#ifndef QX_QUARN_SERVER_REPLY_HH_
#define QX_QUARN_SERVER_REPLY_HH_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_server {

struct Reply {
  int status = 200;
  // Header lines in order; names compare case-insensitively. "Content-Type"
  // is one of them.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::optional<std::size_t> truncateAfter;
  std::chrono::milliseconds delay{0};

  // Replaces every header named `name` by one line with `value`.
  void SetHeader(const std::string &name, const std::string &value);
  void RemoveHeader(const std::string &name);
  // The first value of header `name`.
  std::optional<std::string> Header(const std::string &name) const;
};

// A reply with `status` and `body` of `contentType`.
Reply makeReply(int status, std::string body, const std::string &contentType);
// A text/plain error reply whose body is `message` and a line end.
Reply errorReply(int status, const std::string &message);

// Whether two header names are the same (ASCII case ignored).
bool sameHeaderName(const std::string &a, const std::string &b);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REPLY_HH_
