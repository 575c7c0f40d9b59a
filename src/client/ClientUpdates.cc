// Bringing the cache up to date: every cached model or world whose server
// has a newer version gets that version downloaded. Older versions stay.
#include <map>

#include <qx/common/Console.hh>

#include "ClientUpdates.hh"

namespace qx::quarn_tools::internal {

namespace {

// The texts that differ between models and worlds.
struct UpdateTexts {
  const char *kind;           // "models" or "worlds"
  const char *detailsFailed;  // followed by owner/name and "]\n"
  const char *updating;       // followed by owner/name
  const char *upToDate;       // followed by owner/name
};

const UpdateTexts kModelTexts{"models", "Failed to fetch model details for model[",
                              "Updating model ", "Model "};
const UpdateTexts kWorldTexts{"worlds", "Failed to fetch world details for world[",
                              "Updating world ", "World "};

// Keeps, per unique name, the identifier of the newest version seen.
template <typename Identifier>
void KeepNewest(const Identifier &id, std::map<std::string, Identifier> &newest) {
  const auto [entry, added] = newest.emplace(id.UniqueName(), id);
  if (!added && entry->second.Version() < id.Version()) entry->second = id;
}

template <typename Identifier>
ResourceUpdate UpdateOf(const Identifier &cached, const UpdateTexts &texts) {
  ResourceUpdate update;
  update.kind = texts.kind;
  update.server = cached.Server();
  update.owner = cached.Owner();
  update.name = cached.Name();
  update.cachedVersion = cached.Version();
  return update;
}

// Asks the server of every entry, in unique-name order, for its newest
// version and downloads that version when it is newer than the cached one;
// one record per entry. `details` fetches the server's record, `download`
// fetches a version.
template <typename Identifier, typename Details, typename Download>
std::vector<ResourceUpdate> UpdateEach(const std::map<std::string, Identifier> &newest,
                                       const UpdateTexts &texts, Details details,
                                       Download download) {
  std::vector<ResourceUpdate> updates;
  for (const auto &[uniqueName, cached] : newest) {
    ResourceUpdate update = UpdateOf(cached, texts);
    const std::string ownerName = cached.Owner() + "/" + cached.Name();
    Identifier latest;
    update.result = details(cached, latest);
    if (!update.result) {
      qxerr << texts.detailsFailed << ownerName << "]\n";
      update.failure = failureOf(update.result);
    } else if (cached.Version() < latest.Version()) {
      update.serverVersion = latest.Version();
      qxmsg << texts.updating << ownerName << " up to version " << latest.Version() << "\n";
      const DownloadOutcome outcome = download(latest);
      update.result = outcome.result;
      update.failure = outcome.failure;
      update.path = outcome.path;
    } else {
      update.serverVersion = latest.Version();
      update.result = Result(FETCH_CACHED);
      qxmsg << texts.upToDate << ownerName << " is up to date.\n";
    }
    updates.push_back(update);
  }
  return updates;
}

}  // namespace

ClientUpdates::ClientUpdates(const std::shared_ptr<LocalCache> &cache,
                             const ClientListings &listings, Downloader &downloads)
    : cache_(cache), listings_(listings), downloads_(downloads) {}

std::vector<ResourceUpdate> ClientUpdates::Models(const std::vector<std::string> &headers) {
  std::map<std::string, ModelIdentifier> newest;
  for (ModelIter it = cache_->AllModels(); it; ++it) KeepNewest(it->Identification(), newest);
  return UpdateEach(
      newest, kModelTexts,
      [&](const ModelIdentifier &cached, ModelIdentifier &latest) {
        return listings_.ModelDetails(cached, latest, headers);
      },
      [&](const ModelIdentifier &latest) {
        return downloads_.ModelOutcome(latest, headers, latest.Url().Str());
      });
}

std::vector<ResourceUpdate> ClientUpdates::Worlds(const std::vector<std::string> &headers) {
  std::map<std::string, WorldIdentifier> newest;
  for (WorldIter it = cache_->AllWorlds(); it; ++it) KeepNewest(*it, newest);
  return UpdateEach(
      newest, kWorldTexts,
      [&](const WorldIdentifier &cached, WorldIdentifier &latest) {
        return listings_.WorldDetails(cached, latest, headers);
      },
      [&](WorldIdentifier latest) {
        return downloads_.WorldOutcome(latest, headers, latest.Url().Str());
      });
}

}  // namespace qx::quarn_tools::internal
