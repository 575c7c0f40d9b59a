/*
 * The one place that formats the lines of AsString and AsPrettyString dumps.
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_DUMP_HH_
#define QX_QUARN_TOOLS_SRC_DUMP_HH_

#include <sstream>
#include <string>

namespace qx::quarn_tools::dump {

inline constexpr const char *kLabelStyle = "\033[96m\033[1m";
inline constexpr const char *kValueStyle = "\033[37m";
inline constexpr const char *kReset = "\033[0m";

// prefix + label + value + newline
inline void Plain(std::ostream &out, const std::string &prefix,
                  const std::string &label, const std::string &value) {
  out << prefix << label << value << "\n";
}

// prefix, label style, label, reset, value style, value, reset, newline
inline void Pretty(std::ostream &out, const std::string &prefix,
                   const std::string &label, const std::string &value) {
  out << prefix << kLabelStyle << label << kReset << kValueStyle << value
      << kReset << "\n";
}

// A pretty line only when the value is not empty.
inline void PrettyIfSet(std::ostream &out, const std::string &prefix,
                        const std::string &label, const std::string &value) {
  if (!value.empty()) Pretty(out, prefix, label, value);
}

// The decimal number, or the empty text for 0 (pretty dumps skip zeros).
inline std::string NumberOrEmpty(long long value) {
  return value == 0 ? std::string() : std::to_string(value);
}

// A pretty line holding only a label: prefix, label style, label, reset, newline.
inline void PrettyLabel(std::ostream &out, const std::string &prefix,
                        const std::string &label) {
  out << prefix << kLabelStyle << label << kReset << "\n";
}

}  // namespace qx::quarn_tools::dump

#endif  // QX_QUARN_TOOLS_SRC_DUMP_HH_
