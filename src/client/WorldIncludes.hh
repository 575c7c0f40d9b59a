/*
 * The models a world version needs: the <include> URIs of its SDF files
 * that are model URLs of a repository (on any server, bound to the
 * configured one of the same URL where there is one). model:// and file
 * URIs, and anything else that names no model of a repository, are left to
 * the simulator, with a debug line. Reads the disk only; any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_WORLDINCLUDES_HH_
#define QX_QUARN_TOOLS_SRC_WORLDINCLUDES_HH_

#include <string>
#include <vector>

#include "ResourceUrls.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal {

// A model asked for by URL: its identifier, the URL as written, and
// whether a cached copy counts only with every model it needs cached too.
struct ModelRequest {
  ModelIdentifier id;
  std::string url;
  bool complete = true;
  // ModelTree::Key(id), worked out once (empty: not yet).
  std::string key;
};

// A request with its key.
ModelRequest RequestFor(const ModelIdentifier &id, const std::string &url, bool complete = true);

// The models the world in `worldDirectory` includes, each once (by the
// identifier asked for: "box" and "box/1" are two), in the order first
// named.
std::vector<ModelRequest> IncludedModels(const std::string &worldDirectory,
                                         const ResourceUrls &urls);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_WORLDINCLUDES_HH_
