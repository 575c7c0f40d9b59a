/*
 * The served directory: finds owners, resources, versions, collections and
 * files below the root, never outside it. A resource is a directory of its
 * kind's directory, a version a directory of its resource (symbolic links
 * that lead anywhere else are not followed: a link to a private model's
 * version is no version of a public one). Names starting with "." (the
 * server's work in progress, .git and the like) are no owners, resources
 * or collections. Reads the disk afresh on every call and keeps nothing
 * but the root, so one object serves any number of threads at once.
 */
#ifndef QX_QUARN_SERVER_REPOSITORY_HH_
#define QX_QUARN_SERVER_REPOSITORY_HH_

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Route.hh"

namespace qx::quarn_server {

// The entry beside a resource's version directories that marks it private:
// OWNER/models/NAME/private, of any type (a dangling link too). Its
// content does not matter.
extern const char *const kPrivateMarker;  // "private"

// Whether `component` may name one file or directory below the root: not
// empty, not "." or "..", without "/" or NUL bytes.
bool safeComponent(const std::string &component);

// The version number a directory name spells: decimal, from 1 to
// 2147483647; 0 for any other name.
unsigned int versionNumber(const std::string &text);

// Whether `text` is valid UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF).
bool validUtf8(const std::string &text);

// Whether `inner` is the directory `outer` or lies below it, judged by the
// identity (device and inode) of `outer` and of each existing ancestor of
// `inner`, so that symbolic links and bind mounts are seen through.
bool sameOrBelow(const std::filesystem::path &inner, const std::filesystem::path &outer);

// One model or world: directory names as they are on disk.
struct Resource {
  Kind kind = Kind::kModel;
  std::string owner;
  std::string name;
  std::filesystem::path path;  // the resource directory
};

// One version directory of a resource.
struct VersionDir {
  unsigned int number = 0;
  std::filesystem::path path;
  std::filesystem::path real;  // its real path (symbolic links resolved)
};

// The content of a version directory as archive entry names relative to
// it: directories end with "/". Both lists are sorted, so every directory
// comes before the directories inside it. Only what lies inside the version
// directory itself belongs to it: real directories, regular files, and
// symbolic links that lead to a regular file inside the version directory.
// Symbolic links to directories are not followed, and names that are not
// valid UTF-8 (which no archive entry or model file can name) are left out.
struct Tree {
  std::vector<std::string> directories;
  std::vector<std::string> files;
  // The status of each entry, in the order of the names (of the file a
  // symbolic link leads to).
  std::vector<struct stat> directoryStatus;
  std::vector<struct stat> fileStatus;
};

class Repository {
 public:
  // The root made absolute with symbolic links resolved; an empty path when
  // `root` is no directory.
  explicit Repository(const std::string &root);

  bool Valid() const;
  const std::filesystem::path &Root() const;

  // Whether the real path of `path` (symbolic links resolved) exists and
  // lies inside the root.
  bool Inside(const std::filesystem::path &path) const;

  // The existing path of `components` below `base` (the root when empty);
  // nullopt when a component is empty, ".", ".." or holds a NUL byte, when
  // nothing is there, or when the path leaves the root.
  std::optional<std::filesystem::path> Resolve(
      const std::vector<std::string> &components,
      const std::filesystem::path &base = {}) const;

  // The entry of directory `dir` named `name`, or else the first (in name
  // order) whose name equals it ignoring ASCII case; confined like Resolve.
  // Hidden names (starting with ".") are never found.
  std::optional<std::filesystem::path> Child(const std::filesystem::path &dir,
                                             const std::string &name) const;

  // Every resource of a kind (owners, then names, in name order), or those
  // of one owner (nullopt when the owner does not exist). Resources without
  // a version are left out.
  std::vector<Resource> Resources(Kind kind) const;
  std::optional<std::vector<Resource>> Resources(Kind kind, const std::string &owner) const;
  std::optional<Resource> Find(Kind kind, const std::string &owner,
                               const std::string &name) const;

  // The versions of a resource, ascending: directories named by a decimal
  // number from 1 to 2147483647 whose real path lies directly in the
  // resource's (a model's must hold model.config).
  std::vector<VersionDir> Versions(const Resource &resource) const;
  // "tip" (the newest) or a decimal number.
  std::optional<VersionDir> Version(const Resource &resource, const std::string &text) const;

  // The names of the owner directories below the root, in name order
  // (hidden ones left out).
  std::vector<std::string> Owners() const;
  // The collection names of `owner` (OWNER/collections/NAME.json), in name
  // order.
  std::vector<std::string> Collections(const std::string &owner) const;

  // Whether the resource carries the private mark; so is one whose mark
  // cannot be looked at.
  bool Private(const Resource &resource) const;

  // OWNER/collections/NAME.json.
  std::optional<std::filesystem::path> CollectionFile(const std::string &owner,
                                                      const std::string &name) const;
  // The members of one kind that a collection file names as "owner/name",
  // in file order; members the repository does not hold are left out with a
  // warning. False when the file is not a JSON object whose "models" and
  // "worlds" members, where present, are arrays of texts.
  bool CollectionMembers(const std::filesystem::path &file, Kind kind,
                         std::vector<Resource> &members) const;

  // The content of a regular file inside the root.
  std::optional<std::string> ReadFile(const std::filesystem::path &path) const;
  // The content of the regular file `name` of the directory whose real path
  // is `realDir` (a VersionDir's real, say), when it lies inside the root.
  std::optional<std::string> ReadFileIn(const std::filesystem::path &realDir,
                                        const std::string &name) const;

  // The content of a version directory (see Tree).
  Tree Walk(const std::filesystem::path &dir) const;
  // The file that `components` name inside the version directory `dir`,
  // when Walk lists it: every component but the last a real directory (no
  // symbolic link), the last a regular file or a symbolic link to one
  // inside `dir`. nullopt otherwise.
  std::optional<std::filesystem::path> VersionFile(
      const std::filesystem::path &dir, const std::vector<std::string> &components) const;

 private:
  // The real path of directory `dir` when it lies inside the root.
  std::optional<std::filesystem::path> RealDirectoryInside(const std::filesystem::path &dir) const;
  // The resource `name` of the kind's directory `kindDir` (real path
  // `realKind`), when it is a real directory there (or a link to one of its
  // siblings) with a version.
  std::optional<Resource> ResourceAt(Kind kind, const std::string &owner,
                                     const std::filesystem::path &kindDir,
                                     const std::filesystem::path &realKind,
                                     const std::string &name) const;
  // The real path of entry `name` of the directory whose real path is
  // `realDir`, when it exists and lies inside the root (an entry that is
  // no link costs one look, not a walk from the root).
  std::optional<std::filesystem::path> RealChild(const std::filesystem::path &realDir,
                                                 const std::string &name) const;
  // Versions, with the resource's real path known.
  std::vector<VersionDir> VersionsIn(const Resource &resource,
                                     const std::filesystem::path &realResource) const;

  std::filesystem::path root_;
};

// The modification time of `path` (0 when unknown).
std::time_t modificationTime(const std::filesystem::path &path);

// The whole content of the file at `path` (symbolic links followed);
// nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path &path);

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REPOSITORY_HH_
