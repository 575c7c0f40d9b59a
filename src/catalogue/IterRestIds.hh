/*
 * The model strategy behind server listings: pages through the listing at a
 * route, one page per request. The walk is lazy: it yields each page's
 * models in order and ends where the listing ends; the pages after the
 * first are asked ahead of it (ListingRequest.hh: PagesAhead), so the walk
 * seldom waits for one. Internal to the library; made by
 * ModelIterFactory::Create(rest, server, api).
 */
#ifndef QX_QUARN_TOOLS_SRC_ITERRESTIDS_HH_
#define QX_QUARN_TOOLS_SRC_ITERRESTIDS_HH_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ListingRequest.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/ModelIter.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

namespace internal {

// The pages of a model listing at a route, taken one by one: each Next
// takes the next page (asked ahead, or asked now) and asks the pages after
// it ahead. The listing ends at the first page that is empty, "null\n",
// not a 200, or the same as a page before it; the pages asked ahead past it
// are dropped. Pages are noted by the taking thread's ListingPageWatch.
class ModelPages {
 public:
  // Asks nothing yet. Only `rest`'s user agent is taken.
  ModelPages(const Rest &rest, const ServerConfig &server, const std::string &api);

  // The next page's models, each with its server as the listing gives it;
  // empty at the end.
  std::vector<ModelIdentifier> Next();

 private:
  // Asks the pages after `page` ahead, as many as PagesAhead's window, when
  // the route is a paged listing (not the listing of one resource).
  void AskAhead();

  ServerConfig config;
  std::string api;
  // Pages requested so far, and those taken; the pages asked ahead.
  std::uint64_t page = 0;
  ListingPages taken;
  PagesAhead ahead;
};

}  // namespace internal

class IterRestIds : public ModelIterPrivate {
 public:
  // Requests page 1 at once. Only `rest`'s user agent is taken.
  IterRestIds(const Rest &rest, const ServerConfig &server, const std::string &api);
  ~IterRestIds() override;

  // Moves on; when that leaves the current page, takes the next one (asked
  // ahead, or asked now). The listing ends at the first page that is empty,
  // "null\n", not a 200, or the same as a page before it; the pages asked
  // ahead past it are dropped.
  void Next() override;
  bool HasReachedEnd() const override;

 private:
  ServerConfig config;
  std::vector<ModelIdentifier> ids;
  std::size_t position = 0;
  internal::ModelPages pages;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_ITERRESTIDS_HH_
