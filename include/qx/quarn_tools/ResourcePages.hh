/*
 * A server's listing of models or worlds, taken page by page as the server
 * gives it, with how it ended: each NextPage asks for a page only when the
 * walk reaches it (the pages after it are asked ahead, a few at a time, as
 * the listing iterators do), and a page that fails ends the walk with the
 * failure kept in Outcome(), where the iterators would only end. The ends
 * of a listing are the iterators' own: the first empty page, a page the
 * same as one before, the page limit, a page that is no listing.
 *
 * One walk may be advanced from different threads, one call at a time.
 */
#ifndef QX_QUARN_TOOLS_RESOURCEPAGES_HH_
#define QX_QUARN_TOOLS_RESOURCEPAGES_HH_

#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE ResourcePages {
 public:
  // The listing of `kind` ("models" or "worlds") of `server`, or of `owner`
  // there when not empty. Asks nothing yet. Takes whether `config` is
  // offline (then the first NextPage fails, asking nothing) and `rest`'s
  // user agent.
  ResourcePages(const ClientConfig &config, const Rest &rest, const ServerConfig &server,
                const std::string &kind, const std::string &owner = "");
  ~ResourcePages();
  ResourcePages(const ResourcePages &) = delete;
  ResourcePages &operator=(const ResourcePages &) = delete;

  // The next page of a models listing: true with its models (never empty),
  // each with its server set to `server`; false at the end, after a failed
  // page (see Outcome), or when the listing is of worlds.
  bool NextPage(std::vector<ModelIdentifier> &models);
  // The same for a worlds listing.
  bool NextPage(std::vector<WorldIdentifier> &worlds);

  // FETCH_FAILED with the server's reply once a page failed (or when no
  // listing could be asked: offline, a kind that is neither); else
  // FETCH_DONE, before the end too.
  Result Outcome() const;

 private:
  class Walk;
  std::unique_ptr<Walk> walk_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESOURCEPAGES_HH_
