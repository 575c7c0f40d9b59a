// Lookups of cached resources and files by URL; these never touch the
// network. A file path taken from a URL that would climb out of the
// resource's directory is refused: a URL must not lead a caller to files
// elsewhere on the machine.
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "QuarnClientPrivate.hh"
#include "ConfinedPath.hh"

namespace qx::quarn_tools {

namespace {

// `path` with every run of "/" collapsed to one; absolute paths stay
// absolute.
std::string CollapseSeparators(const std::string &path) {
  std::string result;
  for (const auto &piece : qx::common::split(path, "/"))
    result = qx::common::joinPaths(result, piece);
  return result;
}

}  // namespace

Result QuarnClientPrivate::CachedModel(const ModelIdentifier &id, std::string &path) {
  const Model model = cache->MatchingModel(id);
  if (!model) return Result(FETCH_FAILED);
  path = model.PathToModel();
  return Result(FETCH_CACHED);
}

Result QuarnClientPrivate::CachedModel(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  if (!urls.ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  return CachedModel(id, path);
}

Result QuarnClientPrivate::CachedWorld(const qx::common::URI &url, std::string &path) {
  WorldIdentifier id;
  if (!urls.ParseWorldUrl(url, id) || !cache->MatchingWorld(id)) return Result(FETCH_FAILED);
  path = id.LocalPath();
  return Result(FETCH_CACHED);
}

bool QuarnClientPrivate::CachedWorld(const qx::common::URI &url) {
  WorldIdentifier id;
  return urls.ParseWorldUrl(url, id) && cache->MatchingWorld(id);
}

Result QuarnClientPrivate::CachedModelFile(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  std::string filePath;
  if (!urls.ParseModelFileUrl(url, id, filePath) || filePath.empty() || !confinedPath(filePath))
    return Result(FETCH_FAILED);
  const Model model = cache->MatchingModel(id);
  if (!model) return Result(FETCH_FAILED);
  const std::string candidate =
      CollapseSeparators(qx::common::joinPaths(model.PathToModel(), filePath));
  if (!qx::common::exists(candidate)) return Result(FETCH_FAILED);
  path = candidate;
  return Result(FETCH_CACHED);
}

Result QuarnClientPrivate::CachedWorldFile(const qx::common::URI &url, std::string &path) {
  WorldIdentifier id;
  std::string filePath;
  if (!urls.ParseWorldFileUrl(url, id, filePath) || filePath.empty() || !confinedPath(filePath))
    return Result(FETCH_FAILED);
  if (!cache->MatchingWorld(id)) return Result(FETCH_FAILED);
  const std::string candidate = qx::common::joinPaths(id.LocalPath(), filePath);
  if (!qx::common::exists(candidate)) return Result(FETCH_FAILED);
  path = candidate;
  return Result(FETCH_CACHED);
}

}  // namespace qx::quarn_tools
