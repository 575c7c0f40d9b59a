#include "ListingRequest.hh"

#include <qx/common/Util.hh>

#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query) {
  // Routes written Windows style still reach the server with slashes.
  const std::string route = qx::common::replaceAll(api, "\\", "/");
  return SendToServer(rest, HttpMethod::GET, server, route, {query},
                      {"Accept: application/json"});
}

}  // namespace qx::quarn_tools::internal
