/*
 * Whether a request names this server, for the writes: its Host header, and
 * the Origin a browser sends, must name the server by its listen address
 * (any address of the machine when it listens on all of them, "localhost"
 * when it listens on loopback) or by one of the names it was given, ASCII
 * case ignored. A page of another site that a lab member opens (a foreign
 * Origin), or a name of an attacker's that resolves to the server (DNS
 * rebinding: a foreign Host), names none of these. Reads accept any Host.
 * Keeps only its settings (and reads the machine's addresses when asked);
 * safe on any thread.
 */
#ifndef QX_QUARN_SERVER_SERVERNAMES_HH_
#define QX_QUARN_SERVER_SERVERNAMES_HH_

#include <optional>
#include <string>
#include <vector>

namespace qx::quarn_server {

class ServerNames {
 public:
  // A server listening on `host` (an address, a name, or empty for all)
  // and `port`, also known by `names`.
  ServerNames(const std::string &host, int port, const std::vector<std::string> &names);

  // Whether a Host header value ("HOST", "HOST:PORT", "[IPv6]:PORT")
  // names the server, on a connection that reached the server's address
  // `localAddress`. An address or "localhost" with a port must have the
  // server's port; a name given with --server-name may have any (the port
  // of a proxy in front).
  bool Host(const std::string &value, const std::string &localAddress) const;
  // Whether an Origin header value ("SCHEME://HOST[:PORT]") is the
  // server's: its host as for Host, its port the one given or the
  // scheme's default. "null" and anything unreadable are foreign.
  bool Origin(const std::string &value, const std::string &localAddress) const;

 private:
  // Whether `host` (no port, no brackets) with `port` (nullopt: none
  // given) names the server.
  bool Names(const std::string &host, std::optional<int> port,
             const std::string &localAddress) const;

  std::string bound_;  // the listen address, normalised; empty for a name
  std::string boundName_;  // the listen host when it is a name, lower case
  bool wildcard_ = false;
  bool loopback_ = false;
  int port_ = 0;
  std::vector<std::string> names_;  // lower case
};

// `address` (an IPv4 or IPv6 literal, IPv4 mapped into IPv6 included) in
// one canonical text; nullopt when it is no address.
std::optional<std::string> normalAddress(const std::string &address);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_SERVERNAMES_HH_
