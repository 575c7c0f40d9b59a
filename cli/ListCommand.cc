// quarn list: the models or worlds of servers, from the servers themselves,
// or from the cache when offline or when a server fails (which is then said
// on standard error and ends with status 1).
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/LocalCache.hh>
#include <qx/quarn_tools/QuarnClient.hh>

#include "Commands.hh"
#include "Failure.hh"
#include "Interrupt.hh"
#include "JsonOutput.hh"

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::ModelIdentifier;
using qx::quarn_tools::QuarnClient;
using qx::quarn_tools::ServerConfig;
using qx::quarn_tools::WorldIdentifier;

struct ListOptions {
  std::string type = "model";
  UrlArguments url;
  std::string owner;
  bool raw = false;
  bool json = false;
  std::string config;
};

// One resource of a listing, with the versions known of it (the server's
// newest, or every cached one).
struct Entry {
  std::string owner;
  std::string name;
  std::set<unsigned int> versions;
};

// The listing of one server: each resource once, in the order first met.
struct ServerListing {
  ServerConfig server;
  bool fromCache = false;
  std::string error;  // why the server's own listing failed
  std::vector<Entry> entries;
  std::map<std::pair<std::string, std::string>, std::size_t> index;  // into entries
};

template <typename Identifier>
void addEntry(ServerListing &listing, const Identifier &id) {
  const auto key = std::make_pair(id.Owner(), id.Name());
  auto found = listing.index.find(key);
  if (found == listing.index.end()) {
    found = listing.index.emplace(key, listing.entries.size()).first;
    listing.entries.push_back({id.Owner(), id.Name(), {}});
  }
  if (id.Version() != 0) listing.entries[found->second].versions.insert(id.Version());
}

// The texts and library calls that differ between models and worlds.
struct Kind {
  const char *plural;  // "models" or "worlds"
  bool models;
};

std::string versionsText(const std::set<unsigned int> &versions) {
  std::string text;
  for (const unsigned int version : versions) text += (text.empty() ? "" : ", ") + std::to_string(version);
  return text;
}

void fillFromServer(const QuarnClient &client, const Kind &kind, const std::string &owner,
                    ServerListing &listing, qx::quarn_tools::Result &result) {
  if (kind.models) {
    std::vector<ModelIdentifier> models;
    result = client.ListModels(listing.server, owner, models);
    for (const auto &id : models) addEntry(listing, id);
  } else {
    std::vector<WorldIdentifier> worlds;
    result = client.ListWorlds(listing.server, owner, worlds);
    for (const auto &id : worlds) addEntry(listing, id);
  }
}

void fillFromCache(ClientConfig &config, const Kind &kind, const std::string &owner,
                   ServerListing &listing) {
  qx::quarn_tools::LocalCache cache(&config);
  listing.fromCache = true;
  if (kind.models) {
    ModelIdentifier filter;
    filter.SetServer(listing.server);
    if (!owner.empty()) filter.SetOwner(owner);
    for (auto it = cache.MatchingModels(filter); it; ++it) addEntry(listing, it->Identification());
  } else {
    WorldIdentifier filter;
    filter.SetServer(listing.server);
    if (!owner.empty()) filter.SetOwner(owner);
    for (auto it = cache.MatchingWorlds(filter); it; ++it) addEntry(listing, *it);
  }
}

// One server's listing: the server's own, else the cache's.
ServerListing listServer(QuarnClient &client, const ServerConfig &server, const Kind &kind,
                         const std::string &owner, const ToolOptions &tool) {
  ServerListing listing;
  listing.server = server;
  const std::string where = std::string(kind.plural) + " of " + server.Url().Str();
  if (tool.offline) {
    status("offline: listing the cached " + where);
  } else {
    qx::quarn_tools::Result result;
    fillFromServer(client, kind, owner, listing, result);
    if (result) return listing;
    listing.entries.clear();
    listing.index.clear();
    listing.error = failureText(result, "Listing the " + where);
    qxerr << listing.error;
    status("Listing the cached " + where + " instead.");
  }
  fillFromCache(client.Config(), kind, owner, listing);
  return listing;
}

qx::quarn_tools::OwnerTable ownerTable(const ServerListing &listing, bool withVersions) {
  qx::quarn_tools::OwnerTable table;
  for (const Entry &entry : listing.entries) {
    std::string name = entry.name;
    if (withVersions && !entry.versions.empty()) name += " [" + versionsText(entry.versions) + "]";
    table[entry.owner].push_back(name);
  }
  return table;
}

Json::Value listingJson(const ServerListing &listing, const Kind &kind) {
  Json::Value server;
  server["url"] = listing.server.Url().Str();
  server["source"] = listing.fromCache ? "cache" : "server";
  if (!listing.error.empty()) server["error"] = listing.error;
  server["resources"] = Json::Value(Json::arrayValue);
  for (const Entry &entry : listing.entries) {
    const unsigned int newest = entry.versions.empty() ? 0 : *entry.versions.rbegin();
    Json::Value record =
        resourceJson(kind.plural, listing.server, entry.owner, entry.name, 0);
    record["version"] = newest;
    if (listing.fromCache) {
      record["versions"] = Json::Value(Json::arrayValue);
      for (const unsigned int version : entry.versions) record["versions"].append(version);
    }
    server["resources"].append(record);
  }
  return server;
}

void printListing(const ServerListing &listing, const Kind &kind, bool raw, bool colours) {
  if (raw)
    std::cout << qx::quarn_tools::listingLines(listing.server, ownerTable(listing, false),
                                               kind.plural);
  else
    std::cout << qx::quarn_tools::listingTree(
        listing.server, ownerTable(listing, listing.fromCache), kind.plural, colours);
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
    const ServerListing listing = listServer(client, server, kind, options.owner, tool);
    allAnswered = allAnswered && listing.error.empty();
    if (options.json)
      document["servers"].append(listingJson(listing, kind));
    else
      printListing(listing, kind, options.raw, tool.colours);
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
