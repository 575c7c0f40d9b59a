#include "Catalogue.hh"

#include <algorithm>
#include <map>
#include <sstream>

#include <json/json.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "Archive.hh"
#include "Documents.hh"
#include "qx/quarn_server/RepositoryServer.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

const char kJson[] = "application/json";

Reply notFound(const std::string &route) { return errorReply(404, "Not found: " + route); }

// `resource`'s version `text`, or nullopt.
std::optional<VersionDir> versionOf(const Repository &repository, const Route &route,
                                    std::optional<Resource> &resource) {
  resource = repository.Find(route.kind, route.owner, route.name);
  if (!resource) return std::nullopt;
  return repository.Version(*resource, route.version);
}

bool isJsonArray(const std::string &text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::istringstream in(text);
  std::string errors;
  return Json::parseFromStream(builder, in, &value, &errors) && value.isArray();
}

}  // namespace

Catalogue::Catalogue(const Repository &repository, std::size_t pageSize, std::string apiKey)
    : repository_(repository),
      pageSize_(pageSize == 0 ? 1 : pageSize),
      apiKey_(std::move(apiKey)) {}

Reply Catalogue::Answer(const CatalogueRequest &request) const {
  const Route route = parseRoute(request.route);
  if (request.method != "GET" && request.method != "HEAD") {
    Reply reply = errorReply(405, "Method not allowed: " + request.method);
    reply.SetHeader("Allow", allowedMethods(route));
    return reply;
  }
  if (!Authorised(route, request)) return errorReply(401, "Missing or wrong API key");
  switch (route.type) {
    case Route::kListing: return Listing(route, request);
    case Route::kDetails: return Details(route, request);
    case Route::kArchive: return Archive(route);
    case Route::kFile: return File(route);
    case Route::kLicenses: return Licenses();
    case Route::kUnknown: break;
  }
  return notFound(request.route);
}

bool Catalogue::Authorised(const Route &route, const CatalogueRequest &request) const {
  const bool guarded = route.type == Route::kDetails || route.type == Route::kArchive ||
                       route.type == Route::kFile;
  return !guarded || KeyMatches(request);
}

bool Catalogue::KeyMatches(const CatalogueRequest &request) const {
  return apiKey_.empty() || request.apiKey == apiKey_;
}

void Catalogue::LeaveOutPrivate(const CatalogueRequest &request,
                                std::vector<Resource> &resources) const {
  if (KeyMatches(request)) return;
  resources.erase(std::remove_if(resources.begin(), resources.end(),
                                 [this](const Resource &r) { return repository_.Private(r); }),
                  resources.end());
}

Reply Catalogue::Listing(const Route &route, const CatalogueRequest &request) const {
  std::vector<Resource> resources;
  if (!route.collection.empty()) {
    const std::optional<fs::path> file = repository_.CollectionFile(route.owner, route.collection);
    if (!file) return notFound(request.route);
    if (!repository_.CollectionMembers(*file, route.kind, resources)) {
      qxerr << "Collection file [" << file->string() << "] is not valid";
      return errorReply(500, "Collection file is not valid: " + route.owner + "/" +
                                 route.collection);
    }
  } else if (route.owner.empty()) {
    resources = repository_.Resources(route.kind);
  } else {
    std::optional<std::vector<Resource>> owned = repository_.Resources(route.kind, route.owner);
    if (!owned) return notFound(request.route);
    resources = std::move(*owned);
  }
  LeaveOutPrivate(request, resources);
  return Page(resources, request);
}

Reply Catalogue::Details(const Route &route, const CatalogueRequest &request) const {
  const std::optional<Resource> resource = repository_.Find(route.kind, route.owner, route.name);
  if (!resource) return notFound(request.route);
  // A listing iterator asking for pages of this route gets a listing of the
  // one resource; everyone else gets its document.
  if (hasQueryItem(request.query, "page")) return Page({*resource}, request);
  const Json::Value document =
      resourceDocument(repository_, *resource, repository_.Versions(*resource));
  return makeReply(200, jsonText(document), kJson);
}

Reply Catalogue::Page(const std::vector<Resource> &resources,
                      const CatalogueRequest &request) const {
  const std::optional<std::uint64_t> page = pageOf(request.query);
  if (!page) return errorReply(400, "Invalid page in query: " + request.query);
  const std::uint64_t first = (*page - 1) <= resources.size() / pageSize_
                                  ? (*page - 1) * pageSize_
                                  : resources.size();
  Json::Value list(Json::arrayValue);
  for (std::uint64_t i = first; i < resources.size() && i < first + pageSize_; ++i) {
    const Resource &resource = resources[i];
    list.append(resourceDocument(repository_, resource, repository_.Versions(resource)));
  }
  Reply reply = makeReply(200, jsonText(list), kJson);
  if (first + pageSize_ < resources.size()) {
    reply.SetHeader("Link", "<" + request.linkBase + "/" + escapeRoute(request.route) +
                                "?page=" + std::to_string(*page + 1) + ">; rel=\"next\"");
  }
  return reply;
}

Reply Catalogue::Archive(const Route &route) const {
  std::optional<Resource> resource;
  const std::optional<VersionDir> version = versionOf(repository_, route, resource);
  if (!version) return notFound(route.owner + "/" + kindWord(route.kind) + "/" + route.name);
  std::optional<std::string> archive = buildArchive(repository_, version->path);
  if (!archive) return errorReply(500, "Unable to build the archive");
  Reply reply = makeReply(200, std::move(*archive), "application/zip");
  reply.SetHeader(kVersionHeader, std::to_string(version->number));
  return reply;
}

Reply Catalogue::File(const Route &route) const {
  std::optional<Resource> resource;
  const std::optional<VersionDir> version = versionOf(repository_, route, resource);
  std::optional<fs::path> path;
  if (version) path = repository_.Resolve(route.filePath, version->path);
  std::optional<std::string> content;
  if (path) content = repository_.ReadFile(*path);
  if (!content) return notFound(route.owner + "/" + kindWord(route.kind) + "/" + route.name);
  Reply reply = makeReply(200, std::move(*content), fileContentType(path->string()));
  reply.SetHeader(kVersionHeader, std::to_string(version->number));
  return reply;
}

Reply Catalogue::Licenses() const {
  const std::optional<std::string> text =
      repository_.ReadFile(repository_.Root() / "licenses.json");
  if (!text) return notFound("licenses");
  if (!isJsonArray(*text)) {
    qxerr << "The repository's licenses.json is not a JSON array";
    return errorReply(500, "licenses.json is not a JSON array");
  }
  return makeReply(200, *text, kJson);
}

std::string fileContentType(const std::string &path) {
  static const std::map<std::string, std::string> kTypes = {
      {".config", "text/xml"},   {".dae", "text/xml"},        {".sdf", "text/xml"},
      {".urdf", "text/xml"},     {".xml", "text/xml"},        {".json", kJson},
      {".pbtxt", "text/plain"},  {".txt", "text/plain"},      {".obj", "text/plain"},
      {".mtl", "text/plain"},    {".material", "text/plain"}, {".md", "text/plain"},
      {".png", "image/png"},     {".jpg", "image/jpeg"},      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},     {".svg", "image/svg+xml"},   {".pdf", "application/pdf"},
  };
  const std::string name = fs::path(path).filename().string();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "application/octet-stream";
  const auto type = kTypes.find(qx::common::lowercase(name.substr(dot)));
  return type == kTypes.end() ? "application/octet-stream" : type->second;
}

}  // namespace qx::quarn_server
