#include "UrlGrammar.hh"

namespace qx::quarn_tools {

namespace {

// The prefix shared by every pattern: scheme, authority, optional API
// version and owner.
#define QX_URL_PREFIX \
  R"(^([[:alnum:]\.\+\-]+):\/\/([^\/\s]+)\/+([0-9]+[.][0-9]+)?\/*([^\/\s]+)\/+)"

const char *const kPatternTexts[UrlGrammar::kKinds] = {
    QX_URL_PREFIX R"(models\/+([^\/]+)\/*([0-9]*|tip)/?)",
    QX_URL_PREFIX R"(worlds\/+([^\/]+)\/*([0-9]*|tip)/?)",
    QX_URL_PREFIX R"(models\/+([^\/]+)\/+([0-9]*|tip)\/+files\/+(.*)/?)",
    QX_URL_PREFIX R"(worlds\/+([^\/]+)\/+([0-9]*|tip)\/+files\/+(.*)/?)",
    QX_URL_PREFIX R"(collections\/+([^\/]+)\/*)",
};

#undef QX_URL_PREFIX

bool IsFilePattern(UrlGrammar::Kind kind) {
  return kind == UrlGrammar::kModelFile || kind == UrlGrammar::kWorldFile;
}

}  // namespace

UrlGrammar::UrlGrammar() {
  for (int kind = 0; kind < kKinds; ++kind) {
    texts_[kind] = kPatternTexts[kind];
    patterns_[kind] = std::make_unique<const std::regex>(texts_[kind]);
  }
}

bool UrlGrammar::Match(Kind kind, const qx::common::URI &url, UrlMatch &match) const {
  if (!url.Valid()) return false;
  const std::string text = url.Str();
  if (text.size() > kMaxUrlLength) return false;

  std::smatch groups;
  try {
    if (!std::regex_match(text, groups, *patterns_[kind])) return false;
  } catch (const std::regex_error &) {
    return false;
  }
  const std::size_t needed = IsFilePattern(kind) ? 8 : (kind == kCollection ? 6 : 7);
  if (groups.size() < needed) return false;

  UrlMatch result;
  result.scheme = groups[1].str();
  result.authority = groups[2].str();
  result.apiVersion = groups[3].str();
  result.owner = groups[4].str();
  result.name = groups[5].str();
  if (kind != kCollection) result.version = groups[6].str();
  if (IsFilePattern(kind)) result.filePath = groups[7].str();
  match = result;
  return true;
}

}  // namespace qx::quarn_tools
