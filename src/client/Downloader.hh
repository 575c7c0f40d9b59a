/*
 * The download road of a client: one archive request per resource version,
 * the version the server delivered, referral links, the save into the cache
 * and, for models, the walk over their dependencies. The single road by
 * which resources enter the cache: single downloads, the parallel batches,
 * cache updates and requests by URL all end here. It builds the outcome of
 * a download as it goes (DownloadOutcome.hh): what the save published, the
 * dependencies from the metadata the save read, the reason of a failure.
 * Reads the client's configuration, transport, cache and URL binding (none
 * owned; the cache through the client's own pointer, so a replaced cache
 * takes effect). Any number of threads may download at once. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_DOWNLOADER_HH_
#define QX_QUARN_TOOLS_SRC_DOWNLOADER_HH_

#include <memory>
#include <optional>
#include <qx/common/URI.hh>
#include <set>
#include <string>
#include <vector>

#include "ArchiveDownload.hh"
#include "ModelTree.hh"
#include "ProgressCounters.hh"
#include "ResourceLock.hh"
#include "ResourceUrls.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

class Downloader;

// A model version fetched but not saved yet: its archive in a staging
// directory, and the lock of its resource (both released with it). Made by
// Downloader::FetchModel, consumed by Downloader::SaveFetched. Move-only.
class FetchedModel {
 public:
  FetchedModel();
  FetchedModel(FetchedModel &&other) noexcept;
  FetchedModel &operator=(FetchedModel &&other) noexcept;
  ~FetchedModel();

 private:
  friend class Downloader;
  Result result{FETCH_FAILED};      // FETCH_DONE once fetched (or published meanwhile)
  DownloadFailure failure;          // why not
  std::uint64_t interruptions = 0;  // of the process when the fetch began
  bool save = false;                // an archive waits to be saved
  ModelIdentifier requested;        // as the caller asked for it
  ModelIdentifier delivered;        // with the version the server delivered
  std::unique_ptr<ResourceDownloadCount> counting;
  std::unique_ptr<cache::ResourceLock> lock;
  std::unique_ptr<ArchiveDownload> download;
};

class Downloader {
 public:
  Downloader(const ClientConfig &config, const Rest &rest, const std::shared_ptr<LocalCache> &cache,
             const ResourceUrls &urls);

  // ---- Outcomes ----
  // A model and, depth first, every dependency not yet cached; the outcome
  // lists every model it needs (cached, downloaded or missing). `url` is
  // what the caller asked for.
  DownloadOutcome ModelOutcome(const ModelIdentifier &id, const std::vector<std::string> &headers,
                               const std::string &url);
  // A world; `id` receives the delivered version and the local path.
  DownloadOutcome WorldOutcome(WorldIdentifier &id, const std::vector<std::string> &headers,
                               const std::string &url);
  // What the cache holds of a model (the version `id` asks for, or the
  // newest), with every model it needs; FETCH_CACHED, or FETCH_FAILED
  // (kNotFound) when it is not cached. No request.
  DownloadOutcome CachedModelOutcome(const ModelIdentifier &id, const std::string &url);
  // The same for a world.
  DownloadOutcome CachedWorldOutcome(const WorldIdentifier &id, const std::string &url);
  // What the cache holds of a model as a node of a tree: FETCH_CACHED with
  // the dependencies it names, or missing (FETCH_MISSING).
  ModelTree::Node CachedNode(const ModelIdentifier &id, const std::string &url);
  // The same for many models at once: with the library's own cache, one
  // walk over each server directory for them all.
  std::vector<ModelTree::Node> CachedNodes(const std::vector<ModelIdentifier> &ids,
                                           const std::vector<std::string> &urls);
  // CachedModelOutcome of the node CachedNode gave for `id`.
  DownloadOutcome CachedModelOutcome(const ModelIdentifier &id, const std::string &url,
                                     ModelTree::Node node);

  // ---- What QuarnClient offers ----
  // A model and, depth first, every dependency not yet cached.
  Result DownloadModel(const ModelIdentifier &id, const std::vector<std::string> &headers);
  // This one model; its direct dependencies in `dependencies`. The same as
  // SaveFetched(FetchModel(id, headers), dependencies).
  Result DownloadModel(const ModelIdentifier &id, const std::vector<std::string> &headers,
                       std::vector<ModelIdentifier> &dependencies);
  // The two halves of that, so that a batch may fetch the next model while
  // the one before is saved: the request (the network's part), and the save
  // with the dependencies (the disk's part).
  FetchedModel FetchModel(const ModelIdentifier &id, const std::vector<std::string> &headers);
  Result SaveFetched(FetchedModel &fetched, std::vector<ModelIdentifier> &dependencies);
  // The save half with what it made: the model's outcome (asked for as
  // `url`) and the dependencies it names.
  ModelTree::Node SaveFetchedNode(FetchedModel &fetched, const std::string &url);
  // A world; `id` receives the delivered version and the local path.
  Result DownloadWorld(WorldIdentifier &id, const std::vector<std::string> &headers);
  // By URL; `path` receives the version directory delivered, on success.
  Result DownloadModel(const qx::common::URI &url, std::string &path);
  Result DownloadWorld(const qx::common::URI &url, std::string &path);

  // Direct dependencies of a cached model (none when it is not cached).
  Result ModelDependencies(const ModelIdentifier &id, std::vector<ModelIdentifier> &dependencies);
  // All dependencies of several cached models, depth first.
  Result ModelDependencies(const std::vector<ModelIdentifier> &ids,
                           std::vector<ModelIdentifier> &dependencies);

 private:
  // One model version as the road left it: in the cache, with what it
  // names, or failed.
  struct ModelVersion {
    Result result{FETCH_FAILED};
    DownloadFailure failure;
    ModelIdentifier delivered;
    std::string path;
    std::uint64_t bytes = 0;
    bool fromCache = false;
    Dependencies dependencies;
  };

  // A download of one archive into the cache's staging area, with the
  // client's referral user agent and the cache's limits.
  std::unique_ptr<ArchiveDownload> NewArchiveDownload() const;
  // The save of a fetched model, with its direct dependencies.
  ModelVersion Save(FetchedModel &fetched);
  // What the cache holds of `id`, looked up, and what its metadata names.
  ModelVersion CachedVersion(const ModelIdentifier &id);
  // The same of `cached`, what the lookup of `id` found.
  ModelVersion VersionOf(const Model &cached, const ModelIdentifier &id);
  // The node of what the lookup of `id` (asked as `url`) found.
  ModelTree::Node NodeOf(ModelVersion cached, const ModelIdentifier &id, const std::string &url);
  // The dependencies `metadata` names, as identifiers of model `id`.
  Dependencies DependenciesIn(const qx::msgs::QuarnMetadata &metadata,
                              const ModelIdentifier &id) const;
  // Downloads one world version into the cache: FETCH_DONE, or FETCH_FAILED
  // having logged why (with the server's answer when it refused).
  Result DownloadAndSave(WorldIdentifier &id, const std::vector<std::string> &headers,
                         std::uint64_t &bytes);
  // After a failed download: what it left of the resource's directory goes.
  void ForgetFailed(const std::string &uniqueName);
  // Download of a model with its dependencies into `tree`, for a caller
  // who asked `asked` with `headers`; `expanding` holds the unique names of
  // the models on the current path, so a cycle ends the descent.
  Result DownloadModelTree(const ModelIdentifier &id, const std::string &url,
                           const std::vector<std::string> &headers, const ServerConfig &asked,
                           ModelTree &tree, std::set<std::string> &expanding);
  // The outcome of the model `id` of `tree`, with every model it needs.
  DownloadOutcome TreeOutcome(const ModelIdentifier &id, ModelTree &tree);
  void DependenciesOf(const std::vector<ModelIdentifier> &ids,
                      std::vector<ModelIdentifier> &dependencies, std::set<std::string> &expanding);

  const ClientConfig &config_;
  const Rest &rest_;
  const std::shared_ptr<LocalCache> &cache_;
  const ResourceUrls &urls_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_DOWNLOADER_HH_
