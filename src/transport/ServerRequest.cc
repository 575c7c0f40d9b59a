#include "ServerRequest.hh"

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <qx/common/Util.hh>

#include "ExchangeRules.hh"
#include "engine/Connections.hh"
#include "Routes.hh"

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

std::vector<std::string> WithRevalidation(const std::string &route,
                                          std::vector<std::string> headers) {
  if (routes::NamesFixedVersion(route)) return headers;
  for (const std::string &line : headers) {
    if (qx::common::lowercase(line).rfind("cache-control:", 0) == 0) return headers;
  }
  headers.push_back(kRevalidateHeader);
  return headers;
}

std::vector<std::string> CallerHeadersFor(const ServerConfig &asked, const ServerConfig &target,
                                          const std::vector<std::string> &headers) {
  if (OriginOf(asked.Url().Str()) == OriginOf(target.Url().Str())) return headers;
  return WithoutCredentials(headers);
}

RestResponse SendToServer(const Rest &rest, HttpMethod method, const ServerConfig &server,
                          const std::string &route,
                          const std::vector<std::string> &queryStrings,
                          const std::vector<std::string> &headers, const std::string &data,
                          const std::multimap<std::string, std::string> &form) {
  return rest.Request(method, server.Url().Str(), server.Version(), route, queryStrings,
                      method == HttpMethod::GET ? WithRevalidation(route, headers) : headers,
                      data, form);
}

ServerReply ReplyOf(const ServerConfig &server, const std::string &resource,
                    const RestResponse &response) {
  ServerReply reply;
  reply.server = server.Url().Str();
  reply.resource = resource;
  reply.status = response.statusCode;
  reply.text = response.data.substr(0, ServerReply::kTextLimit);
  return reply;
}

Result ResultOf(ResultType type, const ServerConfig &server, const std::string &resource,
                const RestResponse &response) {
  return Result(type, ReplyOf(server, resource, response));
}

bool RefusedOffline(const ClientConfig &config, const std::string &what) {
  if (!config.Offline()) return false;
  qxerr << "offline: " << what << "\n";
  return true;
}

std::string ServerForLog(const ServerConfig &server) {
  ServerConfig shown = server;
  if (!shown.ApiKey().empty()) shown.SetApiKey("(set, not shown)");
  return shown.AsString("");
}

}  // namespace qx::quarn_tools::internal
