#include "qx/quarn_tools/CacheInventory.hh"

#include <algorithm>
#include <filesystem>
#include <map>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <system_error>
#include <utility>

#include "CacheDirectories.hh"
#include "CacheManifest.hh"
#include "CacheNames.hh"
#include "CacheScan.hh"
#include "FileSystem.hh"
#include "IdentifierText.hh"
#include "Routes.hh"
#include "StagingDirectory.hh"
#include "qx/quarn_tools/Helpers.hh"

namespace qx::quarn_tools {
namespace {

namespace cache = internal::cache;
namespace fs = qx::common;

// The bytes of the regular files at or below `path`, links not followed.
std::uint64_t treeBytes(const std::string &path) {
  std::uint64_t bytes = 0;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(path, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) bytes += it->file_size(ec);
  }
  return bytes;
}

// Server directories below the root by their path relative to it, each
// with the URL of the configured server it belongs to (empty for one no
// server of the configuration names).
std::map<std::string, std::string> serverDirectories(const ClientConfig &config) {
  std::map<std::string, std::string> servers;
  for (const ServerConfig &server : config.Servers()) {
    const std::string relative = uriToPath(server.Url());
    if (!relative.empty()) servers.emplace(relative, server.Url().Str());
  }
  for (fs::DirIter it(config.CacheLocation()), end; it != end; ++it) {
    const std::string name = fs::basename(*it);
    if (!cache::IsInternalName(name) && fs::isDirectory(*it)) servers.emplace(name, "");
  }
  return servers;
}

// Adds what one server directory holds of `kind` to `resources`.
void collect(const std::string &root, const std::string &server, const std::string &url,
             const char *kind, const char *marker,
             std::map<std::string, CachedResource> &resources) {
  for (const cache::Found &found : cache::ScanServer(fs::joinPaths(root, server), kind, marker)) {
    unsigned int version = 0;
    if (!identifier::ParseVersionNumber(found.version, version) || version == 0) continue;
    CachedResource resource;
    resource.server = server;
    resource.serverUrl = url;
    resource.owner = found.owner;
    resource.kind = kind;
    resource.name = found.name;
    resource.directory = fs::parentPath(found.path);
    auto [entry, added] = resources.emplace(resource.UniqueName(), resource);
    entry->second.versions.push_back({version, found.path, treeBytes(found.path)});
  }
}

}  // namespace

std::string CachedResource::UniqueName() const { return fs::joinPaths(server, owner, kind, name); }

std::uint64_t CachedResource::Bytes() const {
  std::uint64_t bytes = 0;
  for (const CachedVersion &version : versions) bytes += version.bytes;
  return bytes;
}

CacheInventory::CacheInventory(const ClientConfig &config) : config_(config) {}

std::vector<CachedResource> CacheInventory::Resources() const {
  std::map<std::string, CachedResource> resources;
  const std::string root = config_.CacheLocation();
  if (root.empty()) return {};
  for (const auto &[server, url] : serverDirectories(config_)) {
    collect(root, server, url, internal::kModelsKind, cache::kModelConfigFile, resources);
    collect(root, server, url, internal::kWorldsKind, nullptr, resources);
  }
  std::vector<CachedResource> listed;
  for (auto &[name, resource] : resources) {
    std::sort(resource.versions.begin(), resource.versions.end(),
              [](const CachedVersion &a, const CachedVersion &b) { return a.version < b.version; });
    listed.push_back(std::move(resource));
  }
  return listed;
}

bool CacheInventory::Remove(const CachedResource &resource, unsigned int version) const {
  internal::FileSystem &fileSystem = internal::CurrentFileSystem();
  const std::string root = config_.CacheLocation();
  // Through the resource's directory as the cache's rule for links finds it,
  // held open: nothing outside the cache is removed, whatever is linked or
  // renamed meanwhile.
  std::string error;
  const std::unique_ptr<internal::Directory> directory =
      cache::OpenCacheDirectory(fileSystem, root, resource.UniqueName(), false, error);
  if (!directory) {
    if (!error.empty()) qxerr << error << "\n";
    return error.empty();
  }
  bool removed = true;
  std::size_t left = resource.versions.size();
  for (const CachedVersion &cached : resource.versions) {
    if (version != 0 && cached.version != version) continue;
    const std::string name = fs::basename(cached.path);
    // Moved aside first, in one step: whoever reads or writes the cache
    // meanwhile sees the version whole or not at all.
    const cache::ClaimedScratch trash(cache::Scratch::kTrash);
    const int moved = fileSystem.RenameAt(*directory, name, *directory, trash.Name());
    if (moved != 0 && moved != ENOENT) {
      qxerr << "Unable to remove [" << cached.path << "]: " << internal::ErrorText(moved) << "\n";
      removed = false;
      continue;
    }
    --left;
    const std::string record = cache::ManifestFileName(name);
    std::unique_ptr<internal::Directory> trashed;
    if (moved == 0 && fileSystem.OpenDirectoryAt(*directory, trash.Name(), trashed) == 0)
      fileSystem.RenameAt(*directory, record, *trashed, record);
    else
      fileSystem.RemoveAllAt(*directory, record);
    trashed.reset();
    const int deleted = fileSystem.RemoveAllAt(*directory, trash.Name());
    if (deleted != 0) {
      qxwarn << "Unable to delete [" << directory->Join(trash.Name())
             << "]: " << internal::ErrorText(deleted) << "\n";
    }
  }
  if (left == 0) cache::RemoveUnusedResource(fileSystem, root, resource.UniqueName());
  return removed;
}

std::vector<CachedVersion> CacheInventory::Prune(std::size_t keep) const {
  std::vector<CachedVersion> pruned;
  for (const CachedResource &resource : Resources()) {
    if (resource.versions.size() <= keep) continue;
    const std::size_t drop = resource.versions.size() - keep;
    for (std::size_t i = 0; i < drop; ++i) {
      CachedResource one = resource;
      if (Remove(one, resource.versions[i].version)) pruned.push_back(resource.versions[i]);
    }
  }
  return pruned;
}

VersionCheck CacheInventory::Verify(const CachedResource &resource,
                                    const CachedVersion &version) const {
  VersionCheck check;
  const auto recorded = cache::ReadManifest(resource.directory, fs::basename(version.path));
  if (!recorded) return check;
  check.recorded = true;
  const auto now = cache::DescribeTree(version.path);
  if (!now) {
    for (const auto &[path, record] : *recorded) check.removed.push_back(path);
    return check;
  }
  const cache::Differences differences = cache::Compare(*recorded, *now);
  check.changed = differences.changed;
  check.removed = differences.missing;
  check.added = differences.added;
  return check;
}

}  // namespace qx::quarn_tools
