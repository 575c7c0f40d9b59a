/*
 * Making the directories of the cache, with the rule that keeps a shared
 * cache from being turned against its users: below the cache root a symbolic
 * link is followed only when it belongs to the user running the process or
 * to root (the rule the kernel applies to links in sticky directories). A
 * user who moved a server directory to a bigger disk and linked it back
 * keeps working; a link planted by another user of the cache stops the save.
 * Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_
#define QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_

#include <string>

#include "CacheNames.hh"
#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

// Whether a link of this owner may be followed.
bool TrustedLinkOwner(uid_t owner);

// Makes ROOT (as it stands, links and all: the user chose it) and below it
// every directory of the "/"-separated `relative`, creating what is missing.
// False with a one-line `error` naming the path and the reason when a
// component is an untrusted link or no directory, or cannot be made.
bool MakeDirectories(FileSystem &fileSystem, const std::string &root, const std::string &relative,
                     std::string &error);

// Whether `path` may be used as a directory of the cache: missing, a
// directory, or a trusted link to one. False with `error` otherwise.
bool CheckDirectory(FileSystem &fileSystem, const std::string &path, std::string &error);

// After a failed download: removes the resource directory ROOT/UNIQUE-NAME
// when it holds nothing but its lock file, then its owner's kind and owner
// directories when they are left empty. Anything else stays.
void RemoveUnusedResource(FileSystem &fileSystem, const std::string &root,
                          const std::string &uniqueName);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHEDIRECTORIES_HH_
