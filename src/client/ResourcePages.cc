#include "qx/quarn_tools/ResourcePages.hh"

#include <optional>
#include <utility>

#include "IterRestIds.hh"
#include "ListingRequest.hh"
#include "Routes.hh"
#include "ServerRequest.hh"
#include "WorldPages.hh"

namespace qx::quarn_tools {

using internal::ListingPageWatch;

class ResourcePages::Walk {
 public:
  Walk(const ClientConfig &config, const Rest &rest, const ServerConfig &server,
       const std::string &kind, const std::string &owner)
      : server_(server), route_(internal::routes::ServerOrOwner(owner, kind)) {
    if (internal::RefusedOffline(config, "not asking " + server.Url().Str() + " for " + route_)) {
      outcome_ = Result(FETCH_FAILED);
    } else if (kind == internal::kModelsKind) {
      models_.emplace(rest, server, route_);
    } else if (kind == internal::kWorldsKind) {
      worlds_.emplace(rest, server, route_);
    } else {
      outcome_ = Result(FETCH_FAILED);
    }
  }

  bool Next(std::vector<ModelIdentifier> &models) {
    models.clear();
    if (!models_ || ended_) return false;
    // The watch of this call's thread: the walk may move between threads.
    const ListingPageWatch watch;
    models = models_->Next();
    return Took(watch, models);
  }

  bool Next(std::vector<WorldIdentifier> &worlds) {
    worlds.clear();
    if (!worlds_ || ended_) return false;
    const ListingPageWatch watch;
    // An empty page ends the listing: a page of worlds is never empty.
    if (!worlds_->Next(worlds)) worlds.clear();
    return Took(watch, worlds);
  }

  const Result &Outcome() const { return outcome_; }

 private:
  template <typename Identifier>
  bool Took(const ListingPageWatch &watch, std::vector<Identifier> &page) {
    if (watch.Failure()) {
      outcome_ = Result(FETCH_FAILED, *watch.Failure());
      page.clear();
    }
    if (page.empty()) {
      ended_ = true;
      return false;
    }
    for (Identifier &id : page) id.SetServer(server_);
    return true;
  }

  ServerConfig server_;
  std::string route_;
  std::optional<internal::ModelPages> models_;
  std::optional<internal::WorldPages> worlds_;
  Result outcome_{FETCH_DONE};
  bool ended_ = false;
};

ResourcePages::ResourcePages(const ClientConfig &config, const Rest &rest,
                             const ServerConfig &server, const std::string &kind,
                             const std::string &owner)
    : walk_(std::make_unique<Walk>(config, rest, server, kind, owner)) {}

ResourcePages::~ResourcePages() = default;

bool ResourcePages::NextPage(std::vector<ModelIdentifier> &models) { return walk_->Next(models); }

bool ResourcePages::NextPage(std::vector<WorldIdentifier> &worlds) { return walk_->Next(worlds); }

Result ResourcePages::Outcome() const { return walk_->Outcome(); }

}  // namespace qx::quarn_tools
