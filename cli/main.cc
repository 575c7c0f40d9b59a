// quarn: the command-line tool of the Quarn repository client. Exit status
// 0 when the command did what was asked, 1 when it failed (partly or
// wholly), 2 for a usage error, 128 + the signal after an interrupt.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include <qx/quarn_tools/qx.hh>

#include "Commands.hh"
#include "LogLines.hh"
#include "TerminalOutput.hh"

namespace {

using namespace qx::quarn_cli;

constexpr int kDefaultVerbosity = 1;

// The options of the main command.
struct MainOptions {
  int verbosity = kDefaultVerbosity;
  bool quiet = false;
  bool offline = false;
  std::string colour = "auto";
  bool version = false;
};

void addCommands(CLI::App &app, Action &action) {
  addListCommand(app, action);
  addDownloadCommand(app, action);
  addFetchCommand(app, action);
  addUploadCommand(app, action);
  addEditCommand(app, action);
  addDeleteCommand(app, action);
  addUpdateCommand(app, action);
  addCacheCommand(app, action);
  addLoginCommand(app, action);
  addMetaCommand(app, action);
  addVersionCommand(app, action);
  addServeCommand(app, action);
  addMirrorCommand(app, action);
  addHelpCommand(app);
  addCompletionCommand(app, action);
}

void addMainOptions(CLI::App &app, MainOptions &options) {
  // Options of the main command may also follow the subcommand.
  app.fallthrough();
  CLI::Option *verbose =
      app.add_option("-v,--verbose", options.verbosity,
                     "Log verbosity on standard error: 0 nothing, 1 errors (the default), "
                     "2 warnings, 3 messages, 4 debug (with source positions)")
          ->check(CLI::Range(0, 4));
  app.add_flag("-q,--quiet", options.quiet, "Only results and errors")->excludes(verbose);
  app.add_flag("--offline", options.offline,
               "Send no request: answer from the cache or fail (also QX_QUARN_OFFLINE=1)");
  app.add_option("--color", options.colour, "Colours on standard output")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  app.add_flag("--version", options.version, "Print the version and exit");
}

// The command the parse got deepest into, when it expects a command of its
// own below it.
CLI::App *parentOfMissingCommand(CLI::App &app) {
  CLI::App *deepest = &app;
  while (!deepest->get_subcommands().empty()) deepest = deepest->get_subcommands().front();
  if (deepest != &app && deepest->get_require_subcommand_min() == 0) return nullptr;
  return deepest;
}

// The usage error of a failed parse; help is a success.
int parseFailure(CLI::App &app, const CLI::ParseError &error) {
  if (CLI::App *parent = parentOfMissingCommand(app)) {
    // A word no command took is left over at its level or above it.
    for (const CLI::App *level = parent; level != nullptr; level = level->get_parent()) {
      for (const std::string &word : level->remaining()) {
        if (!word.empty() && word.front() != '-') return unknownCommand(*parent, word);
      }
    }
  }
  return app.exit(error) == 0 ? kSuccess : kUsageError;
}

// Sets the verbosity and the status lines as the options say. At
// verbosity 0 nothing at all goes to standard error: not even the reasons
// that the conversion functions write there themselves.
void applyVerbosity(const MainOptions &options) {
  cmdVerbosity(std::to_string(options.verbosity).c_str());
  showStatus(!options.quiet && options.verbosity > 0);
  if (options.verbosity == 0) std::cerr.rdbuf(nullptr);
}

// The status once the results are out: results that could not be written
// (a full disk, a closed file) make a failure of any success.
int withResultsWritten(int status) {
  errno = 0;
  std::cout.flush();
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0 && std::cout.good()) return status;
  const int error = errno;
  std::cerr << "quarn: unable to write the results to standard output"
            << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
  return status == kSuccess ? kFailure : status;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app("quarn: browse, download and publish simulation models and worlds", "quarn");
  app.footer(
      "\nExample:\n  quarn list http://127.0.0.1:8085\n\n"
      "Run \"quarn help COMMAND\" for the options of a command.");
  MainOptions options;
  addMainOptions(app, options);
  Action action;
  addCommands(app, action);

  if (const std::optional<int> help = answerHelp(app, std::vector<std::string>(argv + 1, argv + argc)))
    return *help;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    return parseFailure(app, error);
  }
  if (options.version) return printVersion();
  if (!action) {
    std::cerr << app.help() << "\nquarn: a command is required\n";
    return kUsageError;
  }
  const LogLines logLines;
  applyVerbosity(options);
  ToolOptions tool;
  tool.quiet = options.quiet;
  tool.offline = options.offline || qx::quarn_tools::offlineByEnvironment();
  tool.colours = coloursWanted(options.colour);
  return withResultsWritten(action(tool));
}
