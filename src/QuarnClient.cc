#include "qx/quarn_tools/QuarnClient.hh"

#include "QuarnClientPrivate.hh"
#include "RestClientInternal.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools {

QuarnClientPrivate::QuarnClientPrivate(const ClientConfig &clientConfig, const Rest &clientRest)
    : config(clientConfig), rest(clientRest), urls(grammar, config),
      downloads(config, rest, cache, urls) {
  // The client always sends the configured user agent, and every request of
  // the process follows its transfer options.
  rest.SetUserAgent(config.UserAgent());
  internal::UseTransferOptions(config.Transfer());
  cache = std::make_shared<LocalCache>(&config);
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
  return dataPtr->ModelDetails(id, out, {});
}

Result QuarnClient::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                                 const std::vector<std::string> &headers) const {
  return dataPtr->ModelDetails(id, out, headers);
}

Result QuarnClient::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out) const {
  return dataPtr->WorldDetails(id, out, {});
}

Result QuarnClient::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                                 const std::vector<std::string> &headers) const {
  return dataPtr->WorldDetails(id, out, headers);
}

ModelIter QuarnClient::Models(const ServerConfig &server) { return dataPtr->Models(server); }

ModelIter QuarnClient::Models(const ServerConfig &server) const {
  return dataPtr->Models(server);
}

WorldIter QuarnClient::Worlds(const ServerConfig &server) const {
  return dataPtr->Worlds(server);
}

ModelIter QuarnClient::Models(const ModelIdentifier &id, bool checkCache) {
  return dataPtr->Models(id, checkCache);
}

ModelIter QuarnClient::Models(const ModelIdentifier &id, bool checkCache) const {
  return dataPtr->Models(id, checkCache);
}

WorldIter QuarnClient::Worlds(const WorldIdentifier &id) const { return dataPtr->Worlds(id); }

ModelIter QuarnClient::Models(const CollectionIdentifier &id) const {
  return dataPtr->Models(id);
}

WorldIter QuarnClient::Worlds(const CollectionIdentifier &id) const {
  return dataPtr->Worlds(id);
}

Result QuarnClient::ListModels(const ServerConfig &server, const std::string &owner,
                               std::vector<ModelIdentifier> &models) const {
  return dataPtr->ListModels(server, owner, models);
}

Result QuarnClient::ListWorlds(const ServerConfig &server, const std::string &owner,
                               std::vector<WorldIdentifier> &worlds) const {
  return dataPtr->ListWorlds(server, owner, worlds);
}

Result QuarnClient::ListModels(const CollectionIdentifier &id,
                               std::vector<ModelIdentifier> &models) const {
  return dataPtr->ListModels(id, models);
}

Result QuarnClient::ListWorlds(const CollectionIdentifier &id,
                               std::vector<WorldIdentifier> &worlds) const {
  return dataPtr->ListWorlds(id, worlds);
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
  return dataPtr->CachedModel(id, path);
}

bool QuarnClient::CachedModel(const qx::common::URI &url) {
  std::string path;
  return dataPtr->CachedModel(url, path).Type() != FETCH_FAILED;
}

Result QuarnClient::CachedModel(const qx::common::URI &url, std::string &path) {
  return dataPtr->CachedModel(url, path);
}

bool QuarnClient::CachedWorld(const qx::common::URI &url) { return dataPtr->CachedWorld(url); }

Result QuarnClient::CachedWorld(const qx::common::URI &url, std::string &path) {
  return dataPtr->CachedWorld(url, path);
}

Result QuarnClient::CachedModelFile(const qx::common::URI &url, std::string &path) {
  return dataPtr->CachedModelFile(url, path);
}

Result QuarnClient::CachedWorldFile(const qx::common::URI &url, std::string &path) {
  return dataPtr->CachedWorldFile(url, path);
}

std::vector<std::tuple<ModelIdentifier, Result>> QuarnClient::DownloadModels(
    const std::vector<ModelIdentifier> &ids, std::size_t jobs) {
  return dataPtr->DownloadModels(ids, jobs);
}

Result QuarnClient::DownloadWorlds(const std::vector<WorldIdentifier> &ids, std::size_t jobs) {
  return dataPtr->DownloadWorlds(ids, jobs);
}

Result QuarnClient::UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                                const std::vector<std::string> &headers, bool isPrivate,
                                const std::string &owner) {
  return dataPtr->UploadModel(pathToModelDir, id, headers, isPrivate, owner);
}

Result QuarnClient::PatchModel(const ModelIdentifier &model,
                               const std::vector<std::string> &headers,
                               const std::string &pathToModelDir) {
  return dataPtr->PatchModel(model, headers, pathToModelDir);
}

Result QuarnClient::DeleteUrl(const qx::common::URI &uri,
                              const std::vector<std::string> &headers) {
  return dataPtr->DeleteUrl(uri, headers);
}

void QuarnClient::PopulateLicenses(const ServerConfig &server) {
  dataPtr->PopulateLicenses(server);
}

bool QuarnClient::UpdateModels(const std::vector<std::string> &headers) {
  dataPtr->UpdateModels(headers);
  return true;
}

bool QuarnClient::UpdateWorlds(const std::vector<std::string> &headers) {
  dataPtr->UpdateWorlds(headers);
  return true;
}

bool QuarnClient::UpdateModels(const std::vector<std::string> &headers,
                               std::vector<ResourceUpdate> &updates) {
  updates = dataPtr->UpdateModels(headers);
  return true;
}

bool QuarnClient::UpdateWorlds(const std::vector<std::string> &headers,
                               std::vector<ResourceUpdate> &updates) {
  updates = dataPtr->UpdateWorlds(headers);
  return true;
}

}  // namespace qx::quarn_tools
