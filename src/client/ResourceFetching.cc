#include "qx/quarn_tools/ResourceFetching.hh"

#include <qx/common/Filesystem.hh>

#include "MetadataFiles.hh"
#include "ConfinedPath.hh"
#include "qx/quarn_tools/ResourceRequests.hh"

namespace qx::quarn_tools {

std::string fetchResource(const std::string &url) {
  QuarnClient client;
  return fetchResourceWithClient(url, client);
}

std::string fetchResourceWithClient(const std::string &url, QuarnClient &client) {
  RequestOptions options;
  // A cached model is the answer, whatever it depends on.
  options.requireCachedDependencies = false;
  const DownloadOutcome outcome = ResourceRequests(client).Fetch(url, options);
  return outcome ? outcome.path : std::string();
}

std::vector<std::string> fetchResources(const std::vector<std::string> &urls, std::size_t jobs) {
  QuarnClient client;
  return fetchResourcesWithClient(urls, client, jobs);
}

std::vector<std::string> fetchResourcesWithClient(const std::vector<std::string> &urls,
                                                  QuarnClient &client, std::size_t jobs) {
  RequestOptions options;
  // As fetchResourceWithClient: a cached model is the answer.
  options.requireCachedDependencies = false;
  std::vector<std::string> paths;
  paths.reserve(urls.size());
  for (const DownloadOutcome &outcome : ResourceRequests(client).FetchResources(urls, jobs, options))
    paths.push_back(outcome ? outcome.path : std::string());
  return paths;
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
