// listModels and listWorlds: the models or worlds of the configured servers,
// or of one server, as a tree on standard output or one URL per line.
#include <chrono>
#include <iostream>
#include <string>

#include <qx/common/Util.hh>

#include "CommandSupport.hh"
#include "qx/quarn_tools/CommandText.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace {

using command::required;

// The texts that differ between model and world listings.
struct ListingTexts {
  const char *kind;  // "models" or "worlds"
  const char *fetching;
  const char *empty;
  const char *received;
};

const ListingTexts kModelListing{"models", "Fetching model list from ",
                                 "Either failed to fetch model list, or server has no models yet.",
                                 "Received model list (took "};
const ListingTexts kWorldListing{"worlds", "Fetching world list from ",
                                 "Either failed to fetch world list, or server has no worlds yet.",
                                 "Received world list (took "};

ModelIdentifier identityOf(const Model &model) { return model.Identification(); }
const WorldIdentifier &identityOf(const WorldIdentifier &world) { return world; }

// Walks the iterator to its end.
template <typename Iterator>
OwnerTable groupByOwner(Iterator it) {
  OwnerTable table;
  for (; it; ++it) {
    const auto id = identityOf(*it);
    table[id.Owner()].push_back(id.Name());
  }
  return table;
}

// The configuration of a listing: an explicit URL replaces the servers (and
// only the servers) by that one.
ClientConfig listingConfig(const std::string &url, const char *configPath) {
  ClientConfig config = commandConfig(configPath);
  if (!url.empty()) {
    ServerConfig server;
    server.SetUrl(qx::common::URI(url, false));
    config.MutableServers().clear();
    config.AddServer(server);
  }
  return config;
}

// listModels and listWorlds. `fill` gives the table of one server.
template <typename Fill>
int listResources(const char *function, const char *url, const char *owner, const char *raw,
                  const char *configPath, const ListingTexts &texts, Fill fill) {
  if (!required(url, function, "URL text") || !required(owner, function, "owner text") ||
      !required(raw, function, "raw text"))
    return 0;
  const std::string urlText = url;
  if (!urlText.empty() && !qx::common::URI::Valid(urlText)) {
    std::cout << "Invalid URL [" << urlText << "]\n";
    return 0;
  }
  const bool tree = qx::common::lowercase(raw) != "true";
  QuarnClient client(listingConfig(urlText, configPath), Rest());

  for (const ServerConfig &server : client.Config().Servers()) {
    if (tree) std::cout << texts.fetching << server.Url().Str() << "...\n";
    const auto start = std::chrono::steady_clock::now();
    const OwnerTable table = fill(client, server, std::string(owner));
    if (table.empty()) {
      std::cout << texts.empty << "\n";
      continue;
    }
    if (tree) {
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      std::cout << texts.received << took.count() << "ms).\n"
                << listingTree(server, table, texts.kind);
    } else {
      std::cout << listingLines(server, table, texts.kind);
    }
  }
  return 1;
}

OwnerTable modelTable(QuarnClient &client, const ServerConfig &server, const std::string &owner) {
  if (owner.empty()) return groupByOwner(client.Models(server));
  ModelIdentifier id;
  id.SetOwner(owner);
  id.SetServer(server);
  return groupByOwner(client.Models(id));
}

OwnerTable worldTable(QuarnClient &client, const ServerConfig &server, const std::string &owner) {
  if (owner.empty()) return groupByOwner(client.Worlds(server));
  WorldIdentifier id;
  id.SetOwner(owner);
  id.SetServer(server);
  return groupByOwner(client.Worlds(id));
}

}  // namespace
}  // namespace qx::quarn_tools

using namespace qx::quarn_tools;

extern "C" {

int listModels(const char *url, const char *owner, const char *raw, const char *configPath) {
  return command::guarded("listModels", 0, [&] {
    return listResources("listModels", url, owner, raw, configPath, kModelListing, modelTable);
  });
}

int listWorlds(const char *url, const char *owner, const char *raw, const char *configPath) {
  return command::guarded("listWorlds", 0, [&] {
    return listResources("listWorlds", url, owner, raw, configPath, kWorldListing, worldTable);
  });
}

}  // extern "C"
