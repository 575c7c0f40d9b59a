// Details of one resource and the catalogue listings, with their fall-back
// to the local cache.
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>

#include "QuarnClientPrivate.hh"
#include "Routes.hh"
#include "ServerRequest.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools {

namespace {

using internal::kModelsKind;
using internal::kWorldsKind;
namespace routes = internal::routes;

// The details document of a resource, or nothing when the server does not
// answer 200. Details go out with a transport of their own (empty user agent).
bool FetchDetails(const ServerConfig &server, const std::string &route,
                  const std::vector<std::string> &headers, std::string &body) {
  const RestResponse response =
      internal::SendToServer(Rest(), HttpMethod::GET, server, route, {},
                             internal::HeadersWithApiKey(server, headers));
  if (response.statusCode != 200) return false;
  body = response.data;
  return true;
}

}  // namespace

Result QuarnClientPrivate::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                                        const std::vector<std::string> &headers) const {
  std::string body;
  if (!FetchDetails(id.Server(), routes::Resource(id.Owner(), kModelsKind, id.Name()),
                    headers, body))
    return Result(FETCH_FAILED);
  out = JSONParser::ParseModel(body, id.Server());
  return Result(FETCH_DONE);
}

Result QuarnClientPrivate::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
                                        const std::vector<std::string> &headers) const {
  if (id.Server().Url().Str().empty() || id.Owner().empty() || id.Name().empty())
    return Result(FETCH_FAILED);
  std::string body;
  if (!FetchDetails(id.Server(), routes::Resource(id.Owner(), kWorldsKind, id.Name()),
                    headers, body))
    return Result(FETCH_FAILED);
  out = JSONParser::ParseWorld(body, id.Server());
  return Result(FETCH_DONE);
}

ModelIter QuarnClientPrivate::Models(const ServerConfig &server) const {
  ModelIter iter = ModelIterFactory::Create(rest, server, kModelsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch models from server, returning cached models.\n"
         << server.AsString("") << "\n";
  ModelIdentifier id;
  id.SetServer(server);
  return cache->MatchingModels(id);
}

WorldIter QuarnClientPrivate::Worlds(const ServerConfig &server) const {
  WorldIter iter = WorldIterFactory::Create(rest, server, kWorldsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch worlds from server, returning cached worlds.\n"
         << server.AsString("") << "\n";
  WorldIdentifier id;
  id.SetServer(server);
  return cache->MatchingWorlds(id);
}

ModelIter QuarnClientPrivate::Models(const ModelIdentifier &id, bool checkCache) const {
  if (checkCache) {
    ModelIter cached = cache->MatchingModels(id);
    if (cached) return cached;
  }
  if (id.Owner().empty()) return ModelIterFactory::Create();
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return ModelIterFactory::Create(rest, id.Server(),
                                  routes::Listing(id.Owner(), kModelsKind, id.Name()));
}

WorldIter QuarnClientPrivate::Worlds(const WorldIdentifier &id) const {
  WorldIter cached = cache->MatchingWorlds(id);
  if (cached) return cached;
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return WorldIterFactory::Create(rest, id.Server(),
                                  routes::Listing(id.Owner(), kWorldsKind, id.Name()));
}

ModelIter QuarnClientPrivate::Models(const CollectionIdentifier &id) const {
  return ModelIterFactory::Create(rest, id.Server(), routes::Collection(id.Owner(), id.Name(), kModelsKind));
}

WorldIter QuarnClientPrivate::Worlds(const CollectionIdentifier &id) const {
  return WorldIterFactory::Create(rest, id.Server(), routes::Collection(id.Owner(), id.Name(), kWorldsKind));
}

}  // namespace qx::quarn_tools
