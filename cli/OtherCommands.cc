// quarn meta and quarn version.
#include <cstdlib>
#include <iostream>
#include <string>

#include <qx/quarn_tools/qx.hh>

#include "Commands.hh"

namespace qx::quarn_cli {

namespace {

struct MetaOptions {
  std::string config2pbtxt;
  std::string pbtxt2config;
};

int runMeta(const MetaOptions &options, const ToolOptions &) {
  if (!options.config2pbtxt.empty()) return statusOf(config2Pbtxt(options.config2pbtxt.c_str()) == 1);
  return statusOf(pbtxt2Config(options.pbtxt2config.c_str()) == 1);
}

struct NoOptions {};

int runVersion(const NoOptions &, const ToolOptions &) { return printVersion(); }

}  // namespace

int printVersion() {
  char *version = qxVersion();
  if (version == nullptr) return kFailure;
  std::cout << version << std::endl;
  std::free(version);
  return kSuccess;
}

void addMetaCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<MetaOptions>();
  CLI::App *command = subcommand(app, "meta",
                                 "Convert between model.config and metadata.pbtxt (printed)",
                                 "quarn meta --config2pbtxt ./my_model/model.config");
  CLI::Option *toPbtxt = command->add_option("--config2pbtxt", options->config2pbtxt,
                                             "model.config file to print as metadata text");
  CLI::Option *toConfig = command->add_option("--pbtxt2config", options->pbtxt2config,
                                              "metadata.pbtxt file to print as model.config");
  toPbtxt->excludes(toConfig);
  command->require_option(1);
  onChosen(command, options, action, runMeta);
}

void addVersionCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<NoOptions>();
  CLI::App *command = subcommand(app, "version", "Print the library's version", "quarn version");
  onChosen(command, options, action, runVersion);
}

}  // namespace qx::quarn_cli
