// Bringing the cache up to date: every cached model or world whose server
// has a newer version gets that version downloaded. Older versions stay.
#include <map>

#include <qx/common/Console.hh>

#include "QuarnClientPrivate.hh"

namespace qx::quarn_tools {

namespace {

// The texts that differ between models and worlds.
struct UpdateTexts {
  const char *detailsFailed;  // followed by owner/name and "]\n"
  const char *updating;       // followed by owner/name
  const char *upToDate;       // followed by owner/name
};

const UpdateTexts kModelTexts{"Failed to fetch model details for model[", "Updating model ",
                              "Model "};
const UpdateTexts kWorldTexts{"Failed to fetch world details for world[", "Updating world ",
                              "World "};

// Keeps, per unique name, the identifier of the newest version seen.
template <typename Identifier>
void KeepNewest(const Identifier &id, std::map<std::string, Identifier> &newest) {
  const auto [entry, added] = newest.emplace(id.UniqueName(), id);
  if (!added && entry->second.Version() < id.Version()) entry->second = id;
}

// Asks the server of every entry, in unique-name order, for its newest
// version and downloads that version when it is newer than the cached one.
// `details` fetches the server's record, `download` fetches a version.
template <typename Identifier, typename Details, typename Download>
void UpdateEach(const std::map<std::string, Identifier> &newest, const UpdateTexts &texts,
                Details details, Download download) {
  for (const auto &[uniqueName, cached] : newest) {
    const std::string ownerName = cached.Owner() + "/" + cached.Name();
    Identifier latest;
    if (!details(cached, latest)) {
      qxerr << texts.detailsFailed << ownerName << "]\n";
      continue;
    }
    if (cached.Version() < latest.Version()) {
      qxmsg << texts.updating << ownerName << " up to version " << latest.Version() << "\n";
      download(latest);
    } else {
      qxmsg << texts.upToDate << ownerName << " is up to date.\n";
    }
  }
}

}  // namespace

bool QuarnClientPrivate::UpdateModels(const std::vector<std::string> &headers) {
  std::map<std::string, ModelIdentifier> newest;
  for (ModelIter it = cache->AllModels(); it; ++it) KeepNewest(it->Identification(), newest);
  UpdateEach(
      newest, kModelTexts,
      [&](const ModelIdentifier &cached, ModelIdentifier &latest) {
        return static_cast<bool>(ModelDetails(cached, latest, headers));
      },
      [&](const ModelIdentifier &latest) { downloads.DownloadModel(latest, headers); });
  return true;
}

bool QuarnClientPrivate::UpdateWorlds(const std::vector<std::string> &headers) {
  std::map<std::string, WorldIdentifier> newest;
  for (WorldIter it = cache->AllWorlds(); it; ++it) KeepNewest(*it, newest);
  UpdateEach(
      newest, kWorldTexts,
      [&](const WorldIdentifier &cached, WorldIdentifier &latest) {
        return static_cast<bool>(WorldDetails(cached, latest, headers));
      },
      [&](WorldIdentifier latest) { downloads.DownloadWorld(latest, headers); });
  return true;
}

}  // namespace qx::quarn_tools
