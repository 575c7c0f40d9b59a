#include "Repository.hh"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <sstream>
#include <system_error>

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

bool isDirectory(const fs::path &path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool isRegularFile(const fs::path &path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool isSymlink(const fs::path &path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(path, ec));
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
  const std::string rootText = root_.string();
  const std::string realText = real.string();
  if (realText == rootText) return true;
  const std::string prefix = rootText.back() == '/' ? rootText : rootText + "/";
  return realText.compare(0, prefix.size(), prefix) == 0;
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
    if (!isDirectory(ownerDir) || !Inside(ownerDir)) continue;
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
  for (const fs::path &dir : entries(*kindDir)) {
    Resource resource{kind, ownerDir->filename().string(), dir.filename().string(), dir};
    if (isDirectory(dir) && Inside(dir) && !Versions(resource).empty())
      found.push_back(resource);
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
  if (!dir || !isDirectory(*dir)) return std::nullopt;
  Resource resource{kind, ownerDir->filename().string(), dir->filename().string(), *dir};
  if (Versions(resource).empty()) return std::nullopt;
  return resource;
}

std::vector<VersionDir> Repository::Versions(const Resource &resource) const {
  std::vector<VersionDir> versions;
  for (const fs::path &dir : entries(resource.path)) {
    const unsigned int number = versionNumber(dir.filename().string());
    if (number == 0 || !isDirectory(dir) || !Inside(dir)) continue;
    if (resource.kind == Kind::kModel) {
      const std::optional<fs::path> config = Resolve({"model.config"}, dir);
      if (!config || !isRegularFile(*config)) continue;
    }
    const bool seen = std::any_of(versions.begin(), versions.end(),
                                  [&](const VersionDir &v) { return v.number == number; });
    if (!seen) versions.push_back({number, dir});
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
  for (const fs::path &dir : entries(root_))
    if (isDirectory(dir) && Inside(dir)) owners.push_back(dir.filename().string());
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
    if (name.size() > 5 && name.compare(stem, 5, ".json") == 0 && isRegularFile(file) &&
        Inside(file))
      names.push_back(name.substr(0, stem));
  }
  return names;
}

bool Repository::Private(const Resource &resource) const {
  const std::optional<fs::path> marker = Resolve({kPrivateMarker}, resource.path);
  return marker.has_value() && isRegularFile(*marker);
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
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return content.str();
}

Tree Repository::Walk(const fs::path &dir) const {
  Tree tree;
  struct Pending {
    fs::path path;
    std::string entry;  // relative entry name with trailing "/", or empty
    int depth;
  };
  std::vector<Pending> pending{{dir, "", 0}};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    for (const fs::path &item : entries(current.path)) {
      const std::string name = current.entry + item.filename().string();
      if (!Inside(item)) continue;
      if (isDirectory(item)) {
        if (isSymlink(item) || current.depth + 1 >= kMaxWalkDepth) {
          qxwarn << "Not serving directory [" << item.string()
                 << "]: symbolic link or nested too deep";
          continue;
        }
        tree.directories.push_back(name + "/");
        pending.push_back({item, name + "/", current.depth + 1});
      } else if (isRegularFile(item)) {
        tree.files.push_back(name);
      }
    }
  }
  std::sort(tree.directories.begin(), tree.directories.end());
  std::sort(tree.files.begin(), tree.files.end());
  return tree;
}

std::time_t modificationTime(const fs::path &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mtime;
}

}  // namespace qx::quarn_server
