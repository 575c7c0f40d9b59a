/*
 * The REST transport: one HTTP exchange with a repository server per call of
 * Rest::Request, returning status, body and response headers. A Rest holds
 * only its user agent; Request keeps all its state per call, so many threads
 * may call it at once on one Rest as long as none calls SetUserAgent. The
 * requests of the whole process share connections: over HTTPS, HTTP/2 where
 * the server offers it (many requests at once on one connection), else
 * HTTP/1.1 connections kept for the next request.
 *
 * TLS: the server's certificate and host name are verified. QX_QUARN_CA_BUNDLE
 * names a CA file (PEM) to trust, e.g. for a lab server with its own CA;
 * QX_QUARN_INSECURE=1 turns verification off (one warning per process). Both
 * are read at every request.
 */
#ifndef QX_QUARN_TOOLS_RESTCLIENT_HH_
#define QX_QUARN_TOOLS_RESTCLIENT_HH_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// The numbers are part of the interface.
enum class HttpMethod : int {
  GET = 0,         // no body
  POST = 1,        // body is `data`
  DELETE = 2,      // custom method "DELETE", no body
  PUT = 3,         // not supported: nothing is sent
  PATCH = 4,       // not supported: nothing is sent
  POST_FORM = 5,   // multipart form built from `form`
  PATCH_FORM = 6,  // the same form, custom method "PATCH"
};

// What one request brought back.
struct QX_QUARN_TOOLS_VISIBLE RestResponse {
  // Status of the last response received (after redirects); 0 when nothing
  // was sent, no response arrived or the transfer failed part-way.
  std::int32_t statusCode = 0;
  // The body, byte for byte (zero bytes included).
  std::string data;
  // Response headers: name (case kept; over HTTP/2, which carries names in
  // lower case, in the form HTTP/1.1 servers write them: "Content-Type",
  // "ETag", "X-Qel-Resource-Version") to value, the value still ending in
  // the line terminator the server sent. Within one response the first
  // value of a repeated name wins; after a redirect the final response's
  // values win, earlier responses only add names the final one lacks.
  std::map<std::string, std::string> headers;
};

class QX_QUARN_TOOLS_VISIBLE Rest {
 public:
  Rest() = default;
  Rest(const Rest &other) = default;
  Rest &operator=(const Rest &other) = default;
  virtual ~Rest() = default;

  // Sends one request to url / version / path (the route is sent as one
  // percent-escaped piece; a route arriving escaped is not escaped twice).
  // `queryStrings` are "name=value" items sent verbatim; `headers` are raw
  // header lines ("Name: value", no line end) sent verbatim and in order.
  // `data` is the body of POST; `form` the fields of POST_FORM and
  // PATCH_FORM, where a value "@path" or "@path;filename" uploads a file.
  // Never throws; failures are logged and give statusCode 0.
  virtual RestResponse Request(HttpMethod method, const std::string &url,
                               const std::string &version, const std::string &path,
                               const std::vector<std::string> &queryStrings,
                               const std::vector<std::string> &headers,
                               const std::string &data = "",
                               const std::multimap<std::string, std::string> &form = {}) const;

  // Sent with every request; empty in a default Rest.
  void SetUserAgent(const std::string &agent);
  const std::string &UserAgent() const;

 private:
  std::string userAgent;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESTCLIENT_HH_
