#include "Route.hh"

#include <cctype>
#include <limits>

#include <qx/common/Util.hh>

namespace qx::quarn_server {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::vector<std::string> routeSegments(const std::string &text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('/', start);
    pieces.push_back(text.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return pieces;
}

std::string percentDecode(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string percentEncode(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (unreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string escapeRoute(const std::string &route) {
  std::string out;
  bool first = true;
  for (const std::string &segment : routeSegments(route)) {
    if (!first) out += '/';
    out += percentEncode(segment);
    first = false;
  }
  return out;
}

Target splitTarget(const std::string &target) {
  Target result;
  const std::size_t question = target.find('?');
  std::string path = target.substr(0, question);
  if (question != std::string::npos) result.query = target.substr(question + 1);
  if (path.empty() || path[0] != '/') return result;
  const std::size_t slash = path.find('/', 1);
  result.version = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
  if (slash != std::string::npos) result.route = percentDecode(path.substr(slash + 1));
  return result;
}

const char *kindWord(Kind kind) { return kind == Kind::kModel ? "models" : "worlds"; }

std::string allowedMethods(const Route &route) {
  const bool models = route.kind == Kind::kModel;
  if (route.type == Route::kListing && models && route.owner.empty()) return "GET, HEAD, POST";
  if (route.type == Route::kDetails)
    return models ? "GET, HEAD, PATCH, DELETE" : "GET, HEAD, DELETE";
  return "GET, HEAD";
}

std::optional<std::uint64_t> pageOf(const std::string &query) {
  for (const std::string &item : qx::common::split(query, "&")) {
    if (item.compare(0, 5, "page=") != 0) continue;
    const std::string digits = item.substr(5);
    if (digits.empty()) return std::nullopt;
    std::uint64_t page = 0;
    for (unsigned char c : digits) {
      if (!std::isdigit(c)) return std::nullopt;
      const std::uint64_t digit = c - '0';
      if (page > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
        page = std::numeric_limits<std::uint64_t>::max();
      else
        page = page * 10 + digit;
    }
    if (page == 0) return std::nullopt;
    return page;
  }
  return 1;
}

bool hasQueryItem(const std::string &query, const std::string &name) {
  for (const std::string &item : qx::common::split(query, "&")) {
    if (item == name || item.compare(0, name.size() + 1, name + "=") == 0) return true;
  }
  return false;
}

}  // namespace qx::quarn_server
