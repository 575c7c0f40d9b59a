// The nginx configuration of a pull-through mirror
// (qx/quarn_server/ProxyConfig.hh), written from the route table.
#include "qx/quarn_server/ProxyConfig.hh"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include <qx/common/Util.hh>

#include "NginxConfig.hh"
#include "RouteTable.hh"

namespace qx::quarn_server {
namespace {

// The upstream group's name in the configuration.
const char kUpstreamGroup[] = "quarn_upstream";
// The cache zone's name.
const char kCacheZone[] = "quarn_mirror";
// Archives and files of numbered versions are kept in slices this large:
// most archives are one slice; a large one is fetched, kept and sent slice
// by slice.
const char kSliceSize[] = "8m";
// How long concurrent first requests for one object (or slice) wait for the
// one request that fetches it, before they are passed on themselves. Below
// the client's stall time-out, which a waiting client would otherwise hit.
const char kLockWait[] = "30s";

// An upstream URL taken apart.
struct Upstream {
  std::string scheme;     // "http" or "https"
  std::string host;       // a name, an IPv4 address or an IPv6 address (without brackets)
  std::string authority;  // as written: host (in brackets for IPv6) and the port, if given
  std::string server;     // host and port for nginx's server directive
  std::string prefix;     // "" or "/PATH", without a trailing slash
};

bool hostCharacter(unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; }

bool pathCharacter(unsigned char c) {
  return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '~' || c == '%' || c == '/';
}

// `url` taken apart, or nullopt with the reason in `error`.
std::optional<Upstream> parseUpstream(const std::string &url, std::string &error) {
  error = "the upstream [" + url + "] is no http:// or https:// URL of a host";
  Upstream upstream;
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) return std::nullopt;
  upstream.scheme = qx::common::lowercase(url.substr(0, colon));
  if (upstream.scheme != "http" && upstream.scheme != "https") return std::nullopt;
  const std::string rest = url.substr(colon + 3);
  const std::size_t slash = rest.find('/');
  upstream.authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash);
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (!std::all_of(path.begin(), path.end(), pathCharacter)) {
    error = "the upstream's path [" + path + "] holds characters other than letters, digits, "
            "and . - _ ~ % /";
    return std::nullopt;
  }
  upstream.prefix = path;
  std::string port;
  const std::string &authority = upstream.authority;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    upstream.host = authority.substr(1, close - 1);
    const bool ipv6 = !upstream.host.empty() &&
                      std::all_of(upstream.host.begin(), upstream.host.end(), [](unsigned char c) {
                        return std::isxdigit(c) || c == ':' || c == '.';
                      });
    if (!ipv6) return std::nullopt;
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::nullopt;
      port = authority.substr(close + 2);
    }
  } else {
    const std::size_t at = authority.rfind(':');
    upstream.host = authority.substr(0, at);
    if (at != std::string::npos) port = authority.substr(at + 1);
    if (upstream.host.empty() ||
        !std::all_of(upstream.host.begin(), upstream.host.end(), hostCharacter))
      return std::nullopt;
  }
  if (port.empty() && !authority.empty() && authority.back() == ':') return std::nullopt;
  if (!port.empty()) {
    if (port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
    const long number = std::stol(port);
    if (number < 1 || number > 65535) return std::nullopt;
  } else {
    port = upstream.scheme == "https" ? "443" : "80";
  }
  const bool ipv6 = upstream.host.find(':') != std::string::npos;
  upstream.server = (ipv6 ? "[" + upstream.host + "]" : upstream.host) + ":" + port;
  error.clear();
  return upstream;
}

// The lines of `text` that are not empty, each indented by `indent`.
std::string indented(const std::string &text, const std::string &indent) {
  std::string out;
  for (const std::string &line : qx::common::split(text, "\n"))
    out += (line.empty() ? "" : indent + line) + "\n";
  return out;
}

// The directives every location repeats (a location that sets any request
// header inherits none from the server): the upstream's name for itself,
// kept connections, and where the request goes, its target as it came.
std::string passDirectives(const Upstream &upstream) {
  return "proxy_set_header Host " + quoted(upstream.authority) + ";\n" +
         "proxy_set_header Connection \"\";\n" + "proxy_pass " + upstream.scheme + "://" +
         kUpstreamGroup + upstream.prefix + "$request_uri;\n";
}

// The locations of the routes whose numbered versions never change.
void writeFixedLocations(std::ostream &out, const ProxyOptions &options,
                         const Upstream &upstream) {
  for (const RouteForm &form : routeForms()) {
    if (!form.fixedWhenNumbered) continue;
    out << "        # " << form.pattern << ", a numbered version.\n"
        << "        location ~ " << quoted(locationRegex(options.apiVersion, form, true))
        << " {\n"
        << "            slice " << kSliceSize << ";\n"
        << "            proxy_cache_key \"$request_uri $slice_range\";\n"
        << "            proxy_cache_valid 200 206 365d;\n"
        << "            proxy_set_header Range $slice_range;\n"
        << indented(passDirectives(upstream), "            ") << "        }\n\n";
  }
}

// Why `options` cannot be written into a configuration, or "".
std::string unfitOptions(const ProxyOptions &options) {
  if (const auto reason = unfitListen(options.listen))
    return "the listen address [" + options.listen + "]: " + *reason;
  if (options.directory.empty() || options.directory.front() != '/')
    return "the directory [" + options.directory + "] is no absolute path";
  for (const std::string *path : {&options.directory, &options.caFile}) {
    if (const auto reason = unfitForNginx(*path)) return "[" + *path + "]: " + *reason;
  }
  if (options.maxSize == 0) return "the cache's size is 0";
  const std::string &version = options.apiVersion;
  if (version.empty() || !std::all_of(version.begin(), version.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
      }))
    return "the API version [" + version + "] is no plain path segment";
  return "";
}

}  // namespace

std::optional<std::string> nginxProxyConfig(const ProxyOptions &options, std::string &error) {
  const std::optional<Upstream> upstream = parseUpstream(options.upstream, error);
  if (!upstream) return std::nullopt;
  error = unfitOptions(options);
  if (!error.empty()) return std::nullopt;
  const std::string &dir = options.directory;
  const bool tls = upstream->scheme == "https";
  std::ostringstream out;
  out << "# A caching mirror of " << options.upstream
      << ", written by quarn mirror proxy-config nginx.\n"
      << "# Run it with: nginx -c THIS-FILE (as root, or as the owner of " << dir << ").\n"
      << "# Machines name the mirror (it listens on " << options.listen << ") as their\n"
      << "# server; for an http upstream, they may reach it through the mirror as\n"
      << "# their http_proxy instead.\n"
      << "worker_processes auto;\n"
      << "pid " << quoted(dir + "/nginx.pid") << ";\n"
      << "error_log " << quoted(dir + "/error.log") << ";\n\n"
      << "events {\n    worker_connections 1024;\n}\n\n"
      << "http {\n"
      << "    log_format quarn_mirror '$remote_addr [$time_local] \"$request\" $status '\n"
      << "                            '$body_bytes_sent $upstream_cache_status';\n"
      << "    access_log " << quoted(dir + "/access.log") << " quarn_mirror;\n";
  for (const char *temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    out << "    " << temp << "_temp_path " << quoted(dir + "/" + temp + "_temp") << ";\n";
  out << "    server_tokens off;\n    sendfile on;\n    tcp_nopush on;\n\n"
      << "    # The cache: objects unused for a year, or the least used beyond its size, go.\n"
      << "    proxy_cache_path " << quoted(dir + "/cache") << " levels=1:2 keys_zone=" << kCacheZone
      << ":16m\n                     max_size=" << options.maxSize
      << " inactive=365d use_temp_path=off;\n\n"
      << "    # Requests that carry a key.\n"
      << indented(keyedMap(), "    ")
      << "    # Requests for another site (the mirror named as an http_proxy) are no\n"
      << "    # business of the mirror's.\n"
      << "    map $request $qx_foreign {\n"
      << "        " << quoted("~*^[A-Z]+ " + upstream->scheme + "://" + regexLiteral(upstream->authority) + "/") << " 0;\n"
      << "        \"~^[A-Z]+ [^/]\" 1;\n"
      << "        default 0;\n"
      << "    }\n\n"
      << "    upstream " << kUpstreamGroup << " {\n"
      << "        server " << upstream->server << ";\n"
      << "        keepalive 16;\n"
      << "    }\n\n"
      << "    server {\n"
      << "        listen " << options.listen << ";\n"
      << "        if ($qx_foreign) {\n"
      << "            return 403 \"This mirror serves " << upstream->scheme << "://" << upstream->authority << " only\\n\";\n"
      << "        }\n"
      << "        # Routes are passed on as they came, and read segment by segment.\n"
      << "        merge_slashes off;\n"
      << "        # Uploads, edits and deletions (they carry a key) stream through.\n"
      << "        client_max_body_size 0;\n"
      << "        proxy_request_buffering off;\n"
      << "        proxy_http_version 1.1;\n"
      << "        # Redirects to the upstream's own URLs lead back here.\n"
      << "        proxy_redirect "
      << quoted(upstream->scheme + "://" + upstream->authority + upstream->prefix + "/")
      << " /;\n\n"
      << "        # One request to the upstream per object: others wait for it. What the\n"
      << "        # upstream allows is kept as long as it says, and revalidated after.\n"
      << "        proxy_cache " << kCacheZone << ";\n"
      << "        proxy_cache_key $request_uri;\n"
      << "        proxy_cache_lock on;\n"
      << "        proxy_cache_lock_timeout " << kLockWait << ";\n"
      << "        proxy_cache_lock_age " << kLockWait << ";\n"
      << "        proxy_cache_revalidate on;\n"

      << "        # A request with a key goes to the upstream, and its answer is kept by no one.\n"
      << "        proxy_cache_bypass $qx_keyed;\n"
      << "        proxy_no_cache $qx_keyed;\n";
  if (tls) {
    out << "\n        # The upstream's certificate is checked, for its name.\n"
        << "        proxy_ssl_verify on;\n"
        << "        proxy_ssl_trusted_certificate " << quoted(options.caFile) << ";\n"
        << "        proxy_ssl_verify_depth 8;\n"
        << "        proxy_ssl_server_name on;\n"
        << "        proxy_ssl_name " << quoted(upstream->host) << ";\n"
        << "        proxy_ssl_protocols TLSv1.2 TLSv1.3;\n"
        << "        proxy_ssl_session_reuse on;\n";
  }
  out << "\n        # Archives and files of numbered versions never change: kept for good\n"
      << "        # when the upstream says nothing, in slices, so that a resumed download\n"
      << "        # is answered from what the mirror holds.\n";
  writeFixedLocations(out, options, *upstream);
  out << "        # Everything else: listings, details, licences, tip, and what is no route.\n"
      << "        # They change, so each request goes to the upstream as it came, its\n"
      << "        # validators and range included: the upstream answers 304 or 206 itself\n"
      << "        # (nginx would ask for the whole answer, to keep it, and keeps none that\n"
      << "        # says no-cache).\n"
      << "        location / {\n"
      << "            proxy_cache off;\n"
      << indented(passDirectives(*upstream), "            ") << "        }\n"
      << "    }\n"
      << "}\n";
  return out.str();
}

}  // namespace qx::quarn_server
