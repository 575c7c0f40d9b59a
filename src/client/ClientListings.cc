// Details of one resource and the catalogue listings, with their fall-back
// to the local cache; in offline mode only the cache answers.
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>

#include "ListingRequest.hh"
#include "QuarnClientPrivate.hh"
#include "Routes.hh"
#include "ServerRequest.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools {

namespace {

using internal::kModelsKind;
using internal::kWorldsKind;
namespace routes = internal::routes;

// True, with the reason logged, when the configuration forbids asking
// `server` for `route`.
bool RefusedOffline(const ClientConfig &config, const ServerConfig &server,
                    const std::string &route) {
  return internal::RefusedOffline(config, "not asking " + server.Url().Str() + " for " + route);
}

ModelIdentifier IdentityOf(const Model &model) { return model.Identification(); }
const WorldIdentifier &IdentityOf(const WorldIdentifier &world) { return world; }

// Walks the listing `create` makes to its end, keeping every identifier,
// and tells whether the server answered every page.
template <typename Identifier, typename Create>
Result WalkListing(const ClientConfig &config, const ServerConfig &server,
                   const std::string &route, std::vector<Identifier> &found, Create create) {
  found.clear();
  if (RefusedOffline(config, server, route)) return Result(FETCH_FAILED);
  const internal::ListingPageWatch watch;
  for (auto it = create(); it; ++it) found.push_back(IdentityOf(*it));
  if (watch.Failure()) return Result(FETCH_FAILED, *watch.Failure());
  return Result(FETCH_DONE);
}

}  // namespace

// The details document of a resource, with the server's answer when it is
// not 200. Details go out with a transport of their own (empty user agent).
Result QuarnClientPrivate::FetchDetails(const ServerConfig &server, const std::string &route,
                                        const std::vector<std::string> &headers,
                                        std::string &body) const {
  if (RefusedOffline(config, server, route)) return Result(FETCH_FAILED);
  const RestResponse response =
      internal::SendToServer(Rest(), HttpMethod::GET, server, route, {},
                             internal::HeadersWithApiKey(server, headers));
  if (response.statusCode != 200) return internal::ResultOf(FETCH_FAILED, server, route, response);
  body = response.data;
  return Result(FETCH_DONE);
}

Result QuarnClientPrivate::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                                        const std::vector<std::string> &headers) const {
  std::string body;
  const Result fetched = FetchDetails(
      id.Server(), routes::Resource(id.Owner(), kModelsKind, id.Name()), headers, body);
  if (!fetched) return fetched;
  out = JSONParser::ParseModel(body, id.Server());
  return fetched;
}

Result QuarnClientPrivate::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                                        const std::vector<std::string> &headers) const {
  if (id.Server().Url().Str().empty() || id.Owner().empty() || id.Name().empty())
    return Result(FETCH_FAILED);
  std::string body;
  const Result fetched = FetchDetails(
      id.Server(), routes::Resource(id.Owner(), kWorldsKind, id.Name()), headers, body);
  if (!fetched) return fetched;
  out = JSONParser::ParseWorld(body, id.Server());
  return fetched;
}

ModelIter QuarnClientPrivate::Models(const ServerConfig &server) const {
  ModelIdentifier id;
  id.SetServer(server);
  if (config.Offline()) return cache->MatchingModels(id);
  ModelIter iter = ModelIterFactory::Create(rest, server, kModelsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch models from server, returning cached models.\n"
         << internal::ServerForLog(server) << "\n";
  return cache->MatchingModels(id);
}

WorldIter QuarnClientPrivate::Worlds(const ServerConfig &server) const {
  WorldIdentifier id;
  id.SetServer(server);
  if (config.Offline()) return cache->MatchingWorlds(id);
  WorldIter iter = WorldIterFactory::Create(rest, server, kWorldsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch worlds from server, returning cached worlds.\n"
         << internal::ServerForLog(server) << "\n";
  return cache->MatchingWorlds(id);
}

ModelIter QuarnClientPrivate::Models(const ModelIdentifier &id, bool checkCache) const {
  if (checkCache || config.Offline()) {
    ModelIter cached = cache->MatchingModels(id);
    if (cached || config.Offline()) return cached;
  }
  if (id.Owner().empty()) return ModelIterFactory::Create();
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return ModelIterFactory::Create(rest, id.Server(),
                                  routes::Listing(id.Owner(), kModelsKind, id.Name()));
}

WorldIter QuarnClientPrivate::Worlds(const WorldIdentifier &id) const {
  WorldIter cached = cache->MatchingWorlds(id);
  if (cached || config.Offline()) return cached;
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return WorldIterFactory::Create(rest, id.Server(),
                                  routes::Listing(id.Owner(), kWorldsKind, id.Name()));
}

ModelIter QuarnClientPrivate::Models(const CollectionIdentifier &id) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kModelsKind);
  if (RefusedOffline(config, id.Server(), route)) return ModelIterFactory::Create();
  return ModelIterFactory::Create(rest, id.Server(), route);
}

WorldIter QuarnClientPrivate::Worlds(const CollectionIdentifier &id) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kWorldsKind);
  if (RefusedOffline(config, id.Server(), route)) return WorldIterFactory::Create();
  return WorldIterFactory::Create(rest, id.Server(), route);
}

Result QuarnClientPrivate::ListModels(const ServerConfig &server, const std::string &owner,
                                      std::vector<ModelIdentifier> &models) const {
  const std::string route = routes::ServerOrOwner(owner, kModelsKind);
  return WalkListing(config, server, route, models,
                     [&] { return ModelIterFactory::Create(rest, server, route); });
}

Result QuarnClientPrivate::ListWorlds(const ServerConfig &server, const std::string &owner,
                                      std::vector<WorldIdentifier> &worlds) const {
  const std::string route = routes::ServerOrOwner(owner, kWorldsKind);
  return WalkListing(config, server, route, worlds,
                     [&] { return WorldIterFactory::Create(rest, server, route); });
}

Result QuarnClientPrivate::ListModels(const CollectionIdentifier &id,
                                      std::vector<ModelIdentifier> &models) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kModelsKind);
  return WalkListing(config, id.Server(), route, models,
                     [&] { return ModelIterFactory::Create(rest, id.Server(), route); });
}

Result QuarnClientPrivate::ListWorlds(const CollectionIdentifier &id,
                                      std::vector<WorldIdentifier> &worlds) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kWorldsKind);
  return WalkListing(config, id.Server(), route, worlds,
                     [&] { return WorldIterFactory::Create(rest, id.Server(), route); });
}

}  // namespace qx::quarn_tools
