/*
 * The resource URL grammar: five regular expressions (model, world, model
 * file, world file, collection) compiled once and only read afterwards, so
 * one grammar may serve several threads. Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_URLGRAMMAR_HH_
#define QX_QUARN_TOOLS_SRC_URLGRAMMAR_HH_

#include <array>
#include <cstddef>
#include <memory>
#include <regex>
#include <string>

#include <qx/common/URI.hh>

namespace qx::quarn_tools {

// The pieces of a matched URL; a group that took no part is empty.
struct UrlMatch {
  std::string scheme;      // group 1
  std::string authority;   // group 2: host and optional port
  std::string apiVersion;  // group 3: e.g. "1.0"
  std::string owner;       // group 4
  std::string name;        // group 5
  std::string version;     // group 6: empty, digits or "tip"
  std::string filePath;    // group 7 (file patterns only)
};

class UrlGrammar {
 public:
  enum Kind { kModel = 0, kWorld, kModelFile, kWorldFile, kCollection, kKinds };

  // URL texts longer than this never match: the standard regular-expression
  // engine recurses per character and would exhaust the stack on hostile
  // input of a few hundred kilobytes.
  static constexpr std::size_t kMaxUrlLength = 4096;

  UrlGrammar();

  // Full match of the URL's text form against the pattern of `kind`. False
  // for an invalid URL or no match; `match` is written only on success.
  bool Match(Kind kind, const qx::common::URI &url, UrlMatch &match) const;

 private:
  std::array<std::string, kKinds> texts_;
  std::array<std::unique_ptr<const std::regex>, kKinds> patterns_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_URLGRAMMAR_HH_
