/*
 * Opening the directories of the cache, with the rule that keeps a shared
 * cache from being turned against its users: below the cache root a symbolic
 * link is followed only when it belongs to the user running the process or
 * to root (the rule the kernel applies to links in sticky directories). A
 * user who moved a server directory to a bigger disk and linked it back
 * keeps working; a link planted by another user of the cache stops the save.
 *
 * Directories are walked one component at a time through open descriptors,
 * so a link swapped in for a directory after it was checked changes
 * nothing: what the walk hands back is the directory it checked. Internal;
 * any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_
#define QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_

#include <memory>
#include <string>

#include "CacheNames.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

// Whether a link of this owner may be followed.
bool TrustedLinkOwner(uid_t owner);

// Opens ROOT (made when missing, as it stands, links and all: the user
// chose it) and below it every directory of the "/"-separated `relative`,
// making what is missing when `create` is set. The last directory; nothing
// with a one-line `error` naming the path and the reason when a component is
// an untrusted link or no directory, or cannot be made or opened (without
// `create`, a missing component gives nothing and an empty `error`).
std::unique_ptr<Directory> OpenCacheDirectory(FileSystem &fileSystem, const std::string &root,
                                              const std::string &relative, bool create,
                                              std::string &error);

// The same, only for making the directories.
bool MakeDirectories(FileSystem &fileSystem, const std::string &root, const std::string &relative,
                     std::string &error);

// What the entry `name` of a cache directory is, for use as a directory.
enum class Entry { kMissing, kDirectory, kRefused };

// Looks at the entry `name` of `parent`: missing, a directory or a trusted
// link to one (opened into `directory` when it is given), or refused with a
// one-line `error` (an untrusted link, something else).
Entry OpenCacheEntry(FileSystem &fileSystem, const Directory &parent, const std::string &name,
                     std::unique_ptr<Directory> *directory, std::string &error);

// After a failed download: removes the resource directory ROOT/UNIQUE-NAME
// when it holds nothing but its lock file, then its owner's kind and owner
// directories when they are left empty. Anything else stays.
void RemoveUnusedResource(FileSystem &fileSystem, const std::string &root,
                          const std::string &uniqueName);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_
