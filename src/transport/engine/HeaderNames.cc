#include "engine/HeaderNames.hh"

#include <cctype>
#include <map>

namespace qx::quarn_tools::internal::engine {
namespace {

// Words of header names that are not written with only their first letter
// capital.
const std::map<std::string, std::string> kWords = {
    {"etag", "ETag"}, {"www", "WWW"}, {"md5", "MD5"}, {"xss", "XSS"}, {"ua", "UA"},
};

std::string Word(const std::string &word) {
  std::string lower;
  for (const char c : word) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto known = kWords.find(lower);
  if (known != kWords.end()) return known->second;
  if (!lower.empty()) lower[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(lower[0])));
  return lower;
}

}  // namespace

std::string CanonicalHeaderName(const std::string &name) {
  std::string written;
  std::size_t start = 0;
  while (true) {
    const std::size_t dash = name.find('-', start);
    written += Word(name.substr(start, dash - start));
    if (dash == std::string::npos) return written;
    written += '-';
    start = dash + 1;
  }
}

std::string CanonicalHeaderLine(const std::string &line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || line.compare(0, 5, "HTTP/") == 0) return line;
  return CanonicalHeaderName(line.substr(0, colon)) + line.substr(colon);
}

}  // namespace qx::quarn_tools::internal::engine
