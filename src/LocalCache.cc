#include "qx/quarn_tools/LocalCache.hh"

#include <tinyxml2.h>

#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>
#include <qx/common/URI.hh>
#include <qx/math/SemanticVersion.hh>

#include "ConfinedPath.hh"
#include "qx/quarn_tools/Helpers.hh"
#include "qx/quarn_tools/Zip.hh"

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
// Paths

// The directory of one server inside the cache; nothing for a server whose
// URL names no directory (it would be the cache root itself), or when there
// is no cache root (it would be the file-system root).
std::optional<std::string> serverDirectory(const ClientConfig &config,
                                           const ServerConfig &server) {
  const std::string relative = uriToPath(server.Url());
  if (relative.empty() || config.CacheLocation().empty()) return std::nullopt;
  return fs::joinPaths(config.CacheLocation(), relative);
}

// The directory of one resource version: cache root / unique name / version.
std::string versionDirectory(const ClientConfig &config, const std::string &uniqueName,
                             const std::string &version) {
  return fs::joinPaths(config.CacheLocation(), uniqueName, version);
}

// ---------------------------------------------------------------------------
// Scanning

// One version directory found below a server directory.
struct Found {
  std::string owner;
  std::string name;
  std::string version;
  std::string path;  // absolute
};

// Restricts a walk to one owner and one resource name (as identifiers
// store them, lower-cased); an empty field restricts nothing. Lookups of one
// resource pass it, so their cost does not grow with the size of the cache.
struct Only {
  std::string owner;
  std::string name;
};

bool admits(const std::string &wanted, const std::string &directory) {
  return wanted.empty() || qx::common::lowercase(fs::basename(directory)) == wanted;
}

// Walks server / owner / kind / name / version. Items that are not
// directories are ignored at every level. With `marker`, only version
// directories holding that file count.
std::vector<Found> scanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Only &only = {}) {
  std::vector<Found> found;
  if (!fs::isDirectory(serverDir)) {
    qxwarn << "Server directory does not exist [" << serverDir << "]\n";
    return found;
  }
  const fs::DirIter end;
  for (fs::DirIter owner(serverDir); owner != end; ++owner) {
    if (!admits(only.owner, *owner) || !fs::isDirectory(*owner)) continue;
    for (fs::DirIter resource(fs::joinPaths(*owner, kind)); resource != end; ++resource) {
      if (!admits(only.name, *resource) || !fs::isDirectory(*resource)) continue;
      for (fs::DirIter version(fs::absPath(*resource)); version != end; ++version) {
        if (!fs::isDirectory(*version)) continue;
        if (marker != nullptr && !fs::exists(fs::joinPaths(*version, marker))) continue;
        found.push_back({fs::basename(*owner), fs::basename(*resource),
                         fs::basename(*version), fs::absPath(*version)});
      }
    }
  }
  return found;
}

// The models cached for `server`, each carrying that server.
std::vector<Model> scanModels(const ClientConfig &config, const ServerConfig &server,
                              const Only &only = {}) {
  std::vector<Model> models;
  const std::optional<std::string> dir = serverDirectory(config, server);
  if (!dir) return models;
  for (const Found &found : scanServer(*dir, "models", "model.config", only)) {
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

// The worlds cached for `server`, each carrying that server.
std::vector<WorldIdentifier> scanWorlds(const ClientConfig &config,
                                        const ServerConfig &server, const Only &only = {}) {
  std::vector<WorldIdentifier> worlds;
  const std::optional<std::string> dir = serverDirectory(config, server);
  if (!dir) return worlds;
  for (const Found &found : scanServer(*dir, "worlds", nullptr, only)) {
    // A world has no marker file. A version directory that still holds the
    // downloaded archive is one whose save did not finish (a save removes
    // the archive once it is unpacked): it is not a cached world.
    const std::string leftover = qx::common::lowercase(found.name) + ".zip";
    if (fs::exists(fs::joinPaths(found.path, leftover))) continue;
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

// Removes what a failed extraction left in a version directory it created,
// except the archive, so no damaged version is taken for a cached one.
void removeAllBut(const std::string &dir, const std::string &keep) {
  for (fs::DirIter it(dir), end; it != end; ++it) {
    if (*it != keep) fs::removeAll(*it);
  }
}

// Writes `data` as `name`.zip into `dir` and unpacks it there. On success
// the archive is removed again; on failure it stays. `archive` receives its
// path.
bool unpackInto(const std::string &dir, const std::string &name, const std::string &data,
                bool overwrite, std::string &archive) {
  if (!overwrite && fs::isDirectory(dir)) {
    qxerr << "Directory [" << dir << "] already exists\n";
    return false;
  }
  const bool fresh = !fs::isDirectory(dir);
  if (!fs::createDirectories(dir)) {
    qxerr << "Unable to create directory [" << dir << "]\n";
    return false;
  }
  archive = fs::joinPaths(dir, name + ".zip");
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
      qxerr << "Unable to write [" << archive << "]\n";
      return false;
    }
  }
  if (!Zip::Extract(archive, dir)) {
    qxerr << "Unable to unzip [" << archive << "]\n";
    if (fresh) removeAllBut(dir, archive);
    return false;
  }
  return true;
}

// Checks the identifier of a resource to save and unpacks `data` into its
// version directory `dir`; `archive` receives the path of the archive file.
template <typename Id>
bool saveResource(const ClientConfig *config, const Id &id, bool serverSet, const char *kind,
                  const std::string &data, bool overwrite, std::string &dir,
                  std::string &archive) {
  if (!serverSet || id.Owner().empty() || id.Name().empty() || id.Version() == 0) {
    qxerr << "Incomplete " << kind << " identifier, failed to save " << kind << ".\n"
          << id.AsString();
    return false;
  }
  if (!isPathComponent(id.Owner()) || !isPathComponent(id.Name())) {
    qxerr << "Owner or name is no directory name, failed to save " << kind << ".\n"
          << id.AsString();
    return false;
  }
  if (config == nullptr) {
    qxerr << "No client configuration, failed to save " << kind << ".\n";
    return false;
  }
  if (config->CacheLocation().empty()) {
    qxerr << "No cache directory, failed to save " << kind << ".\n";
    return false;
  }
  dir = versionDirectory(*config, id.UniqueName(), id.VersionStr());
  return unpackInto(dir, id.Name(), data, overwrite, archive);
}

void removeArchive(const std::string &archive) {
  if (!fs::removeDirectoryOrFile(archive))
    qxwarn << "Unable to remove [" << archive << "]\n";
}

// ---------------------------------------------------------------------------
// The SDF reference rewrite

tinyxml2::XMLElement *first(tinyxml2::XMLElement *parent, const char *name) {
  return parent ? parent->FirstChildElement(name) : nullptr;
}

// Iterates the child elements `name` of `parent` (none for a null parent).
template <typename Visit>
void eachChild(tinyxml2::XMLElement *parent, const char *name, Visit visit) {
  for (tinyxml2::XMLElement *child = first(parent, name); child != nullptr;
       child = child->NextSiblingElement(name)) {
    visit(child);
  }
}

// The server URL of a file of the model: server / API version / owner /
// "models" / name / version / "files" followed by `filePath` (from its "/").
std::string filesUrl(const ModelIdentifier &id, const std::string &filePath) {
  return id.Server().Url().Str() + "/" + id.Server().Version() + "/" + id.Owner() +
         "/models/" + id.Name() + "/" + id.VersionStr() + "/files" + filePath;
}

// Points the "model://" references of one SDF document at the model's files
// on its server.
class SdfRewriter {
 public:
  SdfRewriter(const ModelIdentifier &id, const std::string &sdfPath)
      : id_(id), sdfPath_(sdfPath) {}

  void Rewrite(tinyxml2::XMLElement *root) {
    eachChild(root, "model", [this](tinyxml2::XMLElement *model) {
      eachChild(model, "link", [this](tinyxml2::XMLElement *link) { Link(link); });
    });
    eachChild(root, "actor", [this](tinyxml2::XMLElement *actor) {
      eachChild(actor, "skin", [this](tinyxml2::XMLElement *skin) {
        Uri(first(skin, "filename"));
      });
      eachChild(actor, "animation", [this](tinyxml2::XMLElement *animation) {
        Uri(first(animation, "filename"));
      });
    });
  }

 private:
  void Link(tinyxml2::XMLElement *link) {
    eachChild(link, "collision", [this](tinyxml2::XMLElement *collision) {
      Uri(first(first(first(collision, "geometry"), "mesh"), "uri"));
    });
    eachChild(link, "visual", [this](tinyxml2::XMLElement *visual) {
      Uri(first(first(first(visual, "geometry"), "mesh"), "uri"));
      Material(first(visual, "material"));
    });
  }

  void Material(tinyxml2::XMLElement *material) {
    eachChild(first(material, "script"), "uri",
              [this](tinyxml2::XMLElement *uri) { Uri(uri); });
    tinyxml2::XMLElement *pbr = first(material, "pbr");
    Workflow(first(pbr, "metal"), {"metalness_map", "roughness_map"});
    Workflow(first(pbr, "specular"), {"specular_map", "glossiness_map"});
  }

  void Workflow(tinyxml2::XMLElement *workflow, std::initializer_list<const char *> own) {
    for (const char *map :
         {"albedo_map", "normal_map", "environment_map", "emissive_map", "light_map"})
      Uri(first(workflow, map));
    for (const char *map : own) Uri(first(workflow, map));
  }

  void Uri(tinyxml2::XMLElement *element) {
    if (element == nullptr) return;
    if (element->GetText() == nullptr) {
      qxerr << "Element <" << element->Name() << "> without text in SDF file ["
            << sdfPath_ << "]\n";
      return;
    }
    const std::string text = element->GetText();
    const std::string scheme = "model://";
    if (text.compare(0, scheme.size(), scheme) != 0) return;
    // The referenced model's name has at least one character.
    const size_t slash = text.find('/', scheme.size() + 1);
    if (slash == std::string::npos) {
      qxerr << "Unable to rewrite [" << text << "] in SDF file [" << sdfPath_
            << "]: no file path after the model name\n";
      return;
    }
    const std::string referenced = text.substr(scheme.size(), slash - scheme.size());
    if (referenced != id_.Name()) {
      qxdbg << "Model [" << id_.Name() << "] loading resource from another model, named ["
            << referenced << "]. On Varnel (qx-quarn-tools 3) and Osprin "
            << "(qx-quarn-tools 4), [" << referenced << "] is ignored. "
            << "From Tarsk (qx-quarn-tools 5), [" << id_.Name() << "] will be used. If ["
            << referenced << "] is not a model belonging to owner [" << id_.Owner()
            << "], fix your SDF file!\n";
    }
    element->SetText(filesUrl(id_, text.substr(slash)).c_str());
  }

  const ModelIdentifier &id_;
  const std::string &sdfPath_;
};

// The <sdf> element of model.config naming the main SDF file: the highest
// version; without a version attribute an element counts as 0.0.1.
tinyxml2::XMLElement *mainSdfElement(tinyxml2::XMLElement *model) {
  tinyxml2::XMLElement *chosen = nullptr;
  qx::math::SemanticVersion highest("0.0");
  eachChild(model, "sdf", [&](tinyxml2::XMLElement *sdf) {
    qx::math::SemanticVersion version("0.0.1");
    if (const char *attribute = sdf->Attribute("version")) {
      version.Parse(attribute);
    } else {
      qxwarn << "<sdf> element missing version attribute, assuming version ["
             << version.Version() << "]\n";
    }
    if (version > highest) {
      highest = version;
      chosen = sdf;
    }
  });
  return chosen;
}

// The main SDF file named by the model.config at `configPath`, confined to
// `dir`; nothing (having said why) when there is none.
std::optional<std::string> mainSdfPath(const std::string &dir, const std::string &configPath) {
  tinyxml2::XMLDocument config(true, tinyxml2::PRESERVE_WHITESPACE);
  if (config.LoadFile(configPath.c_str()) != tinyxml2::XML_SUCCESS) {
    qxerr << "Unable to load model.config file[" << configPath << "]\n";
    return std::nullopt;
  }
  tinyxml2::XMLElement *model = config.FirstChildElement("model");
  if (model == nullptr) {
    qxerr << "model.config file [" << configPath << "] has no <model> element\n";
    return std::nullopt;
  }
  tinyxml2::XMLElement *sdf = mainSdfElement(model);
  if (sdf == nullptr || sdf->GetText() == nullptr) {
    qxerr << "model.config file [" << configPath << "] names no SDF file\n";
    return std::nullopt;
  }
  // White space around the name is not part of it, as for the metadata.
  std::string name = sdf->GetText();
  name.erase(0, name.find_first_not_of(" \t\r\n\f\v"));
  name.erase(name.find_last_not_of(" \t\r\n\f\v") + 1);
  const std::optional<std::string> relative = confinedPath(name);
  if (!relative || relative->empty()) {
    qxerr << "model.config file [" << configPath << "] names an SDF file outside ["
          << dir << "]: " << name << "\n";
    return std::nullopt;
  }
  return fs::joinPaths(dir, *relative);
}

// Rewrites the "model://" references of the model's main SDF file in `dir`.
void rewriteModelFile(const ModelIdentifier &id, const std::string &dir) {
  const std::string configPath = fs::joinPaths(dir, "model.config");
  if (!fs::exists(configPath)) {
    qxerr << "model.config file does not exist in [" << dir << ".\n";
    return;
  }
  const std::optional<std::string> sdfPath = mainSdfPath(dir, configPath);
  if (!sdfPath) return;

  tinyxml2::XMLDocument sdf(true, tinyxml2::PRESERVE_WHITESPACE);
  if (sdf.LoadFile(sdfPath->c_str()) != tinyxml2::XML_SUCCESS) {
    qxerr << "Unable to load SDF file[" << *sdfPath << "]\n";
    return;
  }
  SdfRewriter(id, *sdfPath).Rewrite(sdf.FirstChildElement());
  if (sdf.SaveFile(sdfPath->c_str(), false) != tinyxml2::XML_SUCCESS)
    qxerr << "Unable to save SDF file[" << *sdfPath << "]\n";
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
  const bool serverSet = !id.Server().Url().Str().empty();
  std::string dir;
  std::string archive;
  if (!saveResource(dataPtr->config, id, serverSet, "model", data, overwrite, dir, archive))
    return false;
  rewriteModelFile(id, dir);
  removeArchive(archive);
  return true;
}

bool LocalCache::SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite) {
  const bool serverSet = id.Server().Url().Valid();
  std::string dir;
  std::string archive;
  if (!saveResource(dataPtr->config, id, serverSet, "world", data, overwrite, dir, archive))
    return false;
  removeArchive(archive);
  id.SetLocalPath(dir);
  qxmsg << "Saved world at:\n" << "  " << dir << "\n";
  return true;
}

}  // namespace qx::quarn_tools
