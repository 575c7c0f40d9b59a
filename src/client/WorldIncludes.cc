#include "WorldIncludes.hh"

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <set>

#include "ModelTree.hh"
#include "SdfIncludes.hh"

namespace qx::quarn_tools::internal {

ModelRequest RequestFor(const ModelIdentifier &id, const std::string &url, bool complete) {
  return ModelRequest{id, url, complete, ModelTree::Key(id)};
}

std::vector<ModelRequest> IncludedModels(const std::string &worldDirectory,
                                         const ResourceUrls &urls) {
  std::vector<ModelRequest> models;
  std::set<std::string> seen;
  for (const std::string &uri : IncludedUrisIn(worldDirectory)) {
    ModelIdentifier id;
    if (!urls.ParseModelUrl(qx::common::URI(uri, false), id)) {
      qxdbg << "Include [" << uri << "] of world [" << worldDirectory
            << "] names no model of a repository: left to the simulator\n";
      continue;
    }
    ModelRequest model = RequestFor(id, uri);
    if (!seen.insert(model.key).second) continue;
    models.push_back(std::move(model));
  }
  return models;
}

}  // namespace qx::quarn_tools::internal
