#include "Reply.hh"

#include <algorithm>
#include <cstdio>

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

void Reply::SetFile(std::shared_ptr<const OpenFile> open, const std::string &tag) {
  body.clear();
  SetHeader("ETag", tag.empty() ? open->Tag() : tag);
  SetHeader("Last-Modified", httpDate(open->Modified()));
  SetHeader("Accept-Ranges", "bytes");
  fileOffset = 0;
  fileLength = open->Size();
  file = std::move(open);
}

void Reply::SetBody(std::string text) {
  if (file) {
    // The validators described the file.
    for (const char *name : {"ETag", "Last-Modified", "Accept-Ranges"}) RemoveHeader(name);
  }
  file.reset();
  fileOffset = fileLength = 0;
  body = std::move(text);
}

void Reply::TagDocument() {
  std::string described = body;
  for (const char *name : {"Content-Type", "Link"})
    described += std::string(1, '\0') + name + ": " + Header(name).value_or("");
  const std::string tag = digestTag(described);
  if (!tag.empty()) SetHeader("ETag", tag);  // else untagged: sent whole every time
}

std::uint64_t Reply::BodySize() const { return file ? fileLength : body.size(); }

std::string httpDate(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
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
