// Declaring subcommands: the pieces every add function uses.
#include "Commands.hh"

namespace qx::quarn_cli {

CLI::App *subcommand(CLI::App &app, const std::string &name, const std::string &description,
                     const std::string &example) {
  CLI::App *command = app.add_subcommand(name, description);
  command->footer("\nExample:\n  " + example);
  return command;
}

void addUrlArguments(CLI::App *command, UrlArguments &url, const std::string &help) {
  CLI::Option *given = command->add_option("url", url.positional, help);
  CLI::Option *named = command->add_option("-u,--url", url.option, help + " (the same as URL)");
  given->excludes(named);
}

}  // namespace qx::quarn_cli
