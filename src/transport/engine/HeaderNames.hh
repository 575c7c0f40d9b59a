/*
 * Header names as callers look them up. HTTP/1.1 servers write names as
 * they please and the transport keeps them so ("Content-Type", "ETag");
 * HTTP/2 carries every name in lower case. The engine writes HTTP/2 names in
 * the form HTTP/1.1 servers send them, so that a lookup by exact name
 * ("X-Qel-Resource-Version", "Link", "ETag") finds the header on either
 * protocol. Pure functions; any thread. Internal to the transport.
 */
#ifndef QX_QUARN_TOOLS_SRC_ENGINE_HEADERNAMES_HH_
#define QX_QUARN_TOOLS_SRC_ENGINE_HEADERNAMES_HH_

#include <string>

namespace qx::quarn_tools::internal::engine {

// `name` in its usual written form: each word (between dashes) with a
// capital first letter and the rest small ("x-qel-resource-version" gives
// "X-Qel-Resource-Version"), except the names usually written otherwise
// ("etag" gives "ETag", "www-authenticate" "WWW-Authenticate",
// "content-md5" "Content-MD5").
std::string CanonicalHeaderName(const std::string &name);

// A header line ("name: value" and its line end) with its name in the usual
// form; other lines (status lines, the empty line) as they are.
std::string CanonicalHeaderLine(const std::string &line);

}  // namespace qx::quarn_tools::internal::engine

#endif  // QX_QUARN_TOOLS_SRC_ENGINE_HEADERNAMES_HH_
