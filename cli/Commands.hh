/*
 * The subcommands of quarn. Each add function declares one subcommand (its
 * options, help text and example) and, when the command line chooses it,
 * stores in `action` what to run. The commands talk to the library
 * directly: results on standard output, everything else on standard error.
 */
#ifndef QX_QUARN_CLI_COMMANDS_HH_
#define QX_QUARN_CLI_COMMANDS_HH_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Tool.hh"

namespace qx::quarn_cli {

// Listing (ListCommand.cc).
void addListCommand(CLI::App &app, Action &action);
// Downloads (DownloadCommands.cc).
void addDownloadCommand(CLI::App &app, Action &action);
void addFetchCommand(CLI::App &app, Action &action);
// Changes on a server (WriteCommands.cc).
void addUploadCommand(CLI::App &app, Action &action);
void addEditCommand(CLI::App &app, Action &action);
void addDeleteCommand(CLI::App &app, Action &action);
// The cache (UpdateCommand.cc).
void addUpdateCommand(CLI::App &app, Action &action);
// Credentials (LoginCommand.cc).
void addLoginCommand(CLI::App &app, Action &action);
// Metadata and version (OtherCommands.cc).
void addMetaCommand(CLI::App &app, Action &action);
void addVersionCommand(CLI::App &app, Action &action);
// Serving a repository directory (ServeCommand.cc).
void addServeCommand(CLI::App &app, Action &action);
// What the cache holds, and its upkeep (CacheCommands.cc).
void addCacheCommand(CLI::App &app, Action &action);
// Static mirrors for nginx (MirrorCommand.cc).
void addMirrorCommand(CLI::App &app, Action &action);
// Prints the library's version on standard output (`quarn version`,
// `quarn --version`).
int printVersion();
// Help and shell completion (HelpCommands.cc); they describe `app`.
// "help" is declared like the others, for the lists of commands, but the
// words after it name a command to describe, not one to parse: main asks
// answerHelp before parsing. The exit status when `args` (argv without the
// program) is a help request, else nothing.
void addHelpCommand(CLI::App &app);
std::optional<int> answerHelp(const CLI::App &app, const std::vector<std::string> &args);
void addCompletionCommand(CLI::App &app, Action &action);
// The command of `app` whose name is nearest to `word` (a few typing
// mistakes away at most); empty when none is.
std::string nearestCommand(const CLI::App &app, const std::string &word);
// Says on standard error that `parent` has no command `word` (suggesting the
// nearest one); the usage error status.
int unknownCommand(const CLI::App &parent, const std::string &word);

// Help texts shared by several commands.
inline constexpr const char *kConfigHelp =
    "Configuration file (YAML) naming the servers and the cache";
inline constexpr const char *kHeaderHelp =
    "One extra request header line (visible to other users in `ps`: prefer quarn login or "
    "QX_QUARN_TOKEN for tokens)";
inline constexpr const char *kJsonHelp = "Print one JSON document (see the README) instead";

// A subcommand with its one-line description and an example under its help.
CLI::App *subcommand(CLI::App &app, const std::string &name, const std::string &description,
                     const std::string &example);

// Runs `run(options, toolOptions)` when the command line chooses `command`.
template <typename Options, typename Run>
void onChosen(CLI::App *command, std::shared_ptr<Options> options, Action &action, Run run) {
  command->callback([options, &action, run] {
    action = [options, run](const ToolOptions &tool) { return run(*options, tool); };
  });
}

// A URL that may be given as the positional argument or with -u/--url
// (not both).
struct UrlArguments {
  std::string positional;
  std::string option;
  const std::string &Url() const { return positional.empty() ? option : positional; }
};
// Declares both forms on `command`.
void addUrlArguments(CLI::App *command, UrlArguments &url, const std::string &help);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_COMMANDS_HH_
