#include "CacheBinding.hh"

#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include <qx/quarn_tools/CacheInventory.hh>
#include <qx/quarn_tools/CommandText.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceRequests.hh>

#include "ClientSetup.hh"
#include "OutcomeObjects.hh"

namespace qx::quarn_python {

namespace {

namespace py = pybind11;

using qx::quarn_tools::CachedResource;
using qx::quarn_tools::CachedVersion;
using qx::quarn_tools::CacheInventory;
using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::FailureReason;

// The resource (and version, 0 for all) a model or world URL names.
struct Wanted {
  std::string uniqueName;
  unsigned int version = 0;
};

class Cache {
 public:
  explicit Cache(const std::optional<std::string> &cacheDir)
      : config_(clientConfig(ClientSettings{std::nullopt, cacheDir, true, std::nullopt})) {}

  std::string Path() const { return config_.CacheLocation(); }

  // One record per resource: server, owner, kind, name, directory and
  // versions (version, path, size).
  py::list Resources() const {
    std::vector<CachedResource> resources;
    {
      py::gil_scoped_release released;
      resources = CacheInventory(config_).Resources();
    }
    py::list records;
    for (const CachedResource &resource : resources) {
      py::dict record;
      record["server"] = resource.serverUrl.empty() ? resource.server : resource.serverUrl;
      record["owner"] = resource.owner;
      record["kind"] = resource.kind == "worlds" ? "world" : "model";
      record["name"] = resource.name;
      record["directory"] = resource.directory;
      record["url"] = UrlOf(resource);
      py::list versions;
      for (const CachedVersion &version : resource.versions)
        versions.append(py::make_tuple(version.version, version.path, version.bytes));
      record["versions"] = versions;
      records.append(record);
    }
    return records;
  }

  // The paths removed; raises NotFound when the cache holds nothing of it.
  std::vector<std::string> Remove(const std::string &url) const {
    const Wanted wanted = WantedBy(url);
    std::vector<std::string> removed;
    bool ok = true;
    {
      py::gil_scoped_release released;
      const CacheInventory inventory(config_);
      for (const CachedResource &resource : inventory.Resources()) {
        if (resource.UniqueName() != wanted.uniqueName) continue;
        for (const CachedVersion &version : resource.versions) {
          if (wanted.version == 0 || version.version == wanted.version)
            removed.push_back(version.path);
        }
        if (!removed.empty()) ok = inventory.Remove(resource, wanted.version);
        break;
      }
    }
    if (removed.empty()) raiseFailure(FailureReason::kNotFound, url + " is not in the cache", url);
    if (!ok)
      raiseFailure(FailureReason::kCache, "not everything of " + url + " could be removed", url);
    return removed;
  }

  std::vector<std::string> Prune(std::size_t keep) const {
    std::vector<std::string> removed;
    py::gil_scoped_release released;
    for (const CachedVersion &version : CacheInventory(config_).Prune(keep))
      removed.push_back(version.path);
    return removed;
  }

  // One record per version checked: path, recorded, changed, removed,
  // added. Raises NotFound for a URL the cache holds nothing of.
  py::list Verify(const std::optional<std::string> &url) const {
    std::optional<Wanted> wanted;
    if (url) wanted = WantedBy(*url);
    struct Checked {
      std::string path;
      qx::quarn_tools::VersionCheck check;
    };
    std::vector<Checked> checks;
    {
      py::gil_scoped_release released;
      const CacheInventory inventory(config_);
      for (const CachedResource &resource : inventory.Resources()) {
        if (wanted && resource.UniqueName() != wanted->uniqueName) continue;
        for (const CachedVersion &version : resource.versions) {
          if (wanted && wanted->version != 0 && version.version != wanted->version) continue;
          checks.push_back({version.path, inventory.Verify(resource, version)});
        }
      }
    }
    if (wanted && checks.empty())
      raiseFailure(FailureReason::kNotFound, *url + " is not in the cache", *url);
    py::list records;
    for (const Checked &checked : checks) {
      py::dict record;
      record["path"] = checked.path;
      record["recorded"] = checked.check.recorded;
      record["changed"] = checked.check.changed;
      record["removed"] = checked.check.removed;
      record["added"] = checked.check.added;
      records.append(record);
    }
    return records;
  }

 private:
  // The resource's URL (no version) at its configured server; empty when
  // no server of the configuration holds it.
  std::string UrlOf(const CachedResource &resource) const {
    if (resource.serverUrl.empty()) return "";
    for (const qx::quarn_tools::ServerConfig &server : config_.Servers()) {
      if (server.Url().Str() == resource.serverUrl)
        return qx::quarn_tools::resourceUrl(server, resource.owner, resource.kind, resource.name);
    }
    return "";
  }

  Wanted WantedBy(const std::string &url) const {
    qx::quarn_tools::QuarnClient client(config_, qx::quarn_tools::Rest());
    const qx::quarn_tools::ResourceTarget target =
        qx::quarn_tools::ResourceRequests(client).Classify(url);
    if (target.kind == qx::quarn_tools::ResourceKind::kModel)
      return Wanted{target.model.UniqueName(), target.model.Version()};
    if (target.kind == qx::quarn_tools::ResourceKind::kWorld)
      return Wanted{target.world.UniqueName(), target.world.Version()};
    raiseFailure(FailureReason::kInvalidUrl, "it names no model or world", url);
  }

  ClientConfig config_;
};

}  // namespace

void bindCache(py::module_ &module) {
  py::class_<Cache>(module, "Cache")
      .def(py::init<const std::optional<std::string> &>(), py::arg("cache_dir"))
      .def_property_readonly("path", &Cache::Path)
      .def("resources", &Cache::Resources)
      .def("rm", &Cache::Remove, py::arg("url"))
      .def("prune", &Cache::Prune, py::arg("keep"))
      .def("verify", &Cache::Verify, py::arg("url"));
}

}  // namespace qx::quarn_python
