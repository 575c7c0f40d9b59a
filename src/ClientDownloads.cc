// Downloads of models and worlds into the cache, and model dependencies.
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include <chrono>
#include <memory>

#include "ArchiveDownload.hh"
#include "CacheDirectories.hh"
#include "CacheLimits.hh"
#include "CacheNames.hh"
#include "FileSystem.hh"
#include "MetadataFiles.hh"
#include "ProgressCounters.hh"
#include "QuarnClientPrivate.hh"
#include "ResourceLock.hh"

namespace qx::quarn_tools {

namespace {

template <typename Identifier>
internal::ArchiveRequest ArchiveRequestFor(const Identifier &id,
                                           const std::vector<std::string> &headers) {
  internal::ArchiveRequest request;
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
std::unique_ptr<internal::cache::ResourceLock> LockResource(const ClientConfig &config,
                                                            const std::string &uniqueName) {
  std::string error;
  if (!internal::cache::MakeDirectories(internal::CurrentFileSystem(), config.CacheLocation(),
                                        uniqueName, error)) {
    qxerr << error << "\n";
    return nullptr;
  }
  return std::make_unique<internal::cache::ResourceLock>(
      internal::cache::ResourceDirectory(config.CacheLocation(), uniqueName),
      internal::LockPatience());
}

// Whether a download that had to wait for another one of the same resource
// can use what that one published: the version asked for, or for tip a
// version newer than the one cached before (0: none).
bool PublishedWhileWaiting(const internal::cache::ResourceLock &lock, unsigned int asked,
                           unsigned int before, unsigned int after) {
  if (!lock.Waited() || after == 0) return false;
  return asked != 0 ? before != asked : after > before;
}

}  // namespace

internal::ArchiveDownload QuarnClientPrivate::NewArchiveDownload() const {
  return internal::ArchiveDownload(internal::CurrentFileSystem(), config.CacheLocation(),
                                   rest.UserAgent(), internal::EffectiveUnpackLimits(&config));
}

Result QuarnClientPrivate::DownloadModel(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers,
                                         std::vector<ModelIdentifier> &dependencies) {
  const internal::ResourceDownloadCount counting;
  if (!internal::ArchiveDownload::ServerComplete(id.Server(), internal::kModelDownload))
    return Result(FETCH_FAILED);
  const Model before = cache->MatchingModel(id);
  const auto lock = LockResource(config, id.UniqueName());
  if (!lock) return Result(FETCH_FAILED);
  const Model after = lock->Waited() ? cache->MatchingModel(id) : Model();
  if (!PublishedWhileWaiting(*lock, id.Version(), before ? before.Identification().Version() : 0,
                             after ? after.Identification().Version() : 0) &&
      !DownloadAndSave(id, headers)) {
    internal::cache::RemoveUnusedResource(internal::CurrentFileSystem(),
                                          config.CacheLocation(), id.UniqueName());
    return Result(FETCH_FAILED);
  }
  return ModelDependencies(id, dependencies);
}

bool QuarnClientPrivate::DownloadAndSave(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers) {
  internal::ArchiveDownload download = NewArchiveDownload();
  if (!download.Run(ArchiveRequestFor(id, headers), internal::kModelDownload)) return false;
  ModelIdentifier delivered(id);
  delivered.SetVersion(download.DeliveredVersion());
  return cache->SaveModelArchive(delivered, download.ArchivePath(), true);
}

bool QuarnClientPrivate::DownloadAndSave(WorldIdentifier &id,
                                         const std::vector<std::string> &headers) {
  internal::ArchiveDownload download = NewArchiveDownload();
  if (!download.Run(ArchiveRequestFor(id, headers), internal::kWorldDownload)) return false;
  id.SetVersion(download.DeliveredVersion());
  return cache->SaveWorldArchive(id, download.ArchivePath(), true);
}

Result QuarnClientPrivate::DownloadModel(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers) {
  std::set<std::string> expanding;
  return DownloadModelTree(id, headers, expanding);
}

Result QuarnClientPrivate::DownloadModelTree(const ModelIdentifier &id,
                                             const std::vector<std::string> &headers,
                                             std::set<std::string> &expanding) {
  std::vector<ModelIdentifier> dependencies;
  const Result result = DownloadModel(id, headers, dependencies);
  if (!result || dependencies.empty()) return result;

  expanding.insert(id.UniqueName());
  for (const auto &dependency : dependencies) {
    if (cache->MatchingModel(dependency)) continue;
    // A model already being expanded on this path is a cycle: its download
    // is under way further up, so do not descend into it again.
    if (expanding.count(dependency.UniqueName()) > 0) continue;
    const Result dependencyResult = DownloadModelTree(dependency, headers, expanding);
    if (!dependencyResult) {
      qxerr << "Dependency [" << dependency.UniqueName() << "] of model ["
            << id.UniqueName() << "] failed to download: "
            << dependencyResult.ReadableResult() << "\n";
      expanding.erase(id.UniqueName());
      return dependencyResult;
    }
  }
  expanding.erase(id.UniqueName());
  return result;
}

Result QuarnClientPrivate::DownloadWorld(WorldIdentifier &id,
                                         const std::vector<std::string> &headers) {
  const internal::ResourceDownloadCount counting;
  if (!internal::ArchiveDownload::ServerComplete(id.Server(), internal::kWorldDownload))
    return Result(FETCH_FAILED);
  WorldIdentifier before(id);
  const bool wasCached = cache->MatchingWorld(before);
  const auto lock = LockResource(config, id.UniqueName());
  if (!lock) return Result(FETCH_FAILED);
  WorldIdentifier after(id);
  const bool isCached = lock->Waited() && cache->MatchingWorld(after);
  if (PublishedWhileWaiting(*lock, id.Version(), wasCached ? before.Version() : 0,
                            isCached ? after.Version() : 0)) {
    id = after;
    return Result(FETCH_DONE);
  }
  if (DownloadAndSave(id, headers)) return Result(FETCH_DONE);
  internal::cache::RemoveUnusedResource(internal::CurrentFileSystem(), config.CacheLocation(),
                                        id.UniqueName());
  return Result(FETCH_FAILED);
}

Result QuarnClientPrivate::DownloadModel(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  if (!ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadModel(id, {});
  if (!result) return result;
  if (id.Version() == 0) {
    const Model found = cache->MatchingModel(id);
    if (found) id.SetVersion(found.Identification().Version());
  }
  path = internal::cache::VersionDirectory(config.CacheLocation(), id.UniqueName(),
                                           id.VersionStr());
  return result;
}

Result QuarnClientPrivate::DownloadWorld(const qx::common::URI &url, std::string &path) {
  WorldIdentifier id;
  if (!ParseWorldUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadWorld(id, {});
  if (result) path = id.LocalPath();
  return result;
}

Result QuarnClientPrivate::ModelDependencies(const ModelIdentifier &id,
                                             std::vector<ModelIdentifier> &dependencies) {
  dependencies.clear();
  std::string directory;
  if (!CachedModel(id, directory)) return Result(FETCH_DONE);

  qx::msgs::QuarnMetadata metadata;
  switch (internal::ReadResourceMetadata(directory, metadata)) {
    case internal::MetadataSource::kNone: return Result(FETCH_DONE);
    case internal::MetadataSource::kBadModelConfig: return Result(UPLOAD_FAILED);
    default: break;
  }

  for (const auto &dependency : metadata.dependencies()) {
    ModelIdentifier dependencyId;
    if (ParseModelUrl(qx::common::URI(dependency.uri()), dependencyId)) {
      dependencies.push_back(dependencyId);
    } else {
      qxwarn << "Error resolving URL for dependency [" << dependency.uri() << "] of model ["
             << id.UniqueName() << "]: Skipping\n";
    }
  }
  return Result(FETCH_DONE);
}

Result QuarnClientPrivate::ModelDependencies(const std::vector<ModelIdentifier> &ids,
                                             std::vector<ModelIdentifier> &dependencies) {
  std::set<std::string> expanding;
  std::vector<ModelIdentifier> all;
  DependenciesOf(ids, all, expanding);
  dependencies = all;
  return Result(FETCH_DONE);
}

void QuarnClientPrivate::DependenciesOf(const std::vector<ModelIdentifier> &ids,
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

}  // namespace qx::quarn_tools
