/*
 * The nginx configuration of a mirror export, written from the route table
 * (RouteTable.hh), so that a stock nginx answers every read route as the
 * repository server does: one location per route form, mapping its
 * segments onto the export's files, listing pages chosen by the "page"
 * query with the next page announced in a Link header, a resource's tip
 * resolved through the export's "tip" link, the delivered version in
 * X-Qel-Resource-Version (read from the real path of the version
 * directory, so a new tip needs no reload) and the content types the
 * client expects. Pure functions; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_NGINXCONFIG_HH_
#define QX_QUARN_SERVER_NGINXCONFIG_HH_

#include <optional>
#include <string>

namespace qx::quarn_server {

struct NginxSite {
  std::string out;         // the export directory (absolute)
  std::string site;        // its data directory (absolute)
  std::string apiVersion;  // "1.0"
  std::string listen;      // "127.0.0.1:8080"
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

// Why `path` cannot stand in an nginx configuration (a quote, backslash,
// dollar sign or control character), or nullopt when it can.
std::optional<std::string> unfitForNginx(const std::string &path);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_NGINXCONFIG_HH_
