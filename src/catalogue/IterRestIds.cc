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

namespace internal {

ModelPages::ModelPages(const Rest &rest, const ServerConfig &server, const std::string &api)
    : config(server), api(api), taken(server, api), ahead(rest, server, api) {}

std::vector<ModelIdentifier> ModelPages::Next() {
  ++page;
  const RestResponse response = ahead.Take(PageQuery(page));
  std::vector<ModelIdentifier> models;
  if (response.statusCode == 200 && response.data != kNoMorePages &&
      !taken.Ends(std::to_string(page), response.data)) {
    models = JSONParser::ParseModels(response.data, config);
    if (models.empty()) ListingPageWatch::NoteEmptyPage(config, api, response);
  }
  if (models.empty()) {
    ahead.Drop();
  } else {
    AskAhead();
  }
  return models;
}

void ModelPages::AskAhead() {
  // The listing of one resource has one page.
  if (!routes::IsPagedListing(api)) return;
  std::vector<std::string> queries;
  const std::uint64_t last = page + PagesAhead::Window(page);
  for (std::uint64_t next = page + 1; next <= last && next <= ListingPages::kMaxPages; ++next)
    queries.push_back(PageQuery(next));
  ahead.Ask(queries);
}

}  // namespace internal

IterRestIds::IterRestIds(const Rest &rest, const ServerConfig &server, const std::string &api)
    : config(server), pages(rest, server, api) {
  Next();
}

IterRestIds::~IterRestIds() = default;

void IterRestIds::Next() {
  if (position >= ids.size() || position + 1 >= ids.size()) {
    ids = pages.Next();
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

}  // namespace qx::quarn_tools
