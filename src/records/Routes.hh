/*
 * The kind words of resources and every route the client sends to a
 * repository server, below its URL and API version. Nothing else in the
 * library builds a route or spells a kind word. Pure functions; any thread.
 *
 *   models | worlds                        a server's listing
 *   OWNER/KIND                             an owner's listing
 *   OWNER/KIND/NAME                        details, edits, deletions, the
 *                                          listing of one resource
 *   OWNER/KIND/NAME/VERSION/NAME.zip       an archive
 *   OWNER/collections/NAME/KIND            a collection's listing
 *   models                                 uploads
 *   licenses                               the licence list
 */
#ifndef QX_QUARN_TOOLS_SRC_ROUTES_HH_
#define QX_QUARN_TOOLS_SRC_ROUTES_HH_

#include <string>

namespace qx::quarn_tools::internal {

// As they appear in routes, URLs, unique names and cache directories.
inline constexpr const char *kModelsKind = "models";
inline constexpr const char *kWorldsKind = "worlds";
inline constexpr const char *kCollectionsKind = "collections";

namespace routes {

inline constexpr const char *kLicenses = "licenses";
inline constexpr const char *kUpload = "models";

// OWNER/KIND/NAME
std::string Resource(const std::string &owner, const std::string &kind, const std::string &name);
// KIND for a whole server (no owner), OWNER/KIND for one owner.
std::string ServerOrOwner(const std::string &owner, const std::string &kind);
// OWNER/KIND, or OWNER/KIND/NAME when a name is given.
std::string Listing(const std::string &owner, const std::string &kind, const std::string &name);
// OWNER/KIND/NAME/VERSION/NAME.zip
std::string Archive(const std::string &owner, const std::string &kind, const std::string &name,
                    const std::string &version);
// OWNER/collections/NAME/KIND
std::string Collection(const std::string &owner, const std::string &name, const std::string &kind);

// Whether `route` names something that never changes: the archive of a
// numbered version (OWNER/KIND/NAME/3/NAME.zip). What every other route
// names (tip, listings, details, collections, licences) changes with the
// server.
bool NamesFixedVersion(const std::string &route);

// Whether `route` (slashes or backslashes between its segments) is a
// listing of many pages: a server's, an owner's or a collection's, whose
// last segment is a kind word; not the listing of one resource.
bool IsPagedListing(const std::string &route);

}  // namespace routes
}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ROUTES_HH_
