// quarn download and quarn fetch: a model (with its dependencies), a world,
// a single file or a whole collection into the cache, by the library's
// ResourceRequests; this prints what it made: the local path (or a JSON
// document) on standard output, why not on standard error.
#include <iostream>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <string>
#include <vector>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"
#include "ProgressLine.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::FailureReason;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::RequestOptions;
using qx::quarn_tools::ResourceKind;
using qx::quarn_tools::ResourceRequests;

constexpr int kMaxJobs = 64;

// The result of a model, world or file: its path, or its JSON record.
void printResource(const DownloadOutcome &outcome, bool json) {
  const bool file = !outcome.file.empty();
  if (!json) {
    std::cout << shownPath(outcome.path) << std::endl;
    return;
  }
  if (!file) return printJson(outcomeTreeJson(outcome, outcome.path));
  // The file record: the resource's, pointing at the file.
  Json::Value record = outcomeTreeJson(outcome, outcome.resourcePath);
  record["resource_path"] = record["path"];
  record["file"] = outcome.file;
  record["path"] = outcome.path;
  record["size"] = Json::UInt64(diskSize(outcome.path));
  printJson(record);
}

// Why a request by `url` failed, on standard error; with `json`, also its
// record with the error on standard output. The failure status.
int reportFailure(const DownloadOutcome &outcome, const std::string &url, bool json) {
  std::vector<std::string> lines;
  if (outcome.failure.reason == FailureReason::kOffline) {
    for (const DownloadOutcome &dependency : outcome.dependencies) {
      if (dependency.result.Type() == qx::quarn_tools::FETCH_MISSING)
        lines.push_back("offline: dependency " + dependency.owner + "/" + dependency.name + " of " +
                        outcome.owner + "/" + outcome.name + " is not in the cache");
    }
    if (lines.empty()) lines.push_back("offline: " + url + " is not in the cache");
  } else if (outcome.failure.reason == FailureReason::kInvalidUrl) {
    lines.push_back("Invalid URL [" + qx::quarn_tools::printableText(url) +
                    "]: " + outcome.failure.text);
  } else if (!outcome.file.empty() && !outcome.resourcePath.empty()) {
    lines.push_back("The file [" + qx::quarn_tools::printableText(outcome.file) +
                    "] is not part of version " + std::to_string(outcome.version) + " of " +
                    outcome.owner + "/" + outcome.name + " (" + url + ")");
  } else {
    lines.push_back(failureText(outcome.failure, "Download of " + url));
  }
  for (const std::string &line : lines) qxerr << line;
  if (json && !outcome.name.empty()) {
    Json::Value record = outcomeJson(outcome, "");
    record["error"] = lines.front();
    record["reason"] = failureReasonName(outcome.failure.reason);
    printJson(record);
  }
  return kFailure;
}

// ---- Collections -------------------------------------------------------

// Why a collection's download failed before any member was downloaded.
int collectionFailure(const DownloadOutcome &outcome, const std::string &url) {
  if (outcome.failure.reason == FailureReason::kOffline)
    qxerr << outcome.failure.text;
  else if (!outcome.failure.resource.empty())
    qxerr << failureText(outcome.failure, "Listing collection " + url);
  else
    qxerr << "There are no items in collection [" << outcome.name << "] at " << url;
  return kFailure;
}

int printCollection(const DownloadOutcome &outcome, const std::string &url, bool json) {
  if (outcome.members.empty()) return collectionFailure(outcome, url);
  Json::Value document;
  document["kind"] = "collection";
  document["server"] = outcome.server;
  document["owner"] = outcome.owner;
  document["name"] = outcome.name;
  document["url"] = url;
  document["resources"] = Json::Value(Json::arrayValue);
  document["failed"] = Json::Value(Json::arrayValue);
  const auto failed = [&](const DownloadOutcome &one) {
    Json::Value failure = outcomeJson(one, "");
    failure["error"] = failureText(one.failure, "Download of " + failure["url"].asString());
    qxerr << failure["error"].asString();
    document["failed"].append(failure);
  };
  for (const DownloadOutcome &member : outcome.members) {
    if (member)
      document["resources"].append(outcomeTreeJson(member, member.path));
    else
      failed(member);
  }
  for (const DownloadOutcome &dependency : outcome.dependencies) {
    if (!dependency) failed(dependency);
  }
  if (json) {
    printJson(document);
  } else {
    for (const Json::Value &record : document["resources"])
      std::cout << shownPath(record["path"].asString()) << "\n";
    std::cout.flush();
  }
  return statusOf(static_cast<bool>(outcome));
}

// ---- The commands ------------------------------------------------------

struct DownloadOptions {
  UrlArguments url;
  std::string config;
  std::string header;
  std::string type;
  int jobs = 2;
  bool force = false;
  bool json = false;
};

struct FetchOptions {
  std::string url;
  std::string config;
  std::string header;
  bool json = false;
};

// The client of a command that names `url`, with QX_QUARN_TOKEN given to
// that URL's server; false when there is no cache to work in.
bool clientFor(const std::string &url, const std::string &configPath, const ToolOptions &tool,
               std::unique_ptr<QuarnClient> &client) {
  std::optional<qx::quarn_tools::ClientConfig> config = commandConfiguration(tool, configPath);
  if (!config || !hasCache(*config)) return false;
  applyEnvironmentToken(*config, url);
  client = std::make_unique<QuarnClient>(*config, qx::quarn_tools::Rest());
  return true;
}

// Runs a request of `url` (`download` or else fetch) and prints what it made.
int request(const std::string &url, const std::string &configPath, const ToolOptions &tool,
            const RequestOptions &options, bool download, bool json) {
  std::unique_ptr<QuarnClient> client;
  if (!clientFor(url, configPath, tool, client)) return kFailure;
  const ResourceRequests requests(*client);
  const ResourceKind kind = requests.Classify(url).kind;
  const bool takes = download ? kind == ResourceKind::kModel || kind == ResourceKind::kWorld ||
                                    kind == ResourceKind::kCollection
                              : kind != ResourceKind::kUnknown && kind != ResourceKind::kCollection;
  if (!takes) {
    qxerr << "Invalid URL [" << qx::quarn_tools::printableText(url) << "]: "
          << (download ? "download takes the URL of a model, world or collection"
                       : "fetch takes the URL of a model, world or file");
    return kFailure;
  }
  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce,
                            "the download of " + url + " was not finished");
  DownloadOutcome outcome;
  {
    std::optional<ProgressLine> progress;
    if (statusShown()) progress.emplace();
    outcome = download ? requests.Download(url, options) : requests.Fetch(url, options);
  }
  if (kind == ResourceKind::kCollection) return printCollection(outcome, url, json);
  if (!outcome) return reportFailure(outcome, url, json);
  printResource(outcome, json);
  return kSuccess;
}

int runDownload(const DownloadOptions &options, const ToolOptions &tool) {
  const std::string url = options.url.Url();
  if (url.empty()) {
    qxerr << "download needs the URL of a model, world or collection";
    return kUsageError;
  }
  RequestOptions request;
  request.headers = headerLines(options.header);
  request.force = options.force;
  request.collectionKind = options.type;
  request.jobs = static_cast<std::size_t>(options.jobs);
  return ::qx::quarn_cli::request(url, options.config, tool, request, true, options.json);
}

int runFetch(const FetchOptions &options, const ToolOptions &tool) {
  RequestOptions request;
  request.headers = headerLines(options.header);
  return ::qx::quarn_cli::request(options.url, options.config, tool, request, false, options.json);
}

}  // namespace

void addDownloadCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<DownloadOptions>();
  CLI::App *command = subcommand(
      app, "download",
      "Download a model (with its dependencies), a world or a collection into the cache, "
      "then print where it went",
      "quarn download http://127.0.0.1:8085/1.0/alice/models/robot");
  addUrlArguments(command, options->url, "Model, world or collection URL");
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command
      ->add_option("-t,--type", options->type, "Only the models or only the worlds of a collection")
      ->check(CLI::IsMember({"model", "world"}));
  command->add_option("-j,--jobs", options->jobs, "Parallel downloads for a collection")
      ->check(CLI::Range(1, kMaxJobs))
      ->capture_default_str();
  command->add_flag("--force", options->force,
                    "Download a version named in the URL even when it is cached");
  command->add_flag("--json", options->json, kJsonHelp);
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
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runFetch);
}

}  // namespace qx::quarn_cli
