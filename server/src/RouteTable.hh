/*
 * The route table: the one description of the repository's routes. Each
 * form names a route's segments, the content type and headers of its
 * answers, and where a mirror export keeps those answers. The live server
 * parses requests with it, the export names its files with it and the
 * nginx configurations (the export's, and the caching proxy's) are written
 * from it, so they cannot drift apart. It also says what caches between a
 * client and a server may keep of each answer.
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
  // Answers of a numbered version never change (a new version gets a new
  // number): caches may keep them for good. At "tip", and for forms
  // without a version, the answer changes when the repository does.
  bool fixedWhenNumbered;
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

// What caches between a client and the server (a lab's proxy, a CDN) may
// do with an answer, as "Cache-Control" says it:
extern const char *const kCacheForever;     // "public, max-age=31536000, immutable"
extern const char *const kCacheRevalidate;  // "no-cache": kept, asked again before each use
extern const char *const kCachePrivate;     // "private, no-store": kept by no one
extern const char *const kCacheNothing;     // "no-store"
// Keyed answers are private, and vary by the header that carries the key
// ("Vary: Private-token").

// Whether `route` names a numbered version of a form whose answers are
// fixed then (an archive or a file of version 3, not of "tip").
bool fixedAnswer(const Route &route);

// The Cache-Control of an answer with `status` to `route`: private for a
// keyed answer (`keyed`: the request carried a key, or the server has a
// read key, so that every read of it is keyed, or the answer shows a
// private resource), nothing kept of an error (400 and above), kept for
// good when the answer is fixed, revalidated otherwise. A 304, a 206 and a
// redirect get the policy of the answer they stand for.
const char *cacheControl(const Route &route, int status, bool keyed);

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
