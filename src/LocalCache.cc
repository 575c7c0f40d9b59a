#include "qx/quarn_tools/LocalCache.hh"

#include <map>
#include <optional>
#include <typeinfo>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>
#include <qx/common/URI.hh>

#include "CacheLimits.hh"
#include "CacheNames.hh"
#include "CacheScan.hh"
#include "MatchingAtOnce.hh"
#include "CacheWriter.hh"
#include "DownloadedArchive.hh"
#include "FailureNotes.hh"
#include "ModelPreparation.hh"
#include "FileIo.hh"
#include "FileSystem.hh"
#include "Routes.hh"
#include "StagingDirectory.hh"

namespace qx::quarn_tools {

// The cache keeps nothing but the configuration it reads its root and
// servers from; it does not own it.
class LocalCachePrivate {
 public:
  explicit LocalCachePrivate(const ClientConfig *config) : config(config) {}

  const ClientConfig *config;
};

namespace {

namespace fs = qx::common;

// ---------------------------------------------------------------------------
// Scanning

using internal::cache::Found;
using internal::cache::Only;

using internal::cache::OnlyThese;

// Walks server / owner / kind / name / version (see CacheScan.hh); a server
// directory that does not exist is warned about.
template <typename Filter>
std::vector<Found> scanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Filter &only) {
  if (!fs::isDirectory(serverDir)) {
    qxwarn << "Server directory does not exist [" << serverDir << "]\n";
    return {};
  }
  return internal::cache::ScanServer(serverDir, kind, marker, only);
}

// The models cached for `server` (those `only` admits), each carrying that
// server.
template <typename Filter>
std::vector<Model> scanModelsOf(const ClientConfig &config, const ServerConfig &server,
                                const Filter &only) {
  std::vector<Model> models;
  const auto dir = internal::cache::ServerDirectory(config.CacheLocation(), server);
  if (!dir) return models;
  for (const Found &found :
       scanServer(*dir, internal::kModelsKind, internal::cache::kModelConfigFile, only)) {
    auto record = std::make_shared<ModelPrivate>();
    record->identification.SetName(found.name);
    record->identification.SetOwner(found.owner);
    // A name that is no number leaves version 0.
    record->identification.SetVersionStr(found.version);
    record->identification.SetServer(server);
    record->pathOnDisk = found.path;
    models.emplace_back(std::move(record));
  }
  return models;
}

std::vector<Model> scanModels(const ClientConfig &config, const ServerConfig &server,
                              const Only &only = {}) {
  return scanModelsOf(config, server, only);
}

// The worlds cached for `server`, each carrying that server. A world has
// no marker file.
std::vector<WorldIdentifier> scanWorlds(const ClientConfig &config,
                                        const ServerConfig &server, const Only &only = {}) {
  std::vector<WorldIdentifier> worlds;
  const auto dir = internal::cache::ServerDirectory(config.CacheLocation(), server);
  if (!dir) return worlds;
  for (const Found &found : scanServer(*dir, internal::kWorldsKind, nullptr, only)) {
    WorldIdentifier world;
    world.SetName(found.name);
    world.SetOwner(found.owner);
    world.SetVersionStr(found.version);
    world.SetServer(server);
    world.SetLocalPath(found.path);
    worlds.push_back(std::move(world));
  }
  return worlds;
}

// Whether a cached version answers a request for `wanted`: exactly that
// version, or, for 0, a higher one than the best so far. A directory whose
// name reads as 0 (no number) is never taken for the newest version.
enum class Pick { kExact, kBetter, kNo };

Pick pick(unsigned int found, unsigned int wanted, unsigned int best) {
  if (wanted != 0) return found == wanted ? Pick::kExact : Pick::kNo;
  return found > best ? Pick::kBetter : Pick::kNo;
}

// The filters of MatchingModels and MatchingWorlds: empty fields and an
// invalid server URL match anything.
template <typename Id>
bool wanted(const Id &filter, const Id &candidate) {
  if (!filter.Name().empty() && filter.Name() != candidate.Name()) return false;
  if (!filter.Owner().empty() && filter.Owner() != candidate.Owner()) return false;
  const qx::common::URI url = filter.Server().Url();
  return !url.Valid() || url.Str() == candidate.Server().Url().Str();
}

template <typename Id>
bool filterIsEmpty(const Id &filter) {
  return filter.Name().empty() && !filter.Server().Url().Valid() && filter.Owner().empty();
}

// ---------------------------------------------------------------------------
// Saving

// Owner and name become directory names: they must not be empty, nor
// climb out of or nest into the cache's layout.
bool isPathComponent(const std::string &text) {
  return !text.empty() && text != "." && text != ".." &&
         text.find('/') == std::string::npos;
}

// Refuses a save for a reason of the caller's (an identifier that names no
// version directory, no cache): the error line, noted as the reason.
std::nullopt_t refused(const std::string &line, const std::string &details = "") {
  qxerr << line << "\n" << details;
  DownloadFailure failure;
  failure.reason = FailureReason::kOther;
  failure.text = line;
  internal::NoteFailure(failure);
  return std::nullopt;
}

// What a save of `id` needs, after checking the identifier; nothing (having
// said why) when it cannot be saved.
template <typename Id>
std::optional<internal::cache::VersionToSave> versionToSave(const ClientConfig *config,
                                                            const Id &id, bool serverSet,
                                                            const std::string &kind,
                                                            bool overwrite) {
  if (!serverSet || id.Owner().empty() || id.Name().empty() || id.Version() == 0)
    return refused("Incomplete " + kind + " identifier, failed to save " + kind + ".",
                   id.AsString());
  if (!isPathComponent(id.Owner()) || !isPathComponent(id.Name()))
    return refused("Owner or name is no directory name, failed to save " + kind + ".",
                   id.AsString());
  if (config == nullptr) return refused("No client configuration, failed to save " + kind + ".");
  if (config->CacheLocation().empty())
    return refused("No cache directory, failed to save " + kind + ".");
  internal::cache::VersionToSave save;
  save.root = config->CacheLocation();
  save.uniqueName = id.UniqueName();
  save.version = id.VersionStr();
  save.name = id.Name();
  save.overwrite = overwrite;
  save.limits = internal::EffectiveUnpackLimits(config);
  return save;
}

std::optional<internal::cache::VersionToSave> modelToSave(const ClientConfig *config,
                                                          const ModelIdentifier &id,
                                                          bool overwrite) {
  auto save = versionToSave(config, id, !id.Server().Url().Str().empty(), "model", overwrite);
  if (save) {
    save->prepare = [id](const internal::Directory &tree, const std::string &versionDirectory,
                         std::vector<std::string> &changed, internal::cache::Published &published) {
      return internal::cache::PrepareModelVersion(id, tree, versionDirectory,
                                                  internal::CurrentFileSystem(), changed,
                                                  published.metadata);
    };
  }
  return save;
}

std::optional<internal::cache::VersionToSave> worldToSave(const ClientConfig *config,
                                                          const WorldIdentifier &id,
                                                          bool overwrite) {
  return versionToSave(config, id, id.Server().Url().Valid(), "world", overwrite);
}

// What `scan` finds for every configured server, in the order configured.
template <typename Scan>
auto everyServer(const ClientConfig *config, Scan scan) {
  decltype(scan(*config, ServerConfig(), Only())) all;
  if (config == nullptr) return all;
  for (const ServerConfig &server : config->Servers()) {
    auto found = scan(*config, server, Only());
    all.insert(all.end(), found.begin(), found.end());
  }
  return all;
}

// A world's identifier learns where it was saved.
bool savedWorld(WorldIdentifier &id, const std::optional<internal::cache::Published> &published) {
  if (!published) return false;
  id.SetLocalPath(published->directory);
  qxmsg << "Saved world at:\n" << "  " << published->directory << "\n";
  return true;
}

internal::cache::CacheWriter writer() {
  return internal::cache::CacheWriter(internal::CurrentFileSystem());
}

// Whether `cache` is a LocalCache itself rather than an application's
// subclass, which receives archives through its virtual saves.
bool isPlainCache(const LocalCache &cache) { return typeid(cache) == typeid(LocalCache); }

// The archive the download road hands to an application's cache on this
// thread, while it does: the inherited SaveModelArchive and SaveWorldArchive
// read it through its staging directory rather than by its path.
thread_local const internal::cache::StagedArchive *tHanded = nullptr;

class Handing {
 public:
  explicit Handing(const internal::cache::StagedArchive &archive) : outer_(tHanded) {
    tHanded = &archive;
  }
  ~Handing() { tHanded = outer_; }
  Handing(const Handing &) = delete;
  Handing &operator=(const Handing &) = delete;

 private:
  const internal::cache::StagedArchive *outer_;
};

// Reads the archive at `archivePath` (through its staging directory when
// the download road handed it) and hands its bytes to `save`.
template <typename Save>
bool saveFromMemory(const std::string &archivePath, Save save) {
  std::string data;
  const bool handed = tHanded != nullptr && tHanded->stage.Join(tHanded->name) == archivePath;
  const bool read = handed ? internal::ReadFileAt(tHanded->stage.Stage(), tHanded->name,
                                                  std::string().max_size(), data) == 0
                           : internal::ReadWholeFile(archivePath, data);
  if (!read) {
    qxerr << "Unable to read [" << archivePath << "]\n";
    internal::NoteCacheError("Unable to read [" + archivePath + "]");
    return false;
  }
  return save(data);
}

// A save of the archive file at `archivePath` into `cache`: from the file
// for a LocalCache (`toSave` says what to save, `done` what to make of what
// was published); an application's subclass receives its bytes through
// `fromMemory` (its SaveModel or SaveWorld).
template <typename ToSave, typename FromMemory, typename Done>
bool saveArchive(const LocalCache &cache, const std::string &archivePath, ToSave toSave,
                 FromMemory fromMemory, Done done) {
  if (!isPlainCache(cache)) return saveFromMemory(archivePath, fromMemory);
  const auto save = toSave();
  return save && done(writer().SaveArchiveFile(*save, archivePath));
}

// A save of a download's staging directory into `cache`, as saveArchive;
// an application's subclass receives it through `viaCache` (its virtual
// SaveModelArchive or SaveWorldArchive).
template <typename ToSave, typename ViaCache, typename Done>
internal::cache::DownloadSave saveDownloaded(const LocalCache &cache,
                                             const internal::cache::StagedArchive &archive,
                                             ToSave toSave, ViaCache viaCache, Done done) {
  internal::cache::DownloadSave saved;
  if (!isPlainCache(cache)) {
    const Handing handing(archive);
    saved.saved = viaCache(archive.stage.Join(archive.name));
    return saved;
  }
  const auto save = toSave();
  if (save) saved.published = writer().SaveStaged(*save, archive.stage, archive.name);
  saved.saved = done(saved.published);
  return saved;
}

}  // namespace

// ---------------------------------------------------------------------------

LocalCache::LocalCache(const ClientConfig *config)
    : dataPtr(std::make_shared<LocalCachePrivate>(config)) {}

LocalCache::~LocalCache() = default;

ModelIter LocalCache::AllModels() {
  return ModelIterFactory::Create(everyServer(dataPtr->config, scanModels));
}

WorldIter LocalCache::AllWorlds() const {
  return WorldIterFactory::Create(everyServer(dataPtr->config, scanWorlds));
}

Model LocalCache::MatchingModel(const ModelIdentifier &id) {
  Model candidate;
  if (dataPtr->config == nullptr) return candidate;
  unsigned int best = 0;
  for (const Model &model :
       scanModels(*dataPtr->config, id.Server(), Only{id.Owner(), id.Name()})) {
    const ModelIdentifier found = model.Identification();
    if (!(found == id)) continue;
    switch (pick(found.Version(), id.Version(), best)) {
      case Pick::kExact: return model;
      case Pick::kBetter:
        candidate = model;
        best = found.Version();
        break;
      case Pick::kNo: break;
    }
  }
  return candidate;
}

namespace internal::cache {

std::vector<Model> MatchingModelsAtOnce(const ClientConfig &config,
                                        const std::vector<ModelIdentifier> &ids) {
  // The models asked of each server, by the server's URL text.
  std::map<std::string, std::pair<ServerConfig, OnlyThese>> servers;
  for (const ModelIdentifier &id : ids) {
    auto &server = servers[id.Server().Url().Str()];
    server.first = id.Server();
    server.second.insert({id.Owner(), id.Name()});
  }
  // What one walk per server found, by lower-cased owner and name.
  std::map<std::string, std::vector<Model>> found;
  for (const auto &[url, server] : servers) {
    for (Model &model : scanModelsOf(config, server.first, server.second)) {
      const ModelIdentifier &id = model.Identification();
      found[url + "\n" + qx::common::lowercase(id.Owner()) + "\n" +
            qx::common::lowercase(id.Name())]
          .push_back(std::move(model));
    }
  }
  // Each answered as MatchingModel answers it.
  std::vector<Model> matches;
  matches.reserve(ids.size());
  for (const ModelIdentifier &id : ids) {
    Model candidate;
    unsigned int best = 0;
    const auto bucket = found.find(id.Server().Url().Str() + "\n" +
                                   qx::common::lowercase(id.Owner()) + "\n" +
                                   qx::common::lowercase(id.Name()));
    if (bucket != found.end()) {
      for (const Model &model : bucket->second) {
        const ModelIdentifier other = model.Identification();
        if (!(other == id)) continue;
        const Pick picked = pick(other.Version(), id.Version(), best);
        if (picked == Pick::kNo) continue;
        candidate = model;
        best = other.Version();
        if (picked == Pick::kExact) break;
      }
    }
    matches.push_back(candidate);
  }
  return matches;
}

}  // namespace internal::cache

bool LocalCache::MatchingWorld(WorldIdentifier &id) const {
  if (dataPtr->config == nullptr) return false;
  std::optional<WorldIdentifier> candidate;
  for (const WorldIdentifier &world :
       scanWorlds(*dataPtr->config, id.Server(), Only{id.Owner(), id.Name()})) {
    if (!(world == id)) continue;
    const unsigned int best = candidate ? candidate->Version() : 0;
    switch (pick(world.Version(), id.Version(), best)) {
      case Pick::kExact: id = world; return true;
      case Pick::kBetter: candidate = world; break;
      case Pick::kNo: break;
    }
  }
  if (!candidate) return false;
  id = *candidate;
  return true;
}

ModelIter LocalCache::MatchingModels(const ModelIdentifier &id) {
  if (filterIsEmpty(id)) return ModelIterFactory::Create();
  std::vector<Model> kept;
  for (ModelIter it = AllModels(); it; ++it) {
    if (wanted(id, it->Identification())) kept.push_back(*it);
  }
  return ModelIterFactory::Create(kept);
}

WorldIter LocalCache::MatchingWorlds(const WorldIdentifier &id) const {
  if (filterIsEmpty(id)) return WorldIterFactory::Create();
  std::vector<WorldIdentifier> kept;
  for (WorldIter it = AllWorlds(); it; ++it) {
    if (wanted(id, *it)) kept.push_back(*it);
  }
  return WorldIterFactory::Create(kept);
}

bool LocalCache::SaveModel(const ModelIdentifier &id, const std::string &data,
                           bool overwrite) {
  const auto save = modelToSave(dataPtr->config, id, overwrite);
  return save && writer().SaveArchiveData(*save, data);
}

bool LocalCache::SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite) {
  const auto save = worldToSave(dataPtr->config, id, overwrite);
  return save && savedWorld(id, writer().SaveArchiveData(*save, data));
}

bool LocalCache::SaveModelArchive(const ModelIdentifier &id, const std::string &archivePath,
                                  bool overwrite) {
  return saveArchive(
      *this, archivePath, [&] { return modelToSave(dataPtr->config, id, overwrite); },
      [&](const std::string &data) { return SaveModel(id, data, overwrite); },
      [](const auto &published) { return published.has_value(); });
}

bool LocalCache::SaveWorldArchive(WorldIdentifier &id, const std::string &archivePath,
                                  bool overwrite) {
  return saveArchive(
      *this, archivePath, [&] { return worldToSave(dataPtr->config, id, overwrite); },
      [&](const std::string &data) { return SaveWorld(id, data, overwrite); },
      [&](const auto &published) { return savedWorld(id, published); });
}

void abandonUnfinishedSaves() { internal::cache::StagingDirectory::AbandonAll(); }

namespace internal::cache {

DownloadSave SaveDownloadedModel(LocalCache &cache, const ClientConfig &config,
                                 const ModelIdentifier &id, const StagedArchive &archive) {
  return saveDownloaded(
      cache, archive, [&] { return modelToSave(&config, id, true); },
      [&](const std::string &path) { return cache.SaveModelArchive(id, path, true); },
      [](const auto &published) { return published.has_value(); });
}

DownloadSave SaveDownloadedWorld(LocalCache &cache, const ClientConfig &config,
                                 WorldIdentifier &id, const StagedArchive &archive) {
  return saveDownloaded(
      cache, archive, [&] { return worldToSave(&config, id, true); },
      [&](const std::string &path) { return cache.SaveWorldArchive(id, path, true); },
      [&](const auto &published) { return savedWorld(id, published); });
}

}  // namespace internal::cache

}  // namespace qx::quarn_tools
