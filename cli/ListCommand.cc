// quarn list: the models or worlds of servers, from the servers themselves,
// or from the cache when offline or when a server fails (which is then said
// on standard error and ends with status 1): the library's
// QuarnClient::ListResources, printed as a tree, URLs or JSON.
#include <iostream>
#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/QuarnClient.hh>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::ServerConfig;

struct ListOptions {
  std::string type = "model";
  UrlArguments url;
  std::string owner;
  bool raw = false;
  bool json = false;
  std::string config;
};

// The texts that differ between models and worlds.
struct Kind {
  const char *plural;  // "models" or "worlds"
  bool models;
};

// What one server's listing printed: the library's listing (the server's,
// or the cache's when the server failed or the tool is offline), with the
// tool's words for why the server's listing failed.
struct ServerListing {
  ServerConfig server;
  qx::quarn_tools::ResourceListing listing;
  std::string error;
};

std::string versionsText(const std::vector<unsigned int> &versions) {
  std::string text;
  for (const unsigned int version : versions) text += (text.empty() ? "" : ", ") + std::to_string(version);
  return text;
}

// One server's listing, saying on standard error where it came from when
// not from the server.
ServerListing listServer(const QuarnClient &client, const ServerConfig &server, const Kind &kind,
                         const std::string &owner) {
  ServerListing listed{server, client.ListResources(server, kind.plural, owner), ""};
  const std::string where = std::string(kind.plural) + " of " + server.Url().Str();
  if (listed.listing.failure.reason == qx::quarn_tools::FailureReason::kOffline) {
    status("offline: listing the cached " + where);
  } else if (listed.listing.fromCache) {
    listed.error = failureText(listed.listing.failure, "Listing the " + where);
    qxerr << listed.error;
    status("Listing the cached " + where + " instead.");
  }
  return listed;
}

qx::quarn_tools::OwnerTable ownerTable(const ServerListing &listed, bool withVersions) {
  qx::quarn_tools::OwnerTable table;
  for (const qx::quarn_tools::ListedResource &entry : listed.listing.resources) {
    std::string name = entry.name;
    if (withVersions && !entry.versions.empty()) name += " [" + versionsText(entry.versions) + "]";
    table[entry.owner].push_back(name);
  }
  return table;
}

Json::Value listingJson(const ServerListing &listed, const Kind &kind) {
  const bool fromCache = listed.listing.fromCache;
  Json::Value server;
  server["url"] = listed.server.Url().Str();
  server["source"] = fromCache ? "cache" : "server";
  if (!listed.error.empty()) server["error"] = listed.error;
  server["resources"] = Json::Value(Json::arrayValue);
  for (const qx::quarn_tools::ListedResource &entry : listed.listing.resources) {
    const unsigned int newest = entry.versions.empty() ? 0 : entry.versions.back();
    Json::Value record = resourceJson(kind.plural, listed.server, entry.owner, entry.name, 0);
    record["version"] = newest;
    if (fromCache) {
      record["versions"] = Json::Value(Json::arrayValue);
      for (const unsigned int version : entry.versions) record["versions"].append(version);
    }
    server["resources"].append(record);
  }
  return server;
}

void printListing(const ServerListing &listed, const Kind &kind, bool raw, bool colours) {
  if (raw)
    std::cout << qx::quarn_tools::listingLines(listed.server, ownerTable(listed, false),
                                               kind.plural);
  else
    std::cout << qx::quarn_tools::listingTree(
        listed.server, ownerTable(listed, listed.listing.fromCache), kind.plural, colours);
  std::cout.flush();
}

// The servers to list: the one of `url`, or the configured ones.
bool listedServers(QuarnClient &client, const std::string &url) {
  if (url.empty()) return true;
  if (!qx::common::URI::Valid(url)) {
    qxerr << "Invalid URL [" << url << "]";
    return false;
  }
  ServerConfig server;
  server.SetUrl(qx::common::URI(url, false));
  client.Config().MutableServers() = {server};
  return true;
}

int runList(const ListOptions &options, const ToolOptions &tool) {
  const Kind kind{options.type == "world" ? "worlds" : "models", options.type != "world"};
  const std::string url = options.url.Url();
  const auto config = commandConfiguration(tool, options.config);
  if (!config || !hasCache(*config)) return kFailure;
  QuarnClient client(*config, qx::quarn_tools::Rest());
  if (!listedServers(client, url)) return kFailure;

  const Interrupt interrupt(Interrupt::Mode::kEndAtOnce, "the listing was not finished");
  bool allAnswered = true;
  Json::Value document;
  document["kind"] = kind.plural;
  document["servers"] = Json::Value(Json::arrayValue);
  for (const ServerConfig &server : client.Config().Servers()) {
    const ServerListing listed = listServer(client, server, kind, options.owner);
    allAnswered = allAnswered && listed.error.empty();
    if (options.json)
      document["servers"].append(listingJson(listed, kind));
    else
      printListing(listed, kind, options.raw, tool.colours);
  }
  if (options.json) printJson(document);
  return statusOf(allAnswered);
}

}  // namespace

void addListCommand(CLI::App &app, Action &action) {
  auto options = std::make_shared<ListOptions>();
  CLI::App *command = subcommand(app, "list", "List the models or worlds of servers",
                                 "quarn list http://127.0.0.1:8085 -t world --raw");
  addUrlArguments(command, options->url,
                  "Server URL; without it, the configured servers");
  command->add_option("-t,--type", options->type, "What to list")
      ->check(CLI::IsMember({"model", "world"}))
      ->capture_default_str();
  command->add_option("-o,--owner", options->owner, "Only this owner's resources");
  CLI::Option *raw = command->add_flag("--raw", options->raw, "One full URL per line instead of a tree");
  command->add_flag("--json", options->json, kJsonHelp)->excludes(raw);
  command->add_option("-c,--config", options->config, kConfigHelp);
  onChosen(command, options, action, runList);
}

}  // namespace qx::quarn_cli
