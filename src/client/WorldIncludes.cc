#include "WorldIncludes.hh"

#include <qx/common/Console.hh>
#include <qx/common/URI.hh>
#include <set>

#include "ModelTree.hh"
#include "SdfIncludes.hh"

namespace qx::quarn_tools::internal {

std::vector<ModelRequest> IncludedModels(const std::string &worldDirectory,
                                         const ResourceUrls &urls) {
  std::vector<ModelRequest> models;
  std::set<std::string> seen;
  for (const std::string &uri : IncludedUrisIn(worldDirectory)) {
    ModelRequest model;
    if (!urls.ParseModelUrl(qx::common::URI(uri, false), model.id)) {
      qxdbg << "Include [" << uri << "] of world [" << worldDirectory
            << "] names no model of a repository: left to the simulator\n";
      continue;
    }
    if (!seen.insert(ModelTree::Key(model.id)).second) continue;
    model.url = uri;
    models.push_back(std::move(model));
  }
  return models;
}

}  // namespace qx::quarn_tools::internal
