#include "ExchangeRules.hh"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>

#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal {

const char *MethodName(HttpMethod method) {
  switch (method) {
    case HttpMethod::GET:
      return "GET";
    case HttpMethod::DELETE:
      return "DELETE";
    case HttpMethod::PATCH_FORM:
      return "PATCH";
    default:
      return "POST";
  }
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

HttpMethod MethodAfterRedirect(HttpMethod method, long status) {
  if (status == 307 || status == 308) return method;
  if (status == 303) return HttpMethod::GET;
  if (method == HttpMethod::POST || method == HttpMethod::POST_FORM) return HttpMethod::GET;
  return method;
}

std::string Resolve(const std::string &base, const std::string &reference) {
  if (reference.empty()) return std::string();
  std::unique_ptr<CURLU, void (*)(CURLU *)> url(curl_url(), curl_url_cleanup);
  char *resolved = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_URL, &resolved, 0) != CURLUE_OK)
    return std::string();
  std::string text = resolved;
  curl_free(resolved);
  return text;
}

bool IsWebUrl(const std::string &url) {
  const std::string lower = qx::common::lowercase(url.substr(0, 8));
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

bool IsCredentialLine(const std::string &line) {
  return qx::common::lowercase(line).find("private-token:") != std::string::npos;
}

std::vector<std::string> WithoutCredentials(const std::vector<std::string> &headers) {
  std::vector<std::string> kept;
  for (const std::string &line : headers)
    if (!IsCredentialLine(line)) kept.push_back(line);
  return kept;
}

bool NothingSent(CURLcode code) {
  return code == CURLE_COULDNT_CONNECT || code == CURLE_SSL_CONNECT_ERROR;
}

bool RetryableError(HttpMethod method, CURLcode code) {
  if (NothingSent(code)) return true;
  if (method != HttpMethod::GET) return false;
  return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR ||
         code == CURLE_GOT_NOTHING || code == CURLE_PARTIAL_FILE || code == CURLE_HTTP2 ||
         code == CURLE_HTTP2_STREAM;
}

bool RetryableStatus(HttpMethod method, long status) {
  return method == HttpMethod::GET &&
         (status == 429 || status == 502 || status == 503 || status == 504);
}

std::optional<double> RetryAfterSeconds(const std::optional<std::string> &value) {
  if (!value || value->empty()) return std::nullopt;
  if (std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::min(1e6, std::strtod(value->c_str(), nullptr));
  const time_t when = curl_getdate(value->c_str(), nullptr);
  if (when < 0) return std::nullopt;
  return std::max(0.0, std::difftime(when, std::time(nullptr)));
}

double Backoff(const TransferSettings &settings, int retry) {
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> jitter(0.75, 1.25);
  return settings.firstBackoffSeconds * static_cast<double>(1u << std::min(retry - 1, 10)) *
         jitter(random);
}

}  // namespace qx::quarn_tools::internal
