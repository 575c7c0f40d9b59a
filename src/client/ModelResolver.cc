#include "ModelResolver.hh"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <set>
#include <utility>

#include "ModelTree.hh"
#include "Outcomes.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

namespace {

bool MissesDependencies(const DownloadOutcome &outcome) {
  return std::any_of(outcome.dependencies.begin(), outcome.dependencies.end(),
                     [](const DownloadOutcome &d) { return d.result.Type() == FETCH_MISSING; });
}

std::string OwnerName(const DownloadOutcome &outcome) { return outcome.owner + "/" + outcome.name; }

}  // namespace

std::vector<std::string> CallerHeaders::For(const ServerConfig &target) const {
  if (headers.empty()) return {};
  for (const ServerConfig &server : asked) {
    std::vector<std::string> lines = CallerHeadersFor(server, target, headers);
    if (lines == headers) return lines;
  }
  return CallerHeadersFor(asked.empty() ? ServerConfig() : asked.front(), target, headers);
}

ModelResolver::ModelResolver(const ClientConfig &config, const ResourceUrls &urls,
                             Downloader &downloads, ClientBatchDownloads &batches)
    : config_(config), urls_(urls), downloads_(downloads), batches_(batches) {}

std::optional<DownloadOutcome> ModelResolver::FromCache(const ModelIdentifier &id,
                                                        const std::string &url,
                                                        bool requireCachedDependencies) {
  return FromCache(id, url, requireCachedDependencies, downloads_.CachedNode(id, url));
}

std::optional<DownloadOutcome> ModelResolver::FromCache(const ModelIdentifier &id,
                                                        const std::string &url,
                                                        bool requireCachedDependencies,
                                                        ModelTree::Node node) {
  DownloadOutcome cached = downloads_.CachedModelOutcome(id, url, std::move(node));
  if (cached && (!requireCachedDependencies || !MissesDependencies(cached))) return cached;
  if (!cached || !config_.Offline()) return std::nullopt;
  for (const DownloadOutcome &dependency : cached.dependencies) {
    if (dependency.result.Type() != FETCH_MISSING) continue;
    Fail(cached, Result(FETCH_FAILED), FailureReason::kOffline,
         "offline: dependency " + OwnerName(dependency) + " of " + OwnerName(cached) +
             " is not in the cache");
    break;
  }
  return cached;
}

std::vector<DownloadOutcome> ModelResolver::Resolve(const std::vector<ModelRequest> &models,
                                                    std::size_t jobs,
                                                    const CallerHeaders &headers) {
  // The key of each, and the models that must come with all they need.
  std::vector<std::string> keys;
  keys.reserve(models.size());
  std::set<std::string> complete;
  for (const ModelRequest &model : models) {
    keys.push_back(model.key.empty() ? ModelTree::Key(model.id) : model.key);
    if (model.complete) complete.insert(keys.back());
  }
  // Every model's outcome by the identifier asked for: first what the cache
  // answered before and still holds.
  std::unordered_map<std::string, DownloadOutcome> settled;
  std::vector<ModelIdentifier> distinct;
  std::vector<std::string> distinctUrls;
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < models.size(); ++i) {
    const ModelRequest &model = models[i];
    const std::string &key = keys[i];
    if (settled.count(key) > 0 || index.count(key) > 0) continue;
    if (std::optional<DownloadOutcome> known = answers_.Find(key)) {
      settled.emplace(key, std::move(*known));
      continue;
    }
    index.emplace(key, distinct.size());
    distinct.push_back(model.id);
    distinctUrls.push_back(model.url);
  }
  // Then what the cache holds of the others, looked up at once; the rest
  // is downloaded in one batch.
  std::vector<ModelTree::Node> nodes = downloads_.CachedNodes(distinct, distinctUrls);
  std::vector<ModelRequest> missing;
  std::set<std::string> queued;
  for (std::size_t i = 0; i < models.size(); ++i) {
    const ModelRequest &model = models[i];
    const std::string &key = keys[i];
    if (settled.count(key) > 0 || queued.count(key) > 0) continue;
    if (std::optional<DownloadOutcome> cached = FromCache(
            model.id, model.url, complete.count(key) > 0, std::move(nodes[index.at(key)]))) {
      answers_.Keep(key, *cached);
      settled.emplace(key, std::move(*cached));
    } else if (config_.Offline()) {
      // The road refuses it, with its own words.
      settled.emplace(key,
                      downloads_.ModelOutcome(model.id, headers.For(model.id.Server()), model.url));
    } else {
      queued.insert(key);
      missing.push_back(model);
    }
  }
  if (!missing.empty()) {
    std::vector<ModelIdentifier> ids;
    for (const ModelRequest &model : missing) ids.push_back(model.id);
    ModelBatchOptions options;
    options.cachedDependencies = true;
    options.headersFor = [&headers](const ModelIdentifier &id) { return headers.For(id.Server()); };
    ModelTree tree;
    for (BatchDownload &one : batches_.Models(ids, jobs, options))
      tree.Add(one.id, std::move(one.made));
    tree.Complete([this](const ModelIdentifier &dependency, const std::string &url) {
      return downloads_.CachedNode(dependency, url);
    });
    for (const ModelRequest &model : missing) {
      const ModelTree::Node *node = tree.Find(model.id);
      DownloadOutcome outcome =
          node != nullptr ? node->outcome : OutcomeNaming(ResourceKind::kModel, model.id, model.url);
      if (node == nullptr) {
        // A worker that could not start never got to it.
        Fail(outcome, Result(FETCH_FAILED), FailureReason::kOther, "the download was not started");
      } else if (outcome) {
        outcome.dependencies = tree.DependenciesOf(model.id);
        FailOnFailedDependency(outcome);
      }
      settled.emplace(ModelTree::Key(model.id), std::move(outcome));
    }
  }
  std::vector<DownloadOutcome> outcomes;
  outcomes.reserve(models.size());
  for (std::size_t i = 0; i < models.size(); ++i) {
    outcomes.push_back(settled.at(keys[i]));
    outcomes.back().url = models[i].url;
  }
  return outcomes;
}

std::vector<ModelRequest> ModelResolver::Includes(const DownloadOutcome &world) const {
  if (!world || world.path.empty()) return {};
  return IncludedModels(world.path, urls_);
}

void ModelResolver::AttachIncludes(DownloadOutcome &world, std::vector<DownloadOutcome> includes) {
  world.includes = std::move(includes);
  std::size_t failed = 0;
  const DownloadOutcome *first = nullptr;
  for (const DownloadOutcome &model : world.includes) {
    if (model) continue;
    ++failed;
    if (first == nullptr) first = &model;
  }
  if (first == nullptr) return;
  DownloadFailure failure = first->failure;
  failure.text = std::to_string(failed) + " of " + std::to_string(world.includes.size()) +
                 " models that world " + OwnerName(world) + " includes failed; " + first->url +
                 ": " + first->failure.text;
  world.result = Result(FETCH_FAILED);
  world.failure = std::move(failure);
}

void ModelResolver::AddIncludes(DownloadOutcome &world, std::size_t jobs,
                                const CallerHeaders &headers) {
  const std::vector<ModelRequest> models = Includes(world);
  if (models.empty()) return;
  AttachIncludes(world, Resolve(models, jobs, headers));
}

}  // namespace qx::quarn_tools::internal
