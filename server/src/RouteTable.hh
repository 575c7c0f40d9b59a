/*
 * The route table: the one description of the repository's routes. Each
 * form names a route's segments, the content type and headers of its
 * answers, and where a mirror export keeps those answers. The live server
 * parses requests with it, the export names its files with it and the
 * nginx configuration is written from it, so the three cannot drift apart.
 * Constant data and pure functions; safe on any thread.
 */
#ifndef QX_QUARN_SERVER_ROUTETABLE_HH_
#define QX_QUARN_SERVER_ROUTETABLE_HH_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Route.hh"

namespace qx::quarn_server {

// Placeholders of patterns and export paths:
//   {owner} {name} {collection}  one segment
//   {kind}                       "models" or "worlds"
//   {version}                    "tip" or decimal digits
//   {name}.zip                   the name segment followed by ".zip"
//   {path}                       one or more segments, the rest of the route
// Anything else in a pattern is a literal segment.
struct RouteForm {
  enum Id {
    kLicenses,
    kServerListing,
    kOwnerListing,
    kCollectionListing,
    kResourceListing,  // the listing of one resource (its details route with a page query)
    kDetails,
    kArchive,
    kFile,
  };
  Id id;
  Route::Type type;
  // "/"-separated segments with placeholders.
  const char *pattern;
  // Matches only requests whose query holds a "page" item.
  bool pageQuery;
  // Where a mirror export keeps the answer, below its data directory: a
  // file, or for a listing the directory of its pages (pageFileName).
  const char *exportPath;
  // The content type of the answer; empty for single files, which go by
  // their extension (fileContentType).
  const char *contentType;
  // Answers carry the delivered version number in kVersionHeader.
  bool versionHeader;
};

// Every form, in the order they are tried: the first that matches wins.
const std::vector<RouteForm> &routeForms();
const RouteForm &routeForm(RouteForm::Id id);

// What the decoded `route` with `query` names; kUnknown when a segment is
// empty or no form matches.
Route parseRoute(const std::string &route, const std::string &query = "");

// Routes of a form with their fields set: the one way callers make routes.
Route makeRoute(RouteForm::Id id, Kind kind = Kind::kModel, const std::string &owner = "",
                const std::string &nameOrCollection = "", const std::string &version = "",
                const std::vector<std::string> &filePath = {});

// `text` (a pattern or an export path) with every placeholder replaced by
// `value(placeholder)` ("{owner}", ...), or filled from `route`.
std::string fillPlaceholders(const std::string &text,
                             const std::function<std::string(const std::string &)> &value);
std::string fillPlaceholders(const std::string &text, const Route &route);
// The route as text: its form's pattern filled (decoded, "/"-separated).
std::string routeText(const Route &route);
// Where the export keeps the answer to `route`, relative to its data
// directory.
std::string exportPath(const Route &route);
// An export path below a version ("...{version}/REST") cut into the version
// directory ("...{version}") and the path inside it ("REST"); the whole
// path and "" for others.
std::pair<std::string, std::string> splitAtVersion(const std::string &exportPath);

// The page files of a listing's export directory: page N, when another
// page follows it, is "N.next.json", else "N.json"; kPastLastPage answers
// every page after the last.
std::string pageFileName(std::uint64_t page, bool hasNext);
extern const char *const kPageSuffix;      // ".json"
extern const char *const kNextPageSuffix;  // ".next.json"
extern const char *const kPastLastPage;    // "end.json"

// The value of the Link header that names page `page` + 1 of the decoded
// `route`, below `linkBase` (scheme, authority and API version).
std::string nextPageLink(const std::string &linkBase, const std::string &route,
                         std::uint64_t page);

// Single files: extensions (lower case, with the dot) and their content
// types; anything else is "application/octet-stream".
const std::vector<std::pair<std::string, std::string>> &fileContentTypes();
extern const char *const kDefaultFileType;  // "application/octet-stream"
// The content type a single file is served with, by its extension (ASCII
// case ignored).
std::string fileContentType(const std::string &path);

// Single files a browser would run as a page of the server's (HTML, SVG):
// their extensions (lower case, with the dot). They are sent with
// "Content-Disposition: attachment", so that a browser saves them instead.
const std::vector<std::string> &attachmentExtensions();
// Whether the file `path` is one of those (ASCII case ignored).
bool sentAsAttachment(const std::string &path);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ROUTETABLE_HH_
