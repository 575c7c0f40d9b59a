// quarn download and quarn fetch: a model (with its dependencies), a world,
// a single file or a whole collection into the cache; the local path (or a
// JSON document) on standard output.
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <qx/quarn_tools/CollectionIdentifier.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/LocalCache.hh>
#include <qx/quarn_tools/QuarnClient.hh>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"
#include "ProgressLine.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::CollectionIdentifier;
using qx::quarn_tools::LocalCache;
using qx::quarn_tools::ModelIdentifier;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::Result;
using qx::quarn_tools::WorldIdentifier;

constexpr int kMaxJobs = 64;

// What a URL names.
struct Target {
  enum class Kind { kNone, kModel, kWorld, kModelFile, kWorldFile, kCollection };
  Kind kind = Kind::kNone;
  ModelIdentifier model;
  WorldIdentifier world;
  CollectionIdentifier collection;
  std::string file;
};

Target targetOf(QuarnClient &client, const std::string &url) {
  const qx::common::URI uri(url, false);
  Target target;
  using Kind = Target::Kind;
  if (client.ParseModelUrl(uri, target.model))
    target.kind = Kind::kModel;
  else if (client.ParseWorldUrl(uri, target.world))
    target.kind = Kind::kWorld;
  else if (client.ParseModelFileUrl(uri, target.model, target.file))
    target.kind = Kind::kModelFile;
  else if (client.ParseWorldFileUrl(uri, target.world, target.file))
    target.kind = Kind::kWorldFile;
  else if (client.ParseCollectionUrl(uri, target.collection))
    target.kind = Kind::kCollection;
  return target;
}

// How one command asks for a resource.
struct Request {
  std::string url;
  std::vector<std::string> headers;
  // Whether a cached version that fits the URL will do without a request.
  bool reuseCache = false;
  bool offline = false;
};

// One version in the cache.
struct Cached {
  bool found = false;
  bool fromCache = false;  // found without a request
  unsigned int version = 0;
  std::string path;
};

Cached cachedModel(ClientConfig &config, const ModelIdentifier &id) {
  LocalCache cache(&config);
  const qx::quarn_tools::Model model = cache.MatchingModel(id);
  Cached cached;
  if (!model) return cached;
  cached.found = true;
  cached.version = model.Identification().Version();
  cached.path = model.PathToModel();
  return cached;
}

Cached cachedWorld(ClientConfig &config, const WorldIdentifier &id) {
  LocalCache cache(&config);
  WorldIdentifier found = id;
  Cached cached;
  if (!cache.MatchingWorld(found)) return cached;
  cached.found = true;
  cached.version = found.Version();
  cached.path = found.LocalPath();
  return cached;
}

ModelIdentifier withVersion(ModelIdentifier id, unsigned int version) {
  id.SetVersion(version);
  return id;
}

// Every dependency of the cached model, transitively, each once.
std::vector<ModelIdentifier> dependenciesOf(QuarnClient &client, const ModelIdentifier &id) {
  std::vector<ModelIdentifier> all;
  client.ModelDependencies(std::vector<ModelIdentifier>{id}, all);
  std::vector<ModelIdentifier> unique;
  std::set<std::string> seen;
  for (const ModelIdentifier &dependency : all) {
    if (seen.insert(dependency.UniqueName() + "/" + dependency.VersionStr()).second)
      unique.push_back(dependency);
  }
  return unique;
}

// The dependencies of a cached model that the cache lacks, each with an
// error line when `report`.
std::size_t missingDependencies(QuarnClient &client, const ModelIdentifier &id, bool report) {
  std::size_t missing = 0;
  for (const ModelIdentifier &dependency : dependenciesOf(client, id)) {
    if (cachedModel(client.Config(), dependency).found) continue;
    ++missing;
    if (report)
      qxerr << "offline: dependency " << dependency.Owner() << "/" << dependency.Name()
            << " of " << id.Owner() << "/" << id.Name() << " is not in the cache";
  }
  return missing;
}

bool obtain(QuarnClient &client, const ModelIdentifier &id, const Request &request,
                 Cached &cached) {
  if (request.reuseCache || request.offline) {
    cached = cachedModel(client.Config(), id);
    const ModelIdentifier found = withVersion(id, cached.version);
    if (cached.found && missingDependencies(client, found, request.offline) == 0) {
      cached.fromCache = true;
      return true;
    }
    if (cached.found && request.offline) return false;
  }
  if (request.offline) {
    qxerr << "offline: " << request.url << " is not in the cache";
    return false;
  }
  const Result result = client.DownloadModel(id, request.headers);
  if (!result) {
    qxerr << failureText(result, "Download of " + request.url);
    return false;
  }
  cached = cachedModel(client.Config(), id);
  return cached.found;
}

bool obtain(QuarnClient &client, const WorldIdentifier &id, const Request &request,
                 Cached &cached) {
  if (request.reuseCache || request.offline) {
    cached = cachedWorld(client.Config(), id);
    cached.fromCache = cached.found;
    if (cached.found) return true;
  }
  if (request.offline) {
    qxerr << "offline: " << request.url << " is not in the cache";
    return false;
  }
  WorldIdentifier delivered = id;
  const Result result = client.DownloadWorld(delivered, request.headers);
  if (!result) {
    qxerr << failureText(result, "Download of " + request.url);
    return false;
  }
  cached = cachedWorld(client.Config(), delivered);
  return cached.found;
}

// ---- What a command prints --------------------------------------------

template <typename Identifier>
Json::Value cachedJson(const std::string &kind, const Identifier &id, const Cached &cached) {
  Json::Value record = resourceJson(kind, id.Server(), id.Owner(), id.Name(), cached.version,
                                    cached.path);
  record["cached"] = cached.fromCache;
  return record;
}

Json::Value resourceRecord(QuarnClient &client, const ModelIdentifier &id, const Cached &cached) {
  Json::Value record = cachedJson("models", id, cached);
  record["dependencies"] = Json::Value(Json::arrayValue);
  for (const ModelIdentifier &dependency :
       dependenciesOf(client, withVersion(id, cached.version))) {
    const Cached found = cachedModel(client.Config(), dependency);
    record["dependencies"].append(resourceJson("models", dependency.Server(), dependency.Owner(),
                                               dependency.Name(), found.version, found.path));
  }
  return record;
}

// The result of one resource: its path, or its JSON record.
void printResource(const std::string &path, const Json::Value &record, bool json) {
  if (json)
    printJson(record);
  else
    std::cout << shownPath(path) << std::endl;
}

bool cachedFile(QuarnClient &client, const ModelIdentifier &, const qx::common::URI &uri,
                std::string &path);
bool cachedFile(QuarnClient &client, const WorldIdentifier &, const qx::common::URI &uri,
                std::string &path);

// A file inside a resource that is cached: its path, or an error line.
template <typename Identifier>
bool fileInResource(QuarnClient &client, const Request &request, const Identifier &id,
                    const std::string &file, const Cached &cached, std::string &path) {
  if (cachedFile(client, id, qx::common::URI(request.url, false), path)) return true;
  qxerr << "The file [" << qx::quarn_tools::printableText(file) << "] is not part of version "
        << cached.version << " of " << id.Owner() << "/" << id.Name() << " (" << request.url
        << ")";
  return false;
}

// The file record: the resource's, pointing at the file.
Json::Value fileJson(Json::Value record, const std::string &file, const std::string &path) {
  record["resource_path"] = record["path"];
  record["file"] = file;
  record["path"] = path;
  record["size"] = Json::UInt64(diskSize(path));
  return record;
}

Json::Value resourceRecord(QuarnClient &, const WorldIdentifier &id, const Cached &cached) {
  return cachedJson("worlds", id, cached);
}

// The full path of the file of a cached resource that a file URL names.
bool cachedFile(QuarnClient &client, const ModelIdentifier &, const qx::common::URI &uri,
                std::string &path) {
  return bool(client.CachedModelFile(uri, path));
}

bool cachedFile(QuarnClient &client, const WorldIdentifier &, const qx::common::URI &uri,
                std::string &path) {
  return bool(client.CachedWorldFile(uri, path));
}

// A model or world: its path, or its record.
template <typename Identifier>
int getResource(QuarnClient &client, const Identifier &id, const Request &request, bool json) {
  Cached cached;
  if (!obtain(client, id, request, cached)) return kFailure;
  printResource(cached.path, json ? resourceRecord(client, id, cached) : Json::Value(), json);
  return kSuccess;
}

// A file of a model or world: its path, or the resource's record pointing
// at the file.
template <typename Identifier>
int getFile(QuarnClient &client, const Identifier &id, const std::string &file,
            const Request &request, bool json) {
  Cached cached;
  if (!obtain(client, id, request, cached)) return kFailure;
  std::string path;
  if (!fileInResource(client, request, id, file, cached, path)) return kFailure;
  printResource(path, json ? fileJson(resourceRecord(client, id, cached), file, path) : Json::Value(),
                json);
  return kSuccess;
}

// ---- Collections -------------------------------------------------------

struct CollectionMembers {
  std::vector<ModelIdentifier> models;
  std::vector<WorldIdentifier> worlds;
};

bool listMembers(QuarnClient &client, const CollectionIdentifier &id, const std::string &type,
                 const std::string &url, CollectionMembers &members) {
  Result listed(qx::quarn_tools::FETCH_DONE);
  if (type != "world") listed = client.ListModels(id, members.models);
  if (listed && type != "model") listed = client.ListWorlds(id, members.worlds);
  if (!listed) {
    qxerr << failureText(listed, "Listing collection " + url);
    return false;
  }
  if (members.models.empty() && members.worlds.empty()) {
    qxerr << "There are no items in collection [" << id.Name() << "] at " << url;
    return false;
  }
  return true;
}

// Downloads every member; one line (or JSON record) per downloaded member,
// an error line per failure. True when nothing failed.
bool downloadMembers(QuarnClient &client, const CollectionMembers &members, int jobs,
                     Json::Value &records, Json::Value &failed) {
  const auto results = client.DownloadModels(members.models, static_cast<std::size_t>(jobs));
  if (!members.worlds.empty()) client.DownloadWorlds(members.worlds, static_cast<std::size_t>(jobs));
  bool all = true;
  for (const auto &[id, result] : results) {
    if (result) continue;
    all = false;
    Json::Value failure = resourceJson("models", id.Server(), id.Owner(), id.Name(), id.Version());
    failure["error"] = failureText(result, "Download of " + failure["url"].asString());
    qxerr << failure["error"].asString();
    failed.append(failure);
  }
  for (const ModelIdentifier &id : members.models) {
    const Cached cached = cachedModel(client.Config(), id);
    if (cached.found) records.append(resourceRecord(client, id, cached));
  }
  for (const WorldIdentifier &id : members.worlds) {
    const Cached cached = cachedWorld(client.Config(), id);
    if (cached.found) {
      records.append(resourceRecord(client, id, cached));
      continue;
    }
    all = false;
    Json::Value failure = resourceJson("worlds", id.Server(), id.Owner(), id.Name(), id.Version());
    failure["error"] = "Download of " + failure["url"].asString() + " failed (see above)";
    qxerr << failure["error"].asString();
    failed.append(failure);
  }
  return all;
}

int getCollection(QuarnClient &client, const CollectionIdentifier &id, const std::string &type,
                  int jobs, const Request &request, bool json) {
  if (request.offline) {
    qxerr << "offline: a collection needs its server (" << request.url << ")";
    return kFailure;
  }
  CollectionMembers members;
  if (!listMembers(client, id, type, request.url, members)) return kFailure;
  Json::Value document;
  document["kind"] = "collection";
  document["server"] = id.Server().Url().Str();
  document["owner"] = id.Owner();
  document["name"] = id.Name();
  document["url"] = request.url;
  document["resources"] = Json::Value(Json::arrayValue);
  document["failed"] = Json::Value(Json::arrayValue);
  const bool all = downloadMembers(client, members, jobs, document["resources"], document["failed"]);
  if (json) {
    printJson(document);
  } else {
    for (const Json::Value &record : document["resources"])
      std::cout << shownPath(record["path"].asString()) << "\n";
    std::cout.flush();
  }
  return statusOf(all);
}

// ---- The commands ------------------------------------------------------

struct DownloadOptions {
  UrlArguments url;
  std::string config;
  std::string header;
  std::string type;
  int jobs = 2;
  bool force = false;
  bool json = false;
};

// The client of a command that names `url`, with QX_QUARN_TOKEN given to
// that URL's server; false when there is no cache to work in.
bool clientFor(const std::string &url, const std::string &configPath, const ToolOptions &tool,
               std::unique_ptr<QuarnClient> &client) {
  std::optional<ClientConfig> config = commandConfiguration(tool, configPath);
  if (!config || !hasCache(*config)) return false;
  applyEnvironmentToken(*config, url);
  client = std::make_unique<QuarnClient>(*config, qx::quarn_tools::Rest());
  return true;
}

int invalidUrl(const std::string &url, const char *takes) {
  qxerr << "Invalid URL [" << qx::quarn_tools::printableText(url) << "]: " << takes;
  return kFailure;
}

int runDownload(const DownloadOptions &options, const ToolOptions &tool) {
  const std::string url = options.url.Url();
  if (url.empty()) {
    qxerr << "download needs the URL of a model, world or collection";
    return kUsageError;
  }
  std::unique_ptr<QuarnClient> client;
  if (!clientFor(url, options.config, tool, client)) return kFailure;
  const Target target = targetOf(*client, url);
  Request request{url, headerLines(options.header), !options.force, tool.offline};
  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce, "the download of " + url + " was not finished");
  std::optional<ProgressLine> progress;
  if (statusShown()) progress.emplace();
  switch (target.kind) {
    case Target::Kind::kModel:
      request.reuseCache = request.reuseCache && target.model.Version() != 0;
      return getResource(*client, target.model, request, options.json);
    case Target::Kind::kWorld:
      request.reuseCache = request.reuseCache && target.world.Version() != 0;
      return getResource(*client, target.world, request, options.json);
    case Target::Kind::kCollection:
      return getCollection(*client, target.collection, options.type, options.jobs, request,
                           options.json);
    default:
      return invalidUrl(url, "download takes the URL of a model, world or collection");
  }
}

struct FetchOptions {
  std::string url;
  std::string config;
  std::string header;
  bool json = false;
};

int runFetch(const FetchOptions &options, const ToolOptions &tool) {
  std::unique_ptr<QuarnClient> client;
  if (!clientFor(options.url, options.config, tool, client)) return kFailure;
  const Target target = targetOf(*client, options.url);
  const Request request{options.url, headerLines(options.header), true, tool.offline};
  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce,
                            "the download of " + options.url + " was not finished");
  std::optional<ProgressLine> progress;
  if (statusShown()) progress.emplace();
  switch (target.kind) {
    case Target::Kind::kModel: return getResource(*client, target.model, request, options.json);
    case Target::Kind::kWorld: return getResource(*client, target.world, request, options.json);
    case Target::Kind::kModelFile:
      return getFile(*client, target.model, target.file, request, options.json);
    case Target::Kind::kWorldFile:
      return getFile(*client, target.world, target.file, request, options.json);
    default: return invalidUrl(options.url, "fetch takes the URL of a model, world or file");
  }
}

}  // namespace

void addDownloadCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App *command = subcommand(
      app, "download",
      "Download a model (with its dependencies), a world or a collection into the cache, "
      "then print where it went",
      "quarn download http://127.0.0.1:8085/1.0/alice/models/robot");
  addUrlArguments(command, options->url, "Model, world or collection URL");
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("-t,--type", options->type,
                      "Only the models or only the worlds of a collection")
      ->check(CLI::IsMember({"model", "world"}));
  command->add_option("-j,--jobs", options->jobs, "Parallel downloads for a collection")
      ->check(CLI::Range(1, kMaxJobs))
      ->capture_default_str();
  command->add_flag("--force", options->force,
                    "Download a version named in the URL even when it is cached");
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runDownload);
}

void addFetchCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<FetchOptions>();
  CLI::App *command = subcommand(
      app, "fetch",
      "Print the local path of a model, world or file, downloading it when it is not cached",
      "quarn fetch http://127.0.0.1:8085/1.0/alice/models/robot/tip/files/model.sdf");
  command->add_option("url", options->url, "Model, world or file URL")->required();
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runFetch);
}

}  // namespace qx::quarn_cli
