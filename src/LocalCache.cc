#include "qx/quarn_tools/LocalCache.hh"

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
#include "CacheWriter.hh"
#include "FileIo.hh"
#include "FileSystem.hh"
#include "Routes.hh"
#include "SdfRewrite.hh"
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

// Walks server / owner / kind / name / version (see CacheScan.hh); a server
// directory that does not exist is warned about.
std::vector<Found> scanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Only &only = {}) {
  if (!fs::isDirectory(serverDir)) {
    qxwarn << "Server directory does not exist [" << serverDir << "]\n";
    return {};
  }
  return internal::cache::ScanServer(serverDir, kind, marker, only);
}

// The models cached for `server`, each carrying that server.
std::vector<Model> scanModels(const ClientConfig &config, const ServerConfig &server,
                              const Only &only = {}) {
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

// What a save of `id` needs, after checking the identifier; nothing (having
// said why) when it cannot be saved.
template <typename Id>
std::optional<internal::cache::VersionToSave> versionToSave(const ClientConfig *config,
                                                            const Id &id, bool serverSet,
                                                            const char *kind, bool overwrite) {
  if (!serverSet || id.Owner().empty() || id.Name().empty() || id.Version() == 0) {
    qxerr << "Incomplete " << kind << " identifier, failed to save " << kind << ".\n"
          << id.AsString();
    return std::nullopt;
  }
  if (!isPathComponent(id.Owner()) || !isPathComponent(id.Name())) {
    qxerr << "Owner or name is no directory name, failed to save " << kind << ".\n"
          << id.AsString();
    return std::nullopt;
  }
  if (config == nullptr) {
    qxerr << "No client configuration, failed to save " << kind << ".\n";
    return std::nullopt;
  }
  if (config->CacheLocation().empty()) {
    qxerr << "No cache directory, failed to save " << kind << ".\n";
    return std::nullopt;
  }
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
    // Only a failed write of the rewritten file fails the save; a model
    // whose files cannot be rewritten is saved as it came.
    save->prepare = [id](const internal::Directory &tree, const std::string &versionDirectory,
                         std::vector<std::string> &changed) {
      using Outcome = internal::RewrittenSdf::Outcome;
      const internal::RewrittenSdf rewritten =
          internal::RewriteModelSdf(id, tree, internal::CurrentFileSystem(), versionDirectory);
      if (rewritten.outcome == Outcome::kRewritten) changed.push_back(rewritten.file);
      return rewritten.outcome != Outcome::kFailed;
    };
  }
  return save;
}

std::optional<internal::cache::VersionToSave> worldToSave(const ClientConfig *config,
                                                          const WorldIdentifier &id,
                                                          bool overwrite) {
  return versionToSave(config, id, id.Server().Url().Valid(), "world", overwrite);
}

void savedWorld(WorldIdentifier &id, const std::string &directory) {
  id.SetLocalPath(directory);
  qxmsg << "Saved world at:\n" << "  " << directory << "\n";
}

// Whether `cache` is a LocalCache itself rather than an application's
// subclass, which receives archives through SaveModel and SaveWorld.
bool isPlainCache(const LocalCache &cache) { return typeid(cache) == typeid(LocalCache); }

// Reads the archive at `archivePath` (through its staging directory when a
// download of this process put it there) and hands its bytes to `save`.
template <typename Save>
bool saveFromMemory(const std::string &archivePath, Save save) {
  std::string data;
  const internal::cache::StagingDirectory *stage =
      internal::cache::StagingDirectory::Find(fs::parentPath(archivePath));
  const bool read = stage != nullptr
                        ? internal::ReadFileAt(stage->Stage(), fs::basename(archivePath),
                                               std::string().max_size(), data) == 0
                        : internal::ReadWholeFile(archivePath, data);
  if (!read) {
    qxerr << "Unable to read [" << archivePath << "]\n";
    return false;
  }
  return save(data);
}

}  // namespace

// ---------------------------------------------------------------------------

LocalCache::LocalCache(const ClientConfig *config)
    : dataPtr(std::make_shared<LocalCachePrivate>(config)) {}

LocalCache::~LocalCache() = default;

ModelIter LocalCache::AllModels() {
  std::vector<Model> models;
  if (dataPtr->config != nullptr) {
    for (const ServerConfig &server : dataPtr->config->Servers()) {
      std::vector<Model> found = scanModels(*dataPtr->config, server);
      models.insert(models.end(), found.begin(), found.end());
    }
  }
  return ModelIterFactory::Create(models);
}

WorldIter LocalCache::AllWorlds() const {
  std::vector<WorldIdentifier> worlds;
  if (dataPtr->config != nullptr) {
    for (const ServerConfig &server : dataPtr->config->Servers()) {
      std::vector<WorldIdentifier> found = scanWorlds(*dataPtr->config, server);
      worlds.insert(worlds.end(), found.begin(), found.end());
    }
  }
  return WorldIterFactory::Create(worlds);
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
  std::string directory;
  return save && internal::cache::CacheWriter(internal::CurrentFileSystem())
                     .SaveArchiveData(*save, data, directory);
}

bool LocalCache::SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite) {
  const auto save = worldToSave(dataPtr->config, id, overwrite);
  std::string directory;
  if (!save || !internal::cache::CacheWriter(internal::CurrentFileSystem())
                    .SaveArchiveData(*save, data, directory))
    return false;
  savedWorld(id, directory);
  return true;
}

bool LocalCache::SaveModelArchive(const ModelIdentifier &id, const std::string &archivePath,
                                  bool overwrite) {
  if (!isPlainCache(*this)) {
    return saveFromMemory(archivePath,
                          [&](const std::string &data) { return SaveModel(id, data, overwrite); });
  }
  const auto save = modelToSave(dataPtr->config, id, overwrite);
  std::string directory;
  return save && internal::cache::CacheWriter(internal::CurrentFileSystem())
                     .SaveArchiveFile(*save, archivePath, directory);
}

bool LocalCache::SaveWorldArchive(WorldIdentifier &id, const std::string &archivePath,
                                  bool overwrite) {
  if (!isPlainCache(*this)) {
    return saveFromMemory(archivePath,
                          [&](const std::string &data) { return SaveWorld(id, data, overwrite); });
  }
  const auto save = worldToSave(dataPtr->config, id, overwrite);
  std::string directory;
  if (!save || !internal::cache::CacheWriter(internal::CurrentFileSystem())
                    .SaveArchiveFile(*save, archivePath, directory))
    return false;
  savedWorld(id, directory);
  return true;
}

void abandonUnfinishedSaves() { internal::cache::StagingDirectory::AbandonAll(); }

}  // namespace qx::quarn_tools
