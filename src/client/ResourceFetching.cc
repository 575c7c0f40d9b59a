#include "qx/quarn_tools/ResourceFetching.hh"


#include <qx/common/Filesystem.hh>

#include "MetadataFiles.hh"
#include "ConfinedPath.hh"

namespace qx::quarn_tools {

namespace {

// The URL of the resource a file URL points into: the text up to the end of
// its version part, without the slashes, the word "files" and the file path
// that follow.
std::string ResourceUrlOf(const std::string &fileUrl, const std::string &filePath) {
  std::string text = fileUrl.substr(0, fileUrl.size() - filePath.size());
  while (!text.empty() && text.back() == '/') text.pop_back();
  const std::string files = "files";
  if (text.size() >= files.size() &&
      text.compare(text.size() - files.size(), files.size(), files) == 0)
    text.erase(text.size() - files.size());
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

// A resource URL: the cached directory, or the downloaded one.
template <typename CachedFn, typename DownloadFn>
std::string CachedOrDownloaded(CachedFn cached, DownloadFn download) {
  std::string path;
  if (cached(path)) return path;
  path.clear();
  if (download(path)) return path;
  return "";
}

// A file URL: the cached file, or the file's path in the downloaded
// resource directory (whether the file exists there is not tested).
template <typename CachedFileFn, typename DownloadFn>
std::string CachedOrDownloadedFile(const qx::common::URI &uri, const std::string &filePath,
                                   CachedFileFn cachedFile, DownloadFn download) {
  std::string path;
  if (cachedFile(path)) return path;
  if (!confinedPath(filePath)) return "";
  std::string directory;
  const qx::common::URI resource(ResourceUrlOf(uri.Str(), filePath));
  if (!download(resource, directory)) return "";
  return qx::common::joinPaths(directory, filePath);
}

}  // namespace

std::string fetchResource(const std::string &url) {
  QuarnClient client;
  return fetchResourceWithClient(url, client);
}

std::string fetchResourceWithClient(const std::string &url, QuarnClient &client) {
  const qx::common::URI uri(url, false);
  ModelIdentifier model;
  WorldIdentifier world;
  std::string filePath;

  if (client.ParseModelUrl(uri, model)) {
    return CachedOrDownloaded(
        [&](std::string &path) { return bool(client.CachedModel(uri, path)); },
        [&](std::string &path) { return bool(client.DownloadModel(uri, path)); });
  }
  if (client.ParseModelFileUrl(uri, model, filePath)) {
    return CachedOrDownloadedFile(
        uri, filePath,
        [&](std::string &path) { return bool(client.CachedModelFile(uri, path)); },
        [&](const qx::common::URI &resource, std::string &path) {
          return bool(client.DownloadModel(resource, path));
        });
  }
  if (client.ParseWorldUrl(uri, world)) {
    return CachedOrDownloaded(
        [&](std::string &path) { return bool(client.CachedWorld(uri, path)); },
        [&](std::string &path) { return bool(client.DownloadWorld(uri, path)); });
  }
  if (client.ParseWorldFileUrl(uri, world, filePath)) {
    return CachedOrDownloadedFile(
        uri, filePath,
        [&](std::string &path) { return bool(client.CachedWorldFile(uri, path)); },
        [&](const qx::common::URI &resource, std::string &path) {
          return bool(client.DownloadWorld(resource, path));
        });
  }
  return "";
}

std::string sdfFromPath(const std::string &directory) {
  qx::msgs::QuarnMetadata metadata;
  const internal::MetadataSource source = internal::ReadResourceMetadata(directory, metadata);
  if (source == internal::MetadataSource::kBadModelConfig) return "";
  if (source != internal::MetadataSource::kNone) {
    std::string file;
    if (metadata.has_model())
      file = metadata.model().file();
    else if (metadata.has_world())
      file = metadata.world().file();
    else
      return "";
    // The metadata came with a downloaded archive: it may not point outside.
    if (!confinedPath(file)) return "";
    return qx::common::joinPaths(directory, file);
  }

  for (qx::common::DirIter it(directory), end; it != end; ++it) {
    const std::string entry = *it;
    const std::string name = qx::common::basename(entry);
    const auto dot = name.rfind('.');
    if (qx::common::isFile(entry) && dot != std::string::npos &&
        name.substr(dot + 1) == "sdf")
      return entry;
  }
  return "";
}

}  // namespace qx::quarn_tools
