/*
 * The rules of a request for a resource by URL, the work behind
 * ResourceRequests: what a URL names (the one place that tells), when the
 * cache will do (a fetch takes any cached version that fits the URL, a
 * download only the version the URL names, unless forced; offline nothing
 * else), what a file URL needs of its resource, and a collection's members
 * downloaded in parallel with an outcome each. Uses the client's
 * collaborators (none owned); any thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESOURCEPOLICY_HH_
#define QX_QUARN_TOOLS_SRC_RESOURCEPOLICY_HH_

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ClientBatchDownloads.hh"
#include "ClientListings.hh"
#include "Downloader.hh"
#include "ModelResolver.hh"
#include "ResourceUrls.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ResourceRequests.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

class ResourcePolicy {
 public:
  ResourcePolicy(const ClientConfig &config, const ResourceUrls &urls, Downloader &downloads,
                 const ClientListings &listings, ClientBatchDownloads &batches);

  ResourceTarget Classify(const std::string &url) const;
  // As ResourceRequests::Fetch and Download.
  DownloadOutcome Fetch(const std::string &url, const RequestOptions &options);
  DownloadOutcome Download(const std::string &url, const RequestOptions &options);
  // As ResourceRequests::FetchResources.
  std::vector<DownloadOutcome> FetchResources(const std::vector<std::string> &urls,
                                              std::size_t jobs, const RequestOptions &options);
  // As QuarnClient::DownloadWorldWithModels.
  DownloadOutcome DownloadWorldWithModels(WorldIdentifier &id,
                                          const std::vector<std::string> &headers,
                                          std::size_t jobs);

 private:
  // A model or world: the cache's when `reuse` (or offline) allows and it
  // has it, else downloaded.
  DownloadOutcome Model(const ModelIdentifier &id, const std::string &url,
                        const RequestOptions &options, bool reuse);
  DownloadOutcome World(const WorldIdentifier &id, const std::string &url,
                        const RequestOptions &options, bool reuse);
  // A world's outcome with its includes, when the options ask for them.
  DownloadOutcome WithIncludes(DownloadOutcome world, const WorldIdentifier &id,
                               const RequestOptions &options);
  // The resource of a file URL, then the file in it.
  DownloadOutcome File(const ResourceTarget &target, const std::string &url,
                       const RequestOptions &options);
  DownloadOutcome Collection(const CollectionIdentifier &id, const std::string &url,
                             const RequestOptions &options);
  // Downloads the members of a collection in parallel (`jobs` at a time)
  // into `outcome`: one outcome per member, the failed downloads of what
  // they depend on, and the collection's result.
  void DownloadMembers(const std::vector<ModelIdentifier> &models,
                       const std::vector<WorldIdentifier> &worlds, std::size_t jobs,
                       DownloadOutcome &outcome);

  const ClientConfig &config_;
  const ResourceUrls &urls_;
  Downloader &downloads_;
  const ClientListings &listings_;
  ClientBatchDownloads &batches_;
  ModelResolver resolver_;

  // What URLs named, kept for FetchResources while the configuration is
  // the one they were bound under (`boundTo_`, its servers and cache).
  // What a URL names, with the key of that resource (ModelTree::Key, or
  // the same of a world).
  using Named = std::pair<ResourceTarget, std::string>;
  std::shared_ptr<const Named> Remembered(const std::string &url, const std::string &boundTo);
  std::string Binding() const;
  std::mutex targetsMutex_;
  std::string boundTo_;
  std::unordered_map<std::string, std::shared_ptr<const Named>> targets_;
};

// The outcome of a file URL (`url`, naming `file`) made of the outcome of
// its resource: the file's path when the version holds it, else a failure
// (kNotFound).
DownloadOutcome FileOutcome(DownloadOutcome resource, ResourceKind kind, const std::string &url,
                            const std::string &file);

// The URL of the resource a file URL points into: the text up to the end
// of its version part, without the slashes, the word "files" and the file
// path that follow.
std::string ResourceUrlOf(const std::string &fileUrl, const std::string &filePath);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESOURCEPOLICY_HH_
