#include "qx/quarn_tools/QuarnClient.hh"

#include "QuarnClientPrivate.hh"
#include "RestClientInternal.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools {

QuarnClientPrivate::QuarnClientPrivate(const ClientConfig &clientConfig, const Rest &clientRest)
    : config(clientConfig),
      rest(clientRest),
      cache(std::make_shared<LocalCache>(&config)),
      urls(grammar, config),
      downloads(config, rest, cache, urls),
      listings(config, rest, cache),
      lookups(cache, urls),
      batches(downloads),
      uploads(config, rest, urls),
      updates(cache, listings, downloads),
      requests(config, urls, downloads, listings, batches) {
  // The client always sends the configured user agent, and every request of
  // the process follows its transfer options.
  rest.SetUserAgent(config.UserAgent());
  internal::UseTransferOptions(config.Transfer());
}

QuarnClient::QuarnClient() : QuarnClient(ClientConfig(), Rest()) {}

QuarnClient::QuarnClient(const ClientConfig &config, const Rest &rest)
    : dataPtr(std::make_unique<QuarnClientPrivate>(config, rest)) {}

QuarnClient::~QuarnClient() = default;

ClientConfig &QuarnClient::Config() { return dataPtr->config; }

void QuarnClient::AddServerConfigParametersToHeaders(const ServerConfig &server,
                                                     std::vector<std::string> &headers) const {
  internal::AddApiKeyHeader(server, headers);
}

Result QuarnClient::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out) const {
  return dataPtr->listings.ModelDetails(id, out, {});
}

Result QuarnClient::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                                 const std::vector<std::string> &headers) const {
  return dataPtr->listings.ModelDetails(id, out, headers);
}

Result QuarnClient::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out) const {
  return dataPtr->listings.WorldDetails(id, out, {});
}

Result QuarnClient::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                                 const std::vector<std::string> &headers) const {
  return dataPtr->listings.WorldDetails(id, out, headers);
}

ModelIter QuarnClient::Models(const ServerConfig &server) {
  return dataPtr->listings.Models(server);
}

ModelIter QuarnClient::Models(const ServerConfig &server) const {
  return dataPtr->listings.Models(server);
}

WorldIter QuarnClient::Worlds(const ServerConfig &server) const {
  return dataPtr->listings.Worlds(server);
}

ModelIter QuarnClient::Models(const ModelIdentifier &id, bool checkCache) {
  return dataPtr->listings.Models(id, checkCache);
}

ModelIter QuarnClient::Models(const ModelIdentifier &id, bool checkCache) const {
  return dataPtr->listings.Models(id, checkCache);
}

WorldIter QuarnClient::Worlds(const WorldIdentifier &id) const {
  return dataPtr->listings.Worlds(id);
}

ModelIter QuarnClient::Models(const CollectionIdentifier &id) const {
  return dataPtr->listings.Models(id);
}

WorldIter QuarnClient::Worlds(const CollectionIdentifier &id) const {
  return dataPtr->listings.Worlds(id);
}

Result QuarnClient::ListModels(const ServerConfig &server, const std::string &owner,
                               std::vector<ModelIdentifier> &models) const {
  return dataPtr->listings.ListModels(server, owner, models);
}

Result QuarnClient::ListWorlds(const ServerConfig &server, const std::string &owner,
                               std::vector<WorldIdentifier> &worlds) const {
  return dataPtr->listings.ListWorlds(server, owner, worlds);
}

Result QuarnClient::ListModels(const CollectionIdentifier &id,
                               std::vector<ModelIdentifier> &models) const {
  return dataPtr->listings.ListModels(id, models);
}

Result QuarnClient::ListWorlds(const CollectionIdentifier &id,
                               std::vector<WorldIdentifier> &worlds) const {
  return dataPtr->listings.ListWorlds(id, worlds);
}

bool QuarnClient::ParseModelUrl(const qx::common::URI &url, ModelIdentifier &id) {
  return dataPtr->urls.ParseModelUrl(url, id);
}

bool QuarnClient::ParseWorldUrl(const qx::common::URI &url, WorldIdentifier &id) {
  return dataPtr->urls.ParseWorldUrl(url, id);
}

bool QuarnClient::ParseModelFileUrl(const qx::common::URI &url, ModelIdentifier &id,
                                    std::string &filePath) {
  return dataPtr->urls.ParseModelFileUrl(url, id, filePath);
}

bool QuarnClient::ParseWorldFileUrl(const qx::common::URI &url, WorldIdentifier &id,
                                    std::string &filePath) {
  return dataPtr->urls.ParseWorldFileUrl(url, id, filePath);
}

bool QuarnClient::ParseCollectionUrl(const qx::common::URI &url, CollectionIdentifier &id) {
  return dataPtr->urls.ParseCollectionUrl(url, id);
}

Result QuarnClient::DownloadModel(const ModelIdentifier &id) {
  return dataPtr->downloads.DownloadModel(id, {});
}

Result QuarnClient::DownloadModel(const ModelIdentifier &id,
                                  const std::vector<std::string> &headers) {
  return dataPtr->downloads.DownloadModel(id, headers);
}

Result QuarnClient::DownloadModel(const ModelIdentifier &id,
                                  const std::vector<std::string> &headers,
                                  std::vector<ModelIdentifier> &dependencies) {
  return dataPtr->downloads.DownloadModel(id, headers, dependencies);
}

Result QuarnClient::DownloadWorld(WorldIdentifier &id) { return dataPtr->downloads.DownloadWorld(id, {}); }

Result QuarnClient::DownloadWorld(WorldIdentifier &id, const std::vector<std::string> &headers) {
  return dataPtr->downloads.DownloadWorld(id, headers);
}

Result QuarnClient::DownloadModel(const qx::common::URI &url, std::string &path) {
  return dataPtr->downloads.DownloadModel(url, path);
}

DownloadOutcome QuarnClient::DownloadWorldWithModels(WorldIdentifier &id,
                                                     const std::vector<std::string> &headers,
                                                     std::size_t jobs) {
  return dataPtr->requests.DownloadWorldWithModels(id, headers, jobs);
}

Result QuarnClient::DownloadWorld(const qx::common::URI &url, std::string &path) {
  return dataPtr->downloads.DownloadWorld(url, path);
}

Result QuarnClient::ModelDependencies(const ModelIdentifier &id,
                                      std::vector<ModelIdentifier> &dependencies) {
  return dataPtr->downloads.ModelDependencies(id, dependencies);
}

Result QuarnClient::ModelDependencies(const std::vector<ModelIdentifier> &ids,
                                      std::vector<ModelIdentifier> &dependencies) {
  return dataPtr->downloads.ModelDependencies(ids, dependencies);
}

Result QuarnClient::CachedModel(const ModelIdentifier &id, std::string &path) {
  return dataPtr->lookups.CachedModel(id, path);
}

bool QuarnClient::CachedModel(const qx::common::URI &url) {
  std::string path;
  return dataPtr->lookups.CachedModel(url, path).Type() != FETCH_FAILED;
}

Result QuarnClient::CachedModel(const qx::common::URI &url, std::string &path) {
  return dataPtr->lookups.CachedModel(url, path);
}

bool QuarnClient::CachedWorld(const qx::common::URI &url) {
  return dataPtr->lookups.CachedWorld(url);
}

Result QuarnClient::CachedWorld(const qx::common::URI &url, std::string &path) {
  return dataPtr->lookups.CachedWorld(url, path);
}

Result QuarnClient::CachedModelFile(const qx::common::URI &url, std::string &path) {
  return dataPtr->lookups.CachedModelFile(url, path);
}

Result QuarnClient::CachedWorldFile(const qx::common::URI &url, std::string &path) {
  return dataPtr->lookups.CachedWorldFile(url, path);
}

std::vector<std::tuple<ModelIdentifier, Result>> QuarnClient::DownloadModels(
    const std::vector<ModelIdentifier> &ids, std::size_t jobs) {
  std::vector<std::tuple<ModelIdentifier, Result>> results;
  for (const internal::BatchDownload &one : dataPtr->batches.Models(ids, jobs))
    results.emplace_back(one.id, one.made.outcome.result);
  return results;
}

Result QuarnClient::DownloadWorlds(const std::vector<WorldIdentifier> &ids, std::size_t jobs) {
  dataPtr->batches.Worlds(ids, jobs);
  return Result(FETCH_DONE);
}

Result QuarnClient::UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                                const std::vector<std::string> &headers, bool isPrivate,
                                const std::string &owner) {
  return dataPtr->uploads.UploadModel(pathToModelDir, id, headers, isPrivate, owner);
}

Result QuarnClient::PatchModel(const ModelIdentifier &model,
                               const std::vector<std::string> &headers,
                               const std::string &pathToModelDir) {
  return dataPtr->uploads.PatchModel(model, headers, pathToModelDir);
}

Result QuarnClient::DeleteUrl(const qx::common::URI &uri,
                              const std::vector<std::string> &headers) {
  return dataPtr->uploads.DeleteUrl(uri, headers);
}

void QuarnClient::PopulateLicenses(const ServerConfig &server) {
  dataPtr->uploads.PopulateLicenses(server);
}

bool QuarnClient::UpdateModels(const std::vector<std::string> &headers) {
  dataPtr->updates.Models(headers);
  return true;
}

bool QuarnClient::UpdateWorlds(const std::vector<std::string> &headers) {
  dataPtr->updates.Worlds(headers);
  return true;
}

ResourceListing QuarnClient::ListResources(const ServerConfig &server, const std::string &kind,
                                           const std::string &owner) const {
  return dataPtr->listings.ListResources(server, kind, owner);
}

bool QuarnClient::UpdateModels(const std::vector<std::string> &headers,
                               std::vector<ResourceUpdate> &updates) {
  updates = dataPtr->updates.Models(headers);
  return true;
}

bool QuarnClient::UpdateWorlds(const std::vector<std::string> &headers,
                               std::vector<ResourceUpdate> &updates) {
  updates = dataPtr->updates.Worlds(headers);
  return true;
}

}  // namespace qx::quarn_tools
