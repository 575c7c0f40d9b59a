#include "MultipartReader.hh"

#include <algorithm>
#include <cctype>
#include <vector>

#include <qx/common/Util.hh>

namespace qx::quarn_server {
namespace {

const char kCrlf[] = "\r\n";
// Blanks a sender may put after a delimiter, before its line end.
const std::size_t kMaxPadding = 64;

std::string trimmed(const std::string &text) {
  const char *blanks = " \t";
  const std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(blanks) + 1 - begin);
}

// The parameters of a header value ("form-data; name=\"a\"; filename=b"):
// the first item, then name and value pairs with lower-case names. A
// quoted value runs to the next quote, taken as it stands (form senders
// percent-encode quotes in names rather than escape them); false when a
// quote is not closed.
bool splitParameters(const std::string &value, std::string &first,
                     std::vector<std::pair<std::string, std::string>> &parameters) {
  std::size_t at = value.find(';');
  first = qx::common::lowercase(trimmed(value.substr(0, at)));
  while (at != std::string::npos) {
    ++at;
    const std::size_t equals = value.find('=', at);
    const std::size_t semicolon = value.find(';', at);
    if (equals == std::string::npos || (semicolon != std::string::npos && semicolon < equals)) {
      at = semicolon;  // a parameter without a value: left out
      continue;
    }
    const std::string name = qx::common::lowercase(trimmed(value.substr(at, equals - at)));
    std::size_t start = equals + 1;
    while (start < value.size() && (value[start] == ' ' || value[start] == '\t')) ++start;
    std::string text;
    if (start < value.size() && value[start] == '"') {
      const std::size_t close = value.find('"', start + 1);
      if (close == std::string::npos) return false;
      text = value.substr(start + 1, close - start - 1);
      at = value.find(';', close);
    } else {
      const std::size_t end = value.find(';', start);
      text = trimmed(value.substr(start, end == std::string::npos ? end : end - start));
      at = end;
    }
    parameters.emplace_back(name, text);
  }
  return true;
}

bool validBoundary(const std::string &boundary) {
  static const std::string kAllowed = "'()+_,-./:=? ";
  return !boundary.empty() && boundary.size() <= 70 && boundary.back() != ' ' &&
         std::all_of(boundary.begin(), boundary.end(), [](unsigned char c) {
           return std::isalnum(c) || kAllowed.find(static_cast<char>(c)) != std::string::npos;
         });
}

}  // namespace

std::optional<std::string> MultipartReader::Boundary(const std::string &contentType) {
  std::string type;
  std::vector<std::pair<std::string, std::string>> parameters;
  if (!splitParameters(contentType, type, parameters) || type != "multipart/form-data")
    return std::nullopt;
  for (const auto &[name, value] : parameters) {
    if (name == "boundary") return validBoundary(value) ? std::optional<std::string>(value) : std::nullopt;
  }
  return std::nullopt;
}

MultipartReader::MultipartReader(const std::string &boundary, Sink &sink)
    : delimiter_(std::string(kCrlf) + "--" + boundary), sink_(sink), pending_(kCrlf) {}

bool MultipartReader::Fail(const std::string &why) {
  if (state_ != State::kFailed) error_ = why;
  state_ = State::kFailed;
  pending_.clear();
  return false;
}

bool MultipartReader::Feed(const char *data, std::size_t size) {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kEpilogue) return true;
  pending_.append(data, size);
  return Advance();
}

bool MultipartReader::Finish() {
  if (state_ == State::kFailed) return false;
  if (state_ != State::kEpilogue) return Fail("The form ends before its closing delimiter");
  return true;
}

bool MultipartReader::Advance() {
  std::string why;
  while (true) {
    switch (state_) {
      case State::kPreamble: {
        const std::size_t at = pending_.find(delimiter_);
        if (at == std::string::npos) {
          // Only a delimiter's length is kept of the preamble.
          if (pending_.size() >= delimiter_.size())
            pending_.erase(0, pending_.size() - (delimiter_.size() - 1));
          return true;
        }
        pending_.erase(0, at + delimiter_.size());
        state_ = State::kAfterDelimiter;
        break;
      }
      case State::kAfterDelimiter: {
        if (pending_.size() < 2) return true;
        if (pending_.compare(0, 2, "--") == 0) {
          if (inPart_ && !sink_.EndPart(why)) return Fail(why);
          inPart_ = false;
          state_ = State::kEpilogue;
          pending_.clear();
          return true;
        }
        std::size_t padding = 0;
        while (padding < pending_.size() && (pending_[padding] == ' ' || pending_[padding] == '\t'))
          ++padding;
        if (padding > kMaxPadding) return Fail("The form has a malformed delimiter");
        if (pending_.size() < padding + 2) return true;
        if (pending_.compare(padding, 2, kCrlf) != 0)
          return Fail("The form has a malformed delimiter");
        pending_.erase(0, padding + 2);
        if (inPart_ && !sink_.EndPart(why)) return Fail(why);
        inPart_ = false;
        state_ = State::kHeader;
        break;
      }
      case State::kHeader: {
        std::size_t end = std::string::npos;
        std::size_t skip = 0;
        if (pending_.compare(0, 2, kCrlf) == 0) {
          end = 0;
          skip = 2;
        } else {
          end = pending_.find("\r\n\r\n");
          skip = 4;
        }
        if (end == std::string::npos) {
          if (pending_.size() > kMaxPartHeader) return Fail("A part of the form has a header too long");
          return true;
        }
        if (end > kMaxPartHeader) return Fail("A part of the form has a header too long");
        PartHeader header;
        if (!ParseHeader(pending_.substr(0, end), header))
          return Fail("A part of the form has no valid form-data disposition");
        pending_.erase(0, end + skip);
        if (++parts_ > kMaxParts) return Fail("The form has too many parts");
        if (!sink_.BeginPart(header, why)) return Fail(why);
        inPart_ = true;
        state_ = State::kData;
        break;
      }
      case State::kData: {
        const std::size_t at = pending_.find(delimiter_);
        if (at == std::string::npos) {
          // Everything but what may be the start of a delimiter.
          const std::size_t keep = std::min(pending_.size(), delimiter_.size() - 1);
          const std::size_t ready = pending_.size() - keep;
          if (ready > 0) {
            if (!sink_.PartData(pending_.data(), ready, why)) return Fail(why);
            pending_.erase(0, ready);
          }
          return true;
        }
        if (at > 0 && !sink_.PartData(pending_.data(), at, why)) return Fail(why);
        pending_.erase(0, at + delimiter_.size());
        state_ = State::kAfterDelimiter;
        break;
      }
      case State::kEpilogue:
        pending_.clear();
        return true;
      case State::kFailed:
        return false;
    }
  }
}

bool MultipartReader::ParseHeader(const std::string &block, PartHeader &header) {
  bool disposition = false;
  std::size_t at = 0;
  while (at <= block.size()) {
    std::size_t end = block.find(kCrlf, at);
    if (end == std::string::npos) end = block.size();
    const std::string line = block.substr(at, end - at);
    at = end + 2;
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    const std::string name = qx::common::lowercase(trimmed(line.substr(0, colon)));
    const std::string value = trimmed(line.substr(colon + 1));
    if (name == "content-type") {
      header.contentType = value;
    } else if (name == "content-disposition") {
      std::string type;
      std::vector<std::pair<std::string, std::string>> parameters;
      if (!splitParameters(value, type, parameters) || type != "form-data") return false;
      for (const auto &[key, text] : parameters) {
        if (key == "name" && !disposition) {
          header.name = text;
          disposition = true;
        } else if (key == "filename" && !header.filename) {
          header.filename = text;
        }
      }
    }
  }
  return disposition;
}

}  // namespace qx::quarn_server
