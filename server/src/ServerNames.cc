#include "ServerNames.hh"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <set>

#include <qx/common/Util.hh>

namespace qx::quarn_server {
namespace {

// A decimal port from 0 to 65535.
std::optional<int> portNumber(const std::string &text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  const int port = std::stoi(text);
  return port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

// "HOST", "HOST:PORT" or "[IPv6]" and "[IPv6]:PORT" taken apart; false for
// anything else.
bool splitAuthority(const std::string &value, std::string &host, std::optional<int> &port) {
  std::string rest;
  if (!value.empty() && value.front() == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string::npos) return false;
    host = value.substr(1, close - 1);
    rest = value.substr(close + 1);
    if (host.find(':') == std::string::npos) return false;
  } else {
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos && value.find(':', colon + 1) != std::string::npos) return false;
    host = value.substr(0, colon);
    rest = colon == std::string::npos ? "" : value.substr(colon);
  }
  if (host.empty()) return false;
  const bool plain = std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':';
  });
  if (!plain) return false;
  port.reset();
  if (rest.empty()) return true;
  if (rest.front() != ':') return false;
  port = portNumber(rest.substr(1));
  return port.has_value();
}

// The addresses of the machine's interfaces, normalised.
std::set<std::string> machineAddresses() {
  std::set<std::string> addresses;
  ifaddrs *list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs *item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    if (item->ifa_addr->sa_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(item->ifa_addr)->sin_addr, text,
                  sizeof(text));
    } else if (item->ifa_addr->sa_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(item->ifa_addr)->sin6_addr,
                  text, sizeof(text));
    } else {
      continue;
    }
    if (std::optional<std::string> address = normalAddress(text)) addresses.insert(*address);
  }
  ::freeifaddrs(list);
  return addresses;
}

}  // namespace

std::optional<std::string> normalAddress(const std::string &address) {
  char text[INET6_ADDRSTRLEN] = {};
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    ::inet_ntop(AF_INET, &v4, text, sizeof(text));
    return std::string(text);
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return std::nullopt;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    std::copy(v6.s6_addr + 12, v6.s6_addr + 16, reinterpret_cast<unsigned char *>(&v4.s_addr));
    ::inet_ntop(AF_INET, &v4, text, sizeof(text));
    return std::string(text);
  }
  ::inet_ntop(AF_INET6, &v6, text, sizeof(text));
  return std::string(text);
}

ServerNames::ServerNames(const std::string &host, int port, const std::vector<std::string> &names)
    : port_(port) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  if (const std::optional<std::string> address = normalAddress(bare)) {
    bound_ = *address;
    wildcard_ = bound_ == "0.0.0.0" || bound_ == "::";
    loopback_ = bound_.compare(0, 4, "127.") == 0 || bound_ == "::1";
  } else if (bare.empty()) {
    wildcard_ = true;
  } else {
    boundName_ = qx::common::lowercase(bare);
    loopback_ = boundName_ == "localhost";
  }
  for (const std::string &name : names) names_.push_back(qx::common::lowercase(name));
}

bool ServerNames::Host(const std::string &value, const std::string &localAddress) const {
  std::string host;
  std::optional<int> port;
  return splitAuthority(value, host, port) && Names(host, port, localAddress);
}

bool ServerNames::Origin(const std::string &value, const std::string &localAddress) const {
  const std::size_t separator = value.find("://");
  if (separator == std::string::npos) return false;
  const std::string scheme = qx::common::lowercase(value.substr(0, separator));
  if (scheme != "http" && scheme != "https") return false;
  std::string host;
  std::optional<int> port;
  if (!splitAuthority(value.substr(separator + 3), host, port)) return false;
  return Names(host, port.value_or(scheme == "https" ? 443 : 80), localAddress);
}

bool ServerNames::Names(const std::string &host, std::optional<int> port,
                        const std::string &localAddress) const {
  const std::string lower = qx::common::lowercase(host);
  if (std::find(names_.begin(), names_.end(), lower) != names_.end()) return true;
  if (port && *port != port_) return false;
  if (lower == "localhost") return loopback_ || wildcard_;
  if (!boundName_.empty() && lower == boundName_) return true;
  const std::optional<std::string> address = normalAddress(host);
  if (!address) return false;
  if (!bound_.empty() && !wildcard_) return *address == bound_;
  // Listening on all addresses (or on a name): any address of the machine.
  if (*address == normalAddress(localAddress).value_or("")) return true;
  return machineAddresses().count(*address) > 0;
}

}  // namespace qx::quarn_server
