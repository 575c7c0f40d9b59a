#include "ResourcePolicy.hh"

#include <algorithm>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>

#include "ClientCachedLookups.hh"
#include "Outcomes.hh"
#include "Routes.hh"

namespace qx::quarn_tools::internal {

namespace {

bool MissesDependencies(const DownloadOutcome &outcome) {
  return std::any_of(outcome.dependencies.begin(), outcome.dependencies.end(),
                     [](const DownloadOutcome &d) { return d.result.Type() == FETCH_MISSING; });
}

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
    : config_(config), urls_(urls), downloads_(downloads), listings_(listings), batches_(batches) {}

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
  const bool offline = config_.Offline();
  if (reuse || offline) {
    DownloadOutcome cached = downloads_.CachedModelOutcome(id, url);
    if (cached && (!options.requireCachedDependencies || !MissesDependencies(cached)))
      return cached;
    if (cached && offline) {
      for (const DownloadOutcome &dependency : cached.dependencies) {
        if (dependency.result.Type() != FETCH_MISSING) continue;
        Fail(cached, Result(FETCH_FAILED), FailureReason::kOffline,
             "offline: dependency " + OwnerName(dependency) + " of " + OwnerName(cached) +
                 " is not in the cache");
        break;
      }
      return cached;
    }
  }
  return downloads_.ModelOutcome(id, options.headers, url);
}

DownloadOutcome ResourcePolicy::World(const WorldIdentifier &id, const std::string &url,
                                      const RequestOptions &options, bool reuse) {
  if (reuse || config_.Offline()) {
    DownloadOutcome cached = downloads_.CachedWorldOutcome(id, url);
    if (cached) return cached;
  }
  WorldIdentifier asked(id);
  return downloads_.WorldOutcome(asked, options.headers, url);
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
  const auto obtain = [&](bool reuse) {
    return model ? Model(target.model, resourceUrl, options, reuse)
                 : World(target.world, resourceUrl, options, reuse);
  };
  DownloadOutcome outcome = obtain(true);
  std::string path = outcome ? *FileInVersion(outcome.path, target.file, model) : "";
  // A cached version without the file: the server's copy may have it.
  if (outcome && outcome.fromCache && !qx::common::exists(path) && !config_.Offline()) {
    outcome = obtain(false);
    path = outcome ? *FileInVersion(outcome.path, target.file, model) : "";
  }
  outcome.kind = target.kind;
  outcome.url = url;
  outcome.file = target.file;
  outcome.resourcePath = outcome.path;
  outcome.path.clear();
  if (!outcome) return outcome;
  if (!qx::common::exists(path)) {
    Fail(outcome, Result(FETCH_FAILED), FailureReason::kNotFound,
         "the file [" + target.file + "] is not part of version " +
             std::to_string(outcome.version) + " of " + OwnerName(outcome));
    return outcome;
  }
  outcome.path = path;
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
  std::vector<DownloadOutcome> outcomes;
  outcomes.reserve(urls.size());
  for (const std::string &url : urls) outcomes.push_back(Fetch(url, each));
  return outcomes;
}

DownloadOutcome ResourcePolicy::DownloadWorldWithModels(WorldIdentifier &id,
                                                        const std::vector<std::string> &headers,
                                                        std::size_t jobs) {
  (void)jobs;
  return downloads_.WorldOutcome(id, headers, id.Url().Str());
}

}  // namespace qx::quarn_tools::internal
