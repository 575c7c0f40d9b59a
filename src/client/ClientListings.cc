#include "ClientListings.hh"

#include <algorithm>
#include <map>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>
#include <utility>

#include "ListingRequest.hh"
#include "Routes.hh"
#include "ServerErrors.hh"
#include "ServerRequest.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools::internal {

namespace {

// True, with the reason logged, when the configuration forbids asking
// `server` for `route`.
bool RefusedOfflineAsking(const ClientConfig &config, const ServerConfig &server,
                          const std::string &route) {
  return RefusedOffline(config, "not asking " + server.Url().Str() + " for " + route);
}

ModelIdentifier IdentityOf(const Model &model) { return model.Identification(); }
const WorldIdentifier &IdentityOf(const WorldIdentifier &world) { return world; }

// Walks the listing `create` makes to its end, keeping every identifier,
// and tells whether the server answered every page.
template <typename Identifier, typename Create>
Result WalkListing(const ClientConfig &config, const ServerConfig &server, const std::string &route,
                   std::vector<Identifier> &found, Create create) {
  found.clear();
  if (RefusedOfflineAsking(config, server, route)) return Result(FETCH_FAILED);
  const ListingPageWatch watch;
  for (auto it = create(); it; ++it) found.push_back(IdentityOf(*it));
  if (watch.Failure()) return Result(FETCH_FAILED, *watch.Failure());
  return Result(FETCH_DONE);
}

// One resource of a listing, once, with every version met.
class Entries {
 public:
  template <typename Identifier>
  void Add(const Identifier &id) {
    const auto key = std::make_pair(id.Owner(), id.Name());
    auto found = index_.find(key);
    if (found == index_.end()) {
      found = index_.emplace(key, resources_.size()).first;
      resources_.push_back({id.Owner(), id.Name(), {}});
    }
    std::vector<unsigned int> &versions = resources_[found->second].versions;
    if (id.Version() != 0 &&
        std::find(versions.begin(), versions.end(), id.Version()) == versions.end()) {
      versions.insert(std::upper_bound(versions.begin(), versions.end(), id.Version()),
                      id.Version());
    }
  }
  std::vector<ListedResource> Take() { return std::move(resources_); }

 private:
  std::vector<ListedResource> resources_;
  std::map<std::pair<std::string, std::string>, std::size_t> index_;
};

// What differs between the listings of models and of worlds.
struct ModelListing {
  using Identifier = ModelIdentifier;
  static ModelIter Create(const Rest &rest, const ServerConfig &server, const std::string &route) {
    return ModelIterFactory::Create(rest, server, route);
  }
};

struct WorldListing {
  using Identifier = WorldIdentifier;
  static WorldIter Create(const Rest &rest, const ServerConfig &server, const std::string &route) {
    return WorldIterFactory::Create(rest, server, route);
  }
};

// The identifier a cache listing filters by: the server, and the owner when
// one is given.
template <typename Identifier>
Identifier CacheFilter(const ServerConfig &server, const std::string &owner) {
  Identifier filter;
  filter.SetServer(server);
  if (!owner.empty()) filter.SetOwner(owner);
  return filter;
}

}  // namespace

ClientListings::ClientListings(const ClientConfig &config, const Rest &rest,
                               const std::shared_ptr<LocalCache> &cache)
    : config_(config), rest_(rest), cache_(cache) {}

// The details document of a resource, with the server's answer when it is
// not 200. Details go out with a transport of their own (empty user agent).
Result ClientListings::FetchDetails(const ServerConfig &server, const std::string &route,
                                    const std::vector<std::string> &headers,
                                    std::string &body) const {
  if (RefusedOfflineAsking(config_, server, route)) return Result(FETCH_FAILED);
  const RestResponse response =
      SendToServer(Rest(), HttpMethod::GET, server, route, {}, HeadersWithApiKey(server, headers));
  if (response.statusCode != 200) return ResultOf(FETCH_FAILED, server, route, response);
  body = response.data;
  return Result(FETCH_DONE);
}

ModelIter ClientListings::CachedModels(const ServerConfig &server, const std::string &owner) const {
  return cache_->MatchingModels(CacheFilter<ModelIdentifier>(server, owner));
}

WorldIter ClientListings::CachedWorlds(const ServerConfig &server, const std::string &owner) const {
  return cache_->MatchingWorlds(CacheFilter<WorldIdentifier>(server, owner));
}

Result ClientListings::ModelDetails(const ModelIdentifier &id, ModelIdentifier &out,
                                    const std::vector<std::string> &headers) const {
  std::string body;
  const Result fetched = FetchDetails(
      id.Server(), routes::Resource(id.Owner(), kModelsKind, id.Name()), headers, body);
  if (!fetched) return fetched;
  out = JSONParser::ParseModel(body, id.Server());
  return fetched;
}

Result ClientListings::WorldDetails(const WorldIdentifier &id, WorldIdentifier &out,
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

ModelIter ClientListings::Models(const ServerConfig &server) const {
  if (config_.Offline()) return CachedModels(server, "");
  ModelIter iter = ModelIterFactory::Create(rest_, server, kModelsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch models from server, returning cached models.\n"
         << ServerForLog(server) << "\n";
  return CachedModels(server, "");
}

WorldIter ClientListings::Worlds(const ServerConfig &server) const {
  if (config_.Offline()) return CachedWorlds(server, "");
  WorldIter iter = WorldIterFactory::Create(rest_, server, kWorldsKind);
  if (iter) return iter;
  qxwarn << "Failed to fetch worlds from server, returning cached worlds.\n"
         << ServerForLog(server) << "\n";
  return CachedWorlds(server, "");
}

ModelIter ClientListings::Models(const ModelIdentifier &id, bool checkCache) const {
  if (checkCache || config_.Offline()) {
    ModelIter cached = cache_->MatchingModels(id);
    if (cached || config_.Offline()) return cached;
  }
  if (id.Owner().empty()) return ModelIterFactory::Create();
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return ModelIterFactory::Create(rest_, id.Server(),
                                  routes::Listing(id.Owner(), kModelsKind, id.Name()));
}

WorldIter ClientListings::Worlds(const WorldIdentifier &id) const {
  WorldIter cached = cache_->MatchingWorlds(id);
  if (cached || config_.Offline()) return cached;
  qxmsg << id.UniqueName() << " not found in cache, attempting download\n";
  return WorldIterFactory::Create(rest_, id.Server(),
                                  routes::Listing(id.Owner(), kWorldsKind, id.Name()));
}

ModelIter ClientListings::Models(const CollectionIdentifier &id) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kModelsKind);
  if (RefusedOfflineAsking(config_, id.Server(), route)) return ModelIterFactory::Create();
  return ModelIterFactory::Create(rest_, id.Server(), route);
}

WorldIter ClientListings::Worlds(const CollectionIdentifier &id) const {
  const std::string route = routes::Collection(id.Owner(), id.Name(), kWorldsKind);
  if (RefusedOfflineAsking(config_, id.Server(), route)) return WorldIterFactory::Create();
  return WorldIterFactory::Create(rest_, id.Server(), route);
}

Result ClientListings::ListModels(const ServerConfig &server, const std::string &owner,
                                  std::vector<ModelIdentifier> &models) const {
  return List<ModelListing>(server, routes::ServerOrOwner(owner, kModelsKind), models);
}

Result ClientListings::ListWorlds(const ServerConfig &server, const std::string &owner,
                                  std::vector<WorldIdentifier> &worlds) const {
  return List<WorldListing>(server, routes::ServerOrOwner(owner, kWorldsKind), worlds);
}

Result ClientListings::ListModels(const CollectionIdentifier &id,
                                  std::vector<ModelIdentifier> &models) const {
  return List<ModelListing>(id.Server(), routes::Collection(id.Owner(), id.Name(), kModelsKind),
                            models);
}

Result ClientListings::ListWorlds(const CollectionIdentifier &id,
                                  std::vector<WorldIdentifier> &worlds) const {
  return List<WorldListing>(id.Server(), routes::Collection(id.Owner(), id.Name(), kWorldsKind),
                            worlds);
}

template <typename Kind, typename Identifier>
Result ClientListings::List(const ServerConfig &server, const std::string &route,
                            std::vector<Identifier> &found) const {
  return WalkListing(config_, server, route, found,
                     [&] { return Kind::Create(rest_, server, route); });
}

template <typename Kind, typename Into>
Result ClientListings::ListInto(const ServerConfig &server, const std::string &route,
                                Into &entries) const {
  std::vector<typename Kind::Identifier> found;
  const Result listed = List<Kind>(server, route, found);
  for (const auto &id : found) entries.Add(id);
  return listed;
}

ResourceListing ClientListings::ListResources(const ServerConfig &server, const std::string &kind,
                                              const std::string &owner) const {
  ResourceListing listing;
  listing.kind = kind;
  const bool models = kind == kModelsKind;
  Entries entries;
  if (config_.Offline()) {
    listing.result = Result(FETCH_FAILED);
    listing.failure.reason = FailureReason::kOffline;
    listing.failure.text = "offline: listing the cached " + kind + " of " + server.Url().Str();
  } else {
    const std::string route = routes::ServerOrOwner(owner, kind);
    listing.result = models ? ListInto<ModelListing>(server, route, entries)
                            : ListInto<WorldListing>(server, route, entries);
    if (listing.result) {
      listing.resources = entries.Take();
      return listing;
    }
    listing.failure = failureOf(listing.result);
    entries = Entries();
  }
  listing.fromCache = true;
  if (models) {
    for (ModelIter it = CachedModels(server, owner); it; ++it) entries.Add(it->Identification());
  } else {
    for (WorldIter it = CachedWorlds(server, owner); it; ++it) entries.Add(*it);
  }
  listing.resources = entries.Take();
  return listing;
}

}  // namespace qx::quarn_tools::internal
