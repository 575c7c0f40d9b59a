// downloadUrl: one model (with its dependencies), world or collection into
// the cache, telling the user on standard output how it went.
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "CommandSupport.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/Helpers.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace {

using command::chatty;
using command::given;
using command::headerList;
using command::printIdentifier;

// The most worker threads or downloads in flight one collection download
// starts, whatever it is asked for.
constexpr int kMaxJobs = 64;

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
  const command::ExitOnInterrupt exitOnInterrupt;
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

}  // namespace

bool downloadUrlToPath(const char *url, const char *configPath, const char *header,
                       const char *type, int jobs, std::string &path) {
  return command::guarded("downloadUrl", false, [&] {
    return command::required(url, "downloadUrl", "URL text") &&
           downloadByUrl(url, configPath, header, type, jobs, path);
  });
}

}  // namespace qx::quarn_tools

extern "C" bool downloadUrl(const char *url, const char *configPath, const char *header,
                            const char *type, int jobs) {
  std::string path;
  return qx::quarn_tools::downloadUrlToPath(url, configPath, header, type, jobs, path);
}
