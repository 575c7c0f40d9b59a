#include "ModelTree.hh"

#include <algorithm>
#include <set>
#include <utility>

namespace qx::quarn_tools::internal {

std::string ModelTree::Key(const ModelIdentifier &id) {
  return id.UniqueName() + "/" + id.VersionStr();
}

const ModelTree::Node *ModelTree::Find(const ModelIdentifier &id) const {
  const auto found = nodes_.find(Key(id));
  return found == nodes_.end() ? nullptr : &found->second;
}

void ModelTree::Add(const ModelIdentifier &id, Node node) {
  nodes_.emplace(Key(id), std::move(node));
}

void ModelTree::Complete(
    const std::function<Node(const ModelIdentifier &id, const std::string &url)> &lookUp) {
  for (bool added = true; added;) {
    added = false;
    std::vector<std::pair<ModelIdentifier, std::string>> missing;
    for (const auto &[key, node] : nodes_) {
      for (std::size_t i = 0; i < node.dependencies.ids.size(); ++i) {
        if (Find(node.dependencies.ids[i]) == nullptr)
          missing.emplace_back(node.dependencies.ids[i], node.dependencies.urls[i]);
      }
    }
    for (const auto &[id, url] : missing) {
      if (Find(id) != nullptr) continue;
      Add(id, lookUp(id, url));
      added = true;
    }
  }
}

void ModelTree::Expand(const std::vector<ModelIdentifier> &ids,
                       std::vector<std::pair<ModelIdentifier, std::string>> &found,
                       std::vector<std::string> &expanding) const {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const ModelIdentifier &id = ids[i];
    // A model already being expanded on this path closes a cycle.
    if (std::find(expanding.begin(), expanding.end(), id.UniqueName()) != expanding.end()) continue;
    expanding.push_back(id.UniqueName());
    const Node *node = Find(id);
    std::vector<std::pair<ModelIdentifier, std::string>> indirect;
    if (node != nullptr && !node->dependencies.ids.empty())
      Expand(node->dependencies.ids, indirect, expanding);
    if (node != nullptr) {
      for (std::size_t j = 0; j < node->dependencies.ids.size(); ++j)
        found.emplace_back(node->dependencies.ids[j], node->dependencies.urls[j]);
    }
    found.insert(found.end(), indirect.begin(), indirect.end());
    expanding.pop_back();
  }
}

std::vector<DownloadOutcome> ModelTree::DependenciesOf(const ModelIdentifier &top) const {
  std::vector<std::pair<ModelIdentifier, std::string>> found;
  std::vector<std::string> expanding;
  Expand({top}, found, expanding);
  std::vector<DownloadOutcome> outcomes;
  std::set<std::string> seen;
  for (const auto &[id, url] : found) {
    const Node *node = Find(id);
    DownloadOutcome outcome = node != nullptr ? node->outcome : MissingModel(id, url);
    outcome.dependencies.clear();
    const std::string delivered = id.UniqueName() + "/" + std::to_string(outcome.version);
    if (seen.insert(delivered).second) outcomes.push_back(std::move(outcome));
  }
  return outcomes;
}

DownloadOutcome MissingModel(const ModelIdentifier &id, const std::string &url) {
  DownloadOutcome outcome;
  outcome.result = Result(FETCH_MISSING);
  outcome.failure.reason = FailureReason::kNotFound;
  outcome.failure.text = "model " + id.Owner() + "/" + id.Name() + " is not in the cache";
  outcome.kind = ResourceKind::kModel;
  outcome.url = url;
  outcome.server = id.Server().Url().Str();
  outcome.apiVersion = id.Server().Version();
  outcome.owner = id.Owner();
  outcome.name = id.Name();
  outcome.version = id.Version();
  return outcome;
}

}  // namespace qx::quarn_tools::internal
