// quarn: the command-line tool of the Quarn repository client. Exit status
// 0 on success, 1 on failure, 2 on a usage error.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include <qx/quarn_tools/qx.hh>

#include "Commands.hh"
#include "TerminalOutput.hh"

namespace {

constexpr int kUsageError = 2;

void addCommands(CLI::App &app, qx::quarn_cli::Action &action) {
  using namespace qx::quarn_cli;
  addListCommand(app, action);
  addDownloadCommand(app, action);
  addFetchCommand(app, action);
  addUploadCommand(app, action);
  addEditCommand(app, action);
  addDeleteCommand(app, action);
  addMetaCommand(app, action);
  addUpdateCommand(app, action);
  addVersionCommand(app, action);
  addServeCommand(app, action);
  addMirrorCommand(app, action);
}

}  // namespace

int main(int argc, char **argv) {
  const qx::quarn_cli::PlainStandardOutput plainOutput;

  CLI::App app("quarn: browse, download and publish simulation models and worlds", "quarn");
  app.footer(
      "\nExample:\n  quarn list -u http://127.0.0.1:8085\n\n"
      "Run \"quarn COMMAND --help\" for the options of a command.");
  // Options of the main command may also follow the subcommand.
  app.fallthrough();
  app.require_subcommand(1);
  int verbosity = 1;
  CLI::Option *verbose = app.add_option("-v,--verbose", verbosity,
                 "Log verbosity on standard error: 0 nothing, 1 errors (default), 2 warnings, "
                 "3 messages, 4 debug")
      ->check(CLI::Range(0, 4));

  qx::quarn_cli::Action action;
  addCommands(app, action);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // Help is a success; anything else a usage error.
    return app.exit(e) == 0 ? 0 : kUsageError;
  }
  if (verbose->count() > 0) cmdVerbosity(std::to_string(verbosity).c_str());
  return action ? action() : kUsageError;
}
