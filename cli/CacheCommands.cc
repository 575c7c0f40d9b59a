// quarn cache: what the cache holds and its upkeep. ls (or --json), du,
// rm URL, prune --keep N, verify [URL], path. Removals are safe while other
// processes read and write the cache: a version is moved aside in one step
// before it is deleted.
#include <iostream>
#include <memory>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/ByteSizes.hh>
#include <qx/quarn_tools/CacheInventory.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <string>
#include <vector>

#include "Commands.hh"
#include "JsonOutput.hh"
#include "ProgressLine.hh"
#include "TerminalOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ByteFigures;
using qx::quarn_tools::CachedResource;
using qx::quarn_tools::CachedVersion;
using qx::quarn_tools::CacheInventory;
using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::humanBytes;

struct CacheOptions {
  std::string config;
  bool json = false;
  UrlArguments url;
  std::size_t keep = 1;
};

// The resource (and version, 0 for all) a model or world URL names.
struct Wanted {
  std::string uniqueName;
  unsigned int version = 0;
};

std::optional<Wanted> wantedBy(const ClientConfig &config, const std::string &url) {
  qx::quarn_tools::QuarnClient client(config, qx::quarn_tools::Rest());
  const qx::quarn_tools::ResourceTarget target =
      qx::quarn_tools::ResourceRequests(client).Classify(url);
  if (target.kind == qx::quarn_tools::ResourceKind::kModel)
    return Wanted{target.model.UniqueName(), target.model.Version()};
  if (target.kind == qx::quarn_tools::ResourceKind::kWorld)
    return Wanted{target.world.UniqueName(), target.world.Version()};
  qxerr << "Invalid URL [" << shownName(url)
        << "]: it names no model or world";
  return std::nullopt;
}

// How a resource is shown: its server's URL when one is configured, else
// the host and port its directory stands for ("127.0.0.1:8085").
std::string serverOf(const CachedResource &resource) {
  if (!resource.serverUrl.empty()) return resource.serverUrl;
  using qx::common::replaceAll;
  return replaceAll(replaceAll(resource.server, "%3A", ":"), "%40", "@");
}

// "1 version", "3 versions".
std::string versions(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " version" : " versions");
}

std::string versionList(const CachedResource &resource) {
  std::string list;
  for (const CachedVersion &version : resource.versions)
    list += (list.empty() ? "" : ",") + std::to_string(version.version);
  return list;
}

Json::Value resourceDocument(const CachedResource &resource) {
  Json::Value record;
  record["server"] = serverOf(resource);
  record["directory"] = resource.directory;
  record["owner"] = resource.owner;
  record["kind"] = resource.kind == "worlds" ? "world" : "model";
  record["name"] = resource.name;
  record["versions"] = Json::arrayValue;
  for (const CachedVersion &version : resource.versions) {
    Json::Value entry;
    entry["version"] = version.version;
    entry["path"] = version.path;
    entry["size"] = static_cast<Json::UInt64>(version.bytes);
    record["versions"].append(entry);
  }
  record["size"] = static_cast<Json::UInt64>(resource.Bytes());
  return record;
}

int runList(const CacheOptions &options, const ToolOptions &tool) {
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  const std::vector<CachedResource> resources = CacheInventory(config).Resources();
  if (options.json) {
    Json::Value document;
    document["cache"] = config.CacheLocation();
    document["resources"] = Json::arrayValue;
    std::uint64_t total = 0;
    for (const CachedResource &resource : resources) {
      document["resources"].append(resourceDocument(resource));
      total += resource.Bytes();
    }
    document["size"] = static_cast<Json::UInt64>(total);
    printJson(document);
    return kSuccess;
  }
  for (const CachedResource &resource : resources) {
    std::cout << shownName(serverOf(resource)) << "\t"
              << shownName(resource.owner + "/" + resource.kind + "/" + resource.name) << "\t"
              << versionList(resource) << "\t"
              << humanBytes(resource.Bytes(), ByteFigures::kOneDecimal) << "\n";
  }
  if (resources.empty()) status("The cache at " + config.CacheLocation() + " holds nothing");
  return kSuccess;
}

int runDiskUsage(const CacheOptions &options, const ToolOptions &tool) {
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  std::uint64_t versions = 0;
  for (const CachedResource &resource : CacheInventory(config).Resources())
    versions += resource.Bytes();
  const std::uint64_t total = diskSize(config.CacheLocation());
  std::cout << humanBytes(versions, ByteFigures::kOneDecimal) << "\tin cached versions\n"
            << humanBytes(total, ByteFigures::kOneDecimal) << "\t" << config.CacheLocation()
            << "\n";
  return kSuccess;
}

int runRemove(const CacheOptions &options, const ToolOptions &tool) {
  if (options.url.Url().empty()) {
    qxerr << "quarn cache rm needs the URL of a model or world";
    return kUsageError;
  }
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  const std::optional<Wanted> wanted = wantedBy(config, options.url.Url());
  if (!wanted) return kFailure;
  const CacheInventory inventory(config);
  for (const CachedResource &resource : inventory.Resources()) {
    if (resource.UniqueName() != wanted->uniqueName) continue;
    bool found = false;
    for (const CachedVersion &version : resource.versions) {
      if (wanted->version != 0 && version.version != wanted->version) continue;
      found = true;
      std::cout << shownPath(version.path) << "\n";
    }
    if (!found) break;
    return statusOf(inventory.Remove(resource, wanted->version));
  }
  qxerr << options.url.Url() << " is not in the cache";
  return kFailure;
}

int runPrune(const CacheOptions &options, const ToolOptions &tool) {
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  const std::vector<CachedVersion> pruned = CacheInventory(config).Prune(options.keep);
  for (const CachedVersion &version : pruned) std::cout << shownPath(version.path) << "\n";
  status("Removed " + versions(pruned.size()) + " (older ones)");
  return kSuccess;
}

// How the versions checked were found.
struct Checked {
  std::size_t versions = 0;
  std::size_t unrecorded = 0;  // no record to compare with
  bool intact = true;
};

// Prints what changed in one version and counts it.
void reportCheck(const CacheInventory &inventory, const CachedResource &resource,
                 const CachedVersion &version, Checked &checked) {
  ++checked.versions;
  const qx::quarn_tools::VersionCheck check = inventory.Verify(resource, version);
  if (!check.recorded) {
    ++checked.unrecorded;
    status("No record of what " + version.path + " held when it was published; not checked");
    return;
  }
  for (const auto &[word, paths] :
       {std::pair{"changed", &check.changed}, std::pair{"removed", &check.removed},
        std::pair{"added", &check.added}}) {
    for (const std::string &path : *paths)
      std::cout << word << "\t" << shownPath(version.path + "/" + path) << "\n";
  }
  checked.intact = checked.intact && check.Intact();
}

// "3 versions as published", "2 versions checked (1 unrecorded)".
std::string checkSummary(const Checked &checked) {
  const std::string unrecorded =
      checked.unrecorded == 0 ? ""
                              : " (" + std::to_string(checked.unrecorded) + " without a record)";
  if (checked.intact && checked.unrecorded == 0) return versions(checked.versions) + " as published";
  return versions(checked.versions) + " checked" + unrecorded;
}

int runVerify(const CacheOptions &options, const ToolOptions &tool) {
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  std::optional<Wanted> wanted;
  if (!options.url.Url().empty()) {
    wanted = wantedBy(config, options.url.Url());
    if (!wanted) return kFailure;
  }
  const CacheInventory inventory(config);
  Checked checked;
  for (const CachedResource &resource : inventory.Resources()) {
    if (wanted && resource.UniqueName() != wanted->uniqueName) continue;
    for (const CachedVersion &version : resource.versions) {
      if (wanted && wanted->version != 0 && version.version != wanted->version) continue;
      reportCheck(inventory, resource, version, checked);
    }
  }
  if (wanted && checked.versions == 0) {
    qxerr << options.url.Url() << " is not in the cache";
    return kFailure;
  }
  status(checkSummary(checked));
  return statusOf(checked.intact);
}

int runPath(const CacheOptions &options, const ToolOptions &tool) {
  const std::optional<ClientConfig> configured = commandConfiguration(tool, options.config);
  if (!configured || !hasCache(*configured)) return kFailure;
  const ClientConfig &config = *configured;
  std::cout << shownPath(config.CacheLocation()) << "\n";
  return kSuccess;
}

}  // namespace

void addCacheCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<CacheOptions>();
  CLI::App *cache = app.add_subcommand("cache", "What the cache holds, and its upkeep");
  cache->require_subcommand(1);
  cache->footer("\nExample:\n  quarn cache ls");
  const auto withConfig = [&](CLI::App *command) {
    command->add_option("-c,--config", options->config, kConfigHelp);
  };
  const auto withUrl = [&](CLI::App *command) {
    CLI::Option *positional = command->add_option(
        "url", options->url.positional, "Model or world URL (with a version: only that one)");
    command->add_option("-u,--url", options->url.option, "The same")->excludes(positional);
  };

  CLI::App *list =
      subcommand(*cache, "ls", "Every cached resource: server, owner/kind/name, versions, size",
                 "quarn cache ls --json");
  list->add_flag("--json", options->json, kJsonHelp);
  withConfig(list);
  onChosen(list, options, action, runList);

  CLI::App *du = subcommand(*cache, "du", "Disk space the cache takes", "quarn cache du");
  withConfig(du);
  onChosen(du, options, action, runDiskUsage);

  CLI::App *remove = subcommand(*cache, "rm", "Removes one version of a resource, or all of them",
                                "quarn cache rm http://127.0.0.1:8085/1.0/workshop/models/table/1");
  withUrl(remove);
  withConfig(remove);
  onChosen(remove, options, action, runRemove);

  CLI::App *prune = subcommand(*cache, "prune", "Removes all but the newest versions",
                               "quarn cache prune --keep 1");
  prune->add_option("--keep", options->keep, "Versions to keep of each resource")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  withConfig(prune);
  onChosen(prune, options, action, runPrune);

  CLI::App *verify = subcommand(
      *cache, "verify",
      "Reports files changed, removed or added since versions were unpacked (all, or those of "
      "a URL)",
      "quarn cache verify http://127.0.0.1:8085/1.0/workshop/models/table");
  withUrl(verify);
  withConfig(verify);
  onChosen(verify, options, action, runVerify);

  CLI::App *path = subcommand(*cache, "path", "The cache's directory", "quarn cache path");
  withConfig(path);
  onChosen(path, options, action, runPath);
}

}  // namespace qx::quarn_cli
