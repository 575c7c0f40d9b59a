/*
 * The one request that every catalogue listing page is fetched with.
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_

#include <string>

#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// The body of a listing page past the last one.
inline constexpr const char *kNoMorePages = "null\n";

// GET of route `api` (backslashes taken as slashes) below the server's URL
// and API version, with the one query item `query` (nothing when empty) and
// "Accept: application/json". No API key is sent.
RestResponse RequestListingPage(const Rest &rest, const ServerConfig &server,
                                const std::string &api, const std::string &query);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_LISTINGREQUEST_HH_
