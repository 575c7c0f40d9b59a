// quarn upload, edit and delete: changing models on a server. Each says on
// standard output what it did (the resource's URL and version).
#include <iostream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/JSONParser.hh>
#include <qx/quarn_tools/QuarnClient.hh>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::ModelIdentifier;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::Result;
using qx::quarn_tools::ServerConfig;

// The model the server's answer describes; false when the answer is no
// model document with an owner and a name.
bool answeredModel(const Result &result, const ServerConfig &server, ModelIdentifier &model) {
  Json::Value document;
  if (result.Reply() == nullptr || !parseJsonObject(result.Reply()->text, document)) return false;
  model.SetServer(server);
  return qx::quarn_tools::JSONParser::ParseModelImpl(document, model) && !model.Owner().empty() &&
         !model.Name().empty();
}

std::string modelUrl(const ModelIdentifier &model) {
  return qx::quarn_tools::resourceUrl(model.Server(), model.Owner(), "models", model.Name());
}

// " version N" when the server told it.
std::string versionWords(const ModelIdentifier &model) {
  return model.Version() == 0 ? "" : " version " + std::to_string(model.Version());
}

bool pathMissing(const std::string &path) {
  if (qx::common::exists(path)) return false;
  qxerr << "The model path[" << path << "] doesn't exist.\n";
  return true;
}

// What `upload --json` prints: the models uploaded and those that failed.
Json::Value uploadDocument() {
  Json::Value document;
  document["uploaded"] = Json::Value(Json::arrayValue);
  document["failed"] = Json::Value(Json::arrayValue);
  return document;
}

// Nothing to upload at `path`: the error line, and with `json` the document
// that says so.
int noModelToUpload(const std::string &path, bool json) {
  Json::Value failure;
  failure["path"] = path;
  failure["error"] = qx::common::exists(path)
                         ? "No model to upload in [" + path +
                               "]: a model directory holds a metadata.pbtxt or a model.config file"
                         : "The model path[" + path + "] doesn't exist.";
  qxerr << failure["error"].asString();
  if (json) {
    Json::Value document = uploadDocument();
    document["failed"].append(failure);
    printJson(document);
  }
  return kFailure;
}

// The client of a write to `serverUrl`, with QX_QUARN_TOKEN given to it.
std::unique_ptr<QuarnClient> writeClient(const ToolOptions &tool, const std::string &configPath,
                                         const std::string &serverUrl) {
  std::optional<ClientConfig> config = commandConfiguration(tool, configPath);
  if (!config) return nullptr;
  applyEnvironmentToken(*config, serverUrl);
  return std::make_unique<QuarnClient>(*config, qx::quarn_tools::Rest());
}

// ---- upload ------------------------------------------------------------

struct UploadOptions {
  std::string path;
  std::string url;
  std::string config;
  std::string header;
  bool isPrivate = false;
  std::string owner;
  bool json = false;
};

bool hasMetadataFile(const std::string &directory) {
  return qx::common::exists(qx::common::joinPaths(directory, "metadata.pbtxt")) ||
         qx::common::exists(qx::common::joinPaths(directory, "model.config"));
}

// The model directory `path`, or the model directories directly inside it.
std::vector<std::string> modelDirectories(const std::string &path) {
  if (hasMetadataFile(path)) return {path};
  std::vector<std::string> directories;
  for (qx::common::DirIter it(path), end; it != end; ++it) {
    if (qx::common::isDirectory(*it) && hasMetadataFile(*it)) directories.push_back(*it);
  }
  return directories;
}

// "N models were not uploaded: a, b" for the directories from `next` on.
std::string notUploaded(const std::vector<std::string> &directories, std::size_t next) {
  std::string names;
  for (std::size_t i = next; i < directories.size(); ++i)
    names += (names.empty() ? "" : ", ") + qx::common::basename(directories[i]);
  return std::to_string(directories.size() - next) + " of " + std::to_string(directories.size()) +
         " models were not uploaded: " + names;
}

// Uploads one directory; its record goes into `uploaded` or `failed`.
void uploadOne(QuarnClient &client, const ModelIdentifier &target, const UploadOptions &options,
               const std::string &directory, Json::Value &uploaded, Json::Value &failed) {
  const Result result = client.UploadModel(directory, target, headerLines(options.header),
                                           options.isPrivate, options.owner);
  Json::Value record;
  record["path"] = directory;
  if (!result) {
    record["error"] = failureText(result, "Upload of " + directory);
    qxerr << record["error"].asString();
    failed.append(record);
    return;
  }
  ModelIdentifier model;
  if (answeredModel(result, target.Server(), model)) {
    record = resourceJson("models", model.Server(), model.Owner(), model.Name(), model.Version());
    record["path"] = directory;
    if (!options.json) std::cout << "Uploaded " << modelUrl(model) << versionWords(model) << std::endl;
  } else if (!options.json) {
    std::cout << "Uploaded " << shownPath(directory) << " to " << target.Server().Url().Str()
              << std::endl;
  }
  uploaded.append(record);
}

int runUpload(const UploadOptions &options, const ToolOptions &tool) {
  if (refusedOffline(tool, "upload")) return kFailure;
  std::string serverUrl = options.url.empty() ? qx::quarn_tools::kDefaultServerUrl : options.url;
  while (serverUrl.size() > 1 && serverUrl.back() == '/') serverUrl.pop_back();
  const std::unique_ptr<QuarnClient> client = writeClient(tool, options.config, serverUrl);
  if (!client) return kFailure;
  ModelIdentifier target;
  target.SetServer(configuredServer(client->Config(), serverUrl));

  const std::vector<std::string> directories = qx::common::exists(options.path)
                                                    ? modelDirectories(options.path)
                                                    : std::vector<std::string>();
  if (directories.empty()) return noModelToUpload(options.path, options.json);
  Json::Value document = uploadDocument();
  Interrupt interrupt(Interrupt::Mode::kAfterThisStep, notUploaded(directories, 0));
  for (std::size_t i = 0; i < directories.size(); ++i) {
    if (interrupt.Requested()) {
      if (options.json) printJson(document);
      return interrupt.Stopped(notUploaded(directories, i));
    }
    interrupt.SetUndone(notUploaded(directories, i));
    uploadOne(*client, target, options, directories[i], document["uploaded"], document["failed"]);
  }
  if (options.json) printJson(document);
  if (interrupt.Requested()) return interrupt.Stopped("nothing: every model was uploaded");
  return statusOf(document["failed"].empty());
}

// ---- edit --------------------------------------------------------------

struct EditOptions {
  UrlArguments url;
  std::string config;
  std::string header;
  std::string privateText;
  std::string path;
};

int runEdit(const EditOptions &options, const ToolOptions &tool) {
  const std::string url = options.url.Url();
  if (url.empty() || options.privateText.empty()) {
    qxerr << "edit needs the URL of a model and --private true|false (with -m DIR, the model's "
             "files and metadata are replaced too)";
    return kUsageError;
  }
  if (refusedOffline(tool, "edit")) return kFailure;
  const std::unique_ptr<QuarnClient> client = writeClient(tool, options.config, url);
  if (!client) return kFailure;
  ModelIdentifier id;
  if (!client->ParseModelUrl(qx::common::URI(url, false), id)) {
    qxerr << "Invalid URL [" << qx::quarn_tools::printableText(url)
          << "]: edit takes the URL of a model";
    return kFailure;
  }
  if (!options.path.empty() && pathMissing(options.path)) return kFailure;
  const std::vector<std::string> headers = headerLines(options.header);
  ModelIdentifier details;
  Result result = client->ModelDetails(id, details, headers);
  if (result) {
    const std::string flag = qx::common::lowercase(options.privateText);
    details.SetPrivate(flag == "true" || flag == "1");
    result = client->PatchModel(details, headers, options.path);
  }
  if (!result) {
    qxerr << failureText(result, "Edit of " + url);
    return kFailure;
  }
  ModelIdentifier edited = details;
  answeredModel(result, details.Server(), edited);
  std::cout << "Edited " << modelUrl(details) << versionWords(edited) << ": now "
            << (details.Private() ? "private" : "public") << std::endl;
  return kSuccess;
}

// ---- delete ------------------------------------------------------------

struct DeleteOptions {
  UrlArguments url;
  std::string config;
  std::string header;
};

int runDelete(const DeleteOptions &options, const ToolOptions &tool) {
  const std::string url = options.url.Url();
  if (url.empty()) {
    qxerr << "delete needs the URL of a model or world";
    return kUsageError;
  }
  if (refusedOffline(tool, "delete")) return kFailure;
  const std::unique_ptr<QuarnClient> client = writeClient(tool, options.config, url);
  if (!client) return kFailure;
  const qx::common::URI uri(url, false);
  ModelIdentifier model;
  qx::quarn_tools::WorldIdentifier world;
  if (!client->ParseModelUrl(uri, model) && !client->ParseWorldUrl(uri, world)) {
    qxerr << "Invalid URL [" << qx::quarn_tools::printableText(url)
          << "]: delete takes the URL of a model or world";
    return kFailure;
  }
  const Result result = client->DeleteUrl(uri, headerLines(options.header));
  if (!result) {
    qxerr << failureText(result, "Deletion of " + url);
    return kFailure;
  }
  std::cout << "Deleted " << shownName(url) << std::endl;
  return kSuccess;
}

}  // namespace

void addUploadCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<UploadOptions>();
  CLI::App *command = subcommand(
      app, "upload", "Upload a model directory, or every model directory inside a directory",
      "quarn upload -m ./my_model -u http://127.0.0.1:8085 --owner alice");
  command->add_option("-m,--model", options->path, "Model directory")->required();
  command->add_option("-u,--url", options->url, "Server URL; without it, the default server");
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_flag("--private", options->isPrivate, "Upload as a private model");
  command->add_option("--owner", options->owner, "Upload for this owner (a user or organisation)");
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runUpload);
}

void addEditCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<EditOptions>();
  CLI::App *command = subcommand(
      app, "edit", "Change a model on its server: its private flag, and its files and metadata",
      "quarn edit http://127.0.0.1:8085/1.0/alice/models/box --private false");
  addUrlArguments(command, options->url, "Model URL");
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("--private", options->privateText, "Make the model private or public")
      ->check(CLI::IsMember({"true", "false", "1", "0"}, CLI::ignore_case));
  command->add_option("-m,--model", options->path,
                      "Model directory whose files and metadata replace the model's");
  onChosen(command, options, action, runEdit);
}

void addDeleteCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<DeleteOptions>();
  CLI::App *command = subcommand(app, "delete", "Delete a model or world on its server",
                                 "quarn delete http://127.0.0.1:8085/1.0/alice/models/box");
  addUrlArguments(command, options->url, "Model or world URL");
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  onChosen(command, options, action, runDelete);
}

}  // namespace qx::quarn_cli
