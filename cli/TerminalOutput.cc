#include "TerminalOutput.hh"

#include <unistd.h>

#include <qx/common/Util.hh>
#include <qx/quarn_tools/CommandText.hh>

namespace qx::quarn_cli {

namespace {

bool standardOutputIsTerminal() {
  static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  return terminal;
}

}  // namespace

bool coloursWanted(const std::string &mode) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  std::string value;
  if (qx::common::env("NO_COLOR", value)) return false;
  if (qx::common::env("TERM", value) && value == "dumb") return false;
  return standardOutputIsTerminal();
}

std::string shownPath(const std::string &path) {
  return standardOutputIsTerminal() ? qx::quarn_tools::printableText(path) : path;
}

std::string shownName(const std::string &name) { return qx::quarn_tools::printableText(name); }

}  // namespace qx::quarn_cli
