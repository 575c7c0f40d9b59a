/*
 * What every command function (ListingCommands.cc, DownloadCommand.cc,
 * WriteCommands.cc, MetadataCommands.cc) shares: reading its optional texts,
 * the chatty identifier printout, turning whatever escapes into an error
 * line, and the interrupt rule of downloads and updates. Internal to the
 * library.
 */
#ifndef QX_QUARN_TOOLS_SRC_COMMANDSUPPORT_HH_
#define QX_QUARN_TOOLS_SRC_COMMANDSUPPORT_HH_

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <qx/common/SignalHandler.hh>

#ifndef QX_QUARN_TOOLS_VERSION
#error "QX_QUARN_TOOLS_VERSION must name the library's version"
#endif

namespace qx::quarn_tools::command {

inline constexpr const char *kVersion = QX_QUARN_TOOLS_VERSION;
inline constexpr const char *kUserAgent = "QuarnTools " QX_QUARN_TOOLS_VERSION;

// Not null and not empty.
bool given(const char *text);

// A required text: false, with an error line, for a null pointer.
bool required(const char *text, const char *function, const char *what);

// "true" or "1" in any letter case.
bool truthy(const char *text);

// The header list of a command: the one line, when given.
std::vector<std::string> headerList(const char *header);

// Whether the verbosity asks the commands to describe what they do.
bool chatty();

// Writes to standard output: `heading`, cyan, a line end, the identifier's
// pretty dump, the default colour, a line end.
void printIdentifier(const std::string &heading, const std::string &prettyDump);

// The error line for something that escaped a command; never throws itself.
void reportUnexpected(const char *function, const char *what) noexcept;

// Runs `body`, turning anything it throws into an error line and `failure`.
// Standard output is flushed either way, so a caller that writes to the same
// descriptor by other means sees the lines in order.
template <typename T, typename Body>
T guarded(const char *function, T failure, Body body) {
  T result = failure;
  try {
    result = body();
  } catch (const std::exception &e) {
    reportUnexpected(function, e.what());
  } catch (...) {
    reportUnexpected(function, "unknown exception");
  }
  try {
    std::cout.flush();
  } catch (...) {
  }
  return result;
}

// While it lives, an interrupt or terminate signal ends the process with
// status 1. The process is ended with _Exit, not exit: the signal arrives
// on the dispatcher thread while download threads may still be running, and
// exit would destroy static objects under them.
class ExitOnInterrupt {
 public:
  ExitOnInterrupt();

 private:
  qx::common::SignalHandler handler_;
};

}  // namespace qx::quarn_tools::command

#endif  // QX_QUARN_TOOLS_SRC_COMMANDSUPPORT_HH_
