// The answer a watch may change (qx/quarn_server/RequestObserver.hh), over
// the server's own Reply.
#include "qx/quarn_server/RequestObserver.hh"

#include <algorithm>

#include "Reply.hh"

namespace qx::quarn_server {

std::optional<std::string> ReceivedRequest::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameHeaderName(header.first, name)) return header.second;
  return std::nullopt;
}

int ServerAnswer::Status() const { return reply_.status; }

void ServerAnswer::SetStatus(int status) { reply_.status = status; }

std::optional<std::string> ServerAnswer::Header(const std::string &name) const {
  return reply_.Header(name);
}

void ServerAnswer::SetHeader(const std::string &name, const std::string &value) {
  reply_.SetHeader(name, value);
}

void ServerAnswer::AddHeader(const std::string &name, const std::string &value) {
  reply_.headers.emplace_back(name, value);
}

void ServerAnswer::RemoveHeader(const std::string &name) { reply_.RemoveHeader(name); }

void ServerAnswer::SetBody(std::string text) { reply_.SetBody(std::move(text)); }

std::uint64_t ServerAnswer::BodySize() const { return reply_.BodySize(); }

void ServerAnswer::TruncateAfter(std::size_t bytes) { reply_.truncateAfter = bytes; }

void ServerAnswer::Delay(std::chrono::milliseconds delay) {
  reply_.delay = std::max(delay, std::chrono::milliseconds(0));
}

}  // namespace qx::quarn_server
