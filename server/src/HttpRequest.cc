#include "HttpRequest.hh"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include <qx/common/Util.hh>

#include "Reply.hh"

namespace qx::quarn_server {
namespace {

std::string trimmed(const std::string &text) {
  const char *blanks = " \t";
  const std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(blanks) + 1 - begin);
}

bool decimalDigits(const std::string &text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::optional<FramingProblem> badRequest(const std::string &message) {
  return FramingProblem{400, message};
}

}  // namespace

std::optional<std::string> HttpRequest::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameHeaderName(header.first, name)) return header.second;
  return std::nullopt;
}

std::size_t HttpRequest::Count(const std::string &name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(),
                    [&](const auto &header) { return sameHeaderName(header.first, name); }));
}

bool HttpRequest::HasBody() const {
  if (Count("Transfer-Encoding") > 0) return true;
  const std::optional<std::uint64_t> length = DeclaredLength();
  return length && *length > 0;
}

std::optional<std::uint64_t> HttpRequest::DeclaredLength() const {
  const std::optional<std::string> value = Header("Content-Length");
  if (!value) return std::nullopt;
  const std::string digits = trimmed(*value);
  if (!decimalDigits(digits)) return std::nullopt;
  std::uint64_t length = 0;
  for (unsigned char c : digits) {
    const std::uint64_t digit = c - '0';
    if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return std::numeric_limits<std::uint64_t>::max();
    length = length * 10 + digit;
  }
  return length;
}

bool httpToken(const std::string &name) {
  static const char kSpecials[] = "!#$%&'*+-.^_`|~";
  return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || (c != '\0' && std::strchr(kSpecials, c) != nullptr);
  });
}

std::optional<FramingProblem> framingProblem(const HttpRequest &request, bool methodTakesBody) {
  const bool badTarget =
      request.target.empty() || std::any_of(request.target.begin(), request.target.end(),
                                            [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
  if (badTarget) return badRequest("Bad request line");
  for (const auto &header : request.headers)
    if (!httpToken(header.first)) return badRequest("Bad header name");
  const bool http11 = request.version == "HTTP/1.1";
  const std::size_t hosts = request.Count("Host");
  if (hosts > 1 || (http11 && hosts == 0)) return badRequest("A request needs one Host header");
  const std::size_t lengths = request.Count("Content-Length");
  if (lengths > 1) return badRequest("More than one Content-Length");
  if (lengths == 1 && !decimalDigits(trimmed(*request.Header("Content-Length"))))
    return badRequest("Bad Content-Length");
  const std::size_t codings = request.Count("Transfer-Encoding");
  if (codings > 0) {
    if (lengths > 0) return badRequest("Content-Length beside Transfer-Encoding");
    if (codings > 1 || !http11) return badRequest("Bad Transfer-Encoding");
    if (qx::common::lowercase(trimmed(*request.Header("Transfer-Encoding"))) != "chunked")
      return FramingProblem{501, "Transfer-Encoding not supported"};
  }
  if (request.HasBody() && !methodTakesBody)
    return badRequest("A " + request.method + " request takes no body");
  return std::nullopt;
}

}  // namespace qx::quarn_server
