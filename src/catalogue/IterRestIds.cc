#include "IterRestIds.hh"

#include <string>

#include "ListedModel.hh"
#include "ListingRequest.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools {

IterRestIds::IterRestIds(const Rest &rest, const ServerConfig &server, const std::string &api)
    : config(server), api(api), taken(server, api) {
  this->rest.SetUserAgent(rest.UserAgent());
  Next();
}

IterRestIds::~IterRestIds() = default;

void IterRestIds::Next() {
  if (position >= ids.size() || position + 1 >= ids.size()) {
    ids = RequestNextPage();
    position = 0;
    // An empty page ends the listing; current keeps the last model.
    if (ids.empty()) return;
  } else {
    ++position;
  }
  ModelIdentifier id = ids[position];
  id.SetServer(config);
  current = internal::ListedModel(id);
}

bool IterRestIds::HasReachedEnd() const { return position >= ids.size(); }

std::vector<ModelIdentifier> IterRestIds::RequestNextPage() {
  ++page;
  const RestResponse response =
      internal::RequestListingPage(rest, config, api, "page=" + std::to_string(page));
  if (response.statusCode != 200 || response.data == internal::kNoMorePages) return {};
  if (taken.Ends(std::to_string(page), response.data)) return {};
  std::vector<ModelIdentifier> models = JSONParser::ParseModels(response.data, config);
  if (models.empty()) internal::ListingPageWatch::NoteEmptyPage(config, api, response);
  return models;
}

}  // namespace qx::quarn_tools
