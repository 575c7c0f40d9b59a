#include "ModelResolver.hh"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <string_view>
#include <unordered_set>
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
  // The key of each (held by the request, or worked out here), and the
  // models that must come with all they need. The keys outlive every map
  // below, which only view them.
  std::vector<std::string> workedOut(models.size());
  std::vector<std::string_view> keys;
  keys.reserve(models.size());
  std::unordered_set<std::string_view> complete;
  for (std::size_t i = 0; i < models.size(); ++i) {
    const ModelRequest &model = models[i];
    if (model.key.empty()) workedOut[i] = ModelTree::Key(model.id);
    keys.push_back(model.key.empty() ? std::string_view(workedOut[i]) : std::string_view(model.key));
    if (model.complete) complete.insert(keys.back());
  }
  // Every model's outcome by the identifier asked for, with the number of
  // requests still to answer from it (the last one takes it): first what
  // the cache answered before and still holds.
  struct Settled {
    DownloadOutcome outcome;
    std::size_t uses = 0;
  };
  std::unordered_map<std::string_view, Settled> settled;
  settled.reserve(models.size());
  std::vector<std::string_view> firstKeys;
  std::vector<std::size_t> firsts;  // indices of the first request of each
  {
    std::unordered_set<std::string_view> seen;
    seen.reserve(models.size());
    for (std::size_t i = 0; i < models.size(); ++i) {
      if (!seen.insert(keys[i]).second) continue;
      firstKeys.push_back(keys[i]);
      firsts.push_back(i);
    }
  }
  std::vector<std::optional<DownloadOutcome>> known = answers_.Find(firstKeys);
  std::vector<std::size_t> distinct;  // indices of the models to look up
  std::unordered_map<std::string_view, std::size_t> index;
  for (std::size_t j = 0; j < firsts.size(); ++j) {
    if (known[j]) {
      settled.emplace(firstKeys[j], Settled{std::move(*known[j]), 0});
      continue;
    }
    index.emplace(firstKeys[j], distinct.size());
    distinct.push_back(firsts[j]);
  }
  // Every request of a kept answer answers from it.
  for (std::size_t i = 0; i < models.size(); ++i) {
    const auto found = settled.find(keys[i]);
    if (found != settled.end()) ++found->second.uses;
  }
  // Then what the cache holds of the others, looked up at once; the rest
  // is downloaded in one batch.
  std::vector<ModelTree::Node> nodes;
  if (!distinct.empty()) {
    std::vector<ModelIdentifier> ids;
    std::vector<std::string> urls;
    ids.reserve(distinct.size());
    urls.reserve(distinct.size());
    for (const std::size_t i : distinct) {
      ids.push_back(models[i].id);
      urls.push_back(models[i].url);
    }
    nodes = downloads_.CachedNodes(ids, urls);
  }
  std::vector<std::size_t> missing;  // indices of the models to download
  std::unordered_set<std::string_view> queued;
  for (std::size_t i = 0; i < models.size(); ++i) {
    const ModelRequest &model = models[i];
    const std::string_view key = keys[i];
    if (queued.count(key) > 0) continue;
    const auto found = settled.find(key);
    if (found != settled.end()) {
      // Counted above for the answers kept; counted here for the others.
      if (index.count(key) > 0) ++found->second.uses;
      continue;
    }
    if (std::optional<DownloadOutcome> cached = FromCache(
            model.id, model.url, complete.count(key) > 0, std::move(nodes[index.at(key)]))) {
      answers_.Keep(std::string(key), *cached);
      settled.emplace(key, Settled{std::move(*cached), 1});
    } else if (config_.Offline()) {
      // The road refuses it, with its own words.
      settled.emplace(key, Settled{downloads_.ModelOutcome(model.id, headers.For(model.id.Server()),
                                                           model.url),
                                   1});
    } else {
      queued.insert(key);
      missing.push_back(i);
    }
  }
  if (!missing.empty()) {
    std::vector<ModelIdentifier> ids;
    for (const std::size_t i : missing) ids.push_back(models[i].id);
    ModelBatchOptions options;
    options.cachedDependencies = true;
    options.headersFor = [&headers](const ModelIdentifier &id) { return headers.For(id.Server()); };
    ModelTree tree;
    for (BatchDownload &one : batches_.Models(ids, jobs, options))
      tree.Add(one.id, std::move(one.made));
    tree.Complete([this](const ModelIdentifier &dependency, const std::string &url) {
      return downloads_.CachedNode(dependency, url);
    });
    for (const std::size_t i : missing) {
      const ModelRequest &model = models[i];
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
      settled.emplace(keys[i], Settled{std::move(outcome), 0});
    }
    // Every request of a downloaded model answers from it.
    for (std::size_t i = 0; i < models.size(); ++i) {
      const auto found = queued.find(keys[i]);
      if (found != queued.end()) ++settled.at(keys[i]).uses;
    }
  }
  std::vector<DownloadOutcome> outcomes;
  outcomes.reserve(models.size());
  for (std::size_t i = 0; i < models.size(); ++i) {
    Settled &one = settled.at(keys[i]);
    if (--one.uses == 0)
      outcomes.push_back(std::move(one.outcome));
    else
      outcomes.push_back(one.outcome);
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
