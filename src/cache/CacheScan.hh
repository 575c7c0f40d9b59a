/*
 * The walk over one server directory of the cache that every lookup and
 * listing makes: server / owner / kind / name / version. Only whole
 * versions count: the cache's own entries beside the versions (saves in
 * progress, locks, records) are skipped, and so is a version directory an
 * older library left half unpacked (its archive still in it, no record
 * beside it). A link at any level is followed only when its owner is
 * trusted (the rule of CacheDirectories.hh). Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHESCAN_HH_
#define QX_QUARN_TOOLS_SRC_CACHESCAN_HH_

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_tools::internal::cache {

// One version directory found below a server directory.
struct Found {
  std::string owner;
  std::string name;
  std::string version;
  std::string path;  // absolute
};

// Restricts a walk to one owner and one resource name (as identifiers
// store them, lower-cased); an empty field restricts nothing. Lookups of one
// resource pass it, so they look at no other owner's directory and at the
// versions of no other resource; the names in the owner's directory of the
// kind are still read (a name matches whatever its case), so the cost grows
// with how many resources of that kind the owner has cached.
struct Only {
  std::string owner;
  std::string name;
};

// Restricts a walk to several resources at once: (owner, name) as Only
// holds them. One walk then answers lookups of many resources, whose cost
// grows with the size of the cache only once.
using OnlyThese = std::set<std::pair<std::string, std::string>>;

// The whole versions of `kind` ("models" or "worlds") below `serverDir`, in
// name order; with `marker`, only those holding that file. Nothing for a
// directory that does not exist.
std::vector<Found> ScanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const Only &only = {});
std::vector<Found> ScanServer(const std::string &serverDir, const std::string &kind,
                              const char *marker, const OnlyThese &only);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHESCAN_HH_
