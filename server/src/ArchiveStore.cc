#include "ArchiveStore.hh"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include <qx/common/Console.hh>

#include "Archive.hh"
#include "Route.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// How often a version whose files keep changing while its archive is being
// built is tried before the request fails.
const int kBuildAttempts = 3;
// Archives being written aside by a process that still runs are left
// alone, unless they are older than this (the process id was taken again).
const auto kAbandonedAfter = std::chrono::hours(1);
// Marks a directory as an archive store; a directory that holds anything
// else is never taken for one, since the store removes what it finds there.
const char kMarkerFile[] = ".quarn-archive-store";
const char kMarkerText[] = "quarn archive store 1\n";
// The number of hexadecimal digits of a fingerprint (Archive.hh).
const std::size_t kFingerprintDigits = 32;

std::atomic<unsigned long> asideCount{0};

std::string describe(const Resource &resource, const VersionDir &version) {
  return resource.owner + "/" + kindWord(resource.kind) + "/" + resource.name + "/" +
         std::to_string(version.number);
}

bool hexDigits(const std::string &text, std::size_t from, std::size_t count) {
  if (text.size() < from + count) return false;
  for (std::size_t i = from; i < from + count; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) || std::isupper(static_cast<unsigned char>(text[i])))
      return false;
  return true;
}

bool decimalDigits(const std::string &text) {
  if (text.empty()) return false;
  for (unsigned char c : text)
    if (!std::isdigit(c)) return false;
  return true;
}

// A built archive: FINGERPRINT.zip.
bool archiveName(const std::string &name) {
  return name.size() == kFingerprintDigits + 4 && hexDigits(name, 0, kFingerprintDigits) &&
         name.compare(kFingerprintDigits, 4, ".zip") == 0;
}

// The process that writes an archive aside: .FINGERPRINT.zip.PID-N, with
// libzip's own temporary suffix (.XXXXXX) or not; 0 for other names.
pid_t asideWriter(const std::string &name) {
  const std::size_t prefix = 1 + kFingerprintDigits + 5;  // ".", digits, ".zip."
  if (name.size() <= prefix || name[0] != '.' || !hexDigits(name, 1, kFingerprintDigits) ||
      name.compare(1 + kFingerprintDigits, 5, ".zip.") != 0)
    return 0;
  const std::size_t dash = name.find('-', prefix);
  if (dash == std::string::npos) return 0;
  std::size_t end = name.find('.', dash);
  if (end == std::string::npos) end = name.size();
  const std::string pid = name.substr(prefix, dash - prefix);
  if (!decimalDigits(pid) || pid.size() > 9 || !decimalDigits(name.substr(dash + 1, end - dash - 1)))
    return 0;
  return static_cast<pid_t>(std::atol(pid.c_str()));
}

bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Whether the aside file `path`, written by process `writer`, was left by
// a process that ended (or so long ago that its id may be another's now).
bool abandoned(const fs::path &path, pid_t writer) {
  std::error_code ec;
  const auto age = fs::file_time_type::clock::now() - fs::last_write_time(path, ec);
  return ec || !processRuns(writer) || age > kAbandonedAfter;
}

// Whether every entry below `dir` is what an archive store holds:
// OWNER/KIND/NAME/VERSION/ directories and archives (built or aside) in
// them, nothing else.
bool onlyArchivesBelow(const fs::path &dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const int depth = it.depth();
    const std::string name = it->path().filename().string();
    const bool directory = it->is_directory(ec) && !it->is_symlink(ec);
    if (depth < 4) {
      if (!directory) return false;
      if (depth == 1 && name != kindWord(Kind::kModel) && name != kindWord(Kind::kWorld))
        return false;
      if (depth == 3 && !decimalDigits(name)) return false;
    } else if (directory || !it->is_regular_file(ec) || it->is_symlink(ec) ||
               (!archiveName(name) && asideWriter(name) == 0)) {
      return false;
    }
  }
  return !ec;
}

// Makes `dir` and every missing directory above it, down from `base`
// (which exists), readable by the owner alone.
bool makePrivateDirectories(const fs::path &base, const fs::path &dir) {
  std::error_code ec;
  fs::path path = base;
  for (const fs::path &component : fs::relative(dir, base, ec)) {
    path /= component;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return !ec;
}

bool writeMarker(const fs::path &dir) {
  std::ofstream out(dir / kMarkerFile, std::ios::binary | std::ios::trunc);
  out << kMarkerText;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

ArchiveStore::ArchiveStore(const Repository &repository, fs::path directory)
    : repository_(repository), directory_(std::move(directory)) {}

bool ArchiveStore::Open() {
  const auto refuse = [this](const std::string &why) {
    qxerr << "The archive store [" << directory_.string() << "] " << why;
    return false;
  };
  if (sameOrBelow(directory_, repository_.Root()))
    return refuse("lies inside the served directory; it must be outside it");
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (ec || !fs::is_directory(directory_, ec)) {
    qxerr << "Unable to make the archive store [" << directory_.string() << "]";
    return false;
  }
  if (sameOrBelow(repository_.Root(), directory_))
    return refuse("holds the served directory; it must be a directory of its own");
  // The store holds the archives of private models too.
  fs::permissions(directory_, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (!fs::exists(directory_ / kMarkerFile, ec)) {
    // An empty directory becomes a store; so does one that holds only
    // archives (a store of an earlier version, which had no marker).
    if (!fs::is_empty(directory_, ec) && !onlyArchivesBelow(directory_)) {
      return refuse(
          "is not empty and holds no archive store; name an empty directory or one "
          "that is an archive store");
    }
    if (!writeMarker(directory_)) return refuse("cannot be written");
  }
  RemoveAbandoned();
  return true;
}

fs::path ArchiveStore::VersionDirectory(const Resource &resource,
                                        const VersionDir &version) const {
  return directory_ / resource.owner / kindWord(resource.kind) / resource.name /
         std::to_string(version.number);
}

std::optional<ArchiveStore::Archive> ArchiveStore::Get(const Resource &resource,
                                                       const VersionDir &version) {
  for (int attempt = 0; attempt < kBuildAttempts; ++attempt) {
    const std::string fingerprint = archiveFingerprint(repository_, version.path);
    if (fingerprint.empty()) break;
    const fs::path target = VersionDirectory(resource, version) / (fingerprint + ".zip");
    const std::string tag = "\"" + fingerprint + "\"";
    {
      std::unique_lock<std::mutex> lock(mutex_);
      built_.wait(lock, [&] { return building_.count(target.string()) == 0; });
      if (auto file = OpenFile::Open(target)) return Archive{file, tag};
      building_.insert(target.string());
    }
    std::shared_ptr<const OpenFile> file;
    const BuildResult result = Build(resource, version, fingerprint, target, file);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      building_.erase(target.string());
    }
    built_.notify_all();
    if (result == BuildResult::kBuilt) return Archive{file, tag};
    // Otherwise the files changed while being archived: try their new state.
    if (result == BuildResult::kFailed) break;
  }
  qxerr << "Unable to build the archive of [" << describe(resource, version) << "]";
  return std::nullopt;
}

ArchiveStore::BuildResult ArchiveStore::Build(const Resource &resource,
                                              const VersionDir &version,
                                              const std::string &fingerprint,
                                              const fs::path &target,
                                              std::shared_ptr<const OpenFile> &file) {
  const fs::path dir = target.parent_path();
  std::error_code ec;
  if (!makePrivateDirectories(directory_, dir)) {
    qxerr << "Unable to make [" << dir.string() << "]: " << std::strerror(errno);
    return BuildResult::kFailed;
  }
  const fs::path aside = dir / ("." + fingerprint + ".zip." + std::to_string(::getpid()) + "-" +
                                std::to_string(++asideCount));
  if (!writeArchive(repository_, version.path, aside)) return BuildResult::kFailed;
  fs::permissions(aside, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  if (archiveFingerprint(repository_, version.path) != fingerprint) {
    fs::remove(aside, ec);
    return BuildResult::kChanged;
  }
  {
    // Renamed, opened and tidied up under the lock, so that a build of an
    // older state of the files, finishing now, cannot remove this archive
    // before it is open.
    std::lock_guard<std::mutex> lock(mutex_);
    fs::rename(aside, target, ec);
    if (!ec) file = OpenFile::Open(target);
    if (file) Tidy(dir, target.filename().string());
  }
  if (ec) {
    qxerr << "Unable to store the archive [" << target.string() << "]: " << ec.message();
    fs::remove(aside, ec);
    return BuildResult::kFailed;
  }
  if (!file) return BuildResult::kChanged;  // replaced meanwhile by another process
  qxmsg << "Built the archive of [" << describe(resource, version) << "]";
  return BuildResult::kBuilt;
}

void ArchiveStore::Tidy(const fs::path &dir, const std::string &keep) const {
  std::error_code ec;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path path = it->path();
    const std::string name = path.filename().string();
    if (name == keep || it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    const pid_t writer = asideWriter(name);
    if ((!keep.empty() && archiveName(name)) || (writer != 0 && abandoned(path, writer)))
      stale.push_back(path);
  }
  for (const fs::path &path : stale) fs::remove(path, ec);
}

void ArchiveStore::RemoveAbandoned() const {
  std::error_code ec;
  std::vector<fs::path> gone;
  for (fs::recursive_directory_iterator it(directory_, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it.depth() != 3 || !it->is_directory(ec) || it->is_symlink(ec)) continue;
    it.disable_recursion_pending();
    const fs::path dir = it->path();
    Tidy(dir, "");
    // OWNER/KIND/NAME/VERSION: is that version still in the repository,
    // under the very names its archives were built for?
    const std::string owner = dir.parent_path().parent_path().parent_path().filename().string();
    const std::string kind = dir.parent_path().parent_path().filename().string();
    const std::string name = dir.parent_path().filename().string();
    const unsigned int number = versionNumber(dir.filename().string());
    std::optional<Resource> resource;
    if (kind == kindWord(Kind::kModel) || kind == kindWord(Kind::kWorld)) {
      resource = repository_.Find(kind == kindWord(Kind::kModel) ? Kind::kModel : Kind::kWorld,
                                  owner, name);
    }
    bool held = resource && resource->owner == owner && resource->name == name;
    if (held) {
      const std::vector<VersionDir> versions = repository_.Versions(*resource);
      held = std::any_of(versions.begin(), versions.end(),
                         [&](const VersionDir &version) { return version.number == number; });
    }
    if (!held) gone.push_back(dir);
  }
  for (const fs::path &dir : gone) RemoveBelow(dir);
}

void ArchiveStore::Remove(const Resource &resource) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveBelow(directory_ / resource.owner / kindWord(resource.kind) / resource.name);
}

void ArchiveStore::RemoveBelow(const fs::path &dir) const {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(dir, ec)) || !sameOrBelow(dir, directory_)) return;
  std::vector<fs::path> files;
  std::vector<fs::path> directories{dir};
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_symlink(ec)) continue;
    if (it->is_directory(ec)) {
      directories.push_back(it->path());
    } else if (it->is_regular_file(ec) && (archiveName(name) || asideWriter(name) != 0)) {
      files.push_back(it->path());
    }
  }
  for (const fs::path &file : files) fs::remove(file, ec);
  // Deepest first; a directory that still holds something stays.
  std::sort(directories.begin(), directories.end(),
            [](const fs::path &a, const fs::path &b) { return a.string().size() > b.string().size(); });
  for (const fs::path &directory : directories) ::rmdir(directory.c_str());
  for (fs::path parent = dir.parent_path(); parent != directory_ && sameOrBelow(parent, directory_);
       parent = parent.parent_path()) {
    if (::rmdir(parent.c_str()) != 0) break;
  }
}

std::size_t ArchiveStore::BuildAll(const std::function<void(std::size_t, std::size_t)> &progress,
                                   const std::function<bool()> &cancelled) {
  std::vector<std::pair<Resource, VersionDir>> versions;
  for (const Kind kind : {Kind::kModel, Kind::kWorld}) {
    for (const Resource &resource : repository_.Resources(kind))
      for (const VersionDir &version : repository_.Versions(resource))
        versions.emplace_back(resource, version);
  }
  std::size_t failed = 0;
  progress(0, versions.size());
  for (std::size_t i = 0; i < versions.size() && !cancelled(); ++i) {
    if (!Get(versions[i].first, versions[i].second)) ++failed;
    progress(i + 1, versions.size());
  }
  return failed;
}

}  // namespace qx::quarn_server
