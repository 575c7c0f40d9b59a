/*
 * A request's header as the HTTP engine received it, and the framing rules
 * the engine holds every request to before any of its body is read: a
 * request whose end cannot be told for sure (two lengths, a length beside a
 * transfer coding, a body where the method takes none, a target with
 * blanks, no or two Host headers) is refused, so that no proxy in front
 * reads its bytes otherwise than we do. Plain values and pure functions;
 * safe on any thread.
 */
#ifndef QX_QUARN_SERVER_HTTPREQUEST_HH_
#define QX_QUARN_SERVER_HTTPREQUEST_HH_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_server {

struct HttpRequest {
  std::string method;   // "GET", ...
  std::string target;   // the request target exactly as sent
  std::string version;  // "HTTP/1.1" or "HTTP/1.0"
  // Header lines in the order they arrived, repeated names included.
  std::vector<std::pair<std::string, std::string>> headers;
  // The client's end of the connection: "ADDR:PORT" ("[ADDR]:PORT" for
  // IPv6); requests on one kept connection share it.
  std::string peer;
  // The server's address that the client connected to, without the port.
  std::string localAddress;

  // The first value of header `name` (ASCII case ignored).
  std::optional<std::string> Header(const std::string &name) const;
  // How many lines header `name` has.
  std::size_t Count(const std::string &name) const;
  // Whether a body follows the header: a Content-Length above 0 or a
  // Transfer-Encoding. (Without either there is no body, whatever the
  // method.)
  bool HasBody() const;
  // The body's length as the Content-Length declares it; nullopt without
  // one (none, or a chunked body).
  std::optional<std::uint64_t> DeclaredLength() const;
};

// Why a request must be refused before its body is read, and with which
// status.
struct FramingProblem {
  int status;
  std::string message;
};

// The problem of `request`, nullopt when its framing is sound: a target
// that is empty or holds blanks or control characters; a header name that
// is no token; for HTTP/1.1 no Host line or more than one (HTTP/1.0: more
// than one); more than one Content-Length, or one that is not decimal
// digits; a Transfer-Encoding beside a Content-Length, repeated, in an
// HTTP/1.0 request, or other than "chunked" (501); a body on a method that
// takes none (`methodTakesBody` false).
std::optional<FramingProblem> framingProblem(const HttpRequest &request, bool methodTakesBody);

// Whether `name` is an HTTP token (the characters a header name may hold).
bool httpToken(const std::string &name);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_HTTPREQUEST_HH_
