/*
 * The subcommands of quarn. Each add function declares one subcommand (its
 * options, help text and example) and, when the command line chooses it,
 * stores in `action` what to run: a call of the command functions, the
 * public API or our repository server, returning the exit status (0 success,
 * 1 failure).
 */
#ifndef QX_QUARN_CLI_COMMANDS_HH_
#define QX_QUARN_CLI_COMMANDS_HH_

#include <functional>

#include <CLI/CLI.hpp>

namespace qx::quarn_cli {

using Action = std::function<int()>;

void addListCommand(CLI::App &app, Action &action);
void addDownloadCommand(CLI::App &app, Action &action);
void addFetchCommand(CLI::App &app, Action &action);
void addUploadCommand(CLI::App &app, Action &action);
void addEditCommand(CLI::App &app, Action &action);
void addDeleteCommand(CLI::App &app, Action &action);
void addMetaCommand(CLI::App &app, Action &action);
void addUpdateCommand(CLI::App &app, Action &action);
void addVersionCommand(CLI::App &app, Action &action);
void addServeCommand(CLI::App &app, Action &action);
void addMirrorCommand(CLI::App &app, Action &action);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_COMMANDS_HH_
