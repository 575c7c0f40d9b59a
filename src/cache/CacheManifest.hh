/*
 * What a version held when it was published: every regular file below its
 * directory with its size and CRC-32, kept beside the version as
 * .qxmanifest-VERSION (a name lookups, listings and quarn serve never take
 * for content). Later checks compare a version against it. One line per
 * file; a path's backslashes and control characters (a newline in a file
 * name) are escaped, so every path stays one line. Internal; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_CACHEMANIFEST_HH_
#define QX_QUARN_TOOLS_SRC_CACHEMANIFEST_HH_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FileSystem.hh"

namespace qx::quarn_tools::internal::cache {

struct FileRecord {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  bool operator==(const FileRecord &other) const { return size == other.size && crc == other.crc; }
};

// Files by "/"-separated path below the version directory.
using Manifest = std::map<std::string, FileRecord>;

// What the tree in the open `directory` holds now (links are not followed
// nor listed). Files in `known` whose size still matches are taken as they
// are there instead of being read again. Nothing when the tree cannot be
// read.
std::optional<Manifest> DescribeTree(const Directory &directory, const Manifest &known = {});
// The same for the directory at `path`.
std::optional<Manifest> DescribeTree(const std::string &path, const Manifest &known = {});

// The text of a record, and back (nothing for a text that is none).
std::string ManifestText(const Manifest &manifest);
std::optional<Manifest> ParseManifest(const std::string &text);

// Writes `manifest` as the new file `name` of `directory`. 0 or errno.
int WriteManifest(FileSystem &fileSystem, const Directory &directory, const std::string &name,
                  const Manifest &manifest);

// The record of a version; nothing when there is none or it cannot be read.
std::optional<Manifest> ReadManifest(const std::string &resourceDirectory,
                                     const std::string &version);

// How a version differs from its record.
struct Differences {
  std::vector<std::string> changed;  // in both, other size or content
  std::vector<std::string> missing;  // recorded, gone
  std::vector<std::string> added;    // there, not recorded
  bool None() const { return changed.empty() && missing.empty() && added.empty(); }
};
Differences Compare(const Manifest &recorded, const Manifest &now);

}  // namespace qx::quarn_tools::internal::cache

#endif  // QX_QUARN_TOOLS_SRC_CACHEMANIFEST_HH_
