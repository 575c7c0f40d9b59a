// downloadUrl: one model (with its dependencies), world or collection into
// the cache by the road of ResourceRequests, telling the user on standard
// output how it went, and the log why a download failed.
#include <iostream>
#include <string>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "CommandSupport.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/Helpers.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/ResourceRequests.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace {

using command::chatty;
using command::given;
using command::headerList;
using command::printIdentifier;

// The most worker threads or downloads in flight one collection download
// starts, whatever it is asked for.
constexpr int kMaxJobs = 64;

// The warning for a URL that names a version.
template <typename Identifier>
void warnAboutVersion(const Identifier &id, const char *kind) {
  if (id.Version() == 0) return;
  qxwarn << "Requested version [" << id.VersionStr() << "], but "
         << "currently only the " << kind << "'s latest (tip) version is supported.";
}

// Prints why a single download failed (and logs the reason); true when it
// did not.
bool reportSingle(const DownloadOutcome &outcome) {
  if (outcome.result.Type() == FETCH_DONE) return true;
  std::cout << "Download failed because " << outcome.result.ReadableResult() << "\n";
  qxerr << "Download of " << outcome.url << " failed: " << outcome.failure.text;
  return false;
}

// Which kinds of a collection to download; false (with an error line) for a
// type text that names neither.
bool collectionKind(const char *type, std::string &kind) {
  kind = type == nullptr ? "" : type;
  if (type == nullptr || kind == "model" || kind == "world") return true;
  qxerr << "Unknown resource type [" << type << "] specified.\n";
  return false;
}

// A collection's download, told as it went.
bool reportCollection(const DownloadOutcome &outcome) {
  if (outcome) return true;
  if (outcome.members.empty()) {
    std::cout << "There are no items in collection [" << outcome.name << "]\n";
    // A listing that failed looked like an empty one; its reason is told.
    if (!outcome.failure.resource.empty())
      qxerr << "Download of " << outcome.url << " failed: " << outcome.failure.text;
    return false;
  }
  std::cout << "Download failed: " << outcome.failure.text << ".\n";
  return false;
}

// At least 1, at most kMaxJobs.
int boundedJobs(int jobs) {
  if (jobs < 1) return 1;
  if (jobs > kMaxJobs) {
    qxwarn << "Using " << kMaxJobs << " parallel downloads instead of the " << jobs
           << " asked for.";
    return kMaxJobs;
  }
  return jobs;
}

bool downloadByUrl(const char *url, const char *configPath, const char *header,
                   const char *type, int jobs, std::string &path) {
  const command::ExitOnInterrupt exitOnInterrupt;
  const qx::common::URI uri(url, false);
  if (!uri.Valid()) {
    std::cout << "Download failed: Malformed URL\n";
    return false;
  }
  QuarnClient client(commandConfig(configPath), Rest());
  const ResourceRequests requests(client);
  const ResourceTarget target = requests.Classify(url);
  // A version the cache holds is downloaded all the same.
  RequestOptions options;
  options.force = true;
  DownloadOutcome outcome;
  switch (target.kind) {
    case ResourceKind::kModel:
      if (chatty()) printIdentifier("Downloading model: ", target.model.AsPrettyString("  "));
      warnAboutVersion(target.model, "model");
      if (given(header)) options.headers = headerList(header);
      outcome = requests.Download(url, options);
      if (!reportSingle(outcome)) return false;
      break;
    case ResourceKind::kWorld:
      if (chatty()) printIdentifier("Downloading world: ", target.world.AsPrettyString("  "));
      warnAboutVersion(target.world, "world");
      outcome = requests.Download(url, options);
      if (!reportSingle(outcome)) return false;
      break;
    case ResourceKind::kCollection:
      if (chatty())
        printIdentifier("Downloading collection: ", target.collection.AsPrettyString("  "));
      if (!collectionKind(type, options.collectionKind)) return false;
      options.jobs = static_cast<std::size_t>(boundedJobs(jobs));
      outcome = requests.Download(url, options);
      if (!reportCollection(outcome)) return false;
      outcome.path = qx::common::joinPaths(client.Config().CacheLocation(),
                                           uriToPath(target.collection.Server().Url()));
      break;
    default:
      std::cout << "Invalid URL: only models and worlds or collections can be "
                << "downloaded so far.\n";
      return false;
  }
  if (chatty()) std::cout << "Download succeeded.\n";
  path = outcome.path;
  return true;
}

}  // namespace

bool downloadUrlToPath(const char *url, const char *configPath, const char *header,
                       const char *type, int jobs, std::string &path) {
  return command::guarded("downloadUrl", false, [&] {
    return command::required(url, "downloadUrl", "URL text") &&
           downloadByUrl(url, configPath, header, type, jobs, path);
  });
}

}  // namespace qx::quarn_tools

extern "C" bool downloadUrl(const char *url, const char *configPath, const char *header,
                            const char *type, int jobs) {
  std::string path;
  return qx::quarn_tools::downloadUrlToPath(url, configPath, header, type, jobs, path);
}
