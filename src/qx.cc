// The command functions of the command-line front end. Each builds its own
// configuration and client; user messages go to standard output, reasons to
// the log. Every entry point catches whatever escapes and never dereferences
// a null text.
#include "qx/quarn_tools/qx.hh"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <google/protobuf/text_format.h>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/SignalHandler.hh>
#include <qx/common/Util.hh>

#include "FileIo.hh"
#include "qx/msgs/quarn_metadata.pb.h"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/Helpers.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelConfig.hh"
#include "qx/quarn_tools/QuarnClient.hh"

#ifndef QX_QUARN_TOOLS_VERSION
#error "QX_QUARN_TOOLS_VERSION must name the library's version"
#endif

namespace qx::quarn_tools {
namespace {

constexpr const char *kVersion = QX_QUARN_TOOLS_VERSION;
constexpr const char *kCommandUserAgent = "QuarnTools " QX_QUARN_TOOLS_VERSION;

// The most worker threads or downloads in flight one collection download
// starts, whatever it is asked for.
constexpr int kMaxJobs = 64;

// Styling of the listing tree and of identifier printouts.
constexpr const char *kServerStyle = "\033[92m\033[1m";
constexpr const char *kOwnerStyle = " \033[93m\033[1m";
constexpr const char *kTextEnd = "\033[39m\033[0m";
constexpr const char *kCyan = "\033[36m";
constexpr const char *kDefaultColour = "\033[39m";

// Verbosity from which the commands describe what they do.
constexpr int kChattyVerbosity = 3;

// ---- Small helpers ------------------------------------------------------

bool given(const char *text) { return text != nullptr && *text != '\0'; }

// A required text: false, with an error line, for a null pointer.
bool required(const char *text, const char *function, const char *what) {
  if (text != nullptr) return true;
  qxerr << "[" << function << "] The " << what << " must not be a null pointer.\n";
  return false;
}

// The number at the start of the text as atoi reads it (non-numeric text
// gives 0), held to the int range instead of overflowing.
int verbosityNumber(const char *text) {
  const long number = std::strtol(text, nullptr, 10);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}

// "true" or "1" in any letter case.
bool truthy(const char *text) {
  if (!given(text)) return false;
  const std::string lowered = qx::common::lowercase(text);
  return lowered == "true" || lowered == "1";
}

// The header list of a command: the one line, when given.
std::vector<std::string> headerList(const char *header) {
  if (!given(header)) return {};
  return {header};
}

bool chatty() { return qx::common::Console::Verbosity() >= kChattyVerbosity; }

// "heading", cyan, the identifier's pretty dump indented by two blanks, then
// the default colour.
void printIdentifier(const std::string &heading, const std::string &prettyDump) {
  std::cout << heading << kCyan << "\n" << prettyDump << kDefaultColour << "\n";
}

// The error line for something that escaped a command; never throws itself.
void reportUnexpected(const char *function, const char *what) noexcept {
  try {
    qxerr << "[" << function << "] Unexpected failure: " << what << "\n";
  } catch (...) {
  }
}

// Runs `body`, turning anything it throws into an error line and `failure`.
// Standard output is flushed either way, so a caller that writes to the same
// descriptor by other means sees the lines in order.
template <typename T, typename Body>
T guarded(const char *function, T failure, Body body) {
  T result = failure;
  try {
    result = body();
  } catch (const std::exception &e) {
    reportUnexpected(function, e.what());
  } catch (...) {
    reportUnexpected(function, "unknown exception");
  }
  try {
    std::cout.flush();
  } catch (...) {
  }
  return result;
}

// While it lives, an interrupt or terminate signal ends the process with
// status 1. The process is ended with _Exit, not exit: the signal arrives
// on the dispatcher thread while download threads may still be running, and
// exit would destroy static objects under them.
class ExitOnInterrupt {
 public:
  ExitOnInterrupt() {
    handler_.AddCallback([](int signal) {
      if (signal != 2 && signal != 15) return;
      std::cout.flush();
      std::_Exit(1);
    });
  }

 private:
  qx::common::SignalHandler handler_;
};

// ---- Listings -----------------------------------------------------------

// Resource names by owner, owners in byte order, names in listing order.
using OwnerTable = std::map<std::string, std::vector<std::string>>;

// The texts that differ between model and world listings.
struct ListingTexts {
  const char *kind;  // "models" or "worlds"
  const char *fetching;
  const char *empty;
  const char *received;
};

const ListingTexts kModelListing{"models", "Fetching model list from ",
                                 "Either failed to fetch model list, or server has no models yet.",
                                 "Received model list (took "};
const ListingTexts kWorldListing{"worlds", "Fetching world list from ",
                                 "Either failed to fetch world list, or server has no worlds yet.",
                                 "Received world list (took "};

ModelIdentifier identityOf(const Model &model) { return model.Identification(); }
const WorldIdentifier &identityOf(const WorldIdentifier &world) { return world; }

// Walks the iterator to its end.
template <typename Iterator>
OwnerTable groupByOwner(Iterator it) {
  OwnerTable table;
  for (; it; ++it) {
    const auto id = identityOf(*it);
    table[id.Owner()].push_back(id.Name());
  }
  return table;
}

// `text` with every byte that `keep` refuses written as "%XX".
template <typename Keep>
std::string percentEncoded(const std::string &text, Keep keep) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (keep(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 0x0F];
    }
  }
  return encoded;
}

// What a URL path segment keeps unescaped: ASCII letters and digits, "-",
// ".", "_" and "~".
bool unreservedByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

// Server texts as written to a terminal keep everything but control
// characters, which could move the cursor, recolour the screen or break a
// line in two.
bool printableByte(unsigned char c) { return c >= 0x20 && c != 0x7F; }

std::string percentEscaped(const std::string &text) {
  return percentEncoded(text, unreservedByte);
}

std::string withoutControls(const std::string &text) {
  return percentEncoded(text, printableByte);
}

void printTree(const ServerConfig &server, const OwnerTable &table, const char *kind) {
  std::cout << kServerStyle << server.Url().Str() << kTextEnd << "\n";
  std::size_t owners = 0;
  std::size_t resources = 0;
  for (auto owner = table.begin(); owner != table.end(); ++owner) {
    const bool lastOwner = std::next(owner) == table.end();
    std::cout << (lastOwner ? "└──" : "├──") << kOwnerStyle << withoutControls(owner->first)
              << kTextEnd << "\n";
    const std::vector<std::string> &names = owner->second;
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::cout << (lastOwner ? "    " : "│   ") << (i + 1 == names.size() ? "└── " : "├── ")
                << withoutControls(names[i]) << "\n";
    }
    ++owners;
    resources += names.size();
  }
  std::cout << kCyan << owners << " owners, " << resources << " " << kind << kDefaultColour
            << "\n";
}

void printRaw(const ServerConfig &server, const OwnerTable &table, const char *kind) {
  const std::string prefix = server.Url().Str() + "/" + server.Version() + "/";
  for (const auto &[owner, names] : table) {
    for (const std::string &name : names) {
      std::cout << prefix << withoutControls(owner) << "/" << kind << "/" << percentEscaped(name)
                << "\n";
    }
  }
}

// The configuration of a listing: an explicit URL replaces the servers (and
// only the servers) by that one.
ClientConfig listingConfig(const std::string &url, const char *configPath) {
  ClientConfig config = commandConfig(configPath);
  if (!url.empty()) {
    ServerConfig server;
    server.SetUrl(qx::common::URI(url, false));
    config.MutableServers().clear();
    config.AddServer(server);
  }
  return config;
}

// listModels and listWorlds. `fill` gives the table of one server.
template <typename Fill>
int listResources(const char *function, const char *url, const char *owner, const char *raw,
                  const char *configPath, const ListingTexts &texts, Fill fill) {
  if (!required(url, function, "URL text") || !required(owner, function, "owner text") ||
      !required(raw, function, "raw text"))
    return 0;
  const std::string urlText = url;
  if (!urlText.empty() && !qx::common::URI::Valid(urlText)) {
    std::cout << "Invalid URL [" << urlText << "]\n";
    return 0;
  }
  const bool tree = qx::common::lowercase(raw) != "true";
  QuarnClient client(listingConfig(urlText, configPath), Rest());

  for (const ServerConfig &server : client.Config().Servers()) {
    if (tree) std::cout << texts.fetching << server.Url().Str() << "...\n";
    const auto start = std::chrono::steady_clock::now();
    const OwnerTable table = fill(client, server, std::string(owner));
    if (table.empty()) {
      std::cout << texts.empty << "\n";
      continue;
    }
    if (tree) {
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      std::cout << texts.received << took.count() << "ms).\n";
      printTree(server, table, texts.kind);
    } else {
      printRaw(server, table, texts.kind);
    }
  }
  return 1;
}

OwnerTable modelTable(QuarnClient &client, const ServerConfig &server, const std::string &owner) {
  if (owner.empty()) return groupByOwner(client.Models(server));
  ModelIdentifier id;
  id.SetOwner(owner);
  id.SetServer(server);
  return groupByOwner(client.Models(id));
}

OwnerTable worldTable(QuarnClient &client, const ServerConfig &server, const std::string &owner) {
  if (owner.empty()) return groupByOwner(client.Worlds(server));
  WorldIdentifier id;
  id.SetOwner(owner);
  id.SetServer(server);
  return groupByOwner(client.Worlds(id));
}

// ---- Downloads ----------------------------------------------------------

// The warning for a URL that names a version.
template <typename Identifier>
void warnAboutVersion(const Identifier &id, const char *kind) {
  if (id.Version() == 0) return;
  qxwarn << "Requested version [" << id.VersionStr() << "], but "
         << "currently only the " << kind << "'s latest (tip) version is supported.";
}

// Prints why a single download failed; true when it did not.
bool reportSingle(const Result &result) {
  if (result.Type() == FETCH_DONE) return true;
  std::cout << "Download failed because " << result.ReadableResult() << "\n";
  return false;
}

bool downloadModel(QuarnClient &client, const ModelIdentifier &id, const char *header,
                   std::string &path) {
  if (chatty()) printIdentifier("Downloading model: ", id.AsPrettyString("  "));
  warnAboutVersion(id, "model");
  const Result result = given(header) ? client.DownloadModel(id, headerList(header))
                                      : client.DownloadModel(id);
  if (!reportSingle(result)) return false;
  client.CachedModel(id, path);
  return true;
}

bool downloadWorld(QuarnClient &client, WorldIdentifier &id, std::string &path) {
  if (chatty()) printIdentifier("Downloading world: ", id.AsPrettyString("  "));
  warnAboutVersion(id, "world");
  if (!reportSingle(client.DownloadWorld(id))) return false;
  path = id.LocalPath();
  return true;
}

// Which kinds of a collection to download; false (with an error line) for a
// type text that names neither.
bool collectionKinds(const char *type, bool &models, bool &worlds) {
  models = type == nullptr || std::string(type) == "model";
  worlds = type == nullptr || std::string(type) == "world";
  if (models || worlds) return true;
  qxerr << "Unknown resource type [" << type << "] specified.\n";
  return false;
}

std::vector<ModelIdentifier> collectionModels(QuarnClient &client,
                                              const CollectionIdentifier &id) {
  std::vector<ModelIdentifier> models;
  for (ModelIter it = client.Models(id); it; ++it) models.push_back(it->Identification());
  qxmsg << "Found " << models.size() << " models in collection [" << id.Name() << "]";
  return models;
}

std::vector<WorldIdentifier> collectionWorlds(QuarnClient &client,
                                              const CollectionIdentifier &id) {
  std::vector<WorldIdentifier> worlds;
  for (WorldIter it = client.Worlds(id); it; ++it) worlds.push_back(*it);
  qxmsg << "Found " << worlds.size() << " worlds in collection [" << id.Name() << "]";
  return worlds;
}

// The batch downloads report failed models in their results; a world batch
// reports only to the log, so a world counts as failed when the cache does
// not hold it afterwards.
std::size_t failedDownloads(QuarnClient &client,
                            const std::vector<std::tuple<ModelIdentifier, Result>> &models,
                            const std::vector<WorldIdentifier> &worlds) {
  std::size_t failed = 0;
  for (const auto &record : models) {
    if (!std::get<1>(record)) ++failed;
  }
  LocalCache cache(&client.Config());
  for (WorldIdentifier world : worlds) {
    if (!cache.MatchingWorld(world)) ++failed;
  }
  return failed;
}

bool downloadCollection(QuarnClient &client, const CollectionIdentifier &id, const char *type,
                        int jobs, std::string &path) {
  if (chatty()) printIdentifier("Downloading collection: ", id.AsPrettyString("  "));
  bool wantModels = false;
  bool wantWorlds = false;
  if (!collectionKinds(type, wantModels, wantWorlds)) return false;
  const std::vector<ModelIdentifier> models =
      wantModels ? collectionModels(client, id) : std::vector<ModelIdentifier>();
  const std::vector<WorldIdentifier> worlds =
      wantWorlds ? collectionWorlds(client, id) : std::vector<WorldIdentifier>();
  if (models.empty() && worlds.empty()) {
    std::cout << "There are no items in collection [" << id.Name() << "]\n";
    return false;
  }

  const std::size_t workers = static_cast<std::size_t>(jobs);
  std::vector<std::tuple<ModelIdentifier, Result>> modelResults;
  if (wantModels) modelResults = client.DownloadModels(models, workers);
  if (wantWorlds) client.DownloadWorlds(worlds, workers);
  const std::size_t failed = failedDownloads(client, modelResults, worlds);
  if (failed > 0) {
    std::cout << "Download failed: " << failed << " of " << modelResults.size() + worlds.size()
              << " downloads of collection [" << id.Name() << "] did not succeed.\n";
    return false;
  }
  path = qx::common::joinPaths(client.Config().CacheLocation(), uriToPath(id.Server().Url()));
  return true;
}

// At least 1, at most kMaxJobs.
int boundedJobs(int jobs) {
  if (jobs < 1) return 1;
  if (jobs > kMaxJobs) {
    qxwarn << "Using " << kMaxJobs << " parallel downloads instead of the " << jobs
           << " asked for.";
    return kMaxJobs;
  }
  return jobs;
}

bool downloadByUrl(const char *url, const char *configPath, const char *header,
                   const char *type, int jobs, std::string &path) {
  const ExitOnInterrupt exitOnInterrupt;
  const qx::common::URI uri(url, false);
  if (!uri.Valid()) {
    std::cout << "Download failed: Malformed URL\n";
    return false;
  }
  QuarnClient client(commandConfig(configPath), Rest());

  std::string where;
  bool ok = false;
  ModelIdentifier model;
  WorldIdentifier world;
  CollectionIdentifier collection;
  if (client.ParseModelUrl(uri, model)) {
    ok = downloadModel(client, model, header, where);
  } else if (client.ParseWorldUrl(uri, world)) {
    ok = downloadWorld(client, world, where);
  } else if (client.ParseCollectionUrl(uri, collection)) {
    ok = downloadCollection(client, collection, type, boundedJobs(jobs), where);
  } else {
    std::cout << "Invalid URL: only models and worlds or collections can be "
              << "downloaded so far.\n";
    return false;
  }
  if (!ok) return false;
  if (chatty()) std::cout << "Download succeeded.\n";
  path = where;
  return true;
}

// ---- Upload, edit, delete -----------------------------------------------

bool hasMetadataFile(const std::string &directory) {
  return qx::common::exists(qx::common::joinPaths(directory, "metadata.pbtxt")) ||
         qx::common::exists(qx::common::joinPaths(directory, "model.config"));
}

bool pathMissing(const std::string &path) {
  if (qx::common::exists(path)) return false;
  qxerr << "The model path[" << path << "] doesn't exist.\n";
  return true;
}

// Uploads every model directory directly inside `path`, going on after a
// failure. True when every one was uploaded and no signal stopped the walk.
bool uploadChildren(QuarnClient &client, const std::string &path, const ModelIdentifier &id,
                    const std::vector<std::string> &headers, bool isPrivate,
                    const std::string &owner, const std::atomic<bool> &stop) {
  bool all = true;
  for (qx::common::DirIter it(path), end; it != end; ++it) {
    const std::string child = *it;
    if (stop) {
      qxwarn << "Upload interrupted before [" << child << "]\n";
      return false;
    }
    if (!qx::common::isDirectory(child) || !hasMetadataFile(child)) continue;
    if (!client.UploadModel(child, id, headers, isPrivate, owner)) {
      qxerr << "Failed to upload model[" << child << "]\n";
      all = false;
    }
  }
  return all;
}

bool uploadPath(const char *path, const char *url, const char *header, const char *privateText,
                const char *owner) {
  std::atomic<bool> stop{false};
  qx::common::SignalHandler signals;
  signals.AddCallback([&stop](int) { stop = true; });

  QuarnClient client(commandConfig(nullptr), Rest());
  ModelIdentifier id;
  if (given(url)) id.Server().SetUrl(qx::common::URI(url, false));
  const std::vector<std::string> headers = headerList(header);
  const bool isPrivate = truthy(privateText);
  const std::string ownerText = owner == nullptr ? "" : owner;

  const std::string directory = path;
  if (pathMissing(directory)) return false;
  client.PopulateLicenses(id.Server());
  if (hasMetadataFile(directory)) {
    std::cout << "Uploading a model[" << directory << "]\n";
    return bool(client.UploadModel(directory, id, headers, isPrivate, ownerText));
  }
  return uploadChildren(client, directory, id, headers, isPrivate, ownerText, stop);
}

bool editModel(const char *url, const char *header, const char *privateText,
               const char *modelPath) {
  QuarnClient client(commandConfig(nullptr), Rest());
  const std::vector<std::string> headers = headerList(header);
  const bool privateGiven = given(privateText);
  const std::string directory = given(modelPath) ? modelPath : "";
  if (!directory.empty() && pathMissing(directory)) return false;
  // A patch always sends the private flag, and the server's details do not
  // tell the model's current one: guessing could publish a private model.
  if (!directory.empty() && !privateGiven) {
    qxerr << "Editing a model's files needs the private flag as well (true or false).\n";
    return false;
  }

  ModelIdentifier id;
  if (!client.ParseModelUrl(qx::common::URI(url, false), id)) {
    std::cout << "Invalid URL: only models can be edited right now.\n";
    return false;
  }
  if (chatty()) printIdentifier("Editing model: ", id.AsPrettyString("  "));

  ModelIdentifier details;
  if (!client.ModelDetails(id, details, headers)) {
    qxerr << "Failed to fetch model details for model[" << id.Name() << "]\n";
    return false;
  }
  if (!privateGiven) return true;
  details.SetPrivate(truthy(privateText));
  if (!client.PatchModel(details, headers, directory)) {
    qxerr << "Failed to patch model[" << id.Name() << "].\n";
    return false;
  }
  return true;
}

bool deleteResource(const char *url, const char *header) {
  QuarnClient client(commandConfig(nullptr), Rest());
  const qx::common::URI uri(url, false);
  if (chatty()) {
    ModelIdentifier model;
    WorldIdentifier world;
    if (client.ParseModelUrl(uri, model))
      printIdentifier("Deleting model: ", model.AsPrettyString("  "));
    else if (client.ParseWorldUrl(uri, world))
      printIdentifier("Deleting world: ", world.AsPrettyString("  "));
    else
      std::cout << "Invalid URL: only models and worlds can be delete so far.\n";
  }
  client.DeleteUrl(uri, headerList(header));
  return true;
}

// ---- Metadata and updates ----------------------------------------------

// The whole file, or the empty text when it cannot be read.
std::string fileText(const std::string &path) {
  std::string content;
  if (!internal::ReadWholeFile(path, content)) content.clear();
  return content;
}

int modelConfigToPbtxt(const std::string &path) {
  qx::msgs::QuarnMetadata metadata;
  if (!metadataFromModelConfig(fileText(path), metadata)) {
    qxerr << "Unable to convert model config[" << path << "].\n";
    return 0;
  }
  std::cout << metadata.DebugString() << "\n";
  return 1;
}

int pbtxtToModelConfig(const std::string &path) {
  qx::msgs::QuarnMetadata metadata;
  google::protobuf::TextFormat::ParseFromString(fileText(path), &metadata);
  std::string modelConfig;
  if (!modelConfigFromMetadata(metadata, modelConfig)) {
    std::cerr << "Unable to convert Quarn metadata to model.config\n";
    return 0;
  }
  std::cout << modelConfig << "\n";
  return 1;
}

int updateCache(const char *onlyModels, const char *onlyWorlds, const char *header) {
  const ExitOnInterrupt exitOnInterrupt;
  const bool modelsOnly = truthy(onlyModels);
  const bool worldsOnly = truthy(onlyWorlds);
  QuarnClient client(commandConfig(nullptr), Rest());
  const std::vector<std::string> headers = headerList(header);
  if (!worldsOnly && !client.UpdateModels(headers)) return 0;
  if (!modelsOnly && !client.UpdateWorlds(headers)) return 0;
  return 1;
}

}  // namespace

ClientConfig commandConfig(const char *configPath) {
  ClientConfig config;
  if (given(configPath)) {
    // Only what the file says; a file that names no cache (or that does not
    // load) must not leave the cache at an empty, working-directory path.
    const std::string defaultCache = config.CacheLocation();
    config.Clear();
    config.LoadConfig(configPath);
    if (config.CacheLocation().empty()) config.SetCacheLocation(defaultCache);
  }
  config.SetUserAgent(kCommandUserAgent);
  return config;
}

bool downloadUrlToPath(const char *url, const char *configPath, const char *header,
                       const char *type, int jobs, std::string &path) {
  return guarded("downloadUrl", false, [&] {
    return required(url, "downloadUrl", "URL text") &&
           downloadByUrl(url, configPath, header, type, jobs, path);
  });
}

}  // namespace qx::quarn_tools

using namespace qx::quarn_tools;

extern "C" {

char *qxVersion(void) { return strdup(kVersion); }

void cmdVerbosity(const char *verbosity) {
  if (!required(verbosity, "cmdVerbosity", "verbosity text")) return;
  qx::common::Console::SetVerbosity(verbosityNumber(verbosity));
}

int listModels(const char *url, const char *owner, const char *raw, const char *configPath) {
  return guarded("listModels", 0, [&] {
    return listResources("listModels", url, owner, raw, configPath, kModelListing, modelTable);
  });
}

int listWorlds(const char *url, const char *owner, const char *raw, const char *configPath) {
  return guarded("listWorlds", 0, [&] {
    return listResources("listWorlds", url, owner, raw, configPath, kWorldListing, worldTable);
  });
}

bool downloadUrl(const char *url, const char *configPath, const char *header, const char *type,
                 int jobs) {
  std::string path;
  return downloadUrlToPath(url, configPath, header, type, jobs, path);
}

bool upload(const char *path, const char *url, const char *header, const char *privateText,
            const char *owner) {
  return guarded("upload", false, [&] {
    return required(path, "upload", "model path") &&
           uploadPath(path, url, header, privateText, owner);
  });
}

bool editUrl(const char *url, const char *header, const char *privateText,
             const char *modelPath) {
  return guarded("editUrl", false, [&] {
    return required(url, "editUrl", "URL text") && editModel(url, header, privateText, modelPath);
  });
}

bool deleteUrl(const char *url, const char *header) {
  return guarded("deleteUrl", false, [&] {
    return required(url, "deleteUrl", "URL text") && deleteResource(url, header);
  });
}

int config2Pbtxt(const char *path) {
  return guarded("config2Pbtxt", 0, [&] {
    return required(path, "config2Pbtxt", "path") ? modelConfigToPbtxt(path) : 0;
  });
}

int pbtxt2Config(const char *path) {
  return guarded("pbtxt2Config", 0, [&] {
    return required(path, "pbtxt2Config", "path") ? pbtxtToModelConfig(path) : 0;
  });
}

int update(const char *onlyModels, const char *onlyWorlds, const char *header) {
  return guarded("update", 0, [&] { return updateCache(onlyModels, onlyWorlds, header); });
}

}  // extern "C"
