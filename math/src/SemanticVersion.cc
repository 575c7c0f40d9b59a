#include "qx/math/SemanticVersion.hh"

#include <cstddef>
#include <limits>
#include <vector>

namespace qx::math {

namespace {

const char kWhitespace[] = " \t\r\n\f\v";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAllDigits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

bool IsIdentifierChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

std::string Trim(const std::string &text) {
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitDots(const std::string &text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

// Reads a non-negative decimal number that fits 32 bits. Leading zeros are
// read as decimal ("01" is 1); signs, spaces and empty texts are refused.
bool ParseNumber(const std::string &text, int32_t *value) {
  if (!IsAllDigits(text)) return false;
  int64_t result = 0;
  for (char c : text) {
    result = result * 10 + (c - '0');
    if (result > std::numeric_limits<int32_t>::max()) return false;
  }
  *value = static_cast<int32_t>(result);
  return true;
}

// A dot-separated list of non-empty [0-9A-Za-z-] identifiers.
bool ValidIdentifiers(const std::string &text) {
  for (const std::string &id : SplitDots(text)) {
    if (id.empty()) return false;
    for (char c : id) {
      if (!IsIdentifierChar(c)) return false;
    }
  }
  return true;
}

// Pre-release identifiers made of digits only must not carry leading zeros:
// "01" and "1" would otherwise be two spellings of one number.
bool ValidPrerelease(const std::string &text) {
  if (!ValidIdentifiers(text)) return false;
  for (const std::string &id : SplitDots(text)) {
    if (id.size() > 1 && id[0] == '0' && IsAllDigits(id)) return false;
  }
  return true;
}

// Numeric identifiers may be longer than any integer type, so they compare
// by length first (no leading zeros), then digit by digit.
int CompareNumeric(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int CompareIdentifier(const std::string &a, const std::string &b) {
  const bool aNumeric = IsAllDigits(a);
  const bool bNumeric = IsAllDigits(b);
  if (aNumeric && bNumeric) return CompareNumeric(a, b);
  // A numeric identifier is below an alphanumeric one.
  if (aNumeric != bNumeric) return aNumeric ? -1 : 1;
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Precedence of two pre-release parts; an empty part (a release) is above
// any pre-release.
int ComparePrerelease(const std::string &a, const std::string &b) {
  if (a.empty() || b.empty()) {
    if (a.empty() && b.empty()) return 0;
    return a.empty() ? 1 : -1;
  }
  const std::vector<std::string> aIds = SplitDots(a);
  const std::vector<std::string> bIds = SplitDots(b);
  for (std::size_t i = 0; i < aIds.size() && i < bIds.size(); ++i) {
    const int c = CompareIdentifier(aIds[i], bIds[i]);
    if (c != 0) return c;
  }
  if (aIds.size() == bIds.size()) return 0;
  return aIds.size() < bIds.size() ? -1 : 1;
}

int CompareNumber(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

int Compare(const SemanticVersion &a, const SemanticVersion &b) {
  if (int c = CompareNumber(a.Major(), b.Major())) return c;
  if (int c = CompareNumber(a.Minor(), b.Minor())) return c;
  if (int c = CompareNumber(a.Patch(), b.Patch())) return c;
  return ComparePrerelease(a.Prerelease(), b.Prerelease());
}

}  // namespace

SemanticVersion::SemanticVersion() = default;

SemanticVersion::SemanticVersion(const std::string &version) { Parse(version); }

SemanticVersion::SemanticVersion(int32_t major, int32_t minor, int32_t patch,
                                 const std::string &prerelease, const std::string &build)
    : major_(major), minor_(minor), patch_(patch), prerelease_(prerelease), build_(build) {}

bool SemanticVersion::Parse(const std::string &version) {
  *this = SemanticVersion();
  std::string text = Trim(version);

  std::string build;
  const std::size_t plus = text.find('+');
  if (plus != std::string::npos) {
    build = text.substr(plus + 1);
    text.erase(plus);
    if (!ValidIdentifiers(build)) return false;
  }

  std::string prerelease;
  const std::size_t hyphen = text.find('-');
  if (hyphen != std::string::npos) {
    prerelease = text.substr(hyphen + 1);
    text.erase(hyphen);
    if (!ValidPrerelease(prerelease)) return false;
  }

  const std::vector<std::string> numbers = SplitDots(text);
  if (numbers.size() > 3) return false;
  int32_t parsed[3] = {0, 0, 0};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!ParseNumber(numbers[i], &parsed[i])) return false;
  }

  *this = SemanticVersion(parsed[0], parsed[1], parsed[2], prerelease, build);
  return true;
}

int32_t SemanticVersion::Major() const { return major_; }
int32_t SemanticVersion::Minor() const { return minor_; }
int32_t SemanticVersion::Patch() const { return patch_; }
const std::string &SemanticVersion::Prerelease() const { return prerelease_; }
const std::string &SemanticVersion::Build() const { return build_; }

std::string SemanticVersion::Version() const {
  std::string text =
      std::to_string(major_) + "." + std::to_string(minor_) + "." + std::to_string(patch_);
  if (!prerelease_.empty()) text += "-" + prerelease_;
  if (!build_.empty()) text += "+" + build_;
  return text;
}

bool SemanticVersion::operator<(const SemanticVersion &other) const {
  return Compare(*this, other) < 0;
}
bool SemanticVersion::operator>(const SemanticVersion &other) const {
  return Compare(*this, other) > 0;
}
bool SemanticVersion::operator<=(const SemanticVersion &other) const {
  return Compare(*this, other) <= 0;
}
bool SemanticVersion::operator>=(const SemanticVersion &other) const {
  return Compare(*this, other) >= 0;
}
bool SemanticVersion::operator==(const SemanticVersion &other) const {
  return Compare(*this, other) == 0;
}
bool SemanticVersion::operator!=(const SemanticVersion &other) const {
  return Compare(*this, other) != 0;
}

}  // namespace qx::math
