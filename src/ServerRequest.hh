/*
 * The one place that sends a request to a repository server below its URL
 * and API version, and that adds a server's API key to header lines.
 * Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_

#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// The header line that carries a server's API key.
inline constexpr const char *kApiKeyHeader = "Private-token:";

// Appends "Private-token: KEY" when the server has a key and no line of
// `headers` carries "Private-token:" already.
void AddApiKeyHeader(const ServerConfig &server, std::vector<std::string> &headers);

// `headers` plus the server's API key line, as AddApiKeyHeader makes it.
std::vector<std::string> HeadersWithApiKey(const ServerConfig &server,
                                           const std::vector<std::string> &headers);

// Sends `method` to route `route` below the server's URL and API version.
RestResponse SendToServer(const Rest &rest, HttpMethod method, const ServerConfig &server,
                          const std::string &route,
                          const std::vector<std::string> &queryStrings,
                          const std::vector<std::string> &headers,
                          const std::string &data = "",
                          const std::multimap<std::string, std::string> &form = {});

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_
