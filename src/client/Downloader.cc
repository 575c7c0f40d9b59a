#include "Downloader.hh"

#include <chrono>
#include <memory>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "ArchiveDownload.hh"
#include "CacheDirectories.hh"
#include "CacheLimits.hh"
#include "CacheNames.hh"
#include "FileSystem.hh"
#include "MetadataFiles.hh"
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

// Takes turns with other downloads of the same resource. Nothing, having
// said why, when the resource's directory cannot be used.
std::unique_ptr<cache::ResourceLock> LockResource(const ClientConfig &config,
                                                  const std::string &uniqueName) {
  std::string error;
  const std::unique_ptr<Directory> resource = cache::OpenCacheDirectory(
      CurrentFileSystem(), config.CacheLocation(), uniqueName, true, error);
  if (!resource) {
    qxerr << error << "\n";
    return nullptr;
  }
  return std::make_unique<cache::ResourceLock>(*resource, LockPatience());
}

// Whether a download that had to wait for another one of the same resource
// can use what that one published: the version asked for, or for tip a
// version newer than the one cached before (0: none).
bool PublishedWhileWaiting(const cache::ResourceLock &lock, unsigned int asked, unsigned int before,
                           unsigned int after) {
  if (!lock.Waited() || after == 0) return false;
  return asked != 0 ? before != asked : after > before;
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
  FetchedModel fetched;
  fetched.result = Result(FETCH_FAILED);
  fetched.requested = id;
  if (RefusedOffline(config_, id.UniqueName() + " is not in the cache")) return fetched;
  fetched.counting = std::make_unique<ResourceDownloadCount>(id.Name());
  if (!ArchiveDownload::ServerComplete(id.Server(), kModelDownload)) return fetched;
  const Model before = cache_->MatchingModel(id);
  fetched.lock = LockResource(config_, id.UniqueName());
  if (!fetched.lock) return fetched;
  const Model after = fetched.lock->Waited() ? cache_->MatchingModel(id) : Model();
  fetched.result = Result(FETCH_DONE);
  if (PublishedWhileWaiting(*fetched.lock, id.Version(),
                            before ? before.Identification().Version() : 0,
                            after ? after.Identification().Version() : 0))
    return fetched;
  fetched.download = NewArchiveDownload();
  if (!fetched.download->Run(ArchiveRequestFor(id, headers), kModelDownload)) {
    fetched.result = RefusedDownload(
        id.Server(), routes::Resource(id.Owner(), kModelsKind, id.Name()), *fetched.download);
    fetched.download.reset();
    ForgetFailed(id.UniqueName());
    return fetched;
  }
  fetched.delivered = id;
  fetched.delivered.SetVersion(fetched.download->DeliveredVersion());
  fetched.save = true;
  return fetched;
}

Result Downloader::SaveFetched(FetchedModel &fetched, std::vector<ModelIdentifier> &dependencies) {
  dependencies.clear();
  if (fetched.save) {
    fetched.save = false;
    const bool saved =
        cache_->SaveModelArchive(fetched.delivered, fetched.download->ArchivePath(), true);
    fetched.download.reset();
    if (saved) {
      fetched.counting->Saved();
    } else {
      ForgetFailed(fetched.requested.UniqueName());
      fetched.result = Result(FETCH_FAILED);
    }
  }
  if (!fetched.result) {
    fetched.lock.reset();
    return fetched.result;
  }
  const Result result = ModelDependencies(fetched.requested, dependencies);
  fetched.lock.reset();
  return result;
}

void Downloader::ForgetFailed(const std::string &uniqueName) {
  cache::RemoveUnusedResource(CurrentFileSystem(), config_.CacheLocation(), uniqueName);
}

Result Downloader::DownloadAndSave(WorldIdentifier &id, const std::vector<std::string> &headers) {
  const std::unique_ptr<ArchiveDownload> download = NewArchiveDownload();
  if (!download->Run(ArchiveRequestFor(id, headers), kWorldDownload))
    return RefusedDownload(id.Server(), routes::Resource(id.Owner(), kWorldsKind, id.Name()),
                           *download);
  id.SetVersion(download->DeliveredVersion());
  return Result(cache_->SaveWorldArchive(id, download->ArchivePath(), true) ? FETCH_DONE
                                                                            : FETCH_FAILED);
}

Result Downloader::DownloadModel(const ModelIdentifier &id,
                                 const std::vector<std::string> &headers) {
  std::set<std::string> expanding;
  return DownloadModelTree(id, headers, id.Server(), expanding);
}

Result Downloader::DownloadModelTree(const ModelIdentifier &id,
                                     const std::vector<std::string> &headers,
                                     const ServerConfig &asked, std::set<std::string> &expanding) {
  std::vector<ModelIdentifier> dependencies;
  const Result result =
      DownloadModel(id, CallerHeadersFor(asked, id.Server(), headers), dependencies);
  if (!result || dependencies.empty()) return result;

  expanding.insert(id.UniqueName());
  for (const auto &dependency : dependencies) {
    if (cache_->MatchingModel(dependency)) continue;
    // A model already being expanded on this path is a cycle: its download
    // is under way further up, so do not descend into it again.
    if (expanding.count(dependency.UniqueName()) > 0) continue;
    // The caller's token lines were given for the server asked; a
    // dependency elsewhere gets that server's own key and nothing else.
    const Result dependencyResult = DownloadModelTree(
        dependency, CallerHeadersFor(asked, dependency.Server(), headers), asked, expanding);
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

Result Downloader::DownloadWorld(WorldIdentifier &id, const std::vector<std::string> &headers) {
  if (RefusedOffline(config_, id.UniqueName() + " is not in the cache"))
    return Result(FETCH_FAILED);
  ResourceDownloadCount counting(id.Name());
  if (!ArchiveDownload::ServerComplete(id.Server(), kWorldDownload)) return Result(FETCH_FAILED);
  WorldIdentifier before(id);
  const bool wasCached = cache_->MatchingWorld(before);
  const auto lock = LockResource(config_, id.UniqueName());
  if (!lock) return Result(FETCH_FAILED);
  WorldIdentifier after(id);
  const bool isCached = lock->Waited() && cache_->MatchingWorld(after);
  if (PublishedWhileWaiting(*lock, id.Version(), wasCached ? before.Version() : 0,
                            isCached ? after.Version() : 0)) {
    id = after;
    return Result(FETCH_DONE);
  }
  const Result saved = DownloadAndSave(id, headers);
  if (saved)
    counting.Saved();
  else
    ForgetFailed(id.UniqueName());
  return saved;
}

Result Downloader::DownloadModel(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  if (!urls_.ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadModel(id, {});
  if (!result) return result;
  if (id.Version() == 0) {
    const Model found = cache_->MatchingModel(id);
    if (found) id.SetVersion(found.Identification().Version());
  }
  path = cache::VersionDirectory(config_.CacheLocation(), id.UniqueName(), id.VersionStr());
  return result;
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
  const Model cached = cache_->MatchingModel(id);
  if (!cached) return Result(FETCH_DONE);
  const std::string directory = cached.PathToModel();

  qx::msgs::QuarnMetadata metadata;
  switch (ReadResourceMetadata(directory, metadata)) {
    case MetadataSource::kNone:
      return Result(FETCH_DONE);
    case MetadataSource::kBadModelConfig:
      return Result(UPLOAD_FAILED);
    default:
      break;
  }

  for (const auto &dependency : metadata.dependencies()) {
    ModelIdentifier dependencyId;
    if (urls_.ParseModelUrl(qx::common::URI(dependency.uri()), dependencyId)) {
      dependencies.push_back(dependencyId);
    } else {
      qxwarn << "Error resolving URL for dependency [" << dependency.uri() << "] of model ["
             << id.UniqueName() << "]: Skipping\n";
    }
  }
  return Result(FETCH_DONE);
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
