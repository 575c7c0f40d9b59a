#include "PrintableText.hh"

#include <cstddef>

namespace qx::quarn_tools {

namespace {

// The length of the well-formed UTF-8 sequence at `at`, with its code point
// in `codePoint`; 0 when the bytes there are none (a stray continuation
// byte, a cut or overlong sequence, a surrogate, a value past U+10FFFF).
std::size_t decodeUtf8(const std::string &text, std::size_t at, char32_t &codePoint) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 1;
  char32_t smallest = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return 0;
  return length;
}

// Characters that move the cursor, recolour the screen, break a line or
// reorder what follows: C0 and C1 controls, DEL, and the bidirectional
// marks, embeddings, overrides and isolates.
bool actsOnTerminal(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E ||
         c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

namespace internal {

void AppendPercentEscaped(std::string &out, unsigned char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace internal

std::string printableText(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = decodeUtf8(text, at, codePoint);
    const std::size_t span = length == 0 ? 1 : length;
    const bool escape = length == 0 || actsOnTerminal(codePoint);
    for (std::size_t i = 0; i < span; ++i) {
      if (escape)
        internal::AppendPercentEscaped(out, static_cast<unsigned char>(text[at + i]));
      else
        out += text[at + i];
    }
    at += span;
  }
  return out;
}

std::string validUtf8(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    char32_t codePoint = 0;
    const std::size_t length = decodeUtf8(text, at, codePoint);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    out.append(text, at, length);
    at += length;
  }
  return out;
}

}  // namespace qx::quarn_tools
