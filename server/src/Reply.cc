#include "Reply.hh"

#include <algorithm>

#include <qx/common/Util.hh>

namespace qx::quarn_server {

bool sameHeaderName(const std::string &a, const std::string &b) {
  return qx::common::lowercase(a) == qx::common::lowercase(b);
}

void Reply::SetHeader(const std::string &name, const std::string &value) {
  RemoveHeader(name);
  headers.emplace_back(name, value);
}

void Reply::RemoveHeader(const std::string &name) {
  const auto named = [&](const auto &header) { return sameHeaderName(header.first, name); };
  headers.erase(std::remove_if(headers.begin(), headers.end(), named), headers.end());
}

std::optional<std::string> Reply::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameHeaderName(header.first, name)) return header.second;
  return std::nullopt;
}

Reply makeReply(int status, std::string body, const std::string &contentType) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.SetHeader("Content-Type", contentType);
  return reply;
}

Reply errorReply(int status, const std::string &message) {
  return makeReply(status, message + "\n", "text/plain");
}

}  // namespace qx::quarn_server
