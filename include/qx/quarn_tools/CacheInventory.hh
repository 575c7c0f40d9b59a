/*
 * What the cache holds, and its upkeep: the resources and versions below
 * every server directory with their size on disk, removal of versions
 * (safe while other processes read and write the cache: a version is moved
 * aside in one step before it is deleted), pruning of older versions, and
 * checks of versions against what they held when they were published.
 * Reads the disk afresh on every call; the configuration (not owned) must
 * outlive it. Any thread.
 */
#ifndef QX_QUARN_TOOLS_CACHEINVENTORY_HH_
#define QX_QUARN_TOOLS_CACHEINVENTORY_HH_

#include <cstdint>
#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

struct QX_QUARN_TOOLS_VISIBLE CachedVersion {
  unsigned int version = 0;
  std::string path;         // the version directory
  std::uint64_t bytes = 0;  // of its regular files
};

struct QX_QUARN_TOOLS_VISIBLE CachedResource {
  // The server's directory below the cache root, as the cache names it
  // (uriToPath of its URL: "127.0.0.1%3A8085"), and the URL of the
  // configured server it belongs to (empty when none is configured).
  std::string server;
  std::string serverUrl;
  std::string owner;
  std::string kind;  // "models" or "worlds"
  std::string name;
  std::string directory;                // the resource's directory
  std::vector<CachedVersion> versions;  // lowest first

  // server/owner/kind/name: what ModelIdentifier::UniqueName() and
  // WorldIdentifier::UniqueName() give for it.
  std::string UniqueName() const;
  std::uint64_t Bytes() const;
};

// How a version differs from what it held when it was published.
struct QX_QUARN_TOOLS_VISIBLE VersionCheck {
  // False when no record was kept (a version saved by an older library, or
  // by hand); then nothing below is known.
  bool recorded = false;
  // "/"-separated paths below the version directory.
  std::vector<std::string> changed;
  std::vector<std::string> removed;
  std::vector<std::string> added;

  bool Intact() const { return recorded && changed.empty() && removed.empty() && added.empty(); }
};

class QX_QUARN_TOOLS_VISIBLE CacheInventory {
 public:
  explicit CacheInventory(const ClientConfig &config);

  // Every resource with at least one whole version, by unique name.
  std::vector<CachedResource> Resources() const;

  // Removes version `version` of `resource`, or every version when it is 0;
  // the resource's directory goes when nothing is left in it. False, with
  // the reason logged, when something could not be removed.
  bool Remove(const CachedResource &resource, unsigned int version) const;

  // Removes, of every resource, all but its `keep` highest versions; the
  // versions removed.
  std::vector<CachedVersion> Prune(std::size_t keep) const;

  // Compares a version with its record.
  VersionCheck Verify(const CachedResource &resource, const CachedVersion &version) const;

 private:
  const ClientConfig &config_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_CACHEINVENTORY_HH_
