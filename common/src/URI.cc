#include "qx/common/URI.hh"

#include <cstring>
#include <utility>

namespace qx::common {
namespace {

// White space and ASCII control characters are never part of a URI.
bool isForbidden(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7f;
}

bool hasForbidden(const std::string &text) {
  for (char c : text) {
    if (isForbidden(c)) return true;
  }
  return false;
}

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isOneOf(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// unreserved / sub-delims / "%" of percent-encodings
bool isRegNameChar(char c) {
  return isAlpha(c) || isDigit(c) || isOneOf(c, "-._~!$&'()*+,;=%");
}

// A letter, then letters, digits, "+", "-" and ".".
bool validScheme(const std::string &scheme) {
  if (scheme.empty() || !isAlpha(scheme[0])) return false;
  for (char c : scheme) {
    if (!isAlpha(c) && !isDigit(c) && !isOneOf(c, "+-.")) return false;
  }
  return true;
}

bool allOf(const std::string &text, bool (*accept)(char)) {
  for (char c : text) {
    if (!accept(c)) return false;
  }
  return true;
}

bool isUserInfoChar(char c) { return isRegNameChar(c) || c == ':'; }
bool isIpLiteralChar(char c) { return isHexDigit(c) || c == ':' || c == '.'; }

// A host made only of dots ("." or "..") names no machine, and as a cache
// directory name it would lead out of the cache: refuse it.
bool validRegName(const std::string &host) {
  return !host.empty() && allOf(host, isRegNameChar) &&
         host.find_first_not_of('.') != std::string::npos;
}

// `inner` is the text between "[" and "]".
bool validIpLiteral(const std::string &inner) {
  return inner.find(':') != std::string::npos && allOf(inner, isIpLiteralChar);
}

// One to five decimal digits naming 0..65535.
std::optional<int> parsePort(const std::string &text) {
  if (text.empty() || text.size() > 5 || !allOf(text, isDigit)) return std::nullopt;
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  if (value > 65535) return std::nullopt;
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// URIAuthority

URIAuthority::URIAuthority() = default;

URIAuthority::URIAuthority(const std::string &str) { Parse(str); }

bool URIAuthority::Parse(const std::string &str) {
  Clear();
  std::string text = str.compare(0, 2, "//") == 0 ? str.substr(2) : str;
  if (text.empty() || hasForbidden(text) || text.find_first_of("/?#") != std::string::npos) {
    return false;
  }

  std::string userInfo;
  bool hasUserInfo = false;
  std::string hostPort = text;
  std::size_t at = text.find('@');
  if (at != std::string::npos) {
    userInfo = text.substr(0, at);
    hasUserInfo = true;
    hostPort = text.substr(at + 1);
    if (!allOf(userInfo, isUserInfoChar)) return false;
  }

  std::string host;
  std::string portText;
  bool hasPort = false;
  if (!hostPort.empty() && hostPort[0] == '[') {
    std::size_t close = hostPort.find(']');
    if (close == std::string::npos || !validIpLiteral(hostPort.substr(1, close - 1))) {
      return false;
    }
    host = hostPort.substr(0, close + 1);
    std::string rest = hostPort.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    std::size_t colon = hostPort.find(':');
    host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      portText = hostPort.substr(colon + 1);
    }
    if (!validRegName(host)) return false;
  }

  std::optional<int> port;
  if (hasPort) {
    port = parsePort(portText);
    if (!port) return false;
  }

  userInfo_ = std::move(userInfo);
  hasUserInfo_ = hasUserInfo;
  host_ = std::move(host);
  port_ = port;
  valid_ = true;
  return true;
}

bool URIAuthority::Valid() const { return valid_; }

bool URIAuthority::Valid(const std::string &str) { return URIAuthority(str).Valid(); }

void URIAuthority::Clear() {
  userInfo_.clear();
  host_.clear();
  port_.reset();
  hasUserInfo_ = false;
  valid_ = false;
}

const std::string &URIAuthority::UserInfo() const { return userInfo_; }

const std::string &URIAuthority::Host() const { return host_; }

std::optional<int> URIAuthority::Port() const { return port_; }

std::string URIAuthority::Str() const {
  if (!valid_) return std::string();
  std::string result = "//";
  if (hasUserInfo_) result += userInfo_ + "@";
  result += host_;
  if (port_) result += ":" + std::to_string(*port_);
  return result;
}

bool URIAuthority::operator==(const URIAuthority &other) const {
  return valid_ == other.valid_ && Str() == other.Str();
}

// ---------------------------------------------------------------------------
// URIPath

URIPath::URIPath() = default;

URIPath::URIPath(const std::string &str) { Parse(str); }

bool URIPath::Parse(const std::string &str) {
  Clear();
  if (hasForbidden(str) || str.find_first_of("?#") != std::string::npos) return false;
  if (str.empty()) return true;
  absolute_ = str[0] == '/';
  std::size_t start = absolute_ ? 1 : 0;
  if (start == str.size()) return true;
  // Every piece counts, empty ones too, so "a//b/" keeps its shape.
  while (true) {
    std::size_t slash = str.find('/', start);
    if (slash == std::string::npos) {
      segments_.push_back(str.substr(start));
      return true;
    }
    segments_.push_back(str.substr(start, slash - start));
    start = slash + 1;
  }
}

void URIPath::Clear() {
  segments_.clear();
  absolute_ = false;
}

bool URIPath::IsAbsolute() const { return absolute_; }

void URIPath::SetAbsolute(bool absolute) { absolute_ = absolute; }

bool URIPath::Empty() const { return Str().empty(); }

const std::vector<std::string> &URIPath::Segments() const { return segments_; }

URIPath &URIPath::PushBack(const std::string &segment) {
  if (!segments_.empty() && segments_.back().empty()) {
    segments_.back() = segment;
  } else {
    segments_.push_back(segment);
  }
  return *this;
}

URIPath &URIPath::operator/=(const std::string &segment) { return PushBack(segment); }

URIPath URIPath::operator/(const std::string &segment) const {
  URIPath result(*this);
  result.PushBack(segment);
  return result;
}

std::string URIPath::Str(const std::string &delimiter) const {
  std::string result = absolute_ ? delimiter : std::string();
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    if (i > 0) result += delimiter;
    result += segments_[i];
  }
  return result;
}

bool URIPath::operator==(const URIPath &other) const {
  return absolute_ == other.absolute_ && segments_ == other.segments_;
}

// ---------------------------------------------------------------------------
// URI

URI::URI() = default;

URI::URI(const std::string &str, bool hasAuthority) { Parse(str, hasAuthority); }

bool URI::Valid() const { return valid_; }

bool URI::Valid(const std::string &str) { return URI(str).Valid(); }

bool URI::Parse(const std::string &str) { return Parse(str, hasAuthorityFlag_); }

bool URI::Parse(const std::string &str, bool hasAuthority) {
  Clear();
  hasAuthorityFlag_ = hasAuthority;
  valid_ = ParseText(str);
  if (!valid_) {
    // Nothing half-parsed stays behind.
    Clear();
    hasAuthorityFlag_ = hasAuthority;
  }
  return valid_;
}

bool URI::ParseText(const std::string &str) {
  if (str.empty() || hasForbidden(str)) return false;

  std::size_t colon = str.find(':');
  if (colon == std::string::npos) return false;
  scheme_ = str.substr(0, colon);
  if (!validScheme(scheme_)) return false;

  std::string rest = str.substr(colon + 1);
  std::size_t hash = rest.find('#');
  if (hash != std::string::npos) {
    fragment_ = rest.substr(hash + 1);
    rest.resize(hash);
  }
  std::size_t question = rest.find('?');
  if (question != std::string::npos) {
    query_ = rest.substr(question + 1);
    rest.resize(question);
  }

  std::string pathText = rest;
  if (rest.compare(0, 2, "//") == 0) {
    std::size_t end = rest.find('/', 2);
    std::string authorityText = rest.substr(2, end == std::string::npos ? end : end - 2);
    pathText = end == std::string::npos ? std::string() : rest.substr(end);
    if (authorityText.empty()) {
      if (hasAuthorityFlag_) return false;
      emptyAuthority_ = true;
    } else {
      URIAuthority authority;
      if (!authority.Parse(authorityText)) return false;
      authority_ = std::move(authority);
    }
  } else if (hasAuthorityFlag_) {
    return false;
  }
  return path_.Parse(pathText);
}

void URI::Clear() {
  scheme_.clear();
  authority_.reset();
  path_.Clear();
  query_.reset();
  fragment_.reset();
  hasAuthorityFlag_ = false;
  emptyAuthority_ = false;
  valid_ = false;
}

const std::string &URI::Scheme() const { return scheme_; }

void URI::SetScheme(const std::string &scheme) {
  scheme_ = scheme;
  UpdateValidity();
}

std::optional<URIAuthority> URI::Authority() const { return authority_; }

void URI::SetAuthority(const URIAuthority &authority) {
  authority_ = authority;
  emptyAuthority_ = false;
  UpdateValidity();
}

bool URI::HasAuthority() const { return authority_.has_value(); }

URIPath &URI::Path() { return path_; }

const URIPath &URI::Path() const { return path_; }

const std::optional<std::string> &URI::Query() const { return query_; }

void URI::SetQuery(const std::optional<std::string> &query) {
  query_ = query;
  UpdateValidity();
}

const std::optional<std::string> &URI::Fragment() const { return fragment_; }

void URI::SetFragment(const std::optional<std::string> &fragment) {
  fragment_ = fragment;
  UpdateValidity();
}

void URI::UpdateValidity() {
  valid_ = validScheme(scheme_) && (!authority_ || authority_->Valid()) &&
           (authority_ || !hasAuthorityFlag_) && !hasForbidden(query_.value_or("")) &&
           !hasForbidden(fragment_.value_or(""));
}

std::string URI::Str() const {
  std::string path = path_.Str();
  std::string result;
  if (!scheme_.empty()) result = scheme_ + ":";
  if (authority_) {
    result += authority_->Str();
    // A path grown from an empty one still needs its separator here.
    if (!path.empty() && path[0] != '/') result += '/';
  } else if (emptyAuthority_ || path.compare(0, 2, "//") == 0) {
    // Without this, the path's first segment would read as an authority.
    result += "//";
  }
  result += path;
  if (query_) result += "?" + *query_;
  if (fragment_) result += "#" + *fragment_;
  return result;
}

bool URI::operator==(const URI &other) const { return Str() == other.Str(); }

bool URI::operator!=(const URI &other) const { return !(*this == other); }

}  // namespace qx::common
