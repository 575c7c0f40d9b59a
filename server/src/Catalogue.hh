/*
 * The repository's REST answers: listings (paged), details, download
 * archives (from the archive store), single files and the licence list,
 * computed from the served directory for one request. Private resources
 * exist only for requests that carry the read key: to every other request
 * a private resource, an owner with nothing else and a collection with no
 * other member are answered exactly as absent ones. Keeps only its
 * settings, so one object answers on any number of threads at once.
 */
#ifndef QX_QUARN_SERVER_CATALOGUE_HH_
#define QX_QUARN_SERVER_CATALOGUE_HH_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"

namespace qx::quarn_server {

// What the catalogue needs to know of a request.
struct CatalogueRequest {
  std::string method;
  std::string route;  // decoded
  std::string query;
  std::optional<std::string> apiKey;  // the "Private-token" header
  // What routes are appended to in links: the API version's path ("/1.0"),
  // so that a link is a relative reference and nothing of the request's
  // Host goes back out.
  std::string linkBase;
};

class ArchiveStore;

class Catalogue {
 public:
  // Archives come from `archives` (none without it: 500). `pageSize` of 0
  // counts as 1. With a `readKey`, details, archives and files need it, and
  // private resources are there for requests that carry it; without one
  // they are there for no one. With `publicOnly`, private resources are
  // left out of every answer, key or not (what a mirror export publishes).
  Catalogue(const Repository &repository, ArchiveStore *archives, std::size_t pageSize,
            std::string readKey, bool publicOnly = false);

  // Answers GET and HEAD; any other method gets 405 with the methods the
  // route allows (writes are answered by the Publisher before this).
  Reply Answer(const CatalogueRequest &request) const;

 private:
  Reply Listing(const Route &route, const CatalogueRequest &request) const;
  Reply Details(const Route &route, const CatalogueRequest &request) const;
  Reply Archive(const Route &route, const CatalogueRequest &request) const;
  Reply File(const Route &route, const CatalogueRequest &request) const;
  Reply Licenses() const;
  // One page of `resources`, as the query asks; with a Link header naming
  // the next page when there is one.
  Reply Page(const Route &route, const std::vector<Resource> &resources,
             const CatalogueRequest &request) const;
  // Details, archives and files need the read key when the server has one.
  bool Authorised(const Route &route, const CatalogueRequest &request) const;
  // Whether the request carries the read key (never with publicOnly).
  bool KeyMatches(const CatalogueRequest &request) const;
  // Whether `resource` is there for the request: public, or the request
  // carries the read key.
  bool Visible(const Resource &resource, const CatalogueRequest &request) const;
  // The resource a route names, when it is there for the request.
  std::optional<Resource> Find(const Route &route, const CatalogueRequest &request) const;
  // The version a route names, with its resource.
  std::optional<VersionDir> VersionOf(const Route &route, const CatalogueRequest &request,
                                      std::optional<Resource> &resource) const;
  // `resources` without those that are not there for the request.
  std::vector<Resource> VisibleOnly(std::vector<Resource> resources,
                                    const CatalogueRequest &request) const;

  const Repository &repository_;
  ArchiveStore *const archives_;
  const std::size_t pageSize_;
  const std::string readKey_;
  const bool publicOnly_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CATALOGUE_HH_
