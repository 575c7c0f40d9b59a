/*
 * Names every file and directory of the cache. Nothing else in the library
 * joins cache paths:
 *
 *   ROOT/SERVER/OWNER/KIND/NAME/VERSION/...      a published version
 *   ROOT/SERVER/OWNER/KIND/NAME/.qxlock          advisory lock of the resource
 *   ROOT/SERVER/OWNER/KIND/NAME/.qxstage-H-P-N   a save in progress (host H,
 *                                                process P, serial N)
 *   ROOT/SERVER/OWNER/KIND/NAME/.qxtrash-H-P-N   a version being removed
 *   ROOT/SERVER/OWNER/KIND/NAME/.qxmanifest-V    what version V held when
 *                                                it was published
 *   ROOT/SERVER/OWNER/KIND/NAME/.qxstage-.../    owner-only: NAME.zip (the
 *                                                download), tree/ (the
 *                                                version being built), record
 *                                                (its manifest), replaced/
 *
 * SERVER is uriToPath of the server URL, OWNER/KIND/NAME the identifier's
 * unique name below it. Internal names live only in resource directories,
 * beside the versions (which are numbers), and all start with ".qx"; the
 * walks over versions skip them. Staging directories sit beside the version directories they
 * become, so publishing is one rename within one directory (one file
 * system), whatever links a user put above. Pure functions; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHENAMES_HH_
#define QX_QUARN_TOOLS_SRC_CACHENAMES_HH_

#include <sys/types.h>

#include <optional>
#include <string>

#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal::cache {

inline constexpr const char *kModelConfigFile = "model.config";
inline constexpr const char *kMetadataFile = "metadata.pbtxt";

// ROOT/SERVER; nothing for a server whose URL names no directory (it would
// be the root itself), or without a root (it would be the file-system root).
std::optional<std::string> ServerDirectory(const std::string &root, const ServerConfig &server);
// ROOT/UNIQUE-NAME: the directory holding a resource's versions.
std::string ResourceDirectory(const std::string &root, const std::string &uniqueName);
// ROOT/UNIQUE-NAME/VERSION
std::string VersionDirectory(const std::string &root, const std::string &uniqueName,
                             const std::string &version);

// NAME.zip: the archive of a resource as the server sends it.
std::string ArchiveFileName(const std::string &resourceName);
// DIR/model.config and DIR/metadata.pbtxt
std::string ModelConfigPath(const std::string &directory);
std::string MetadataPath(const std::string &directory);

// The advisory lock of a resource, inside its resource directory.
std::string LockFileName();
// What version VERSION held when it was published, beside it.
std::string ManifestFileName(const std::string &version);

// The kinds of work in progress the cache may hold.
enum class Scratch { kStaging, kTrash };

// ".qxstage-HOST-PID-SERIAL" or ".qxtrash-HOST-PID-SERIAL"; characters of
// the host name other than letters, digits, "." and "-" become "_".
std::string ScratchName(Scratch kind, const std::string &host, pid_t pid, unsigned long serial);
// A fresh scratch name of this process (its host name, its process id and a
// serial number that is never reused within the process and starts at
// random, so another process with the same id rarely picks the same).
std::string NewScratchName(Scratch kind);

// Who made a scratch directory, read back from its name.
struct ScratchOwner {
  Scratch kind = Scratch::kStaging;
  std::string host;
  pid_t pid = 0;
};
std::optional<ScratchOwner> ParseScratchName(const std::string &name);

// ".qxpart-PID-SERIAL": a file being written, renamed to its name when whole.
std::string PartFileName(pid_t pid, unsigned long serial);
// A part file name of this process never used before in it.
std::string NewPartFileName();
// Whether `name` is a part file name (of any process).
bool IsPartFileName(const std::string &name);

// Inside a staging directory: the tree that becomes the version, the record
// of what it holds (moved beside the version once it is published), and
// where a replaced version goes when the system cannot swap two directories.
std::string StagedTreeName();
std::string StagedRecordName();
std::string StagedReplacedName();

// Whether a directory entry is one of the cache's own (lock, scratch,
// manifest, part file) rather than content; lookups skip them.
bool IsInternalName(const std::string &name);

// This machine's host name as scratch names carry it.
std::string HostName();

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHENAMES_HH_
