/*
 * What a QuarnClient owns, and the operations that do the client's work.
 * QuarnClient forwards to these. Two collaborators do the work that others
 * build on: `urls` (ResourceUrls.cc) binds the URL grammar to the configured
 * servers, `downloads` (Downloader.cc) is the road by which resources enter
 * the cache. The rest are defined in sources named after what they do:
 * ClientListings.cc (details and listings), ClientCachedLookups.cc (lookups
 * by URL), ClientBatchDownloads.cc (parallel downloads), ClientUploads.cc
 * (upload, edit, delete, licences) and ClientUpdates.cc (cache updates).
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_
#define QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "BatchThreads.hh"
#include "Downloader.hh"
#include "ResourceUrls.hh"
#include "UrlGrammar.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/ResourceUpdate.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"
#include "qx/quarn_tools/WorldIter.hh"

namespace qx::quarn_tools {

class QuarnClientPrivate {
 public:
  QuarnClientPrivate(const ClientConfig &config, const Rest &rest);
  QuarnClientPrivate(const QuarnClientPrivate &) = delete;
  QuarnClientPrivate &operator=(const QuarnClientPrivate &) = delete;

  // ---- Details and listings (ClientListings.cc) ----
  Result ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                      const std::vector<std::string> &headers) const;
  Result WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                      const std::vector<std::string> &headers) const;
  ModelIter Models(const ServerConfig &server) const;
  WorldIter Worlds(const ServerConfig &server) const;
  ModelIter Models(const ModelIdentifier &id, bool checkCache) const;
  WorldIter Worlds(const WorldIdentifier &id) const;
  ModelIter Models(const CollectionIdentifier &id) const;
  WorldIter Worlds(const CollectionIdentifier &id) const;
  Result ListModels(const ServerConfig &server, const std::string &owner,
                    std::vector<ModelIdentifier> &models) const;
  Result ListWorlds(const ServerConfig &server, const std::string &owner,
                    std::vector<WorldIdentifier> &worlds) const;
  Result ListModels(const CollectionIdentifier &id, std::vector<ModelIdentifier> &models) const;
  Result ListWorlds(const CollectionIdentifier &id, std::vector<WorldIdentifier> &worlds) const;

  // ---- Cached lookups (ClientCachedLookups.cc) ----
  Result CachedModel(const ModelIdentifier &id, std::string &path);
  Result CachedModel(const qx::common::URI &url, std::string &path);
  Result CachedWorld(const qx::common::URI &url, std::string &path);
  bool CachedWorld(const qx::common::URI &url);
  Result CachedModelFile(const qx::common::URI &url, std::string &path);
  Result CachedWorldFile(const qx::common::URI &url, std::string &path);

  // ---- Parallel downloads (ClientBatchDownloads.cc) ----
  std::vector<std::tuple<ModelIdentifier, Result>> DownloadModels(
      const std::vector<ModelIdentifier> &ids, std::size_t jobs);
  Result DownloadWorlds(const std::vector<WorldIdentifier> &ids, std::size_t jobs);

  // ---- Upload, edit, delete (ClientUploads.cc) ----
  Result UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                     const std::vector<std::string> &headers, bool isPrivate,
                     const std::string &owner);
  Result PatchModel(const ModelIdentifier &model, const std::vector<std::string> &headers,
                    const std::string &pathToModelDir);
  Result DeleteUrl(const qx::common::URI &uri, const std::vector<std::string> &headers);
  void PopulateLicenses(const ServerConfig &server);
  // The upload form of the model directory `directory`: its metadata, the
  // licence id, its files. False, with the reason logged, when the
  // directory cannot be described.
  bool FillModelForm(const std::string &directory, const ModelIdentifier &id, bool isPrivate,
                     const std::string &owner, std::multimap<std::string, std::string> &form);

  // ---- Cache updates (ClientUpdates.cc) ----
  std::vector<ResourceUpdate> UpdateModels(const std::vector<std::string> &headers);
  std::vector<ResourceUpdate> UpdateWorlds(const std::vector<std::string> &headers);

  UrlGrammar grammar;
  ClientConfig config;
  // The client's transport: listings, licences and referral follow-ups go
  // through it with the configured user agent.
  Rest rest;
  // Built over `config`, which it reads afresh on every call.
  std::shared_ptr<LocalCache> cache;
  std::map<std::string, unsigned int> licenses;
  // How the parallel downloads start their threads.
  internal::BatchThreads threads;
  // The URL grammar bound to `config`'s servers, and the download road.
  internal::ResourceUrls urls;
  internal::Downloader downloads;

 private:
  // The details document at `route`, fetched with `headers` and the API key.
  Result FetchDetails(const ServerConfig &server, const std::string &route,
                      const std::vector<std::string> &headers, std::string &body) const;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_
