#include "qx/common/Util.hh"

#include <cstdlib>

namespace qx::common {

std::string lowercase(const std::string &text) {
  std::string result = text;
  for (char &c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

std::string lowercase(const char *text) {
  return text == nullptr ? std::string() : lowercase(std::string(text));
}

std::vector<std::string> split(const std::string &text, const std::string &delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    if (!text.empty()) pieces.push_back(text);
    return pieces;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(delimiter, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + delimiter.size();
  }
  return pieces;
}

std::string replaceAll(const std::string &text, const std::string &from,
                       const std::string &to) {
  if (from.empty()) return text;
  std::string result;
  result.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, start)) {
    result.append(text, start, at - start);
    result.append(to);
    start = at + from.size();
  }
  result.append(text, start, std::string::npos);
  return result;
}

bool env(const std::string &name, std::string &value, bool allowEmpty) {
  const char *found = std::getenv(name.c_str());
  if (found == nullptr) return false;
  if (found[0] == '\0' && !allowEmpty) return false;
  value = found;
  return true;
}

}  // namespace qx::common
