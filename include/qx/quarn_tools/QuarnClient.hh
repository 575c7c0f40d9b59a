/*
 * The client that applications use to talk to repository servers: listings
 * and details, the resource URL grammar, downloads into the local cache (one
 * by one or in parallel), cached lookups by URL, uploads, edits, deletions
 * and cache updates. With an offline configuration (ClientConfig::Offline)
 * it sends no request at all: only the cache answers.
 *
 * A client owns its own copy of the configuration, its transport and its
 * cache. It is not copyable. After construction it may be used from several
 * threads at once (the parallel downloads do so), as long as nobody changes
 * the configuration through Config() meanwhile; uploads that fill the licence
 * table are not meant to run concurrently.
 */
#ifndef QX_QUARN_TOOLS_QUARNCLIENT_HH_
#define QX_QUARN_TOOLS_QUARNCLIENT_HH_

#include <cstddef>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <qx/common/URI.hh>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/ResourceListing.hh"
#include "qx/quarn_tools/ResourceUpdate.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"
#include "qx/quarn_tools/WorldIter.hh"

namespace qx::quarn_tools {

class QuarnClientPrivate;

class QX_QUARN_TOOLS_VISIBLE QuarnClient {
 public:
  // A client over a default configuration and a default transport.
  QuarnClient();
  // A client over copies of `config` and `rest`. Requests always carry the
  // configuration's user agent.
  QuarnClient(const ClientConfig &config, const Rest &rest);
  QuarnClient(const QuarnClient &) = delete;
  QuarnClient &operator=(const QuarnClient &) = delete;
  ~QuarnClient();

  // The client's own configuration; the cache follows changes made here.
  ClientConfig &Config();

  // Appends "Private-token: KEY" for a server with a key, unless a line
  // already carries "Private-token:".
  void AddServerConfigParametersToHeaders(const ServerConfig &server,
                                          std::vector<std::string> &headers) const;

  // ---- Details and listings -------------------------------------------
  Result ModelDetails(const ModelIdentifier &id, ModelIdentifier &out) const;
  Result ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                      const std::vector<std::string> &headers) const;
  Result WorldDetails(const WorldIdentifier &id, WorldIdentifier &out) const;
  Result WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                      const std::vector<std::string> &headers) const;

  // Every model or world of a server; the cached ones when the server gives
  // nothing.
  ModelIter Models(const ServerConfig &server);
  ModelIter Models(const ServerConfig &server) const;
  WorldIter Worlds(const ServerConfig &server) const;
  // The models or worlds an identifier names: from the cache when there, else
  // from its server.
  ModelIter Models(const ModelIdentifier &id, bool checkCache = true);
  ModelIter Models(const ModelIdentifier &id, bool checkCache = true) const;
  WorldIter Worlds(const WorldIdentifier &id) const;
  // The members of a collection.
  ModelIter Models(const CollectionIdentifier &id) const;
  WorldIter Worlds(const CollectionIdentifier &id) const;

  // Listings that tell how the server answered: the models (worlds) of a
  // server, or of one owner there (`owner` not empty), or of a collection,
  // as the server lists them, never from the cache, walked to the end.
  // FETCH_DONE when every page came with status 200; else FETCH_FAILED, with
  // the server's answer to the page that failed (or none, offline), and the
  // list holds what came before it.
  Result ListModels(const ServerConfig &server, const std::string &owner,
                    std::vector<ModelIdentifier> &models) const;
  Result ListWorlds(const ServerConfig &server, const std::string &owner,
                    std::vector<WorldIdentifier> &worlds) const;
  Result ListModels(const CollectionIdentifier &id, std::vector<ModelIdentifier> &models) const;
  Result ListWorlds(const CollectionIdentifier &id, std::vector<WorldIdentifier> &worlds) const;
  // The models (`kind` "models") or worlds ("worlds") of a server, or of
  // `owner` there, as a front end lists them: the server's listing, walked
  // to the end; or, when the server fails or the client is offline, what
  // the cache holds of that server, every cached version. Each resource
  // once.
  ResourceListing ListResources(const ServerConfig &server, const std::string &kind,
                                const std::string &owner = "") const;

  // ---- Resource URLs --------------------------------------------------
  // Each fills the identifier (and the file path) from a URL of its kind and
  // binds it to the configured server of the same scheme and authority.
  // False, with nothing written, when the URL is not of that kind.
  bool ParseModelUrl(const qx::common::URI &url, ModelIdentifier &id);
  bool ParseWorldUrl(const qx::common::URI &url, WorldIdentifier &id);
  bool ParseModelFileUrl(const qx::common::URI &url, ModelIdentifier &id,
                         std::string &filePath);
  bool ParseWorldFileUrl(const qx::common::URI &url, WorldIdentifier &id,
                         std::string &filePath);
  bool ParseCollectionUrl(const qx::common::URI &url, CollectionIdentifier &id);

  // ---- Downloads ------------------------------------------------------
  // A model and, depth first, every dependency not yet cached.
  Result DownloadModel(const ModelIdentifier &id);
  Result DownloadModel(const ModelIdentifier &id, const std::vector<std::string> &headers);
  // Only this model; its direct dependencies are listed in `dependencies`.
  Result DownloadModel(const ModelIdentifier &id, const std::vector<std::string> &headers,
                       std::vector<ModelIdentifier> &dependencies);
  // A world; `id` receives the delivered version and its local path.
  Result DownloadWorld(WorldIdentifier &id);
  Result DownloadWorld(WorldIdentifier &id, const std::vector<std::string> &headers);
  // A world as DownloadWorld downloads it, then every model its SDF files
  // include by URL (with what each needs) that the cache lacks, `jobs`
  // downloads at a time (0 counts as 1); `id` receives the delivered
  // version and its local path. The outcome carries the included models
  // (DownloadOutcome::includes, each once); one that fails fails the
  // outcome, the others kept.
  DownloadOutcome DownloadWorldWithModels(WorldIdentifier &id,
                                          const std::vector<std::string> &headers = {},
                                          std::size_t jobs = 2);
  // By URL; `path` receives the cached version directory on success.
  Result DownloadModel(const qx::common::URI &url, std::string &path);
  Result DownloadWorld(const qx::common::URI &url, std::string &path);

  // Direct dependencies of a cached model (none when it is not cached).
  Result ModelDependencies(const ModelIdentifier &id,
                           std::vector<ModelIdentifier> &dependencies);
  // All dependencies of several cached models, depth first; a model reached
  // along two paths appears twice.
  Result ModelDependencies(const std::vector<ModelIdentifier> &ids,
                           std::vector<ModelIdentifier> &dependencies);

  // ---- Cached lookups (never touch the network) -----------------------
  Result CachedModel(const ModelIdentifier &id, std::string &path);
  bool CachedModel(const qx::common::URI &url);
  Result CachedModel(const qx::common::URI &url, std::string &path);
  bool CachedWorld(const qx::common::URI &url);
  Result CachedWorld(const qx::common::URI &url, std::string &path);
  Result CachedModelFile(const qx::common::URI &url, std::string &path);
  Result CachedWorldFile(const qx::common::URI &url, std::string &path);

  // ---- Parallel downloads ---------------------------------------------
  // `jobs` worker threads; dependencies join the queue as they are found.
  // One (identifier, result) record per download, in completion order.
  // Returns once the queue is empty and no worker is busy, so dependencies
  // that the last downloads name are fetched too. The input is queued whole
  // (a model named twice is fetched twice); a dependency is queued only when
  // no model of its unique name was queued before. Two downloads of one
  // unique name never run at once. `jobs` of 0 counts as 1. When a worker
  // cannot be started, the error is logged, the workers started finish the
  // model they hold and are joined, and what was done is returned. No
  // thread outlives the call.
  std::vector<std::tuple<ModelIdentifier, Result>> DownloadModels(
      const std::vector<ModelIdentifier> &ids, std::size_t jobs = 2);
  // At most `jobs` world downloads in flight (0 counts as 1), never two of
  // one unique name. Always FETCH_DONE; failures are logged, as is a task
  // that cannot be started (the rest are then not launched). Every task has
  // ended when the call returns.
  Result DownloadWorlds(const std::vector<WorldIdentifier> &ids, std::size_t jobs = 2);

  // ---- Upload, edit, delete -------------------------------------------
  // Uploads send a multipart form built from the directory's metadata.pbtxt
  // (else model.config) and every file below it, named by its relative
  // path. Text that begins with "@" (which would send a local file) and
  // file paths holding ";" are refused before anything is sent. Not meant
  // to run concurrently on one client (they may fill the licence table).
  Result UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                     const std::vector<std::string> &headers, bool isPrivate,
                     const std::string &owner = "");
  Result PatchModel(const ModelIdentifier &model, const std::vector<std::string> &headers,
                    const std::string &pathToModelDir = "");
  Result DeleteUrl(const qx::common::URI &uri, const std::vector<std::string> &headers);
  // Fetches the server's licence list into the client's licence table.
  void PopulateLicenses(const ServerConfig &server);

  // ---- Cache updates --------------------------------------------------
  // Downloads the newest server version of every cached model (world) that
  // is behind. Always true; failures are logged.
  bool UpdateModels(const std::vector<std::string> &headers);
  bool UpdateWorlds(const std::vector<std::string> &headers);
  // The same, with one record per cached resource (newest version per
  // server, owner and name), in unique-name order, saying what was done.
  bool UpdateModels(const std::vector<std::string> &headers,
                    std::vector<ResourceUpdate> &updates);
  bool UpdateWorlds(const std::vector<std::string> &headers,
                    std::vector<ResourceUpdate> &updates);

 private:
  // Requests by URL take the client's own road.
  friend class ResourceRequests;
  std::unique_ptr<QuarnClientPrivate> dataPtr;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_QUARNCLIENT_HH_
