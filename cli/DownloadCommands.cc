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
constexpr const char *kNoIncludesHelp =
    "For a world: do not download the models its SDF files include by URL";

// The JSON record of a model, world or file that was delivered; a world
// asked with its includes has theirs.
Json::Value resourceRecord(const DownloadOutcome &outcome, bool includes) {
  if (outcome.file.empty()) {
    Json::Value record = outcomeTreeJson(outcome, outcome.path);
    if (includes && outcome.kind == ResourceKind::kWorld)
      record["includes"] = includesJson(outcome.includes);
    return record;
  }
  // The file record: the resource's, pointing at the file.
  Json::Value record = outcomeTreeJson(outcome, outcome.resourcePath);
  record["resource_path"] = record["path"];
  record["file"] = outcome.file;
  record["path"] = outcome.path;
  record["size"] = Json::UInt64(diskSize(outcome.path));
  return record;
}

// The result of a model, world or file: its path, or its JSON record.
void printResource(const DownloadOutcome &outcome, bool json, bool includes) {
  if (json)
    printJson(resourceRecord(outcome, includes));
  else
    std::cout << shownPath(outcome.path) << std::endl;
}

// A world that was delivered while models it includes failed: why each
// failed on standard error, then the world as for a success. The failure
// status.
int reportIncludes(const DownloadOutcome &world, bool json) {
  for (const DownloadOutcome &model : world.includes) {
    if (!model) qxerr << failureText(model.failure, "Download of " + model.url);
  }
  if (!json) {
    printResource(world, false, true);
    return kFailure;
  }
  Json::Value record = resourceRecord(world, true);
  record["error"] = failureText(world.failure, "Download of " + world.url);
  record["reason"] = failureReasonName(world.failure.reason);
  printJson(record);
  return kFailure;
}

// Why a request by `url` failed, in lines for standard error.
std::vector<std::string> failureLines(const DownloadOutcome &outcome, const std::string &url) {
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
  return lines;
}

// The JSON record of a request by `url` that failed, with its error.
Json::Value failureRecord(const DownloadOutcome &outcome, const std::string &url,
                          const std::string &error) {
  Json::Value record = outcome.name.empty() ? Json::Value(Json::objectValue)
                                            : outcomeJson(outcome, "");
  if (outcome.name.empty()) record["url"] = url;
  record["error"] = error;
  record["reason"] = failureReasonName(outcome.failure.reason);
  return record;
}

// Why a request by `url` failed, on standard error; with `json`, also its
// record with the error on standard output. The failure status.
int reportFailure(const DownloadOutcome &outcome, const std::string &url, bool json) {
  const std::vector<std::string> lines = failureLines(outcome, url);
  for (const std::string &line : lines) qxerr << line;
  if (json && !outcome.name.empty()) printJson(failureRecord(outcome, url, lines.front()));
  return kFailure;
}

// Several URLs fetched at once: one line per URL on standard output, in
// order, the path or an empty line for a URL that failed (why on standard
// error); with `json`, an array of their records. Failed when any failed.
int printFetched(const std::vector<DownloadOutcome> &outcomes, const std::vector<std::string> &urls,
                 bool json, bool includes) {
  Json::Value document(Json::arrayValue);
  bool failed = false;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const DownloadOutcome &outcome = outcomes[i];
    if (outcome) {
      if (json) document.append(resourceRecord(outcome, includes));
      else std::cout << shownPath(outcome.path) << "\n";
      continue;
    }
    failed = true;
    const bool world = outcome.kind == ResourceKind::kWorld && !outcome.path.empty();
    std::vector<std::string> lines;
    if (world) {
      for (const DownloadOutcome &model : outcome.includes)
        if (!model) lines.push_back(failureText(model.failure, "Download of " + model.url));
    } else {
      lines = failureLines(outcome, urls[i]);
    }
    for (const std::string &line : lines) qxerr << line;
    if (json) {
      Json::Value record = world ? resourceRecord(outcome, includes)
                                 : failureRecord(outcome, urls[i], lines.front());
      record["error"] = world ? failureText(outcome.failure, "Download of " + urls[i])
                              : lines.front();
      record["reason"] = failureReasonName(outcome.failure.reason);
      document.append(record);
    } else {
      std::cout << (world ? shownPath(outcome.path) : std::string()) << "\n";
    }
  }
  if (json) printJson(document);
  std::cout.flush();
  return statusOf(!failed);
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
  bool noIncludes = false;
  bool json = false;
};

struct FetchOptions {
  std::vector<std::string> urls;
  std::string config;
  std::string header;
  int jobs = 8;
  bool noIncludes = false;
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
  if (!outcome && kind == ResourceKind::kWorld && !outcome.path.empty())
    return reportIncludes(outcome, json);
  if (!outcome) return reportFailure(outcome, url, json);
  printResource(outcome, json, options.includes);
  return kSuccess;
}

// Fetches several URLs at once and prints what each made.
int fetchMany(const FetchOptions &options, const ToolOptions &tool, const RequestOptions &request) {
  std::unique_ptr<QuarnClient> client;
  if (!clientFor(options.urls.front(), options.config, tool, client)) return kFailure;
  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce, "the downloads were not finished");
  std::vector<DownloadOutcome> outcomes;
  {
    std::optional<ProgressLine> progress;
    if (statusShown()) progress.emplace();
    outcomes = ResourceRequests(*client).FetchResources(
        options.urls, static_cast<std::size_t>(options.jobs), request);
  }
  return printFetched(outcomes, options.urls, options.json, request.includes);
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
  request.includes = !options.noIncludes;
  return ::qx::quarn_cli::request(url, options.config, tool, request, true, options.json);
}

int runFetch(const FetchOptions &options, const ToolOptions &tool) {
  RequestOptions request;
  request.headers = headerLines(options.header);
  request.jobs = static_cast<std::size_t>(options.jobs);
  request.includes = !options.noIncludes;
  if (options.urls.size() > 1) return fetchMany(options, tool, request);
  return ::qx::quarn_cli::request(options.urls.front(), options.config, tool, request, false,
                                  options.json);
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
  command->add_flag("--no-includes", options->noIncludes, kNoIncludesHelp);
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runDownload);
}

void addFetchCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<FetchOptions>();
  CLI::App *command = subcommand(
      app, "fetch",
      "Print the local path of each model, world or file, downloading what is not cached "
      "(several at once); one line per URL, in order, an empty line for one that failed",
      "quarn fetch http://127.0.0.1:8085/1.0/alice/models/robot/tip/files/model.sdf");
  command->add_option("url", options->urls, "Model, world or file URLs")->required();
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("-j,--jobs", options->jobs, "Parallel downloads")
      ->check(CLI::Range(1, kMaxJobs))
      ->capture_default_str();
  command->add_flag("--no-includes", options->noIncludes, kNoIncludesHelp);
  command->add_flag("--json", options->json,
                    "Print JSON instead of paths (an array for several URLs)");
  onChosen(command, options, action, runFetch);
}

}  // namespace qx::quarn_cli
