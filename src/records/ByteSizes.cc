#include "qx/quarn_tools/ByteSizes.hh"

#include <cctype>
#include <cstdio>
#include <limits>

namespace qx::quarn_tools {
namespace {

// The multiplier of a unit text ("", "k", "kib", "kb", "m", ... lower-cased);
// 0 for an unknown unit.
std::uint64_t unitFactor(const std::string &unit) {
  static const char *const kPrefixes = "kmgt";
  if (unit.empty() || unit == "b") return 1;
  const std::size_t power = std::string(kPrefixes).find(unit[0]);
  if (power == std::string::npos) return 0;
  const std::string rest = unit.substr(1);
  if (!rest.empty() && rest != "b" && rest != "i" && rest != "ib") return 0;
  return std::uint64_t{1} << (10 * (power + 1));
}

}  // namespace

bool parseByteSize(const std::string &text, std::uint64_t &bytes) {
  std::size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  std::uint64_t number = 0;
  const std::size_t digits = at;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
    if (number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
    number = number * 10 + digit;
  }
  if (at == digits) return false;
  std::string unit;
  for (; at < text.size(); ++at) {
    if (!std::isspace(static_cast<unsigned char>(text[at])))
      unit += static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
  }
  const std::uint64_t factor = unitFactor(unit);
  if (factor == 0 || number > std::numeric_limits<std::uint64_t>::max() / factor) return false;
  bytes = number * factor;
  return true;
}

std::string humanBytes(double bytes, ByteFigures figures) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  // Negative and NaN sizes do not occur; should one come, it reads as none.
  double value = bytes > 0 ? bytes : 0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024.0;
    ++unit;
  }
  char text[48];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(value));
  } else {
    const bool oneDecimal = figures == ByteFigures::kOneDecimal || value < 10;
    std::snprintf(text, sizeof text, oneDecimal ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  }
  return text;
}

}  // namespace qx::quarn_tools
