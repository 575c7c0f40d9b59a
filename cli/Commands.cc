#include "Commands.hh"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <qx/common/Console.hh>
#include <qx/quarn_server/MirrorExport.hh>
#include <qx/quarn_server/RepositoryServer.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceFetching.hh>
#include <qx/quarn_tools/qx.hh>

#include "ProgressLine.hh"

namespace qx::quarn_cli {

namespace {

// Verbosity from which the server writes one line per request.
constexpr int kRequestLogVerbosity = 3;

int status(bool ok) { return ok ? 0 : 1; }

// Null for an option that was not given.
const char *optional(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

// A subcommand with its one-line description and an example under its help.
CLI::App *subcommand(CLI::App &app, const std::string &name, const std::string &description,
                     const std::string &example) {
  CLI::App *command = app.add_subcommand(name, description);
  command->footer("\nExample:\n  " + example);
  return command;
}

// Runs `run(options)` when the command line chooses `command`.
template <typename Options, typename Run>
void onChosen(CLI::App *command, std::shared_ptr<Options> options, Action &action, Run run) {
  command->callback([options, &action, run] { action = [options, run] { return run(*options); }; });
}

// ---- list ---------------------------------------------------------------

struct ListOptions {
  std::string type = "model";
  std::string url;
  std::string owner;
  bool raw = false;
  std::string config;
};

int runList(const ListOptions &options) {
  const char *raw = options.raw ? "true" : "false";
  const auto list = options.type == "world" ? listWorlds : listModels;
  return status(list(options.url.c_str(), options.owner.c_str(), raw, optional(options.config)) ==
                1);
}

// ---- download -----------------------------------------------------------

struct DownloadOptions {
  std::string url;
  std::string config;
  std::string header;
  std::string type;
  int jobs = 2;
};

int runDownload(const DownloadOptions &options) {
  std::string path;
  bool ok = false;
  {
    const ProgressLine progress;
    ok = qx::quarn_tools::downloadUrlToPath(options.url.c_str(), optional(options.config),
                                            optional(options.header), optional(options.type),
                                            options.jobs, path);
  }
  if (ok && !path.empty()) std::cout << path << std::endl;
  return status(ok);
}

// ---- fetch --------------------------------------------------------------

struct FetchOptions {
  std::string url;
  std::string config;
};

int runFetch(const FetchOptions &options) {
  std::string path;
  {
    const ProgressLine progress;
    qx::quarn_tools::QuarnClient client(qx::quarn_tools::commandConfig(optional(options.config)),
                                        qx::quarn_tools::Rest());
    path = qx::quarn_tools::fetchResourceWithClient(options.url, client);
  }
  if (path.empty()) {
    std::cerr << "Unable to fetch [" << options.url << "]\n";
    return 1;
  }
  std::cout << path << std::endl;
  return 0;
}

// ---- upload, edit, delete -----------------------------------------------

struct UploadOptions {
  std::string path;
  std::string url;
  std::string header;
  bool isPrivate = false;
  std::string owner;
};

int runUpload(const UploadOptions &options) {
  return status(upload(options.path.c_str(), optional(options.url), optional(options.header),
                       options.isPrivate ? "true" : nullptr, optional(options.owner)));
}

struct EditOptions {
  std::string url;
  std::string header;
  std::string privateText;
  std::string path;
};

int runEdit(const EditOptions &options) {
  return status(editUrl(options.url.c_str(), optional(options.header),
                        optional(options.privateText), optional(options.path)));
}

struct DeleteOptions {
  std::string url;
  std::string header;
};

int runDelete(const DeleteOptions &options) {
  return status(deleteUrl(options.url.c_str(), optional(options.header)));
}

// ---- meta, update, version ----------------------------------------------

struct MetaOptions {
  std::string config2pbtxt;
  std::string pbtxt2config;
};

int runMeta(const MetaOptions &options) {
  if (!options.config2pbtxt.empty()) return status(config2Pbtxt(options.config2pbtxt.c_str()) == 1);
  return status(pbtxt2Config(options.pbtxt2config.c_str()) == 1);
}

struct UpdateOptions {
  bool onlyModels = false;
  bool onlyWorlds = false;
  std::string header;
};

int runUpdate(const UpdateOptions &options) {
  const ProgressLine progress;
  return status(update(options.onlyModels ? "true" : nullptr,
                       options.onlyWorlds ? "true" : nullptr, optional(options.header)) == 1);
}

struct NoOptions {};

int runVersion(const NoOptions &) {
  char *version = qxVersion();
  if (version == nullptr) return 1;
  std::cout << version << std::endl;
  std::free(version);
  return 0;
}

// ---- serve --------------------------------------------------------------

struct ServeOptions {
  std::string root;
  qx::quarn_server::RepositoryServer::Options server;
};

int runServe(const ServeOptions &options) {
  qx::quarn_server::RepositoryServer::Options serverOptions = options.server;
  serverOptions.logRequests = qx::common::Console::Verbosity() >= kRequestLogVerbosity;
  if (serverOptions.archiveStore.empty())
    serverOptions.archiveStore = qx::quarn_server::persistentArchiveStore(options.root);
  qx::quarn_server::RepositoryServer server(options.root, serverOptions);
  return server.ServeUntilSignalled(std::cout) ? 0 : 1;
}

// ---- mirror export ------------------------------------------------------

struct MirrorOptions {
  std::string root;
  std::string out;
  qx::quarn_server::MirrorOptions mirror;
};

int runMirrorExport(const MirrorOptions &options) {
  qx::quarn_server::MirrorSummary done;
  if (!qx::quarn_server::exportMirror(options.root, options.out, options.mirror, &done)) return 1;
  std::cout << done.versionsWritten << " versions written, " << done.versionsKept << " kept, "
            << done.documentsWritten << " documents written, " << done.removed << " removed\n";
  return 0;
}

const char kUrlHelp[] = "Server URL, e.g. http://127.0.0.1:8085";
const char kHeaderHelp[] = "One extra request header line, e.g. \"Private-token: KEY\"";
const char kConfigHelp[] = "Configuration file (YAML) naming the servers and the cache";

}  // namespace

void addListCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<ListOptions>();
  CLI::App *command = subcommand(app, "list", "List the models or worlds of servers",
                                 "quarn list -u http://127.0.0.1:8085 -t world --raw");
  command->add_option("-t,--type", options->type, "What to list")
      ->check(CLI::IsMember({"model", "world"}))
      ->capture_default_str();
  command->add_option("-u,--url", options->url,
                      "Server URL; without it, the configured servers");
  command->add_option("-o,--owner", options->owner, "Only this owner's resources");
  command->add_flag("--raw", options->raw, "One full URL per line instead of a tree");
  command->add_option("-c,--config", options->config, kConfigHelp);
  onChosen(command, options, action, runList);
}

void addDownloadCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App *command = subcommand(
      app, "download",
      "Download a model (with its dependencies), a world or a collection into the cache, "
      "then print where it went",
      "quarn download -u http://127.0.0.1:8085/1.0/alice/models/robot");
  command->add_option("-u,--url", options->url, "Model, world or collection URL")->required();
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("-t,--type", options->type, "Only the models or only the worlds of a collection")
      ->check(CLI::IsMember({"model", "world"}));
  command->add_option("-j,--jobs", options->jobs, "Parallel downloads for a collection")
      ->capture_default_str();
  onChosen(command, options, action, runDownload);
}

void addFetchCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<FetchOptions>();
  CLI::App *command = subcommand(
      app, "fetch",
      "Print the local path of a model, world or file, downloading it when it is not cached",
      "quarn fetch http://127.0.0.1:8085/1.0/alice/models/robot/tip/files/model.sdf");
  command->add_option("url", options->url, "Model, world or file URL")->required();
  command->add_option("-c,--config", options->config, kConfigHelp);
  onChosen(command, options, action, runFetch);
}

void addUploadCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<UploadOptions>();
  CLI::App *command = subcommand(
      app, "upload", "Upload a model directory, or every model directory inside a directory",
      "quarn upload -m ./my_model -u https://quarn.example.org --header \"Private-token: KEY\"");
  command->add_option("-m,--model", options->path, "Model directory")->required();
  command->add_option("-u,--url", options->url, "Server URL; without it, the default server");
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_flag("--private", options->isPrivate, "Upload as a private model");
  command->add_option("--owner", options->owner, "Upload for this owner (an organisation)");
  onChosen(command, options, action, runUpload);
}

void addEditCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<EditOptions>();
  CLI::App *command = subcommand(
      app, "edit", "Change a model on its server: its private flag, or its files and metadata",
      "quarn edit -u https://quarn.example.org/1.0/alice/models/box --private false "
      "--header \"Private-token: KEY\"");
  command->add_option("-u,--url", options->url, "Model URL")->required();
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("--private", options->privateText, "Make the model private or public")
      ->check(CLI::IsMember({"true", "false", "1", "0"}, CLI::ignore_case));
  command->add_option("-m,--model", options->path, "Model directory to send in full");
  onChosen(command, options, action, runEdit);
}

void addDeleteCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<DeleteOptions>();
  CLI::App *command = subcommand(
      app, "delete", "Delete a model or world on its server (the log tells the outcome)",
      "quarn delete -u https://quarn.example.org/1.0/alice/models/box "
      "--header \"Private-token: KEY\"");
  command->add_option("-u,--url", options->url, "Model or world URL")->required();
  command->add_option("--header", options->header, kHeaderHelp);
  onChosen(command, options, action, runDelete);
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

void addUpdateCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App *command = subcommand(
      app, "update", "Bring every cached model and world up to its newest server version",
      "quarn update --only-models");
  CLI::Option *models = command->add_flag("--only-models", options->onlyModels, "Only models");
  CLI::Option *worlds = command->add_flag("--only-worlds", options->onlyWorlds, "Only worlds");
  models->excludes(worlds);
  command->add_option("--header", options->header, kHeaderHelp);
  onChosen(command, options, action, runUpdate);
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
  command->add_option("--page-size", options->server.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command->add_flag("--prebuild", options->server.prebuild,
                    "Build every missing download archive before serving");
  command->add_option("--archive-store", options->server.archiveStore,
                      "Directory for built archives, outside DIR (default: one per DIR below "
                      "$XDG_CACHE_HOME or ~/.cache, quarn/archives)");
  onChosen(command, options, action, runServe);
}

void addMirrorCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<MirrorOptions>();
  CLI::App *mirror = app.add_subcommand("mirror", "Static mirrors of a repository directory");
  mirror->require_subcommand(1);
  CLI::App *command = subcommand(
      *mirror, "export",
      "Write everything a repository directory serves as files, with an nginx configuration "
      "(OUT/nginx.conf) that serves them; again, to bring the mirror up to date",
      "quarn mirror export ./examples/repository ./mirror --listen 0.0.0.0:8080");
  command->add_option("dir", options->root, "Repository directory, as for quarn serve")
      ->required()
      ->check(CLI::ExistingDirectory);
  command->add_option("out", options->out, "Export directory (empty, or an earlier export)")
      ->required();
  command->add_option("--listen", options->mirror.listen, "Address and port of nginx.conf")
      ->capture_default_str();
  command->add_option("--page-size", options->mirror.pageSize, "Entries per listing page")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  onChosen(command, options, action, runMirrorExport);
}

}  // namespace qx::quarn_cli
