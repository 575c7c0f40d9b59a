/*
 * A semantic version: major.minor.patch, an optional pre-release part after
 * "-" and an optional build part after "+". A plain copyable value type.
 */
#ifndef QX_MATH_SEMANTICVERSION_HH_
#define QX_MATH_SEMANTICVERSION_HH_

#include <cstdint>
#include <string>

namespace qx::math {

class SemanticVersion {
 public:
  // 0.0.0
  SemanticVersion();
  // Parses `version` (see Parse); an unparseable text leaves 0.0.0.
  explicit SemanticVersion(const std::string &version);
  SemanticVersion(int32_t major, int32_t minor, int32_t patch,
                  const std::string &prerelease = "", const std::string &build = "");

  // Replaces the value with the parse of "MAJOR[.MINOR[.PATCH]][-PRE][+BUILD]".
  // Missing minor and patch numbers are 0, so "0.0" is 0.0.0. Numbers must fit
  // 32 bits; leading zeros are read as decimal ("01" is 1). Whitespace around
  // the whole text is ignored, inside it is an error. Pre-release and build
  // parts are dot-separated, non-empty [0-9A-Za-z-] identifiers; a numeric
  // pre-release identifier must not start with 0 ("alpha.01" is refused).
  // On failure the value becomes 0.0.0 and false is returned; never throws.
  bool Parse(const std::string &version);

  int32_t Major() const;
  int32_t Minor() const;
  int32_t Patch() const;
  const std::string &Prerelease() const;
  const std::string &Build() const;

  // "MAJOR.MINOR.PATCH[-PRE][+BUILD]"
  std::string Version() const;

  // Precedence of semantic versioning: numbers first; a version with a
  // pre-release part is below the same version without; pre-release
  // identifiers compare numerically when both are numbers, else as text;
  // the build part is ignored, so == holds for "1.0.0+a" and "1.0.0+b".
  bool operator<(const SemanticVersion &other) const;
  bool operator>(const SemanticVersion &other) const;
  bool operator<=(const SemanticVersion &other) const;
  bool operator>=(const SemanticVersion &other) const;
  bool operator==(const SemanticVersion &other) const;
  bool operator!=(const SemanticVersion &other) const;

 private:
  int32_t major_ = 0;
  int32_t minor_ = 0;
  int32_t patch_ = 0;
  std::string prerelease_;
  std::string build_;
};

}  // namespace qx::math

#endif  // QX_MATH_SEMANTICVERSION_HH_
