#include "Downloader.hh"

#include <chrono>
#include <typeinfo>
#include <memory>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "ArchiveDownload.hh"
#include "CacheDirectories.hh"
#include "CacheLimits.hh"
#include "CacheNames.hh"
#include "DownloadedArchive.hh"
#include "FailureNotes.hh"
#include "FileSystem.hh"
#include "MatchingAtOnce.hh"
#include "MetadataFiles.hh"
#include "Outcomes.hh"
#include "ProgressCounters.hh"
#include "ResourceLock.hh"
#include "Routes.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

namespace {

template <typename Identifier>
ArchiveRequest ArchiveRequestFor(const Identifier &id, const std::vector<std::string> &headers) {
  ArchiveRequest request;
  request.server = id.Server();
  request.owner = id.Owner();
  request.name = id.Name();
  request.version = id.VersionStr();
  request.uniqueName = id.UniqueName();
  request.headers = headers;
  return request;
}

// Takes turns with other downloads of the same resource; `beforeWaiting`
// runs when another holds the lock. Nothing, having said why, when the
// resource's directory cannot be used.
std::unique_ptr<cache::ResourceLock> LockResource(const ClientConfig &config,
                                                  const std::string &uniqueName,
                                                  const std::function<void()> &beforeWaiting) {
  std::string error;
  const std::unique_ptr<Directory> resource = cache::OpenCacheDirectory(
      CurrentFileSystem(), config.CacheLocation(), uniqueName, true, error);
  if (!resource) {
    qxerr << error << "\n";
    NoteCacheError(error);
    return nullptr;
  }
  return std::make_unique<cache::ResourceLock>(*resource, LockPatience(), beforeWaiting);
}

// Whether a download that had to wait for another one of the same resource
// can use what that one published: the version asked for, or for tip a
// version newer than the one cached before (0: none).
bool PublishedWhileWaiting(const cache::ResourceLock &lock, unsigned int asked, unsigned int before,
                           unsigned int after) {
  if (!lock.Waited() || after == 0) return false;
  return asked != 0 ? before != asked : after > before;
}

// True, with the line logged and the reason noted, when the client is
// offline: the resource `uniqueName` would need a request.
bool RefusedOfflineFor(const ClientConfig &config, const std::string &uniqueName) {
  const std::string what = uniqueName + " is not in the cache";
  if (!RefusedOffline(config, what)) return false;
  DownloadFailure failure;
  failure.reason = FailureReason::kOffline;
  failure.text = "offline: " + what;
  NoteFailure(failure);
  return true;
}

// The outcome of one model version of the road.
template <typename Version>
DownloadOutcome OutcomeOfVersion(const ModelIdentifier &asked, const std::string &url,
                                 const Version &version) {
  DownloadOutcome outcome =
      OutcomeNaming(ResourceKind::kModel, version.path.empty() ? asked : version.delivered, url);
  outcome.result = version.result;
  outcome.failure = version.failure;
  outcome.path = version.path;
  outcome.fromCache = version.fromCache;
  outcome.bytes = version.bytes;
  return outcome;
}

}  // namespace

Downloader::Downloader(const ClientConfig &config, const Rest &rest,
                       const std::shared_ptr<LocalCache> &cache, const ResourceUrls &urls)
    : config_(config), rest_(rest), cache_(cache), urls_(urls) {}

std::unique_ptr<ArchiveDownload> Downloader::NewArchiveDownload() const {
  return std::make_unique<ArchiveDownload>(CurrentFileSystem(), config_.CacheLocation(),
                                           rest_.UserAgent(), EffectiveUnpackLimits(&config_));
}

namespace {

// What a failed archive request becomes: FETCH_FAILED, with the server's
// answer when that is what failed it (a local failure, a full disk say, has
// said why already and is no answer of the server's).
Result RefusedDownload(const ServerConfig &server, const std::string &resource,
                       const ArchiveDownload &download) {
  if (!download.RefusedByServer()) return Result(FETCH_FAILED);
  return ResultOf(FETCH_FAILED, server, resource, download.Response());
}

}  // namespace

FetchedModel::FetchedModel() = default;
FetchedModel::FetchedModel(FetchedModel &&other) noexcept = default;
FetchedModel &FetchedModel::operator=(FetchedModel &&other) noexcept = default;
FetchedModel::~FetchedModel() = default;

Result Downloader::DownloadModel(const ModelIdentifier &id, const std::vector<std::string> &headers,
                                 std::vector<ModelIdentifier> &dependencies) {
  FetchedModel fetched = FetchModel(id, headers);
  return SaveFetched(fetched, dependencies);
}

FetchedModel Downloader::FetchModel(const ModelIdentifier &id,
                                    const std::vector<std::string> &headers) {
  FailureNotes notes;
  FetchedModel fetched;
  fetched.interruptions = Interruptions();
  fetched.requested = id;
  const auto failed = [&](const Result &result) {
    fetched.result = result;
    fetched.failure = FailureOf(notes, result);
    return std::move(fetched);
  };
  if (RefusedOfflineFor(config_, id.UniqueName())) return failed(Result(FETCH_FAILED));
  fetched.counting = std::make_unique<ResourceDownloadCount>(id.Name());
  if (!ArchiveDownload::ServerComplete(id.Server(), kModelDownload))
    return failed(Result(FETCH_FAILED));
  // What the cache held before, only when another download makes us wait.
  unsigned int before = 0;
  fetched.lock = LockResource(config_, id.UniqueName(), [&] {
    const Model found = cache_->MatchingModel(id);
    before = found ? found.Identification().Version() : 0;
  });
  if (!fetched.lock) return failed(Result(FETCH_FAILED));
  const Model after = fetched.lock->Waited() ? cache_->MatchingModel(id) : Model();
  fetched.result = Result(FETCH_DONE);
  if (PublishedWhileWaiting(*fetched.lock, id.Version(), before,
                            after ? after.Identification().Version() : 0))
    return fetched;
  fetched.download = NewArchiveDownload();
  if (!fetched.download->Run(ArchiveRequestFor(id, headers), kModelDownload)) {
    const Result refused = RefusedDownload(
        id.Server(), routes::Resource(id.Owner(), kModelsKind, id.Name()), *fetched.download);
    fetched.download.reset();
    ForgetFailed(id.UniqueName());
    return failed(refused);
  }
  fetched.delivered = id;
  fetched.delivered.SetVersion(fetched.download->DeliveredVersion());
  fetched.save = true;
  return fetched;
}

Downloader::ModelVersion Downloader::Save(FetchedModel &fetched) {
  ModelVersion version;
  version.result = fetched.result;
  version.failure = fetched.failure;
  std::optional<cache::Published> published;
  if (fetched.save) {
    fetched.save = false;
    FailureNotes notes(fetched.interruptions);
    const cache::DownloadSave saved =
        cache::SaveDownloadedModel(*cache_, config_, fetched.delivered, fetched.download->Staged());
    version.bytes = fetched.download->Bytes();
    fetched.download.reset();
    if (saved.saved) {
      fetched.counting->Saved();
      published = saved.published;
    } else {
      ForgetFailed(fetched.requested.UniqueName());
      version.result = Result(FETCH_FAILED);
      version.failure = FailureOf(notes, version.result);
    }
  }
  if (version.result && published) {
    version.delivered = fetched.delivered;
    version.path = published->directory;
    if (published->metadata.source == MetadataSource::kBadModelConfig) {
      version.result = Result(UPLOAD_FAILED);
      version.failure.reason = FailureReason::kArchive;
      version.failure.path = ModelConfigPath(version.path);
      version.failure.text = "the model's model.config does not convert to a metadata record";
    } else {
      version.dependencies = DependenciesIn(published->metadata.record, fetched.requested);
    }
  } else if (version.result) {
    // Published by another download meanwhile, or saved by an application's
    // cache that does not say where: the cache is asked.
    const std::uint64_t bytes = version.bytes;
    version = CachedVersion(fetched.requested);
    version.bytes = bytes;
  }
  fetched.lock.reset();
  return version;
}

Result Downloader::SaveFetched(FetchedModel &fetched, std::vector<ModelIdentifier> &dependencies) {
  ModelVersion version = Save(fetched);
  dependencies = std::move(version.dependencies.ids);
  return version.result;
}

ModelTree::Node Downloader::SaveFetchedNode(FetchedModel &fetched, const std::string &url) {
  const ModelIdentifier requested = fetched.requested;
  ModelVersion version = Save(fetched);
  ModelTree::Node node;
  node.outcome = OutcomeOfVersion(requested, url, version);
  node.dependencies = std::move(version.dependencies);
  return node;
}

Downloader::ModelVersion Downloader::CachedVersion(const ModelIdentifier &id) {
  return VersionOf(cache_->MatchingModel(id), id);
}

Downloader::ModelVersion Downloader::VersionOf(const Model &cached, const ModelIdentifier &id) {
  ModelVersion version;
  version.result = Result(FETCH_DONE);
  if (!cached) return version;
  version.delivered = cached.Identification();
  version.path = cached.PathToModel();
  qx::msgs::QuarnMetadata metadata;
  switch (ReadResourceMetadata(version.path, metadata)) {
    case MetadataSource::kNone:
      return version;
    case MetadataSource::kBadModelConfig:
      version.result = Result(UPLOAD_FAILED);
      version.failure.reason = FailureReason::kArchive;
      version.failure.path = ModelConfigPath(version.path);
      version.failure.text = "the model's model.config does not convert to a metadata record";
      return version;
    default:
      break;
  }
  version.dependencies = DependenciesIn(metadata, id);
  return version;
}

Dependencies Downloader::DependenciesIn(const qx::msgs::QuarnMetadata &metadata,
                                        const ModelIdentifier &id) const {
  Dependencies dependencies;
  for (const auto &dependency : metadata.dependencies()) {
    ModelIdentifier dependencyId;
    if (urls_.ParseModelUrl(qx::common::URI(dependency.uri()), dependencyId)) {
      dependencies.ids.push_back(dependencyId);
      dependencies.urls.push_back(dependency.uri());
    } else {
      qxwarn << "Error resolving URL for dependency [" << dependency.uri() << "] of model ["
             << id.UniqueName() << "]: Skipping\n";
    }
  }
  return dependencies;
}

void Downloader::ForgetFailed(const std::string &uniqueName) {
  cache::RemoveUnusedResource(CurrentFileSystem(), config_.CacheLocation(), uniqueName);
}

Result Downloader::DownloadAndSave(WorldIdentifier &id, const std::vector<std::string> &headers,
                                   std::uint64_t &bytes) {
  const std::unique_ptr<ArchiveDownload> download = NewArchiveDownload();
  if (!download->Run(ArchiveRequestFor(id, headers), kWorldDownload))
    return RefusedDownload(id.Server(), routes::Resource(id.Owner(), kWorldsKind, id.Name()),
                           *download);
  id.SetVersion(download->DeliveredVersion());
  bytes = download->Bytes();
  return Result(cache::SaveDownloadedWorld(*cache_, config_, id, download->Staged()).saved
                    ? FETCH_DONE
                    : FETCH_FAILED);
}

Result Downloader::DownloadModel(const ModelIdentifier &id,
                                 const std::vector<std::string> &headers) {
  return ModelOutcome(id, headers, id.Url().Str()).result;
}

DownloadOutcome Downloader::ModelOutcome(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers,
                                         const std::string &url) {
  ModelTree tree;
  std::set<std::string> expanding;
  const Result result = DownloadModelTree(id, url, headers, id.Server(), tree, expanding);
  DownloadOutcome outcome = TreeOutcome(id, tree);
  if (result || !outcome.result) return outcome;
  // A dependency failed: so did the model that needs it.
  FailOnFailedDependency(outcome, &result);
  return outcome;
}

DownloadOutcome Downloader::TreeOutcome(const ModelIdentifier &id, ModelTree &tree) {
  tree.Complete([this](const ModelIdentifier &dependency, const std::string &url) {
    return CachedNode(dependency, url);
  });
  const ModelTree::Node *top = tree.Find(id);
  DownloadOutcome outcome = top != nullptr ? top->outcome : MissingModel(id, "");
  outcome.dependencies = tree.DependenciesOf(id);
  return outcome;
}

Result Downloader::DownloadModelTree(const ModelIdentifier &id, const std::string &url,
                                     const std::vector<std::string> &headers,
                                     const ServerConfig &asked, ModelTree &tree,
                                     std::set<std::string> &expanding) {
  FetchedModel fetched = FetchModel(id, CallerHeadersFor(asked, id.Server(), headers));
  ModelTree::Node node = SaveFetchedNode(fetched, url);
  const Result result = node.outcome.result;
  const Dependencies dependencies = node.dependencies;
  tree.Add(id, std::move(node));
  if (!result || dependencies.ids.empty()) return result;

  expanding.insert(id.UniqueName());
  for (std::size_t i = 0; i < dependencies.ids.size(); ++i) {
    const ModelIdentifier &dependency = dependencies.ids[i];
    // Handled in this walk already, or in the cache: nothing to fetch.
    if (tree.Find(dependency) != nullptr) continue;
    ModelTree::Node cached = CachedNode(dependency, dependencies.urls[i]);
    if (!cached.outcome.path.empty()) {
      tree.Add(dependency, std::move(cached));
      continue;
    }
    // A model already being expanded on this path is a cycle: its download
    // is under way further up, so do not descend into it again.
    if (expanding.count(dependency.UniqueName()) > 0) continue;
    // The caller's token lines were given for the server asked; a
    // dependency elsewhere gets that server's own key and nothing else.
    const Result dependencyResult = DownloadModelTree(
        dependency, dependencies.urls[i], CallerHeadersFor(asked, dependency.Server(), headers),
        asked, tree, expanding);
    if (!dependencyResult) {
      qxerr << "Dependency [" << dependency.UniqueName() << "] of model [" << id.UniqueName()
            << "] failed to download: " << dependencyResult.ReadableResult() << "\n";
      expanding.erase(id.UniqueName());
      return dependencyResult;
    }
  }
  expanding.erase(id.UniqueName());
  return result;
}

ModelTree::Node Downloader::CachedNode(const ModelIdentifier &id, const std::string &url) {
  return NodeOf(CachedVersion(id), id, url);
}

std::vector<ModelTree::Node> Downloader::CachedNodes(const std::vector<ModelIdentifier> &ids,
                                                     const std::vector<std::string> &urls) {
  std::vector<ModelTree::Node> nodes;
  nodes.reserve(ids.size());
  // An application's cache answers its own lookups, one by one.
  const LocalCache &cache = *cache_;
  if (typeid(cache) != typeid(LocalCache)) {
    for (std::size_t i = 0; i < ids.size(); ++i) nodes.push_back(CachedNode(ids[i], urls[i]));
    return nodes;
  }
  const std::vector<Model> found = cache::MatchingModelsAtOnce(config_, ids);
  for (std::size_t i = 0; i < ids.size(); ++i)
    nodes.push_back(NodeOf(VersionOf(found[i], ids[i]), ids[i], urls[i]));
  return nodes;
}

ModelTree::Node Downloader::NodeOf(ModelVersion cached, const ModelIdentifier &id,
                                   const std::string &url) {
  ModelTree::Node node;
  if (cached.path.empty()) {
    node.outcome = MissingModel(id, url);
    return node;
  }
  // In the cache is in the cache, whatever its model.config says.
  cached.result = Result(FETCH_CACHED);
  cached.failure = DownloadFailure();
  cached.fromCache = true;
  node.outcome = OutcomeOfVersion(id, url, cached);
  node.dependencies = std::move(cached.dependencies);
  return node;
}

DownloadOutcome Downloader::CachedModelOutcome(const ModelIdentifier &id, const std::string &url) {
  return CachedModelOutcome(id, url, CachedNode(id, url));
}

DownloadOutcome Downloader::CachedModelOutcome(const ModelIdentifier &id, const std::string &url,
                                               ModelTree::Node node) {
  if (node.outcome.path.empty()) {
    DownloadOutcome outcome = OutcomeNaming(ResourceKind::kModel, id, url);
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kNotFound, url + " is not in the cache");
    return outcome;
  }
  ModelTree tree;
  tree.Add(id, std::move(node));
  return TreeOutcome(id, tree);
}

DownloadOutcome Downloader::CachedWorldOutcome(const WorldIdentifier &id, const std::string &url) {
  WorldIdentifier found(id);
  if (!cache_->MatchingWorld(found)) {
    DownloadOutcome outcome = OutcomeNaming(ResourceKind::kWorld, id, url);
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kNotFound, url + " is not in the cache");
    return outcome;
  }
  DownloadOutcome outcome = OutcomeNaming(ResourceKind::kWorld, found, url);
  outcome.result = Result(FETCH_CACHED);
  outcome.path = found.LocalPath();
  outcome.fromCache = true;
  return outcome;
}

Result Downloader::DownloadWorld(WorldIdentifier &id, const std::vector<std::string> &headers) {
  return WorldOutcome(id, headers, id.Url().Str()).result;
}

DownloadOutcome Downloader::WorldOutcome(WorldIdentifier &id,
                                         const std::vector<std::string> &headers,
                                         const std::string &url) {
  FailureNotes notes;
  std::uint64_t bytes = 0;
  const auto finish = [&](const Result &result) {
    DownloadOutcome outcome = OutcomeNaming(ResourceKind::kWorld, id, url);
    outcome.result = result;
    outcome.bytes = bytes;
    if (result)
      outcome.path = id.LocalPath();
    else
      outcome.failure = FailureOf(notes, result);
    return outcome;
  };
  if (RefusedOfflineFor(config_, id.UniqueName())) return finish(Result(FETCH_FAILED));
  ResourceDownloadCount counting(id.Name());
  if (!ArchiveDownload::ServerComplete(id.Server(), kWorldDownload))
    return finish(Result(FETCH_FAILED));
  unsigned int before = 0;
  const auto lock = LockResource(config_, id.UniqueName(), [&] {
    WorldIdentifier found(id);
    before = cache_->MatchingWorld(found) ? found.Version() : 0;
  });
  if (!lock) return finish(Result(FETCH_FAILED));
  WorldIdentifier after(id);
  const bool isCached = lock->Waited() && cache_->MatchingWorld(after);
  if (PublishedWhileWaiting(*lock, id.Version(), before, isCached ? after.Version() : 0)) {
    id = after;
    return finish(Result(FETCH_DONE));
  }
  const Result saved = DownloadAndSave(id, headers, bytes);
  if (saved)
    counting.Saved();
  else
    ForgetFailed(id.UniqueName());
  return finish(saved);
}

Result Downloader::DownloadModel(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  if (!urls_.ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  const DownloadOutcome outcome = ModelOutcome(id, {}, url.Str());
  if (outcome) path = outcome.path;
  return outcome.result;
}

Result Downloader::DownloadWorld(const qx::common::URI &url, std::string &path) {
  WorldIdentifier id;
  if (!urls_.ParseWorldUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadWorld(id, {});
  if (result) path = id.LocalPath();
  return result;
}

Result Downloader::ModelDependencies(const ModelIdentifier &id,
                                     std::vector<ModelIdentifier> &dependencies) {
  dependencies.clear();
  ModelVersion cached = CachedVersion(id);
  dependencies = std::move(cached.dependencies.ids);
  return cached.result;
}

Result Downloader::ModelDependencies(const std::vector<ModelIdentifier> &ids,
                                     std::vector<ModelIdentifier> &dependencies) {
  std::set<std::string> expanding;
  std::vector<ModelIdentifier> all;
  DependenciesOf(ids, all, expanding);
  dependencies = all;
  return Result(FETCH_DONE);
}

void Downloader::DependenciesOf(const std::vector<ModelIdentifier> &ids,
                                std::vector<ModelIdentifier> &dependencies,
                                std::set<std::string> &expanding) {
  for (const auto &id : ids) {
    // A model already being expanded on this path closes a cycle.
    if (!expanding.insert(id.UniqueName()).second) continue;
    std::vector<ModelIdentifier> direct;
    ModelDependencies(id, direct);
    std::vector<ModelIdentifier> indirect;
    if (!direct.empty()) DependenciesOf(direct, indirect, expanding);
    dependencies.insert(dependencies.end(), direct.begin(), direct.end());
    dependencies.insert(dependencies.end(), indirect.begin(), indirect.end());
    expanding.erase(id.UniqueName());
  }
}

}  // namespace qx::quarn_tools::internal
