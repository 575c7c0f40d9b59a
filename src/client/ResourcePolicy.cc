#include "ResourcePolicy.hh"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>

#include "ClientCachedLookups.hh"
#include "ModelTree.hh"
#include "Outcomes.hh"
#include "Routes.hh"

namespace qx::quarn_tools::internal {

namespace {

// A request the URL cannot take.
DownloadOutcome InvalidUrl(const std::string &url, ResourceKind kind, const std::string &why) {
  DownloadOutcome outcome;
  outcome.kind = kind;
  outcome.url = url;
  Fail(outcome, Result(FETCH_FAILED), FailureReason::kInvalidUrl, why);
  return outcome;
}

// "owner/name", as people name a resource.
std::string OwnerName(const DownloadOutcome &outcome) { return outcome.owner + "/" + outcome.name; }

// How a world asked for is told apart: its unique name and version text.
std::string WorldKey(const WorldIdentifier &id) { return id.UniqueName() + "/" + id.VersionStr(); }

// Whether `resource`, the cached resource of a file URL, lacks the file.
bool LacksCachedFile(const DownloadOutcome &resource, const ResourceTarget &target) {
  if (!resource || !resource.fromCache) return false;
  const std::optional<std::string> path =
      FileInVersion(resource.path, target.file, target.kind == ResourceKind::kModelFile);
  return !path || !qx::common::exists(*path);
}

}  // namespace

std::string ResourceUrlOf(const std::string &fileUrl, const std::string &filePath) {
  std::string text = fileUrl.substr(0, fileUrl.size() - std::min(filePath.size(), fileUrl.size()));
  while (!text.empty() && text.back() == '/') text.pop_back();
  const std::string files = "files";
  if (text.size() >= files.size() &&
      text.compare(text.size() - files.size(), files.size(), files) == 0)
    text.erase(text.size() - files.size());
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

ResourcePolicy::ResourcePolicy(const ClientConfig &config, const ResourceUrls &urls,
                               Downloader &downloads, const ClientListings &listings,
                               ClientBatchDownloads &batches)
    : config_(config),
      urls_(urls),
      downloads_(downloads),
      listings_(listings),
      batches_(batches),
      resolver_(config, urls, downloads, batches) {}

ResourceTarget ResourcePolicy::Classify(const std::string &url) const {
  const qx::common::URI uri(url, false);
  ResourceTarget target;
  if (urls_.ParseModelUrl(uri, target.model))
    target.kind = ResourceKind::kModel;
  else if (urls_.ParseWorldUrl(uri, target.world))
    target.kind = ResourceKind::kWorld;
  else if (urls_.ParseModelFileUrl(uri, target.model, target.file))
    target.kind = ResourceKind::kModelFile;
  else if (urls_.ParseWorldFileUrl(uri, target.world, target.file))
    target.kind = ResourceKind::kWorldFile;
  else if (urls_.ParseCollectionUrl(uri, target.collection))
    target.kind = ResourceKind::kCollection;
  return target;
}

DownloadOutcome ResourcePolicy::Fetch(const std::string &url, const RequestOptions &options) {
  const ResourceTarget target = Classify(url);
  switch (target.kind) {
    case ResourceKind::kModel:
      return Model(target.model, url, options, true);
    case ResourceKind::kWorld:
      return World(target.world, url, options, true);
    case ResourceKind::kModelFile:
    case ResourceKind::kWorldFile:
      return File(target, url, options);
    default:
      return InvalidUrl(url, target.kind, "fetch takes the URL of a model, world or file");
  }
}

DownloadOutcome ResourcePolicy::Download(const std::string &url, const RequestOptions &options) {
  const ResourceTarget target = Classify(url);
  switch (target.kind) {
    case ResourceKind::kModel:
      return Model(target.model, url, options, !options.force && target.model.Version() != 0);
    case ResourceKind::kWorld:
      return World(target.world, url, options, !options.force && target.world.Version() != 0);
    case ResourceKind::kCollection:
      return Collection(target.collection, url, options);
    default:
      return InvalidUrl(url, target.kind, "download takes the URL of a model, world or collection");
  }
}

DownloadOutcome ResourcePolicy::Model(const ModelIdentifier &id, const std::string &url,
                                      const RequestOptions &options, bool reuse) {
  if (reuse || config_.Offline()) {
    std::optional<DownloadOutcome> cached =
        resolver_.FromCache(id, url, options.requireCachedDependencies);
    if (cached) return std::move(*cached);
  }
  return downloads_.ModelOutcome(id, options.headers, url);
}

DownloadOutcome ResourcePolicy::World(const WorldIdentifier &id, const std::string &url,
                                      const RequestOptions &options, bool reuse) {
  if (reuse || config_.Offline()) {
    DownloadOutcome cached = downloads_.CachedWorldOutcome(id, url);
    if (cached) return WithIncludes(std::move(cached), id, options);
  }
  WorldIdentifier asked(id);
  return WithIncludes(downloads_.WorldOutcome(asked, options.headers, url), id, options);
}

DownloadOutcome ResourcePolicy::WithIncludes(DownloadOutcome world, const WorldIdentifier &id,
                                             const RequestOptions &options) {
  if (options.includes) resolver_.AddIncludes(world, options.jobs, {options.headers, {id.Server()}});
  return world;
}

DownloadOutcome ResourcePolicy::File(const ResourceTarget &target, const std::string &url,
                                     const RequestOptions &options) {
  const bool model = target.kind == ResourceKind::kModelFile;
  // A file path that climbs out of the resource is refused before any
  // request.
  if (!FileInVersion("", target.file, model)) {
    return InvalidUrl(url, target.kind,
                      "the file path [" + target.file + "] does not name a file of the resource");
  }
  const std::string resourceUrl = ResourceUrlOf(url, target.file);
  // A file needs its resource, not what a world includes.
  RequestOptions resourceOptions = options;
  resourceOptions.includes = false;
  const auto obtain = [&](bool reuse) {
    return model ? Model(target.model, resourceUrl, resourceOptions, reuse)
                 : World(target.world, resourceUrl, resourceOptions, reuse);
  };
  DownloadOutcome outcome = obtain(true);
  // A cached version without the file: the server's copy may have it.
  if (LacksCachedFile(outcome, target) && !config_.Offline()) outcome = obtain(false);
  return FileOutcome(std::move(outcome), target.kind, url, target.file);
}

DownloadOutcome FileOutcome(DownloadOutcome resource, ResourceKind kind, const std::string &url,
                            const std::string &file) {
  DownloadOutcome outcome = std::move(resource);
  const std::optional<std::string> path =
      outcome ? FileInVersion(outcome.path, file, kind == ResourceKind::kModelFile)
              : std::nullopt;
  outcome.kind = kind;
  outcome.url = url;
  outcome.file = file;
  outcome.resourcePath = outcome.path;
  outcome.path.clear();
  if (!outcome) return outcome;
  if (!path || !qx::common::exists(*path)) {
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kNotFound,
         "the file [" + file + "] is not part of version " + std::to_string(outcome.version) +
             " of " + OwnerName(outcome));
    return outcome;
  }
  outcome.path = *path;
  return outcome;
}

DownloadOutcome ResourcePolicy::Collection(const CollectionIdentifier &id, const std::string &url,
                                           const RequestOptions &options) {
  DownloadOutcome outcome = OutcomeNaming(id, url);
  const std::string &kind = options.collectionKind;
  if (!kind.empty() && kind != "model" && kind != "world") {
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kOther,
         "unknown resource type [" + kind + "]");
    return outcome;
  }
  if (config_.Offline()) {
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kOffline,
         "offline: a collection needs its server (" + url + ")");
    return outcome;
  }
  std::vector<ModelIdentifier> models;
  std::vector<WorldIdentifier> worlds;
  Result listed(FETCH_DONE);
  if (kind != "world") {
    listed = listings_.ListModels(id, models);
    qxmsg << "Found " << models.size() << " models in collection [" << id.Name() << "]";
  }
  if (listed && kind != "model") {
    listed = listings_.ListWorlds(id, worlds);
    qxmsg << "Found " << worlds.size() << " worlds in collection [" << id.Name() << "]";
  }
  if (!listed) {
    outcome.result = listed;
    outcome.failure = failureOf(listed);
    return outcome;
  }
  if (models.empty() && worlds.empty()) {
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kNotFound,
         "there are no items in collection [" + id.Name() + "]");
    return outcome;
  }
  DownloadMembers(models, worlds, options.jobs, outcome);
  return outcome;
}

void ResourcePolicy::DownloadMembers(const std::vector<ModelIdentifier> &models,
                                     const std::vector<WorldIdentifier> &worlds,
                                     std::size_t jobs, DownloadOutcome &outcome) {
  // Every model the batch downloaded, members and the dependencies it
  // queued, by the identifier queued.
  const std::vector<BatchDownload> downloaded =
      models.empty() ? std::vector<BatchDownload>() : batches_.Models(models, jobs);
  const std::vector<DownloadOutcome> worldOutcomes =
      worlds.empty() ? std::vector<DownloadOutcome>() : batches_.Worlds(worlds, jobs);
  ModelTree tree;
  for (const BatchDownload &one : downloaded) tree.Add(one.id, one.made);
  tree.Complete([this](const ModelIdentifier &dependency, const std::string &dependencyUrl) {
    return downloads_.CachedNode(dependency, dependencyUrl);
  });
  std::size_t failed = 0;
  std::optional<DownloadFailure> firstFailure;
  for (const BatchDownload &one : downloaded) {
    if (one.made.outcome) continue;
    ++failed;
    if (!firstFailure) firstFailure = one.made.outcome.failure;
    const bool member = std::any_of(models.begin(), models.end(),
                                    [&](const ModelIdentifier &m) { return m == one.id; });
    if (!member) outcome.dependencies.push_back(one.made.outcome);
  }
  // A member the batch never got to (a worker that could not start) failed.
  std::size_t notStarted = 0;
  for (const ModelIdentifier &member : models) {
    const ModelTree::Node *node = tree.Find(member);
    DownloadOutcome memberOutcome =
        node != nullptr ? node->outcome
                        : OutcomeNaming(ResourceKind::kModel, member, member.Url().Str());
    if (node == nullptr) {
      Fail(memberOutcome, Result(FETCH_FAILED), FailureReason::kOther,
           "the download was not started");
      ++notStarted;
    }
    if (memberOutcome) memberOutcome.dependencies = tree.DependenciesOf(member);
    outcome.members.push_back(std::move(memberOutcome));
    if (node == nullptr && !firstFailure) firstFailure = outcome.members.back().failure;
  }
  failed += notStarted;
  for (const DownloadOutcome &world : worldOutcomes) {
    outcome.members.push_back(world);
    if (world) continue;
    ++failed;
    if (!firstFailure) firstFailure = world.failure;
  }
  outcome.result = Result(failed == 0 ? FETCH_DONE : FETCH_FAILED);
  if (failed > 0) {
    outcome.failure = *firstFailure;
    outcome.failure.text = std::to_string(failed) + " of " +
                           std::to_string(downloaded.size() + notStarted + worldOutcomes.size()) +
                           " downloads of collection [" + outcome.name + "] did not succeed";
  }
}

std::vector<DownloadOutcome> ResourcePolicy::FetchResources(const std::vector<std::string> &urls,
                                                            std::size_t jobs,
                                                            const RequestOptions &options) {
  RequestOptions each = options;
  each.jobs = jobs;
  const bool offline = config_.Offline();
  // What each URL names, and the resource it needs (the URL itself, or for
  // a file the URL of its resource); an answer where the URL settles it.
  struct Asked {
    // What it names, and the key of that resource (ModelTree::Key,
    // WorldKey), as remembered.
    std::shared_ptr<const Named> named;
    std::string resourceUrl;
    std::optional<DownloadOutcome> answer;
    // Its place among the models resolved, when it needs a model.
    std::size_t model = 0;
    const ResourceTarget &target() const { return named->first; }
    const std::string &key() const { return named->second; }
  };
  std::vector<Asked> asked(urls.size());
  std::vector<ModelRequest> models;
  CallerHeaders headers{options.headers, {}};
  const std::string binding = Binding();
  for (std::size_t i = 0; i < urls.size(); ++i) {
    Asked &one = asked[i];
    one.named = Remembered(urls[i], binding);
    one.resourceUrl = urls[i];
    const ResourceKind kind = one.target().kind;
    const bool file = kind == ResourceKind::kModelFile || kind == ResourceKind::kWorldFile;
    if (file && !FileInVersion("", one.target().file, kind == ResourceKind::kModelFile)) {
      one.answer = InvalidUrl(urls[i], kind,
                              "the file path [" + one.target().file +
                                  "] does not name a file of the resource");
      continue;
    }
    if (file) one.resourceUrl = ResourceUrlOf(urls[i], one.target().file);
    if (kind == ResourceKind::kModel || kind == ResourceKind::kModelFile) {
      one.model = models.size();
      models.push_back(
          {one.target().model, one.resourceUrl, options.requireCachedDependencies, one.key()});
      if (!options.headers.empty()) headers.asked.push_back(one.target().model.Server());
    } else if (kind == ResourceKind::kWorld || kind == ResourceKind::kWorldFile) {
      if (!options.headers.empty()) headers.asked.push_back(one.target().world.Server());
    } else {
      one.answer = InvalidUrl(urls[i], kind, "fetch takes the URL of a model, world or file");
    }
  }

  // Worlds: each once, from the cache, else all in one parallel batch.
  std::map<std::string, DownloadOutcome> worlds;
  std::vector<WorldIdentifier> missingWorlds;
  for (const Asked &one : asked) {
    const WorldIdentifier &id = one.target().world;
    const bool world = one.target().kind == ResourceKind::kWorld ||
                       one.target().kind == ResourceKind::kWorldFile;
    if (one.answer || !world || worlds.count(one.key()) > 0) continue;
    DownloadOutcome cached = downloads_.CachedWorldOutcome(id, one.resourceUrl);
    if (cached || offline) {
      // Offline, the road refuses what the cache lacks, in its own words.
      WorldIdentifier refused(id);
      worlds.emplace(one.key(), cached ? std::move(cached)
                                          : downloads_.WorldOutcome(refused, {}, one.resourceUrl));
    } else {
      worlds.emplace(one.key(), DownloadOutcome());
      missingWorlds.push_back(id);
    }
  }
  if (!missingWorlds.empty()) {
    const std::vector<DownloadOutcome> downloaded =
        batches_.Worlds(missingWorlds, jobs, [&headers](const WorldIdentifier &id) {
          return headers.For(id.Server());
        });
    for (std::size_t i = 0; i < missingWorlds.size(); ++i)
      worlds[WorldKey(missingWorlds[i])] = downloaded[i];
  }

  // Models: those asked for, and what the worlds asked for include, all at
  // once.
  const std::size_t askedModels = models.size();
  std::map<std::string, std::vector<ModelRequest>> includes;
  for (const Asked &one : asked) {
    if (one.answer || one.target().kind != ResourceKind::kWorld || !options.includes) continue;
    const std::string &key = one.key();
    if (includes.count(key) > 0) continue;
    includes[key] = resolver_.Includes(worlds.at(key));
    models.insert(models.end(), includes[key].begin(), includes[key].end());
  }
  std::vector<DownloadOutcome> resolved = resolver_.Resolve(models, jobs, headers);
  // The outcomes of what the worlds include, by key (a world asked twice
  // takes them twice); each model asked takes its own outcome.
  std::unordered_map<std::string, DownloadOutcome> modelOutcomes;
  for (std::size_t i = askedModels; i < models.size(); ++i) {
    const std::string key = models[i].key.empty() ? ModelTree::Key(models[i].id) : models[i].key;
    modelOutcomes.emplace(key, std::move(resolved[i]));
  }

  // One answer per URL, in order.
  std::vector<DownloadOutcome> outcomes;
  outcomes.reserve(urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const Asked &one = asked[i];
    if (one.answer) {
      outcomes.push_back(*one.answer);
      continue;
    }
    const ResourceKind kind = one.target().kind;
    const bool model = kind == ResourceKind::kModel || kind == ResourceKind::kModelFile;
    DownloadOutcome resource = model ? std::move(resolved[one.model]) : worlds.at(one.key());
    resource.url = one.resourceUrl;
    if (kind == ResourceKind::kWorld && options.includes) {
      std::vector<DownloadOutcome> included;
      for (const ModelRequest &request : includes.at(one.key())) {
        included.push_back(modelOutcomes.at(request.key));
        included.back().url = request.url;
      }
      ModelResolver::AttachIncludes(resource, std::move(included));
    }
    if (kind == ResourceKind::kModel || kind == ResourceKind::kWorld)
      outcomes.push_back(std::move(resource));
    else if (LacksCachedFile(resource, one.target()) && !offline)
      outcomes.push_back(File(one.target(), urls[i], each));
    else
      outcomes.push_back(FileOutcome(std::move(resource), kind, urls[i], one.target().file));
  }
  return outcomes;
}

std::string ResourcePolicy::Binding() const {
  std::string binding = config_.CacheLocation() + "\n";
  for (const ServerConfig &server : config_.Servers()) binding += server.AsString() + "\n";
  return binding;
}

std::shared_ptr<const ResourcePolicy::Named> ResourcePolicy::Remembered(
    const std::string &url, const std::string &boundTo) {
  {
    std::lock_guard<std::mutex> lock(targetsMutex_);
    if (boundTo != boundTo_) {
      // Another configuration: what URLs named, and what the cache said,
      // may be different now.
      targets_.clear();
      resolver_.Forget();
      boundTo_ = boundTo;
    }
    const auto found = targets_.find(url);
    if (found != targets_.end()) return found->second;
  }
  auto target = std::make_shared<Named>();
  target->first = Classify(url);
  const ResourceKind kind = target->first.kind;
  if (kind == ResourceKind::kModel || kind == ResourceKind::kModelFile)
    target->second = ModelTree::Key(target->first.model);
  else if (kind == ResourceKind::kWorld || kind == ResourceKind::kWorldFile)
    target->second = WorldKey(target->first.world);
  std::lock_guard<std::mutex> lock(targetsMutex_);
  // Not worth a search past this many: start over.
  if (targets_.size() >= 100000) targets_.clear();
  if (boundTo == boundTo_) targets_.emplace(url, target);
  return target;
}

DownloadOutcome ResourcePolicy::DownloadWorldWithModels(WorldIdentifier &id,
                                                        const std::vector<std::string> &headers,
                                                        std::size_t jobs) {
  const ServerConfig asked = id.Server();
  DownloadOutcome world = downloads_.WorldOutcome(id, headers, id.Url().Str());
  resolver_.AddIncludes(world, jobs, {headers, {asked}});
  return world;
}

}  // namespace qx::quarn_tools::internal
