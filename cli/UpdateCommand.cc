// quarn update: every cached model and world brought up to its server's
// newest version; one line per resource on standard output
// ("workshop/chair 1 -> 2").
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/CacheInventory.hh>
#include <qx/quarn_tools/QuarnClient.hh>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"
#include "ProgressLine.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::ResourceUpdate;

struct UpdateOptions {
  bool onlyModels = false;
  bool onlyWorlds = false;
  std::string header;
  std::string config;
  bool json = false;
};

std::string ownerName(const ResourceUpdate &update) { return update.owner + "/" + update.name; }

std::string statusWord(const ResourceUpdate &update) {
  if (update.result.Type() == qx::quarn_tools::FETCH_CACHED) return "up-to-date";
  return update.result ? "updated" : "failed";
}

Json::Value updateJson(const ResourceUpdate &update) {
  Json::Value record = resourceJson(update.kind, update.server, update.owner, update.name, 0);
  record.removeMember("version");
  record["from"] = update.cachedVersion;
  record["to"] = update.serverVersion;
  record["status"] = statusWord(update);
  if (!update.path.empty()) record["path"] = update.path;
  if (!update.result)
    record["error"] = failureText(update.failure, "Update of " + ownerName(update));
  return record;
}

// The result line of one resource, or an error line for a failed one.
void reportUpdate(const ResourceUpdate &update) {
  const std::string status = statusWord(update);
  if (status == "failed") {
    qxerr << failureText(update.failure, "Update of " + ownerName(update));
  } else if (status == "updated") {
    std::cout << shownName(ownerName(update)) << " " << update.cachedVersion << " -> "
              << update.serverVersion << std::endl;
  } else {
    std::cout << shownName(ownerName(update)) << " " << update.cachedVersion << " (up to date)"
              << std::endl;
  }
}

// The server directories of the cache, holding resources, that no
// configured server names.
std::vector<std::string> unconfiguredServers(const ClientConfig &config) {
  std::set<std::string> others;
  for (const qx::quarn_tools::CachedResource &resource :
       qx::quarn_tools::CacheInventory(config).Resources()) {
    if (resource.serverUrl.empty()) others.insert(resource.server);
  }
  return std::vector<std::string>(others.begin(), others.end());
}

// Nothing to update: fine for an empty cache, a failure when the cache
// holds servers the configuration does not know. With `json`, the empty
// document all the same.
int nothingToUpdate(const ClientConfig &config, bool json) {
  if (json) {
    Json::Value document;
    document["resources"] = Json::Value(Json::arrayValue);
    printJson(document);
  }
  const std::vector<std::string> others = unconfiguredServers(config);
  if (others.empty()) {
    status("Nothing in the cache [" + config.CacheLocation() + "] to update.");
    return kSuccess;
  }
  std::string names;
  for (const std::string &name : others) names += (names.empty() ? "" : ", ") + name;
  qxerr << "Nothing to update: no configured server matches the cache [" << config.CacheLocation()
        << "], which holds resources of " << names
        << ". Name their servers in the configuration file (or give one with -c).";
  return kFailure;
}

int runUpdate(const UpdateOptions &options, const ToolOptions &tool) {
  if (refusedOffline(tool, "update")) return kFailure;
  const auto config = commandConfiguration(tool, options.config);
  if (!config || !hasCache(*config)) return kFailure;
  qx::quarn_tools::QuarnClient client(*config, qx::quarn_tools::Rest());
  const std::vector<std::string> headers = headerLines(options.header);
  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce, "the update was not finished");
  std::vector<ResourceUpdate> updates;
  {
    std::optional<ProgressLine> progress;
    if (statusShown()) progress.emplace();
    std::vector<ResourceUpdate> worlds;
    if (!options.onlyWorlds) client.UpdateModels(headers, updates);
    if (!options.onlyModels) client.UpdateWorlds(headers, worlds);
    updates.insert(updates.end(), worlds.begin(), worlds.end());
  }
  if (updates.empty()) return nothingToUpdate(client.Config(), options.json);
  Json::Value document;
  document["resources"] = Json::Value(Json::arrayValue);
  bool all = true;
  for (const ResourceUpdate &update : updates) {
    all = all && update.result;
    if (options.json)
      document["resources"].append(updateJson(update));
    else
      reportUpdate(update);
  }
  if (options.json) printJson(document);
  return statusOf(all);
}

}  // namespace

void addUpdateCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App *command = subcommand(
      app, "update", "Bring every cached model and world up to its newest server version",
      "quarn update --only-models");
  CLI::Option *models = command->add_flag("--only-models", options->onlyModels, "Only models");
  CLI::Option *worlds = command->add_flag("--only-worlds", options->onlyWorlds, "Only worlds");
  models->excludes(worlds);
  command->add_option("--header", options->header, kHeaderHelp);
  command->add_option("-c,--config", options->config, kConfigHelp);
  command->add_flag("--json", options->json, kJsonHelp);
  onChosen(command, options, action, runUpdate);
}

}  // namespace qx::quarn_cli
