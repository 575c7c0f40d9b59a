#include "Repository.hh"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <system_error>
#include <tuple>

#include <json/json.h>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

namespace fs = std::filesystem;

namespace qx::quarn_server {

const char *const kPrivateMarker = "private";

namespace {

// Deeper trees are not walked (a guard against pathological layouts).
const int kMaxWalkDepth = 64;

// The entries of `dir` in name order, as full paths.
std::vector<fs::path> entries(const fs::path &dir) {
  std::vector<fs::path> result;
  for (qx::common::DirIter it(dir.string()), end; it != end; ++it) result.emplace_back(*it);
  return result;
}

// Names that are no owners, resources or collections: the server's work in
// progress, and whatever else hides (.git, ...).
bool hidden(const std::string &name) { return !name.empty() && name[0] == '.'; }

bool isDirectory(const fs::path &path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool isRegularFile(const fs::path &path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// Whether the real path `real` is `base` or lies below it.
bool realPathWithin(const std::string &real, const std::string &base) {
  if (real == base) return true;
  const std::string prefix = base.back() == '/' ? base : base + "/";
  return real.compare(0, prefix.size(), prefix) == 0;
}

// What an entry of a version directory is, looked at without following it
// (one lstat), except that a symbolic link is followed to see whether it
// leads to a regular file inside the version directory, whose real path is
// `realVersion`.
enum class EntryKind { kDirectory, kFile, kLinkedDirectory, kOther };
// The entry `leaf` of the directory open as `directory`, whose path is
// `parent` (ending in "/"), with its status in `info`.
EntryKind entryKind(int directory, const std::string &leaf, const std::string &parent,
                    const fs::path &realVersion, struct stat &info) {
  if (::fstatat(directory, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISDIR(info.st_mode)) return EntryKind::kDirectory;
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  if (!S_ISLNK(info.st_mode)) return EntryKind::kOther;
  std::error_code ec;
  const fs::path target = fs::canonical(parent + leaf, ec);
  if (ec || ::stat(target.c_str(), &info) != 0) return EntryKind::kOther;
  if (S_ISDIR(info.st_mode)) return EntryKind::kLinkedDirectory;
  const bool inside = realPathWithin(target.string(), realVersion.string());
  return inside && S_ISREG(info.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

// "owner/name" split at its one slash.
bool splitMember(const std::string &text, std::string &owner, std::string &name) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos || text.find('/', slash + 1) != std::string::npos)
    return false;
  owner = text.substr(0, slash);
  name = text.substr(slash + 1);
  return !owner.empty() && !name.empty();
}

}  // namespace

bool safeComponent(const std::string &component) {
  return !component.empty() && component != "." && component != ".." &&
         component.find('\0') == std::string::npos &&
         component.find('/') == std::string::npos;
}

unsigned int versionNumber(const std::string &text) {
  if (text.empty() || text.size() > 10) return 0;
  unsigned long long value = 0;
  for (unsigned char c : text) {
    if (!std::isdigit(c)) return 0;
    value = value * 10 + (c - '0');
  }
  return value <= INT_MAX ? static_cast<unsigned int>(value) : 0;
}

bool validUtf8(const std::string &text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int more = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      more = 1;
      point = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      more = 2;
      point = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      more = 3;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (i + more >= text.size()) return false;
    for (int k = 1; k <= more; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    const std::uint32_t least = more == 1 ? 0x80 : more == 2 ? 0x800 : 0x10000;
    if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

bool sameOrBelow(const fs::path &inner, const fs::path &outer) {
  struct stat target {};
  if (::stat(outer.c_str(), &target) != 0) return false;
  std::error_code ec;
  fs::path path = fs::weakly_canonical(fs::absolute(inner, ec), ec);
  if (ec) return false;
  while (true) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_dev == target.st_dev &&
        info.st_ino == target.st_ino)
      return true;
    if (path == path.root_path() || path.empty()) return false;
    path = path.parent_path();
  }
}

Repository::Repository(const std::string &root) {
  std::error_code ec;
  fs::path canonical = fs::canonical(root, ec);
  if (!ec && isDirectory(canonical)) root_ = canonical;
}

bool Repository::Valid() const { return !root_.empty(); }

const fs::path &Repository::Root() const { return root_; }

bool Repository::Inside(const fs::path &path) const {
  if (root_.empty()) return false;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return false;
  return realPathWithin(real.string(), root_.string());
}

std::optional<fs::path> Repository::Resolve(const std::vector<std::string> &components,
                                            const fs::path &base) const {
  fs::path path = base.empty() ? root_ : base;
  for (const std::string &component : components) {
    if (!safeComponent(component)) return std::nullopt;
    path /= component;
  }
  if (!Inside(path)) return std::nullopt;
  return path;
}

std::optional<fs::path> Repository::Child(const fs::path &dir, const std::string &name) const {
  if (hidden(name)) return std::nullopt;
  if (auto exact = Resolve({name}, dir)) return exact;
  if (!safeComponent(name)) return std::nullopt;
  const std::string wanted = qx::common::lowercase(name);
  for (const fs::path &entry : entries(dir)) {
    if (qx::common::lowercase(entry.filename().string()) == wanted && Inside(entry))
      return entry;
  }
  return std::nullopt;
}

std::vector<Resource> Repository::Resources(Kind kind) const {
  std::vector<Resource> all;
  for (const fs::path &ownerDir : entries(root_)) {
    if (hidden(ownerDir.filename().string()) || !isDirectory(ownerDir) || !Inside(ownerDir))
      continue;
    if (auto owned = Resources(kind, ownerDir.filename().string()))
      all.insert(all.end(), owned->begin(), owned->end());
  }
  return all;
}

std::optional<std::vector<Resource>> Repository::Resources(Kind kind,
                                                           const std::string &owner) const {
  const std::optional<fs::path> ownerDir = Child(root_, owner);
  if (!ownerDir || !isDirectory(*ownerDir)) return std::nullopt;
  std::vector<Resource> found;
  const std::optional<fs::path> kindDir = Child(*ownerDir, kindWord(kind));
  if (!kindDir) return found;
  std::error_code ec;
  const fs::path realKind = fs::canonical(*kindDir, ec);
  if (ec) return found;
  for (const fs::path &dir : entries(realKind)) {
    const std::string name = dir.filename().string();
    if (hidden(name)) continue;
    if (std::optional<Resource> resource =
            ResourceAt(kind, ownerDir->filename().string(), *kindDir, realKind, name))
      found.push_back(*resource);
  }
  return found;
}

std::optional<Resource> Repository::Find(Kind kind, const std::string &owner,
                                         const std::string &name) const {
  const std::optional<fs::path> ownerDir = Child(root_, owner);
  if (!ownerDir) return std::nullopt;
  const std::optional<fs::path> kindDir = Child(*ownerDir, kindWord(kind));
  if (!kindDir) return std::nullopt;
  const std::optional<fs::path> dir = Child(*kindDir, name);
  if (!dir) return std::nullopt;
  std::error_code ec;
  const fs::path realKind = fs::canonical(*kindDir, ec);
  if (ec) return std::nullopt;
  return ResourceAt(kind, ownerDir->filename().string(), *kindDir, realKind,
                    dir->filename().string());
}

std::optional<fs::path> Repository::RealChild(const fs::path &realDir,
                                              const std::string &name) const {
  const fs::path path = realDir / name;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  // Below a real directory, an entry that is no link is its own real path.
  if (!S_ISLNK(info.st_mode)) return path;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec || !realPathWithin(real.string(), root_.string())) return std::nullopt;
  return real;
}

std::optional<Resource> Repository::ResourceAt(Kind kind, const std::string &owner,
                                               const fs::path &kindDir, const fs::path &realKind,
                                               const std::string &name) const {
  // A resource whose real path leaves its kind's directory (a link to
  // another owner's model, say) is not that owner's.
  const std::optional<fs::path> real = RealChild(realKind, name);
  if (!real || real->parent_path() != realKind || !isDirectory(*real)) return std::nullopt;
  Resource resource{kind, owner, name, kindDir / name};
  if (VersionsIn(resource, *real).empty()) return std::nullopt;
  return resource;
}

std::vector<VersionDir> Repository::Versions(const Resource &resource) const {
  std::error_code ec;
  const fs::path realResource = fs::canonical(resource.path, ec);
  if (ec || !realPathWithin(realResource.string(), root_.string())) return {};
  return VersionsIn(resource, realResource);
}

std::vector<VersionDir> Repository::VersionsIn(const Resource &resource,
                                               const fs::path &realResource) const {
  std::vector<VersionDir> versions;
  for (const fs::path &entry : entries(realResource)) {
    const std::string name = entry.filename().string();
    const unsigned int number = versionNumber(name);
    if (number == 0) continue;
    // A version whose real path leaves its resource (a link to another
    // resource's version, a private one's perhaps) is none of this one's.
    const std::optional<fs::path> real = RealChild(realResource, name);
    if (!real || real->parent_path() != realResource || !isDirectory(*real)) continue;
    if (resource.kind == Kind::kModel) {
      const std::optional<fs::path> config = RealChild(*real, "model.config");
      if (!config || !isRegularFile(*config)) continue;
    }
    const bool seen = std::any_of(versions.begin(), versions.end(),
                                  [&](const VersionDir &v) { return v.number == number; });
    if (!seen) versions.push_back({number, resource.path / name, *real});
  }
  std::sort(versions.begin(), versions.end(),
            [](const VersionDir &a, const VersionDir &b) { return a.number < b.number; });
  return versions;
}

std::optional<VersionDir> Repository::Version(const Resource &resource,
                                              const std::string &text) const {
  const std::vector<VersionDir> versions = Versions(resource);
  if (versions.empty()) return std::nullopt;
  if (text == "tip") return versions.back();
  const unsigned int number = versionNumber(text);
  for (const VersionDir &version : versions)
    if (version.number == number) return version;
  return std::nullopt;
}

std::vector<std::string> Repository::Owners() const {
  std::vector<std::string> owners;
  for (const fs::path &dir : entries(root_)) {
    const std::string name = dir.filename().string();
    if (!hidden(name) && isDirectory(dir) && Inside(dir)) owners.push_back(name);
  }
  return owners;
}

std::vector<std::string> Repository::Collections(const std::string &owner) const {
  std::vector<std::string> names;
  const std::optional<fs::path> ownerDir = Child(root_, owner);
  const std::optional<fs::path> dir = ownerDir ? Child(*ownerDir, "collections") : std::nullopt;
  if (!dir || !isDirectory(*dir)) return names;
  for (const fs::path &file : entries(*dir)) {
    const std::string name = file.filename().string();
    const std::size_t stem = name.size() - 5;
    if (name.size() > 5 && !hidden(name) && name.compare(stem, 5, ".json") == 0 &&
        isRegularFile(file) && Inside(file))
      names.push_back(name.substr(0, stem));
  }
  return names;
}

bool Repository::Private(const Resource &resource) const {
  // Any entry of that name marks it, whatever its type, a link that leads
  // nowhere too; so does one that cannot be looked at (fail closed).
  struct stat info {};
  return ::lstat((resource.path / kPrivateMarker).c_str(), &info) == 0 || errno != ENOENT;
}

std::optional<fs::path> Repository::CollectionFile(const std::string &owner,
                                                   const std::string &name) const {
  const std::optional<fs::path> ownerDir = Child(root_, owner);
  if (!ownerDir) return std::nullopt;
  const std::optional<fs::path> collections = Child(*ownerDir, "collections");
  if (!collections || !safeComponent(name)) return std::nullopt;
  const std::optional<fs::path> file = Child(*collections, name + ".json");
  if (!file || !isRegularFile(*file)) return std::nullopt;
  return file;
}

bool Repository::CollectionMembers(const fs::path &file, Kind kind,
                                   std::vector<Resource> &members) const {
  const std::optional<std::string> text = ReadFile(file);
  if (!text) return false;
  Json::Value document;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(*text);
  if (!Json::parseFromStream(builder, in, &document, &errors) || !document.isObject())
    return false;
  for (const char *word : {"models", "worlds"}) {
    const Json::Value &list = document[word];
    if (list.isNull()) continue;
    if (!list.isArray()) return false;
    for (const Json::Value &item : list)
      if (!item.isString()) return false;
  }
  for (const Json::Value &item : document[kindWord(kind)]) {
    std::string owner, name;
    std::optional<Resource> member;
    if (splitMember(item.asString(), owner, name)) member = Find(kind, owner, name);
    if (member) {
      members.push_back(*member);
    } else {
      qxwarn << "Collection [" << file.string() << "] names [" << item.asString()
             << "], which the repository does not hold; left out";
    }
  }
  return true;
}

std::optional<std::string> Repository::ReadFile(const fs::path &path) const {
  if (!Inside(path) || !isRegularFile(path)) return std::nullopt;
  return readWholeFile(path);
}

std::optional<std::string> Repository::ReadFileIn(const fs::path &realDir,
                                                  const std::string &name) const {
  const std::optional<fs::path> file = RealChild(realDir, name);
  if (!file || !isRegularFile(*file)) return std::nullopt;
  return readWholeFile(*file);
}

Tree Repository::Walk(const fs::path &dir) const {
  Tree tree;
  const std::optional<fs::path> real = RealDirectoryInside(dir);
  if (!real) return tree;
  using Entries = std::vector<std::pair<std::string, struct stat>>;
  Entries directories, files;
  // Paths are put together as plain text, only for the entries that need
  // them: a version may hold thousands of files, and every request walks it.
  struct Pending {
    std::string path;   // the directory, ending in "/"
    std::string entry;  // relative entry name with trailing "/", or empty
    int depth;
  };
  std::vector<Pending> pending{{dir.string() + "/", "", 0}};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    DIR *listing = ::opendir(current.path.c_str());
    if (listing == nullptr) continue;
    while (const dirent *found = ::readdir(listing)) {
      const std::string leaf = found->d_name;
      if (leaf == "." || leaf == "..") continue;
      if (!validUtf8(leaf)) {
        qxwarn << "Not serving [" << current.path << leaf << "]: its name is not valid UTF-8";
        continue;
      }
      struct stat info {};
      switch (entryKind(::dirfd(listing), leaf, current.path, *real, info)) {
        case EntryKind::kDirectory:
          if (current.depth + 1 >= kMaxWalkDepth) {
            qxwarn << "Not serving directory [" << current.path << leaf << "]: nested too deep";
            break;
          }
          directories.emplace_back(current.entry + leaf + "/", info);
          pending.push_back({current.path + leaf + "/", current.entry + leaf + "/", current.depth + 1});
          break;
        case EntryKind::kFile:
          files.emplace_back(current.entry + leaf, info);
          break;
        case EntryKind::kLinkedDirectory:
          qxwarn << "Not serving directory [" << current.path << leaf << "]: symbolic link";
          break;
        case EntryKind::kOther:
          break;
      }
    }
    ::closedir(listing);
  }
  const auto byName = [](const Entries::value_type &a, const Entries::value_type &b) {
    return a.first < b.first;
  };
  for (auto [entries, names, status] :
       {std::make_tuple(&directories, &tree.directories, &tree.directoryStatus),
        std::make_tuple(&files, &tree.files, &tree.fileStatus)}) {
    std::sort(entries->begin(), entries->end(), byName);
    for (auto &entry : *entries) {
      names->push_back(std::move(entry.first));
      status->push_back(entry.second);
    }
  }
  return tree;
}

std::optional<fs::path> Repository::VersionFile(const fs::path &dir,
                                                const std::vector<std::string> &components) const {
  if (components.empty() || components.size() > static_cast<std::size_t>(kMaxWalkDepth))
    return std::nullopt;
  const std::optional<fs::path> real = RealDirectoryInside(dir);
  if (!real) return std::nullopt;
  std::string path = dir.string() + "/";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!safeComponent(components[i]) || !validUtf8(components[i])) return std::nullopt;
    struct stat info {};
    const EntryKind kind = entryKind(AT_FDCWD, path + components[i], "", *real, info);
    path += components[i] + (i + 1 < components.size() ? "/" : "");
    const bool last = i + 1 == components.size();
    if (kind != (last ? EntryKind::kFile : EntryKind::kDirectory)) return std::nullopt;
  }
  return fs::path(path);
}

std::optional<fs::path> Repository::RealDirectoryInside(const fs::path &dir) const {
  std::error_code ec;
  const fs::path real = fs::canonical(dir, ec);
  if (ec || !isDirectory(real) || !Inside(real)) return std::nullopt;
  return real;
}

std::time_t modificationTime(const fs::path &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mtime;
}

std::optional<std::string> readWholeFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return content.str();
}

}  // namespace qx::quarn_server
