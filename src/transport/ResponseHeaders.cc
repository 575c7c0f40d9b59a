#include "ResponseHeaders.hh"

#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal {

void HeaderCollector::Line(const std::string &line) {
  if (line.compare(0, 5, "HTTP/") == 0) {
    responses_.emplace_back();
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;  // the empty line ending a block
  if (responses_.empty()) responses_.emplace_back();
  // The colon and the character after it (normally a blank) are skipped;
  // the value keeps the line terminator. Within one response the first
  // value of a name wins.
  const std::size_t start = colon + 2;
  std::string value = start <= line.size() ? line.substr(start) : std::string();
  responses_.back().emplace(line.substr(0, colon), std::move(value));
}

std::map<std::string, std::string> HeaderCollector::Merged() const {
  std::map<std::string, std::string> merged;
  for (auto it = responses_.rbegin(); it != responses_.rend(); ++it) {
    for (const auto &entry : *it) merged.insert(entry);
  }
  return merged;
}

std::optional<std::string> HeaderCollector::Latest(const std::string &name) const {
  if (responses_.empty()) return std::nullopt;
  for (const auto &[key, value] : responses_.back()) {
    if (qx::common::lowercase(key) != qx::common::lowercase(name)) continue;
    std::string trimmed = value;
    while (!trimmed.empty() &&
           (trimmed.back() == '\r' || trimmed.back() == '\n' || trimmed.back() == ' '))
      trimmed.pop_back();
    return trimmed;
  }
  return std::nullopt;
}

}  // namespace qx::quarn_tools::internal
