/*
 * A pull-through mirror for a lab: the nginx configuration of a caching
 * proxy in front of a remote repository server (quarn mirror proxy-config
 * nginx), written from the route table the repository server answers
 * with. Machines that name the proxy as their server get what the upstream
 * sends, headers and content types included; the proxy asks the upstream
 * once per object (concurrent first requests wait for that one), keeps the
 * archives and files of numbered versions for good (in slices, so resumed
 * downloads are answered from what it holds, as long as the upstream's
 * Cache-Control allows, and nothing it forbids to store), passes what
 * changes (listings, details, licences, tip) to the upstream as it came,
 * validators and ranges included, passes requests that carry a key through
 * without keeping their answers, and checks an https upstream's
 * certificate. A pure function; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_PROXYCONFIG_HH_
#define QX_QUARN_SERVER_PROXYCONFIG_HH_

#include <cstdint>
#include <optional>
#include <string>

namespace qx::quarn_server {

struct ProxyOptions {
  // The repository server to mirror: http:// or https://, a host name or
  // address, an optional port and an optional path in front of the API
  // version ("https://models.example.org", "http://10.0.0.5:8085/repo").
  std::string upstream;
  // Where the proxy listens: PORT, HOST:PORT or [IPv6]:PORT.
  std::string listen = "127.0.0.1:8080";
  // The proxy's own directory (absolute): the cache, temporary files, logs
  // and the pid file.
  std::string directory = "/var/cache/quarn-mirror";
  // The most the cache holds, in bytes (nginx removes the least recently
  // used objects beyond it).
  std::uint64_t maxSize = std::uint64_t(10) << 30;
  // The certificates (PEM) an https upstream's certificate must lead to.
  std::string caFile = "/etc/ssl/certs/ca-certificates.crt";
  // The API version segment in front of every route.
  std::string apiVersion = "1.0";
};

// The whole configuration, for nginx -c FILE; nullopt, with the reason in
// `error`, when an option cannot be written into one (an upstream that is
// no http or https URL of a host, a listen address that is none, a path
// holding characters nginx cannot take, a relative directory, a size of 0).
std::optional<std::string> nginxProxyConfig(const ProxyOptions &options, std::string &error);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_PROXYCONFIG_HH_
