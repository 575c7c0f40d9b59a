/*
 * The repository's REST answers: listings (paged), details, download
 * archives (from the archive store), single files and the licence list,
 * computed from the served directory for one request. Keeps only its
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
  // The URL that routes are appended to in links: scheme, authority and the
  // API version segment, without a trailing slash.
  std::string linkBase;
};

class ArchiveStore;

class Catalogue {
 public:
  // Archives come from `archives` (none without it: 500). `pageSize` of 0
  // counts as 1. An empty `apiKey` protects nothing. With `publicOnly`,
  // private resources are left out of every answer, key or not (what a
  // mirror export publishes).
  Catalogue(const Repository &repository, ArchiveStore *archives, std::size_t pageSize,
            std::string apiKey, bool publicOnly = false);

  // Answers GET and HEAD; any other method gets 405 with the methods the
  // route allows (writes are answered by the Publisher before this).
  Reply Answer(const CatalogueRequest &request) const;

 private:
  Reply Listing(const Route &route, const CatalogueRequest &request) const;
  Reply Details(const Route &route, const CatalogueRequest &request) const;
  Reply Archive(const Route &route) const;
  Reply File(const Route &route) const;
  Reply Licenses() const;
  // One page of `resources`, as the query asks; with a Link header naming
  // the next page when there is one.
  Reply Page(const Route &route, const std::vector<Resource> &resources,
             const CatalogueRequest &request) const;
  // Details, archives and files need the API key when the server has one.
  bool Authorised(const Route &route, const CatalogueRequest &request) const;
  // Whether the request carries the server's API key (or none is needed).
  bool KeyMatches(const CatalogueRequest &request) const;
  // The resource a route names; private ones are not found with publicOnly.
  std::optional<Resource> Find(const Route &route) const;
  // The version a route names, with its resource.
  std::optional<VersionDir> VersionOf(const Route &route, std::optional<Resource> &resource) const;
  // Private models are listed only for requests that carry the API key.
  void LeaveOutPrivate(const CatalogueRequest &request, std::vector<Resource> &resources) const;

  const Repository &repository_;
  ArchiveStore *const archives_;
  const std::size_t pageSize_;
  const std::string apiKey_;
  const bool publicOnly_;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_CATALOGUE_HH_
