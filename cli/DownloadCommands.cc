// quarn download and quarn fetch: a model (with its dependencies), a world
// (with the models it includes), a single file, several URLs at once or a
// whole collection into the cache, by the library's ResourceRequests; what
// each made is printed by ResourceOutput.cc.
#include <iostream>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <string>
#include <vector>

#include "Commands.hh"
#include "Interrupt.hh"
#include "ProgressLine.hh"
#include "ResourceOutput.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::DownloadOutcome;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::RequestOptions;
using qx::quarn_tools::ResourceKind;
using qx::quarn_tools::ResourceRequests;

constexpr int kMaxJobs = 64;
constexpr const char *kNoIncludesHelp =
    "For a world: do not download the models its SDF files include by URL";

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
