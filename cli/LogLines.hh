/*
 * How quarn writes to standard error: log lines without their source
 * position below debug verbosity, and every line without secrets (API keys,
 * tokens, header values: written "***") and with whatever could act on a
 * terminal escaped. Safe from any thread.
 */
#ifndef QX_QUARN_CLI_LOGLINES_HH_
#define QX_QUARN_CLI_LOGLINES_HH_

#include <string>

#include <qx/common/Console.hh>

namespace qx::quarn_cli {

// Keeps `secret` (blanks around it dropped) out of everything written from
// now on. Texts shorter than four characters are not taken.
void addSecret(const std::string &secret);

// `text` without secrets, each line made printable; line ends stay.
std::string printableLines(const std::string &text);

// A log line as shown at `verbosity`: printable, without secrets, and below
// debug verbosity without the "[file.cc:123] " after its level.
std::string shownLogLine(const std::string &line, int verbosity);

// Writes the bytes to standard error, whole.
void writeStandardError(const std::string &text);

// While it lives, log lines go to standard error as shownLogLine makes them.
class LogLines {
 public:
  LogLines();
  ~LogLines();
  LogLines(const LogLines &) = delete;
  LogLines &operator=(const LogLines &) = delete;

 private:
  qx::common::Console::Sink previous_;
};

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_LOGLINES_HH_
