// A file path taken from a URL that would climb out of the resource's
// directory is refused: a URL must not lead a caller to files elsewhere on
// the machine.
#include "ClientCachedLookups.hh"

#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "ConfinedPath.hh"

namespace qx::quarn_tools::internal {

namespace {

// `path` with every run of "/" collapsed to one; absolute paths stay
// absolute.
std::string CollapseSeparators(const std::string &path) {
  std::string result;
  for (const auto &piece : qx::common::split(path, "/"))
    result = qx::common::joinPaths(result, piece);
  return result;
}

// The path of an existing file of a cached version, for a lookup.
Result ExistingFile(const std::string &directory, const std::string &filePath, bool model,
                    std::string &path) {
  const std::optional<std::string> candidate = FileInVersion(directory, filePath, model);
  if (!candidate || !qx::common::exists(*candidate)) return Result(FETCH_FAILED);
  path = *candidate;
  return Result(FETCH_CACHED);
}

}  // namespace

std::optional<std::string> FileInVersion(const std::string &directory, const std::string &filePath,
                                         bool model) {
  if (filePath.empty() || !confinedPath(filePath)) return std::nullopt;
  const std::string joined = qx::common::joinPaths(directory, filePath);
  return model ? CollapseSeparators(joined) : joined;
}

ClientCachedLookups::ClientCachedLookups(const std::shared_ptr<LocalCache> &cache,
                                         const ResourceUrls &urls)
    : cache_(cache), urls_(urls) {}

Result ClientCachedLookups::CachedModel(const ModelIdentifier &id, std::string &path) const {
  const Model model = cache_->MatchingModel(id);
  if (!model) return Result(FETCH_FAILED);
  path = model.PathToModel();
  return Result(FETCH_CACHED);
}

Result ClientCachedLookups::CachedModel(const qx::common::URI &url, std::string &path) const {
  ModelIdentifier id;
  if (!urls_.ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  return CachedModel(id, path);
}

Result ClientCachedLookups::CachedWorld(const qx::common::URI &url, std::string &path) const {
  WorldIdentifier id;
  if (!urls_.ParseWorldUrl(url, id) || !cache_->MatchingWorld(id)) return Result(FETCH_FAILED);
  path = id.LocalPath();
  return Result(FETCH_CACHED);
}

bool ClientCachedLookups::CachedWorld(const qx::common::URI &url) const {
  WorldIdentifier id;
  return urls_.ParseWorldUrl(url, id) && cache_->MatchingWorld(id);
}

Result ClientCachedLookups::CachedModelFile(const qx::common::URI &url, std::string &path) const {
  ModelIdentifier id;
  std::string filePath;
  if (!urls_.ParseModelFileUrl(url, id, filePath) || !FileInVersion("", filePath, true))
    return Result(FETCH_FAILED);
  const Model model = cache_->MatchingModel(id);
  if (!model) return Result(FETCH_FAILED);
  return ExistingFile(model.PathToModel(), filePath, true, path);
}

Result ClientCachedLookups::CachedWorldFile(const qx::common::URI &url, std::string &path) const {
  WorldIdentifier id;
  std::string filePath;
  if (!urls_.ParseWorldFileUrl(url, id, filePath) || !FileInVersion("", filePath, false) ||
      !cache_->MatchingWorld(id))
    return Result(FETCH_FAILED);
  return ExistingFile(id.LocalPath(), filePath, false, path);
}

}  // namespace qx::quarn_tools::internal
