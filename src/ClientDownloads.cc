// Downloads of models and worlds into the cache, and model dependencies.
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "IdentifierText.hh"
#include "MetadataFiles.hh"
#include "ProgressCounters.hh"
#include "QuarnClientPrivate.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools {

namespace {

constexpr const char *kVersionHeader = "X-Qel-Resource-Version";

// How many referral links one download follows before giving up.
constexpr int kMaxReferralHops = 5;

// The texts that differ between model and world downloads.
struct KindTexts {
  const char *kind;        // route segment
  const char *incomplete;  // server configuration incomplete
  const char *downloading;
  const char *failed;
};

const KindTexts kModelTexts{"models", "Can't download model, server configuration incomplete: ",
                            "Downloading model [", "Failed to download model."};
const KindTexts kWorldTexts{"worlds", "Can't download world, server configuration incomplete: ",
                            "Downloading world [", "Failed to download world."};

// A header value as the transport stores it ends with the line terminator
// the server sent; log lines quote it without, so each stays one line.
std::string WithoutLineEnd(std::string value) {
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

// A referral body is a link, possibly followed by a line end.
std::string TrimmedLink(const std::string &body) {
  const auto first = body.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = body.find_last_not_of(" \t\r\n");
  return body.substr(first, last - first + 1);
}

// The version the server delivered, from its version header: the header's
// number, or 1 (with a warning) when it is missing or not a 32-bit number.
unsigned int DeliveredVersion(const RestResponse &response) {
  const auto header = response.headers.find(kVersionHeader);
  if (header == response.headers.end()) {
    qxwarn << "Missing X-Qel-Resource-Version in REST response headers."
           << " Hardcoding version 1.\n";
    return 1;
  }
  unsigned int version = 0;
  if (!identifier::ParseVersionNumber(header->second, version)) {
    qxwarn << "Failed to convert X-Qel-Resource-Version header value ["
           << WithoutLineEnd(header->second)
           << "] to integer. Hardcoding version 1.\n";
    return 1;
  }
  return version;
}

// Sends the archive request of one resource version. False, with the reasons
// logged, when the server's record is incomplete or the server refuses.
template <typename Identifier>
bool RequestArchive(const Identifier &id, const std::vector<std::string> &headers,
                    const KindTexts &texts, RestResponse &response) {
  const ServerConfig &server = id.Server();
  if (!server.Url().Valid() || server.Version().empty()) {
    qxerr << texts.incomplete << "\n" << internal::ServerForLog(server) << "\n";
    return false;
  }
  const std::string route =
      internal::ArchiveRoute(id.Owner(), texts.kind, id.Name(), id.VersionStr());
  qxmsg << texts.downloading << id.UniqueName() << "]\n";
  response = internal::SendToServer(Rest(), HttpMethod::GET, server, route, {"link=true"},
                                    internal::HeadersWithApiKey(server, headers));
  if (response.statusCode != 200) {
    qxerr << texts.failed << "\n"
          << "  Server: " << server.Url().Str() << "\n"
          << "  Route: " << route << "\n"
          << "  REST response code: " << response.statusCode << "\n";
    return false;
  }
  return true;
}

}  // namespace

void QuarnClientPrivate::ArchiveFromResponse(const RestResponse &response,
                                             std::string &archive) const {
  ArchiveFromResponse(response, archive, kMaxReferralHops);
}

void QuarnClientPrivate::ArchiveFromResponse(const RestResponse &response,
                                             std::string &archive, int hopsLeft) const {
  const auto type = response.headers.find("Content-Type");
  if (type == response.headers.end()) {
    archive = response.data;
    return;
  }
  const std::string &contentType = type->second;
  if (contentType.find("text/plain") != std::string::npos) {
    const std::string link = TrimmedLink(response.data);
    if (!qx::common::URI::Valid(link)) {
      qxerr << "Invalid referral link URI [" << response.data << "]. "
            << "Unable to download.\n";
      return;
    }
    if (hopsLeft <= 0) {
      qxerr << "Too many referral links: giving up after " << kMaxReferralHops
            << " hops at [" << link << "]. Unable to download.\n";
      return;
    }
    qxdbg << "Downloading from a referral link [" << link << "]\n";
    const RestResponse referred = rest.Request(HttpMethod::GET, link, "", "", {}, {});
    ArchiveFromResponse(referred, archive, hopsLeft - 1);
  } else if (contentType.find("application/zip") != std::string::npos ||
             contentType.find("binary/octet-stream") != std::string::npos) {
    archive = response.data;
  } else {
    qxerr << "Invalid content-type of [" << WithoutLineEnd(contentType) << "]. " << "Unable to download.\n";
  }
}

Result QuarnClientPrivate::DownloadModel(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers,
                                         std::vector<ModelIdentifier> &dependencies) {
  if (internal::RefusedOffline(config, id.UniqueName() + " is not in the cache"))
    return Result(FETCH_FAILED);
  const internal::ResourceDownloadCount counting;
  RestResponse response;
  if (!RequestArchive(id, headers, kModelTexts, response))
    return internal::ResultOf(FETCH_FAILED, id.Server(),
                              internal::ResourceRoute(id.Owner(), kModelTexts.kind, id.Name()),
                              response);

  ModelIdentifier delivered(id);
  delivered.SetVersion(DeliveredVersion(response));
  std::string archive;
  ArchiveFromResponse(response, archive);
  if (archive.empty()) return Result(FETCH_FAILED);
  if (!cache->SaveModel(delivered, archive, true)) return Result(FETCH_FAILED);
  return ModelDependencies(id, dependencies);
}

Result QuarnClientPrivate::DownloadModel(const ModelIdentifier &id,
                                         const std::vector<std::string> &headers) {
  std::set<std::string> expanding;
  return DownloadModelTree(id, headers, expanding);
}

Result QuarnClientPrivate::DownloadModelTree(const ModelIdentifier &id,
                                             const std::vector<std::string> &headers,
                                             std::set<std::string> &expanding) {
  std::vector<ModelIdentifier> dependencies;
  const Result result = DownloadModel(id, headers, dependencies);
  if (!result || dependencies.empty()) return result;

  expanding.insert(id.UniqueName());
  for (const auto &dependency : dependencies) {
    if (cache->MatchingModel(dependency)) continue;
    // A model already being expanded on this path is a cycle: its download
    // is under way further up, so do not descend into it again.
    if (expanding.count(dependency.UniqueName()) > 0) continue;
    const Result dependencyResult = DownloadModelTree(dependency, headers, expanding);
    if (!dependencyResult) {
      qxerr << "Dependency [" << dependency.UniqueName() << "] of model ["
            << id.UniqueName() << "] failed to download: "
            << dependencyResult.ReadableResult() << "\n";
      expanding.erase(id.UniqueName());
      return dependencyResult;
    }
  }
  expanding.erase(id.UniqueName());
  return result;
}

Result QuarnClientPrivate::DownloadWorld(WorldIdentifier &id,
                                         const std::vector<std::string> &headers) {
  if (internal::RefusedOffline(config, id.UniqueName() + " is not in the cache"))
    return Result(FETCH_FAILED);
  const internal::ResourceDownloadCount counting;
  RestResponse response;
  if (!RequestArchive(id, headers, kWorldTexts, response))
    return internal::ResultOf(FETCH_FAILED, id.Server(),
                              internal::ResourceRoute(id.Owner(), kWorldTexts.kind, id.Name()),
                              response);

  id.SetVersion(DeliveredVersion(response));
  std::string archive;
  ArchiveFromResponse(response, archive);
  if (archive.empty()) return Result(FETCH_FAILED);
  return Result(cache->SaveWorld(id, archive, true) ? FETCH_DONE : FETCH_FAILED);
}

Result QuarnClientPrivate::DownloadModel(const qx::common::URI &url, std::string &path) {
  ModelIdentifier id;
  if (!ParseModelUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadModel(id, {});
  if (!result) return result;
  if (id.Version() == 0) {
    const Model found = cache->MatchingModel(id);
    if (found) id.SetVersion(found.Identification().Version());
  }
  path = qx::common::joinPaths(config.CacheLocation(), id.UniqueName(), id.VersionStr());
  return result;
}

Result QuarnClientPrivate::DownloadWorld(const qx::common::URI &url, std::string &path) {
  WorldIdentifier id;
  if (!ParseWorldUrl(url, id)) return Result(FETCH_FAILED);
  const Result result = DownloadWorld(id, {});
  if (result) path = id.LocalPath();
  return result;
}

Result QuarnClientPrivate::ModelDependencies(const ModelIdentifier &id,
                                             std::vector<ModelIdentifier> &dependencies) {
  dependencies.clear();
  std::string directory;
  if (!CachedModel(id, directory)) return Result(FETCH_DONE);

  qx::msgs::QuarnMetadata metadata;
  switch (internal::ReadResourceMetadata(directory, metadata)) {
    case internal::MetadataSource::kNone: return Result(FETCH_DONE);
    case internal::MetadataSource::kBadModelConfig: return Result(UPLOAD_FAILED);
    default: break;
  }

  for (const auto &dependency : metadata.dependencies()) {
    ModelIdentifier dependencyId;
    if (ParseModelUrl(qx::common::URI(dependency.uri()), dependencyId)) {
      dependencies.push_back(dependencyId);
    } else {
      qxwarn << "Error resolving URL for dependency [" << dependency.uri() << "] of model ["
             << id.UniqueName() << "]: Skipping\n";
    }
  }
  return Result(FETCH_DONE);
}

Result QuarnClientPrivate::ModelDependencies(const std::vector<ModelIdentifier> &ids,
                                             std::vector<ModelIdentifier> &dependencies) {
  std::set<std::string> expanding;
  std::vector<ModelIdentifier> all;
  DependenciesOf(ids, all, expanding);
  dependencies = all;
  return Result(FETCH_DONE);
}

void QuarnClientPrivate::DependenciesOf(const std::vector<ModelIdentifier> &ids,
                                        std::vector<ModelIdentifier> &dependencies,
                                        std::set<std::string> &expanding) {
  for (const auto &id : ids) {
    // A model already being expanded on this path closes a cycle.
    if (!expanding.insert(id.UniqueName()).second) continue;
    std::vector<ModelIdentifier> direct;
    ModelDependencies(id, direct);
    std::vector<ModelIdentifier> indirect;
    if (!direct.empty()) DependenciesOf(direct, indirect, expanding);
    dependencies.insert(dependencies.end(), direct.begin(), direct.end());
    dependencies.insert(dependencies.end(), indirect.begin(), indirect.end());
    expanding.erase(id.UniqueName());
  }
}

}  // namespace qx::quarn_tools
