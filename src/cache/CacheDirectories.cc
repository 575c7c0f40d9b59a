#include "CacheDirectories.hh"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include <qx/common/Util.hh>

namespace qx::quarn_tools::internal::cache {
namespace {

// How often a walk starts again when a directory it went through was
// removed meanwhile (by another process tidying up after a failed save).
constexpr int kWalkAttempts = 5;

std::string refusedLink(const std::string &path, uid_t owner) {
  return "Refusing to follow [" + path + "]: a symbolic link owned by another user (uid " +
         std::to_string(owner) + ")";
}

// The components of a "/"-separated path, without empty ones and ".".
std::vector<std::string> componentsOf(const std::string &relative) {
  std::vector<std::string> parts;
  for (const std::string &part : qx::common::split(relative, "/"))
    if (!part.empty() && part != ".") parts.push_back(part);
  return parts;
}

// How one step of a walk ended.
enum class Step { kDone, kAgain, kFailed };

// Opens (or makes, then opens) the directory `name` of `parent`.
Step openOrMake(FileSystem &fileSystem, const Directory &parent, const std::string &name,
                bool create, std::unique_ptr<Directory> &next, std::string &error) {
  // Another process may make, remove or replace it meanwhile: look again a
  // few times.
  for (int look = 0; look < 3; ++look) {
    switch (OpenCacheEntry(fileSystem, parent, name, &next, error)) {
      case Entry::kDirectory: return Step::kDone;
      case Entry::kRefused: return Step::kFailed;
      case Entry::kMissing: break;
    }
    if (!error.empty()) return Step::kFailed;
    if (!create) return Step::kFailed;
    const int made = fileSystem.CreateDirectoryAt(parent, name);
    // The parent itself went away: the walk starts again from the root.
    if (made == ENOENT) return Step::kAgain;
    if (made != 0 && made != EEXIST) {
      error = "Unable to create directory [" + parent.Join(name) + "]: " + ErrorText(made);
      return Step::kFailed;
    }
  }
  error = "Unable to open [" + parent.Join(name) + "]: it keeps changing";
  return Step::kFailed;
}

std::unique_ptr<Directory> walk(FileSystem &fileSystem, const std::string &root,
                                const std::vector<std::string> &parts, bool create, Step &step,
                                std::string &error) {
  std::unique_ptr<Directory> current;
  const int opened = fileSystem.OpenDirectory(root, current);
  if (opened != 0) {
    step = Step::kFailed;
    error = "Unable to open [" + root + "]: " + ErrorText(opened);
    return nullptr;
  }
  for (const std::string &part : parts) {
    std::unique_ptr<Directory> next;
    step = openOrMake(fileSystem, *current, part, create, next, error);
    if (step != Step::kDone) return nullptr;
    current = std::move(next);
  }
  step = Step::kDone;
  return current;
}

}  // namespace

bool TrustedLinkOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

Entry OpenCacheEntry(FileSystem &fileSystem, const Directory &parent, const std::string &name,
                     std::unique_ptr<Directory> *directory, std::string &error) {
  error.clear();
  const std::string path = parent.Join(name);
  std::unique_ptr<Directory> opened;
  int result = fileSystem.OpenDirectoryAt(parent, name, opened);
  if (result == ENOTDIR) {
    // A link, or something else than a directory.
    PathStatus status;
    result = fileSystem.StatusAt(parent, name, status);
    if (result == 0 && !status.exists) return Entry::kMissing;
    if (result == 0 && !status.link) {
      error = "[" + path + "] is not a directory";
      return Entry::kRefused;
    }
    if (result == 0 && !TrustedLinkOwner(status.owner)) {
      error = refusedLink(path, status.owner);
      return Entry::kRefused;
    }
    // The owner is checked again on the link actually followed.
    uid_t owner = status.owner;
    if (result == 0) result = fileSystem.FollowLinkAt(parent, name, owner, opened);
    if (result == 0 && !TrustedLinkOwner(owner)) {
      error = refusedLink(path, owner);
      return Entry::kRefused;
    }
    if (result == ENOENT || result == ENOTDIR || result == EINVAL) {
      error = "[" + path + "] is not a directory";
      return Entry::kRefused;
    }
  }
  if (result == ENOENT) return Entry::kMissing;
  if (result != 0) {
    error = "Unable to open [" + path + "]: " + ErrorText(result);
    return Entry::kRefused;
  }
  if (directory != nullptr) *directory = std::move(opened);
  return Entry::kDirectory;
}

std::unique_ptr<Directory> OpenCacheDirectory(FileSystem &fileSystem, const std::string &root,
                                              const std::string &relative, bool create,
                                              std::string &error) {
  error.clear();
  if (create) {
    const int rootError = CreateDirectories(fileSystem, root);
    if (rootError != 0) {
      error = "Unable to create directory [" + root + "]: " + ErrorText(rootError);
      return nullptr;
    }
  }
  const std::vector<std::string> parts = componentsOf(relative);
  for (const std::string &part : parts) {
    if (part == "..") {
      error = "Refusing the cache path [" + relative + "]: it climbs out of [" + root + "]";
      return nullptr;
    }
  }
  for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
    Step step = Step::kFailed;
    std::unique_ptr<Directory> found = walk(fileSystem, root, parts, create, step, error);
    if (step != Step::kAgain) return found;
  }
  error = "Unable to create the directories of [" + relative + "] below [" + root +
          "]: they keep being removed";
  return nullptr;
}

bool MakeDirectories(FileSystem &fileSystem, const std::string &root, const std::string &relative,
                     std::string &error) {
  return OpenCacheDirectory(fileSystem, root, relative, true, error) != nullptr;
}

void RemoveUnusedResource(FileSystem &fileSystem, const std::string &root,
                          const std::string &uniqueName) {
  // SERVER (which may have several components), then OWNER, KIND, NAME.
  std::vector<std::string> parts = componentsOf(uniqueName);
  if (parts.size() < 4) return;
  std::vector<std::string> levels(parts.end() - 3, parts.end());
  parts.resize(parts.size() - 3);
  std::string server;
  for (const std::string &part : parts) server += (server.empty() ? "" : "/") + part;

  std::string error;
  std::vector<std::unique_ptr<Directory>> chain;
  chain.push_back(OpenCacheDirectory(fileSystem, root, server, false, error));
  for (const std::string &level : levels) {
    if (!chain.back()) return;
    std::unique_ptr<Directory> next;
    if (OpenCacheEntry(fileSystem, *chain.back(), level, &next, error) != Entry::kDirectory)
      return;
    chain.push_back(std::move(next));
  }
  std::vector<std::string> names;
  if (ListDirectory(*chain.back(), names) != 0) return;
  for (const std::string &name : names)
    if (name != LockFileName()) return;
  fileSystem.RemoveAllAt(*chain.back(), LockFileName());
  // The resource, kind and owner levels; the server directory stays.
  for (std::size_t level = levels.size(); level-- > 0;) {
    if (fileSystem.RemoveEmptyDirectoryAt(*chain[level], levels[level]) != 0) return;
  }
}

}  // namespace qx::quarn_tools::internal::cache
