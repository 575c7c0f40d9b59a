#include "TerminalOutput.hh"

#include <unistd.h>

#include <iostream>

#include <qx/common/Util.hh>

namespace qx::quarn_cli {

namespace {
constexpr unsigned char kEscape = 0x1B;
}  // namespace

PlainTextBuffer::PlainTextBuffer(std::streambuf *target) : target_(target) {}

bool PlainTextBuffer::Accept(unsigned char c) {
  switch (state_) {
    case State::kEscape:
      // "ESC [" opens a control sequence; any other escape is two bytes.
      state_ = c == '[' ? State::kControlSequence : State::kText;
      return false;
    case State::kControlSequence:
      // Parameter and intermediate bytes, then one final byte.
      if (c >= 0x40 && c <= 0x7E) state_ = State::kText;
      return false;
    case State::kText:
      break;
  }
  if (c == kEscape) {
    state_ = State::kEscape;
    return false;
  }
  return c >= 0x20 ? c != 0x7F : (c == '\n' || c == '\t');
}

PlainTextBuffer::int_type PlainTextBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  if (!Accept(static_cast<unsigned char>(byte))) return c;
  return target_->sputc(byte);
}

std::streamsize PlainTextBuffer::xsputn(const char *text, std::streamsize count) {
  for (std::streamsize i = 0; i < count; ++i) {
    if (!Accept(static_cast<unsigned char>(text[i]))) continue;
    if (traits_type::eq_int_type(target_->sputc(text[i]), traits_type::eof())) return i;
  }
  return count;
}

int PlainTextBuffer::sync() { return target_->pubsync(); }

bool coloursWanted(const std::string &mode) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  std::string value;
  if (qx::common::env("NO_COLOR", value)) return false;
  if (qx::common::env("TERM", value) && value == "dumb") return false;
  return ::isatty(STDOUT_FILENO) == 1;
}

PlainStandardOutput::PlainStandardOutput(bool colours) {
  if (colours) return;
  buffer_ = std::make_unique<PlainTextBuffer>(std::cout.rdbuf());
  original_ = std::cout.rdbuf(buffer_.get());
}

PlainStandardOutput::~PlainStandardOutput() {
  if (!buffer_) return;
  std::cout.flush();
  std::cout.rdbuf(original_);
}

}  // namespace qx::quarn_cli
