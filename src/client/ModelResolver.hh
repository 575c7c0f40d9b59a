/*
 * Many models resolved at once, the work behind FetchResources and the
 * models a world includes: each from the cache when it is there (with all
 * it needs, when the caller asks for that), the rest downloaded in one
 * parallel batch (ClientBatchDownloads), each once, the dependencies the
 * cache holds taken from it. Offline, what the cache lacks fails with
 * kOffline. Uses the client's collaborators (none owned); any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_MODELRESOLVER_HH_
#define QX_QUARN_TOOLS_SRC_MODELRESOLVER_HH_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "CachedAnswers.hh"
#include "ClientBatchDownloads.hh"
#include "Downloader.hh"
#include "ModelTree.hh"
#include "ResourceUrls.hh"
#include "WorldIncludes.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// Whom the caller's header lines were given for: requests to the origins of
// `asked` carry them all, others carry them without credential lines.
struct CallerHeaders {
  std::vector<std::string> headers;
  std::vector<ServerConfig> asked;

  std::vector<std::string> For(const ServerConfig &target) const;
};

class ModelResolver {
 public:
  ModelResolver(const ClientConfig &config, const ResourceUrls &urls, Downloader &downloads,
                ClientBatchDownloads &batches);

  // What the cache answers for the model `id` (asked as `url`): its
  // outcome, FETCH_CACHED with every model it needs; offline, a failure
  // (kOffline) when it is cached without all it needs. Nothing when it
  // must be downloaded (or refused offline by the download road).
  std::optional<DownloadOutcome> FromCache(const ModelIdentifier &id, const std::string &url,
                                           bool requireCachedDependencies);
  // The same from what the lookup of `id` found (Downloader::CachedNodes).
  std::optional<DownloadOutcome> FromCache(const ModelIdentifier &id, const std::string &url,
                                           bool requireCachedDependencies, ModelTree::Node node);

  // One outcome per model, in the order given, each with every model it
  // needs; a model asked twice is resolved once (counting as cached only
  // with all it needs when any of the requests says so). `jobs` downloads
  // at a time.
  std::vector<DownloadOutcome> Resolve(const std::vector<ModelRequest> &models, std::size_t jobs,
                                       const CallerHeaders &headers);

  // Forgets the answers of the cache kept for requests to come (after the
  // configuration changed).
  void Forget() { answers_.Clear(); }

  // The models the world of `world` (a success, with its path) includes.
  std::vector<ModelRequest> Includes(const DownloadOutcome &world) const;
  // Gives `world` the outcomes of the models it includes; one that failed
  // fails the world (which keeps its path).
  static void AttachIncludes(DownloadOutcome &world, std::vector<DownloadOutcome> includes);
  // Both, with the includes resolved: every model it includes, with what
  // each needs, cached or downloaded.
  void AddIncludes(DownloadOutcome &world, std::size_t jobs, const CallerHeaders &headers);

 private:
  const ClientConfig &config_;
  const ResourceUrls &urls_;
  Downloader &downloads_;
  ClientBatchDownloads &batches_;
  CachedAnswers answers_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_MODELRESOLVER_HH_
