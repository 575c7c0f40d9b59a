/*
 * The pages of a server's world listing, taken one by one (in
 * WorldIter.cc). WorldIterRestIds takes them all when it is made; a caller
 * that wants each page as it arrives takes them itself. Internal to the
 * library.
 */
#ifndef QX_QUARN_TOOLS_SRC_WORLDPAGES_HH_
#define QX_QUARN_TOOLS_SRC_WORLDPAGES_HH_

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "ListingRequest.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

// Follows the server's "Link" header from page to page; the pages after the
// first are asked ahead by the number in the next link, and taken only when
// the next link that arrives names them. The listing ends at a failed page,
// an empty page, a page without a next link, a next link without "page=" or
// naming a page already fetched, a page the same as one before it, or after
// a million worlds. Pages are noted by the taking thread's ListingPageWatch.
class WorldPages {
 public:
  // Asks nothing yet. Only `rest`'s user agent is taken.
  WorldPages(const Rest &rest, const ServerConfig &server, const std::string &api);

  // Takes the next page: false at the end (nothing asked), else true with
  // the page's worlds in `page` (empty for an empty page, which ends the
  // listing).
  bool Next(std::vector<WorldIdentifier> &page);
  // The body of the page taken last.
  const std::string &LastBody() const { return body; }

 private:
  ServerConfig config;
  std::string api;
  std::string query;
  std::set<std::string> fetched;
  ListingPages taken;
  PagesAhead ahead;
  std::size_t pages = 0;
  std::size_t worlds = 0;
  bool ended = false;
  std::string body;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_WORLDPAGES_HH_
