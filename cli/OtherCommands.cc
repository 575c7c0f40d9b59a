// quarn meta, quarn version and quarn serve.
#include <cstdlib>
#include <iostream>
#include <string>

#include <qx/common/Console.hh>
#include <qx/quarn_server/RepositoryServer.hh>
#include <qx/quarn_tools/qx.hh>

#include "Commands.hh"

namespace qx::quarn_cli {

namespace {

// Verbosity from which the server writes one line per request.
constexpr int kRequestLogVerbosity = 3;

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

struct ServeOptions {
  std::string root;
  qx::quarn_server::RepositoryServer::Options server;
};

int runServe(const ServeOptions &options, const ToolOptions &) {
  qx::quarn_server::RepositoryServer::Options serverOptions = options.server;
  serverOptions.logRequests = qx::common::Console::Verbosity() >= kRequestLogVerbosity;
  if (serverOptions.archiveStore.empty())
    serverOptions.archiveStore = qx::quarn_server::persistentArchiveStore(options.root);
  qx::quarn_server::RepositoryServer server(options.root, serverOptions);
  return statusOf(server.ServeUntilSignalled(std::cout));
}

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

void addServeCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<ServeOptions>();
  options->server.port = 8085;
  CLI::App *command = subcommand(
      app, "serve",
      "Serve a repository directory (e.g. an offline mirror of a lab's models) until "
      "interrupted, printing its URL first",
      "quarn serve ./examples/repository --port 0");
  command->add_option("dir", options->root,
                      "Directory laid out as OWNER/models/NAME/VERSION/..., "
                      "OWNER/worlds/..., OWNER/collections/NAME.json, licenses.json")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("--host", options->server.host,
                      "Address to listen on; other machines need 0.0.0.0")
      ->capture_default_str();
  command->add_option("--port", options->server.port, "Port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  command->add_option("--api-key", options->server.apiKey,
                      "Require \"Private-token: KEY\" for details and downloads");
  command->add_flag("--prebuild", options->server.prebuild,
                    "Build every missing download archive before serving");
  command->add_option("--archive-store", options->server.archiveStore,
                      "Directory for built archives, outside DIR (default: one per DIR below "
                      "$XDG_CACHE_HOME or ~/.cache, quarn/archives)");
  command->add_option("--page-size", options->server.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  onChosen(command, options, action, runServe);
}

}  // namespace qx::quarn_cli
