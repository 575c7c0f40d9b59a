/*
 * The one place that sends a request to a repository server below its URL
 * and API version, that adds a server's API key to header lines, that asks
 * caches between for the server's own answer where it changes, that
 * records what a server answered in a result, and that refuses requests in
 * offline mode. Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_
#define QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_

#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"
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

// The header line that has every cache between a client and a server ask
// the server before it answers (a shared cache may hold an old answer).
inline constexpr const char *kRevalidateHeader = "Cache-Control: no-cache";

// `headers` for a GET of `route`, plus kRevalidateHeader when the route
// names something that changes (all but a numbered version's archive,
// routes::NamesFixedVersion) and no line sets Cache-Control already. Caches
// between may answer requests for a numbered version themselves.
std::vector<std::string> WithRevalidation(const std::string &route,
                                          std::vector<std::string> headers);

// The caller's header lines, given for a request to `asked`, as they may go
// to `target`: all of them at the same origin (scheme, host and port),
// without the credential lines elsewhere.
std::vector<std::string> CallerHeadersFor(const ServerConfig &asked, const ServerConfig &target,
                                          const std::vector<std::string> &headers);

// Sends `method` to route `route` below the server's URL and API version;
// a GET WithRevalidation.
RestResponse SendToServer(const Rest &rest, HttpMethod method, const ServerConfig &server,
                          const std::string &route,
                          const std::vector<std::string> &queryStrings,
                          const std::vector<std::string> &headers,
                          const std::string &data = "",
                          const std::multimap<std::string, std::string> &form = {});

// What `server` answered when asked for `resource`.
ServerReply ReplyOf(const ServerConfig &server, const std::string &resource,
                    const RestResponse &response);

// A result of `type` carrying what the server answered.
Result ResultOf(ResultType type, const ServerConfig &server, const std::string &resource,
                const RestResponse &response);

// True, with the error line "offline: " + `what`, when the configuration is
// offline: the caller then sends nothing.
bool RefusedOffline(const ClientConfig &config, const std::string &what);

// The server's dump for a log line: as ServerConfig::AsString, with the API
// key replaced by a mark that only says whether there is one.
std::string ServerForLog(const ServerConfig &server);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_SERVERREQUEST_HH_
