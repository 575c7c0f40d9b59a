/*
 * What the commands of quarn share: exit statuses, the options of the main
 * command, the status lines people read on standard error, the
 * configuration and credentials of a command, and small URL helpers. Used
 * from the main thread only.
 */
#ifndef QX_QUARN_CLI_TOOL_HH_
#define QX_QUARN_CLI_TOOL_HH_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <qx/quarn_tools/ClientConfig.hh>
#include <qx/quarn_tools/ServerConfig.hh>

namespace qx::quarn_cli {

// Exit statuses; an interrupt ends the process with 128 + the signal.
enum ExitStatus : int { kSuccess = 0, kFailure = 1, kUsageError = 2 };

inline int statusOf(bool ok) { return ok ? kSuccess : kFailure; }

// The options of the main command, known once the command line is parsed.
struct ToolOptions {
  // -q: only results and errors.
  bool quiet = false;
  // --offline or QX_QUARN_OFFLINE: no request at all.
  bool offline = false;
  // Colours on standard output (--color, NO_COLOR, TERM, a terminal).
  bool colours = false;
};

// What a chosen subcommand runs; returns the exit status.
using Action = std::function<int(const ToolOptions &)>;

// True, with the error line "offline: WHAT needs the server", in offline
// mode: the command then sends nothing.
bool refusedOffline(const ToolOptions &options, const std::string &what);

// Shows or hides the status lines and the progress line (hidden by -q and
// at verbosity 0).
void showStatus(bool shown);
bool statusShown();
// One line for people on standard error: what the tool does instead, or
// where something went. Never a result.
void status(const std::string &line);

// The configuration of a command: the file `configPath` alone when given,
// else the default configuration and the default file (when it exists);
// offline as the options say. The API keys it holds are never shown.
// Nothing when the file given does not load (the reason logged).
std::optional<qx::quarn_tools::ClientConfig> commandConfiguration(const ToolOptions &options,
                                                                  const std::string &configPath);

// False, with an error line, when the configuration has no cache directory.
bool hasCache(const qx::quarn_tools::ClientConfig &config);

// scheme://authority of a URL; empty when it has no authority.
std::string serverUrlOf(const std::string &url);

// The configured server whose URL text is `serverUrl`, added (with the
// default API version) when there is none; returns it.
qx::quarn_tools::ServerConfig &configuredServer(qx::quarn_tools::ClientConfig &config,
                                                const std::string &serverUrl);

// Gives QX_QUARN_TOKEN, when set, to the server that `url` names, and to no
// other server.
void applyEnvironmentToken(qx::quarn_tools::ClientConfig &config, const std::string &url);

// The header list of --header: the one line, when given. Its value is
// never shown.
std::vector<std::string> headerLines(const std::string &header);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_TOOL_HH_
