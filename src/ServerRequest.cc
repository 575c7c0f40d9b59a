#include "ServerRequest.hh"

#include <qx/common/URI.hh>

namespace qx::quarn_tools::internal {

void AddApiKeyHeader(const ServerConfig &server, std::vector<std::string> &headers) {
  for (const auto &line : headers) {
    if (line.find(kApiKeyHeader) != std::string::npos) return;
  }
  const std::string key = server.ApiKey();
  if (!key.empty()) headers.push_back(std::string(kApiKeyHeader) + " " + key);
}

std::vector<std::string> HeadersWithApiKey(const ServerConfig &server,
                                           const std::vector<std::string> &headers) {
  std::vector<std::string> result = headers;
  AddApiKeyHeader(server, result);
  return result;
}

RestResponse SendToServer(const Rest &rest, HttpMethod method, const ServerConfig &server,
                          const std::string &route,
                          const std::vector<std::string> &queryStrings,
                          const std::vector<std::string> &headers, const std::string &data,
                          const std::multimap<std::string, std::string> &form) {
  return rest.Request(method, server.Url().Str(), server.Version(), route, queryStrings,
                      headers, data, form);
}

}  // namespace qx::quarn_tools::internal
