/*
 * The model strategy behind server listings: pages through the listing at a
 * route, one page per request, on demand. Internal to the library; made by
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

class IterRestIds : public ModelIterPrivate {
 public:
  // Requests page 1 at once. Only `rest`'s user agent is taken.
  IterRestIds(const Rest &rest, const ServerConfig &server, const std::string &api);
  ~IterRestIds() override;

  // Moves on; when that leaves the current page, requests the next one. The
  // listing ends at the first page that is empty, "null\n", not a 200, or the
  // same as a page before it.
  void Next() override;
  bool HasReachedEnd() const override;

 private:
  std::vector<ModelIdentifier> RequestNextPage();

  ServerConfig config;
  Rest rest;
  std::string api;
  std::vector<ModelIdentifier> ids;
  std::size_t position = 0;
  // Pages requested so far, and those taken.
  std::uint64_t page = 0;
  internal::ListingPages taken;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_ITERRESTIDS_HH_
