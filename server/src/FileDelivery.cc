#include "FileDelivery.hh"

#include <cctype>
#include <cstring>
#include <limits>
#include <vector>

#include <qx/common/Util.hh>

namespace qx::quarn_server {
namespace {

std::string trim(const std::string &text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A decimal number; numbers past the 64-bit range give the largest value.
// nullopt for anything but digits.
std::optional<std::uint64_t> decimal(const std::string &text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (unsigned char c : text) {
    if (!std::isdigit(c)) return std::nullopt;
    const std::uint64_t digit = c - '0';
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    value = value > (max - digit) / 10 ? max : value * 10 + digit;
  }
  return value;
}

// An entity tag without a weakness prefix.
std::string opaqueTag(const std::string &tag) {
  const std::string trimmed = trim(tag);
  return trimmed.compare(0, 2, "W/") == 0 ? trimmed.substr(2) : trimmed;
}

// Whether an If-None-Match list names `tag` (weak comparison) or is "*".
bool tagListMatches(const std::string &list, const std::string &tag) {
  for (const std::string &item : qx::common::split(list, ",")) {
    const std::string candidate = trim(item);
    if (candidate == "*" || opaqueTag(candidate) == opaqueTag(tag)) return true;
  }
  return false;
}

// Whether the reply's Last-Modified is no later than the date `since`.
bool unmodifiedSince(const Reply &reply, const std::string &since) {
  const std::optional<std::string> modified = reply.Header("Last-Modified");
  const std::optional<std::time_t> sinceTime = parseHttpDate(since);
  const std::optional<std::time_t> modifiedTime =
      modified ? parseHttpDate(*modified) : std::nullopt;
  return sinceTime && modifiedTime && *modifiedTime <= *sinceTime;
}

// Whether the cache that sent the conditions holds what the reply would send.
bool notModified(const DeliveryConditions &conditions, const Reply &reply) {
  const std::optional<std::string> tag = reply.Header("ETag");
  if (conditions.ifNoneMatch) return tag && tagListMatches(*conditions.ifNoneMatch, *tag);
  return conditions.ifModifiedSince && unmodifiedSince(reply, *conditions.ifModifiedSince);
}

// Whether an If-Range (a strong entity tag or a date) still holds.
bool ifRangeHolds(const std::string &ifRange, const Reply &reply) {
  const std::string value = trim(ifRange);
  if (!value.empty() && (value[0] == '"' || value.compare(0, 2, "W/") == 0)) {
    const std::optional<std::string> tag = reply.Header("ETag");
    return value[0] == '"' && tag && value == *tag;
  }
  const std::optional<std::string> modified = reply.Header("Last-Modified");
  return modified && trim(*modified) == value;
}

void answerNotModified(Reply &reply) {
  reply.status = 304;
  reply.file.reset();
  reply.fileOffset = reply.fileLength = 0;
  reply.body.clear();
  reply.RemoveHeader("Content-Type");
}

void answerUnsatisfiable(Reply &reply, std::uint64_t size) {
  reply.status = 416;
  reply.SetBody("Range not satisfiable\n");
  reply.SetHeader("Content-Type", "text/plain");
  reply.SetHeader("Content-Range", "bytes */" + std::to_string(size));
}

}  // namespace

RangeAnswer answerRange(const std::string &header, std::uint64_t size) {
  RangeAnswer answer;
  const std::string value = trim(header);
  const std::size_t equals = value.find('=');
  if (equals == std::string::npos || qx::common::lowercase(trim(value.substr(0, equals))) != "bytes")
    return answer;  // not a byte range: served whole
  // The ranges of the set; a list may hold empty elements ("0-5,").
  std::vector<std::string> ranges;
  for (const std::string &item : qx::common::split(value.substr(equals + 1), ","))
    if (!trim(item).empty()) ranges.push_back(trim(item));
  if (ranges.size() > 1) return answer;  // several ranges: served whole
  answer.kind = RangeAnswer::kUnsatisfiable;
  if (ranges.empty()) return answer;
  const std::string &range = ranges.front();
  const std::size_t dash = range.find('-');
  if (dash == std::string::npos) return answer;
  const std::string firstText = trim(range.substr(0, dash));
  const std::string lastText = trim(range.substr(dash + 1));
  const std::optional<std::uint64_t> first = decimal(firstText);
  const std::optional<std::uint64_t> last = decimal(lastText);
  if (firstText.empty()) {
    // A suffix: the last N bytes.
    if (!last || *last == 0 || size == 0) return answer;
    answer.first = *last >= size ? 0 : size - *last;
  } else {
    if (!first || (!lastText.empty() && (!last || *last < *first)) || *first >= size)
      return answer;
    answer.first = *first;
  }
  const std::uint64_t end = !firstText.empty() && last && *last < size ? *last + 1 : size;
  answer.kind = RangeAnswer::kPart;
  answer.length = end - answer.first;
  return answer;
}

std::optional<std::time_t> parseHttpDate(const std::string &text) {
  const std::string value = trim(text);
  // IMF-fixdate, then the obsolete forms that recipients must still take:
  // RFC 850 (two-digit years) and asctime.
  for (const char *format : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT",
                             "%a %b %e %H:%M:%S %Y"}) {
    std::tm parts{};
    const char *end = ::strptime(value.c_str(), format, &parts);
    if (end != nullptr && *end == '\0') return ::timegm(&parts);
  }
  return std::nullopt;
}

void deliverFile(const DeliveryConditions &conditions, Reply &reply) {
  if (reply.status != 200) return;
  if (conditions.method != "GET" && conditions.method != "HEAD") return;
  if (!reply.file) {
    // A document: named by its ETag alone, and always sent whole.
    const std::optional<std::string> tag = reply.Header("ETag");
    if (tag && conditions.ifNoneMatch && tagListMatches(*conditions.ifNoneMatch, *tag))
      answerNotModified(reply);
    return;
  }
  if (notModified(conditions, reply)) {
    answerNotModified(reply);
    return;
  }
  if (!conditions.range) return;
  if (conditions.ifRange && !ifRangeHolds(*conditions.ifRange, reply)) return;
  const std::uint64_t size = reply.fileLength;
  const RangeAnswer range = answerRange(*conditions.range, size);
  if (range.kind == RangeAnswer::kUnsatisfiable) {
    answerUnsatisfiable(reply, size);
  } else if (range.kind == RangeAnswer::kPart) {
    reply.status = 206;
    reply.fileOffset += range.first;
    reply.fileLength = range.length;
    reply.SetHeader("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                         std::to_string(range.first + range.length - 1) + "/" +
                                         std::to_string(size));
  }
}

}  // namespace qx::quarn_server
