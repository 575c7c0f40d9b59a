/*
 * One answer of the server before it goes on the wire: status, headers and
 * a body held in memory or sent from an open file, plus how to send it
 * (delay, truncation). A plain value.
 */
#ifndef QX_QUARN_SERVER_REPLY_HH_
#define QX_QUARN_SERVER_REPLY_HH_

#include <chrono>
#include <ctime>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OpenFile.hh"

namespace qx::quarn_server {

struct Reply {
  int status = 200;
  // Header lines in order; names compare case-insensitively. "Content-Type"
  // is one of them.
  std::vector<std::pair<std::string, std::string>> headers;
  // The body in memory, unless `file` is set: then the body is the
  // `fileLength` bytes of the file from `fileOffset` on.
  std::string body;
  std::shared_ptr<const OpenFile> file;
  std::uint64_t fileOffset = 0;
  std::uint64_t fileLength = 0;
  std::optional<std::size_t> truncateAfter;
  std::chrono::milliseconds delay{0};

  // Replaces every header named `name` by one line with `value`.
  void SetHeader(const std::string &name, const std::string &value);
  void RemoveHeader(const std::string &name);
  // The first value of header `name`.
  std::optional<std::string> Header(const std::string &name) const;
  // Makes the body the whole of `open`; with ETag, Last-Modified and
  // Accept-Ranges headers, the tag being `tag` or else the file's own.
  void SetFile(std::shared_ptr<const OpenFile> open, const std::string &tag = "");
  // Makes the body `text` in memory (dropping a file body, and with it the
  // file's ETag, Last-Modified and Accept-Ranges headers).
  void SetBody(std::string text);
  // Names the body held in memory (a document) with a strong ETag: a
  // digest of its bytes and of the headers that describe them
  // (Content-Type, Link), so that a cache revalidates it with a 304.
  void TagDocument();
  // The number of body bytes.
  std::uint64_t BodySize() const;
};

// A reply with `status` and `body` of `contentType`.
Reply makeReply(int status, std::string body, const std::string &contentType);
// A text/plain error reply whose body is `message` and a line end.
Reply errorReply(int status, const std::string &message);

// `time` as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string httpDate(std::time_t time);

// Whether two header names are the same (ASCII case ignored).
bool sameHeaderName(const std::string &a, const std::string &b);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REPLY_HH_
