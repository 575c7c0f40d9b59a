/*
 * Details and listings of a client: the details document of one resource,
 * the catalogue listings of a server, an owner or a collection, and their
 * fall-back to the cache (the one place that falls back: the iterators that
 * QuarnClient gives and the listing a front end prints both come here).
 * Reads the client's configuration, transport and cache (none owned); any
 * thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CLIENTLISTINGS_HH_
#define QX_QUARN_TOOLS_SRC_CLIENTLISTINGS_HH_

#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/ResourceListing.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"
#include "qx/quarn_tools/WorldIter.hh"

namespace qx::quarn_tools::internal {

class ClientListings {
 public:
  ClientListings(const ClientConfig &config, const Rest &rest,
                 const std::shared_ptr<LocalCache> &cache);

  // As QuarnClient's operations of the same names.
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
  // The models or worlds (`kind`) of `server`, or of `owner` there: the
  // server's, else the cache's.
  ResourceListing ListResources(const ServerConfig &server, const std::string &kind,
                                const std::string &owner) const;

 private:
  // The details document at `route`, fetched with `headers` and the API key.
  Result FetchDetails(const ServerConfig &server, const std::string &route,
                      const std::vector<std::string> &headers, std::string &body) const;
  // The listing at `route` of `server`, walked to its end into `found`
  // (Kind: the model or world listing), or into `entries`.
  template <typename Kind, typename Identifier>
  Result List(const ServerConfig &server, const std::string &route,
              std::vector<Identifier> &found) const;
  template <typename Kind, typename Into>
  Result ListInto(const ServerConfig &server, const std::string &route, Into &entries) const;
  // What the cache holds of `server` (of `owner` there, when not empty):
  // the fall-back of every listing.
  ModelIter CachedModels(const ServerConfig &server, const std::string &owner) const;
  WorldIter CachedWorlds(const ServerConfig &server, const std::string &owner) const;

  const ClientConfig &config_;
  const Rest &rest_;
  const std::shared_ptr<LocalCache> &cache_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTLISTINGS_HH_
