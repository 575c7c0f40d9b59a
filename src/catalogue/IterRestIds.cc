#include "IterRestIds.hh"

#include <string>

#include "ListedModel.hh"
#include "ListingRequest.hh"
#include "Routes.hh"
#include "qx/quarn_tools/JSONParser.hh"

namespace qx::quarn_tools {

namespace {

std::string PageQuery(std::uint64_t page) { return "page=" + std::to_string(page); }

}  // namespace

IterRestIds::IterRestIds(const Rest &rest, const ServerConfig &server, const std::string &api)
    : config(server), api(api), taken(server, api), ahead(rest, server, api) {
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
  const RestResponse response = ahead.Take(PageQuery(page));
  std::vector<ModelIdentifier> models;
  if (response.statusCode == 200 && response.data != internal::kNoMorePages &&
      !taken.Ends(std::to_string(page), response.data)) {
    models = JSONParser::ParseModels(response.data, config);
    if (models.empty()) internal::ListingPageWatch::NoteEmptyPage(config, api, response);
  }
  if (models.empty()) {
    ahead.Drop();
  } else {
    AskAhead();
  }
  return models;
}

void IterRestIds::AskAhead() {
  // The listing of one resource has one page.
  if (!internal::routes::IsPagedListing(api)) return;
  std::vector<std::string> queries;
  const std::uint64_t last = page + internal::PagesAhead::Window(page);
  for (std::uint64_t next = page + 1; next <= last && next <= internal::ListingPages::kMaxPages;
       ++next)
    queries.push_back(PageQuery(next));
  ahead.Ask(queries);
}

}  // namespace qx::quarn_tools
