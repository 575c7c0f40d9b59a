/*
 * The nginx configuration of a mirror export, written from the route table
 * (RouteTable.hh), so that a stock nginx answers every read route as the
 * repository server does: one location per route form, mapping its
 * segments onto the export's files, listing pages chosen by the "page"
 * query with the next page announced in a Link header, a resource's tip
 * resolved through the export's "tip" link, the delivered version in
 * X-Qel-Resource-Version (read from the real path of the version
 * directory, so a new tip needs no reload), the content types the client
 * expects, and owners and collections found in any letter case. Pure
 * functions; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_NGINXCONFIG_HH_
#define QX_QUARN_SERVER_NGINXCONFIG_HH_

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_server {

struct NginxSite {
  std::string out;         // the export directory (absolute)
  std::string site;        // its data directory (absolute)
  std::string apiVersion;  // "1.0"
  std::string listen;      // "127.0.0.1:8080"
  // With both (absolute paths), the main configuration serves HTTPS, with
  // HTTP/2 offered to clients that take it.
  std::string tlsCertificate;
  std::string tlsKey;
  // The owners and (owner, collection) pairs the export holds, in lower
  // case as it keeps them: requests may name them in any letter case, as
  // they may ask the repository server.
  std::vector<std::string> owners;
  std::vector<std::pair<std::string, std::string>> collections;
};

// The names of the three files below the export directory.
extern const char *const kNginxMainFile;    // "nginx.conf"
extern const char *const kNginxHttpFile;    // "quarn-http.conf"
extern const char *const kNginxServerFile;  // "quarn-server.conf"
// The directory below the export directory where the main configuration
// keeps nginx's pid file, logs and temporary files.
extern const char *const kNginxRunDirectory;  // "nginx"

// A whole configuration: nginx -c OUT/nginx.conf.
std::string nginxMainConfig(const NginxSite &site);
// The maps of the http context.
std::string nginxHttpConfig(const NginxSite &site);
// The settings and locations of one server context.
std::string nginxServerConfig(const NginxSite &site);

struct RouteForm;

// The regular expression of an nginx location that matches the (decoded)
// paths of the routes of `form` below "/API-VERSION"; with `numberedOnly`,
// only those that name a numbered version. Its named captures become
// variables ($qx_owner, $qx_name, $qx_kind, $qx_number, $qx_tip, ...).
std::string locationRegex(const std::string &apiVersion, const RouteForm &form,
                          bool numberedOnly = false);

// `text` with the characters that mean something in a regular expression
// escaped.
std::string regexLiteral(const std::string &text);

// `text` in double quotes, as nginx takes a parameter.
std::string quoted(const std::string &text);

// The map (http context) that sets $qx_keyed to 1 for a request that
// carries a key (a Private-token that is not empty), else 0.
std::string keyedMap();

// Why `path` cannot stand in an nginx configuration (a quote, backslash,
// dollar sign or control character), or nullopt when it can.
std::optional<std::string> unfitForNginx(const std::string &path);

// Why `listen` is no address nginx may listen on (PORT, HOST:PORT or
// [IPv6]:PORT, the port from 1 to 65535), or nullopt when it is one.
std::optional<std::string> unfitListen(const std::string &listen);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_NGINXCONFIG_HH_
