// quarn login: a server's token, read without showing it, stored in the
// configuration file as that server's private-token.
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>

#include <qx/common/Console.hh>
#include <qx/common/SignalHandler.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/ConfigFileWriter.hh>
#include <qx/quarn_tools/qx.hh>

#include "Commands.hh"
#include "LogLines.hh"

namespace qx::quarn_cli {

namespace {

struct LoginOptions {
  std::string server;
  std::string config;
};

// While it lives, what is typed on the terminal of standard input is not
// shown; an interrupt meanwhile gives the terminal its echo back first.
class HiddenInput {
 public:
  HiddenInput() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios hidden = saved_;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    signals_.AddCallback([this](int signal) {
      Restore();
      writeStandardError("\n");
      std::_Exit(128 + signal);
    });
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) == 0;
  }
  ~HiddenInput() { Restore(); }
  HiddenInput(const HiddenInput &) = delete;
  HiddenInput &operator=(const HiddenInput &) = delete;

 private:
  void Restore() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }

  termios saved_{};
  std::atomic<bool> active_{false};
  qx::common::SignalHandler signals_;
};

std::string trimmed(std::string text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  text.erase(text.find_last_not_of(" \t\r\n") + 1);
  return text.substr(begin);
}

// The first line of standard input; on a terminal, asked for with a prompt
// on standard error and read without echo.
std::string readToken(const std::string &server) {
  std::string line;
  if (::isatty(STDIN_FILENO) == 1) {
    writeStandardError("Token for " + server + ": ");
    {
      const HiddenInput hidden;
      std::getline(std::cin, line);
    }
    writeStandardError("\n");
  } else {
    std::getline(std::cin, line);
  }
  return trimmed(line);
}

int runLogin(const LoginOptions &options, const ToolOptions &) {
  const std::string server = serverUrlOf(options.server);
  if (server.empty()) {
    qxerr << "Invalid server URL [" << qx::quarn_tools::printableText(options.server)
          << "]: login takes a URL such as https://quarn.example.org";
    return kFailure;
  }
  const std::string path = options.config.empty() ? qx::quarn_tools::defaultConfigFile() : options.config;
  if (path.empty()) {
    qxerr << "No configuration file to store the token in: set HOME or QX_QUARN_CACHE_PATH, "
             "or name a file with -c";
    return kFailure;
  }
  const std::string token = readToken(server);
  if (token.empty()) {
    qxerr << "No token given for " << server;
    return kFailure;
  }
  addSecret(token);
  if (!qx::quarn_tools::storeServerToken(path, server, token)) return kFailure;
  status("Stored the token for " + server + " in " + path + ".");
  return kSuccess;
}

}  // namespace

void addLoginCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<LoginOptions>();
  CLI::App *command = subcommand(
      app, "login",
      "Store a server's token in the configuration file (read from standard input, or asked "
      "for without echo on a terminal)",
      "quarn login https://quarn.example.org");
  command->add_option("server", options->server, "Server URL")->required();
  command->add_option("-c,--config", options->config,
                      "Configuration file to store it in (default: the one quarn reads)");
  onChosen(command, options, action, runLogin);
}

}  // namespace qx::quarn_cli
