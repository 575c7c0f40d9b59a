/*
 * Bringing the cache up to date: every cached model or world whose server
 * has a newer version gets that version downloaded; older versions stay.
 * Uses the client's cache, listings (for the server's details) and download
 * road (none owned); any thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CLIENTUPDATES_HH_
#define QX_QUARN_TOOLS_SRC_CLIENTUPDATES_HH_

#include <memory>
#include <string>
#include <vector>

#include "ClientListings.hh"
#include "Downloader.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ResourceUpdate.hh"

namespace qx::quarn_tools::internal {

class ClientUpdates {
 public:
  ClientUpdates(const std::shared_ptr<LocalCache> &cache, const ClientListings &listings,
                Downloader &downloads);

  // One record per cached resource (its newest version), in unique-name
  // order: QuarnClient::UpdateModels and UpdateWorlds.
  std::vector<ResourceUpdate> Models(const std::vector<std::string> &headers);
  std::vector<ResourceUpdate> Worlds(const std::vector<std::string> &headers);

 private:
  const std::shared_ptr<LocalCache> &cache_;
  const ClientListings &listings_;
  Downloader &downloads_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTUPDATES_HH_
