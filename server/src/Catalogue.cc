#include "Catalogue.hh"

#include <algorithm>
#include <sstream>

#include <json/json.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "ArchiveStore.hh"
#include "OpenFile.hh"
#include "Documents.hh"
#include "Keys.hh"
#include "RouteTable.hh"
#include "qx/quarn_server/RepositoryServer.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

Reply notFound(const std::string &route) { return errorReply(404, "Not found: " + route); }

bool isJsonArray(const std::string &text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::istringstream in(text);
  std::string errors;
  return Json::parseFromStream(builder, in, &value, &errors) && value.isArray();
}

}  // namespace

Catalogue::Catalogue(const Repository &repository, ArchiveStore *archives, std::size_t pageSize,
                     std::string readKey, bool publicOnly)
    : repository_(repository),
      archives_(archives),
      pageSize_(pageSize == 0 ? 1 : pageSize),
      readKey_(std::move(readKey)),
      publicOnly_(publicOnly) {}

Reply Catalogue::Answer(const CatalogueRequest &request) const {
  const Route route = parseRoute(request.route, request.query);
  if (request.method != "GET" && request.method != "HEAD") {
    Reply reply = errorReply(405, "Method not allowed: " + request.method);
    reply.SetHeader("Allow", allowedMethods(route));
    return reply;
  }
  if (!Authorised(route, request)) return errorReply(401, "Missing or wrong API key");
  switch (route.type) {
    case Route::kListing: return Listing(route, request);
    case Route::kDetails: return Details(route, request);
    case Route::kArchive: return Archive(route, request);
    case Route::kFile: return File(route, request);
    case Route::kLicenses: return Licenses();
    case Route::kUnknown: break;
  }
  return notFound(request.route);
}

bool Catalogue::Authorised(const Route &route, const CatalogueRequest &request) const {
  const bool guarded = route.type == Route::kDetails || route.type == Route::kArchive ||
                       route.type == Route::kFile;
  return !guarded || publicOnly_ || readKey_.empty() || KeyMatches(request);
}

bool Catalogue::KeyMatches(const CatalogueRequest &request) const {
  return !publicOnly_ && keyMatches(request.apiKey, readKey_);
}

bool Catalogue::Visible(const Resource &resource, const CatalogueRequest &request) const {
  return !repository_.Private(resource) || KeyMatches(request);
}

std::optional<Resource> Catalogue::Find(const Route &route, const CatalogueRequest &request) const {
  std::optional<Resource> resource = repository_.Find(route.kind, route.owner, route.name);
  if (resource && !Visible(*resource, request)) return std::nullopt;
  return resource;
}

std::vector<Resource> Catalogue::VisibleOnly(std::vector<Resource> resources,
                                             const CatalogueRequest &request) const {
  if (KeyMatches(request)) return resources;
  resources.erase(std::remove_if(resources.begin(), resources.end(),
                                 [this](const Resource &r) { return repository_.Private(r); }),
                  resources.end());
  return resources;
}

Reply Catalogue::Listing(const Route &route, const CatalogueRequest &request) const {
  const Kind other = route.kind == Kind::kModel ? Kind::kWorld : Kind::kModel;
  std::vector<Resource> resources;
  if (!route.collection.empty()) {
    const std::optional<fs::path> file = repository_.CollectionFile(route.owner, route.collection);
    if (!file) return notFound(request.route);
    std::vector<Resource> members;
    if (!repository_.CollectionMembers(*file, route.kind, members)) {
      qxerr << "Collection file [" << file->string() << "] is not valid";
      return errorReply(500, "Collection file is not valid: " + route.owner + "/" +
                                 route.collection);
    }
    resources = VisibleOnly(std::move(members), request);
    if (resources.empty()) {
      // A collection with no member there for the request is not there.
      std::vector<Resource> others;
      repository_.CollectionMembers(*file, other, others);
      if (VisibleOnly(std::move(others), request).empty()) return notFound(request.route);
    }
  } else if (!route.name.empty()) {
    const std::optional<Resource> resource = Find(route, request);
    if (!resource) return notFound(request.route);
    resources.push_back(*resource);
  } else if (route.owner.empty()) {
    resources = VisibleOnly(repository_.Resources(route.kind), request);
  } else {
    std::optional<std::vector<Resource>> owned = repository_.Resources(route.kind, route.owner);
    if (!owned) return notFound(request.route);
    resources = VisibleOnly(std::move(*owned), request);
    if (resources.empty()) {
      // An owner with nothing there for the request is not there.
      std::optional<std::vector<Resource>> others = repository_.Resources(other, route.owner);
      if (!others || VisibleOnly(std::move(*others), request).empty())
        return notFound(request.route);
    }
  }
  return Page(route, resources, request);
}

Reply Catalogue::Details(const Route &route, const CatalogueRequest &request) const {
  const std::optional<Resource> resource = Find(route, request);
  if (!resource) return notFound(request.route);
  const Json::Value document =
      resourceDocument(repository_, *resource, repository_.Versions(*resource));
  return makeReply(200, jsonText(document), route.form->contentType);
}

Reply Catalogue::Page(const Route &route, const std::vector<Resource> &resources,
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
  Reply reply = makeReply(200, jsonText(list), route.form->contentType);
  if (first + pageSize_ < resources.size())
    reply.SetHeader("Link", nextPageLink(request.linkBase, request.route, *page));
  return reply;
}

std::optional<VersionDir> Catalogue::VersionOf(const Route &route,
                                               const CatalogueRequest &request,
                                               std::optional<Resource> &resource) const {
  resource = Find(route, request);
  if (!resource) return std::nullopt;
  return repository_.Version(*resource, route.version);
}

Reply Catalogue::Archive(const Route &route, const CatalogueRequest &request) const {
  std::optional<Resource> resource;
  const std::optional<VersionDir> version = VersionOf(route, request, resource);
  if (!version) return notFound(route.owner + "/" + kindWord(route.kind) + "/" + route.name);
  const std::optional<ArchiveStore::Archive> archive =
      archives_ ? archives_->Get(*resource, *version) : std::nullopt;
  if (!archive) return errorReply(500, "Unable to build the archive");
  Reply reply = makeReply(200, "", route.form->contentType);
  reply.SetFile(archive->file, archive->tag);
  reply.SetHeader(kVersionHeader, std::to_string(version->number));
  return reply;
}

Reply Catalogue::File(const Route &route, const CatalogueRequest &request) const {
  std::optional<Resource> resource;
  const std::optional<VersionDir> version = VersionOf(route, request, resource);
  std::optional<fs::path> path;
  if (version) path = repository_.VersionFile(version->path, route.filePath);
  std::shared_ptr<const OpenFile> file;
  if (path) file = OpenFile::Open(*path);
  if (!file) return notFound(route.owner + "/" + kindWord(route.kind) + "/" + route.name);
  Reply reply = makeReply(200, "", fileContentType(path->string()));
  if (sentAsAttachment(path->string())) reply.SetHeader("Content-Disposition", "attachment");
  reply.SetFile(std::move(file));
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
  return makeReply(200, *text, routeForm(RouteForm::kLicenses).contentType);
}

}  // namespace qx::quarn_server
