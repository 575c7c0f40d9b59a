/*
 * Confining relative paths that come from outside (archive entry names,
 * file names inside a downloaded model) to the directory they are meant for.
 * Internal to the library; pure functions.
 */
#ifndef QX_QUARN_TOOLS_SRC_CONFINEDPATH_HH_
#define QX_QUARN_TOOLS_SRC_CONFINEDPATH_HH_

#include <optional>
#include <string>
#include <vector>

#include <qx/common/Util.hh>

namespace qx::quarn_tools {

// `relative` ("/"-separated) with empty and "." components dropped and ".."
// applied: the path it names below its base directory, empty for the base
// itself. Nothing when it is absolute or climbs above the base.
inline std::optional<std::string> confinedPath(const std::string &relative) {
  if (!relative.empty() && relative.front() == '/') return std::nullopt;
  std::vector<std::string> kept;
  for (const std::string &part : qx::common::split(relative, "/")) {
    if (part == ".") continue;
    if (part == "..") {
      if (kept.empty()) return std::nullopt;
      kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::string path;
  for (const std::string &part : kept) path += (path.empty() ? "" : "/") + part;
  return path;
}

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_CONFINEDPATH_HH_
