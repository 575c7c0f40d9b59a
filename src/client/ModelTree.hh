/*
 * The models one request for a model went through, each by the identifier
 * it was asked for (unique name and version text: "box/tip" and "box/1" are
 * two), with its outcome and the dependencies it names. From it comes the
 * list of every model the first one needs, directly or not, each once:
 * a model's direct dependencies, then theirs, the order in which they are
 * named, a cycle cut where it closes. Internal; one thread per object.
 */
#ifndef QX_QUARN_TOOLS_SRC_MODELTREE_HH_
#define QX_QUARN_TOOLS_SRC_MODELTREE_HH_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"

namespace qx::quarn_tools::internal {

// A model's direct dependencies, as it names them.
struct Dependencies {
  std::vector<ModelIdentifier> ids;
  std::vector<std::string> urls;  // the URL texts, one per identifier
};

class ModelTree {
 public:
  struct Node {
    DownloadOutcome outcome;
    Dependencies dependencies;
  };

  // How a model asked as `id` is told apart: its unique name and version
  // text.
  static std::string Key(const ModelIdentifier &id);

  // The node of the model asked as `id`; null when it has none.
  const Node *Find(const ModelIdentifier &id) const;
  void Add(const ModelIdentifier &id, Node node);

  // Gives every dependency named in the tree but not in it a node, from
  // `lookUp` (what the cache holds of it), until none is missing.
  void Complete(
      const std::function<Node(const ModelIdentifier &id, const std::string &url)> &lookUp);

  // The outcomes of every model that `top` needs, each delivered version
  // once; a dependency without a node is missing (FETCH_MISSING).
  std::vector<DownloadOutcome> DependenciesOf(const ModelIdentifier &top) const;

 private:
  void Expand(const std::vector<ModelIdentifier> &ids,
              std::vector<std::pair<ModelIdentifier, std::string>> &found,
              std::vector<std::string> &expanding) const;

  std::map<std::string, Node> nodes_;
};

// The outcome of a model asked as `id` (from `url`) that is neither in the
// cache nor downloaded.
DownloadOutcome MissingModel(const ModelIdentifier &id, const std::string &url);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_MODELTREE_HH_
