/*
 * Request targets and routes: splitting a target into API version, decoded
 * route and query, escaping routes into URLs, and the record of what a route
 * names (RouteTable.hh tells which route is which). Pure functions, safe on
 * any thread.
 */
#ifndef QX_QUARN_SERVER_ROUTE_HH_
#define QX_QUARN_SERVER_ROUTE_HH_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx::quarn_server {

// Every "%XX" (two hexadecimal digits) becomes its byte; anything else,
// "+" and malformed escapes included, stays as it is.
std::string percentDecode(const std::string &text);

// Every byte other than ASCII letters, digits, "-", ".", "_" and "~" as
// "%XX" (upper-case hexadecimal).
std::string percentEncode(const std::string &text);

// `route` cut at every "/", empty pieces kept ("a//b/" gives a, "", b, "").
std::vector<std::string> routeSegments(const std::string &route);

// Each "/"-separated segment of `route` percent-encoded, the slashes kept.
std::string escapeRoute(const std::string &route);

// A request target taken apart: "/1.0/a%2Fb?page=2" has the version "1.0",
// the route "a/b" and the query "page=2".
struct Target {
  std::string version;
  std::string route;  // percent-decoded once
  std::string query;  // as sent, without "?"
};
Target splitTarget(const std::string &target);

enum class Kind { kModel, kWorld };
// "models" or "worlds".
const char *kindWord(Kind kind);

struct RouteForm;

// What a route asks for.
struct Route {
  enum Type {
    kUnknown,
    kListing,     // [OWNER/]models|worlds, OWNER/collections/NAME/models|worlds,
                  // OWNER/models|worlds/NAME with a page query (that one resource)
    kDetails,     // OWNER/models|worlds/NAME
    kArchive,     // OWNER/models|worlds/NAME/VERSION|tip/NAME.zip
    kFile,        // OWNER/models|worlds/NAME/VERSION|tip/files/PATH
    kLicenses,    // licenses
  };
  Type type = kUnknown;
  Kind kind = Kind::kModel;
  std::string owner;       // empty for the listings of a whole server
  std::string collection;  // set for collection listings
  std::string name;
  std::string version;                // "tip" or digits
  std::vector<std::string> filePath;  // segments below files/
  // The form of the route table the route matched; null for kUnknown.
  const RouteForm *form = nullptr;
};

// The methods a route answers, as an "Allow" header lists them: GET and
// HEAD everywhere; POST on "models" (uploads), PATCH on a model and DELETE
// on a model or world.
std::string allowedMethods(const Route &route);

// The page a listing query asks for: 1 without a "page" item; nullopt when
// the first "page" item is not a positive decimal number. Numbers beyond
// the 64-bit range give the largest value (a page past every listing).
std::optional<std::uint64_t> pageOf(const std::string &query);

// Whether `query` holds an item "NAME=..." (or a bare "NAME").
bool hasQueryItem(const std::string &query, const std::string &name);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ROUTE_HH_
