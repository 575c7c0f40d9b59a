/*
 * Standard output for programs and for people: without colour (on a pipe,
 * with NO_COLOR, TERM=dumb or --color=never), what the commands print loses
 * its colour sequences and control characters, so scripts read plain
 * lines. Install once, from the main thread, before anything is printed.
 */
#ifndef QX_QUARN_CLI_TERMINALOUTPUT_HH_
#define QX_QUARN_CLI_TERMINALOUTPUT_HH_

#include <memory>
#include <streambuf>
#include <string>

namespace qx::quarn_cli {

// Passes text on to another buffer without ANSI escape sequences and without
// control characters other than line feed and tab.
class PlainTextBuffer : public std::streambuf {
 public:
  explicit PlainTextBuffer(std::streambuf *target);

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char *text, std::streamsize count) override;
  int sync() override;

 private:
  // Whether `c` goes through; follows escape sequences across calls.
  bool Accept(unsigned char c);

  enum class State { kText, kEscape, kControlSequence };
  State state_ = State::kText;
  std::streambuf *target_;
};

// Whether standard output gets colours: `mode` is "always", "never" or
// "auto" (a terminal, NO_COLOR unset or empty, TERM not "dumb").
bool coloursWanted(const std::string &mode);

// While it lives, std::cout writes plain text unless `colours`.
class PlainStandardOutput {
 public:
  explicit PlainStandardOutput(bool colours);
  ~PlainStandardOutput();
  PlainStandardOutput(const PlainStandardOutput &) = delete;
  PlainStandardOutput &operator=(const PlainStandardOutput &) = delete;

 private:
  std::unique_ptr<PlainTextBuffer> buffer_;
  std::streambuf *original_ = nullptr;
};

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_TERMINALOUTPUT_HH_
