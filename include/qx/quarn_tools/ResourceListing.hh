/*
 * The models or worlds of one server (or of one owner there) as a front end
 * lists them: the server's own listing, or, when the server fails or the
 * client is offline, what the cache holds of that server, with every cached
 * version. Made by QuarnClient::ListResources; plain values that copy.
 */
#ifndef QX_QUARN_TOOLS_RESOURCELISTING_HH_
#define QX_QUARN_TOOLS_RESOURCELISTING_HH_

#include <string>
#include <vector>

#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools {

// One resource of a listing, once, with the versions known of it: the
// server's newest (when it says), or every cached one, ascending.
struct ListedResource {
  std::string owner;
  std::string name;
  std::vector<unsigned int> versions;
};

struct QX_QUARN_TOOLS_VISIBLE ResourceListing {
  // "models" or "worlds".
  std::string kind;
  // Whether the resources come from the cache: the client is offline, or
  // the server's listing failed.
  bool fromCache = false;
  // How the server answered: FETCH_DONE, or the failure with its answer
  // (and why in `failure`); not asked when offline (then FETCH_FAILED and
  // kOffline).
  Result result;
  DownloadFailure failure;
  // In the order first met.
  std::vector<ListedResource> resources;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESOURCELISTING_HH_
