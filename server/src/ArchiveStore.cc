#include "ArchiveStore.hh"

#include <unistd.h>

#include <atomic>
#include <chrono>
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
// Hidden files younger than this may be archives that another process is
// writing; older ones were left by a crash.
const auto kAbandonedAfter = std::chrono::hours(1);

std::atomic<unsigned long> asideCount{0};

std::string describe(const Resource &resource, const VersionDir &version) {
  return resource.owner + "/" + kindWord(resource.kind) + "/" + resource.name + "/" +
         std::to_string(version.number);
}

}  // namespace

ArchiveStore::ArchiveStore(const Repository &repository, fs::path directory)
    : repository_(repository), directory_(std::move(directory)) {}

bool ArchiveStore::Open() {
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (ec || !fs::is_directory(directory_, ec)) {
    qxerr << "Unable to make the archive store [" << directory_.string() << "]";
    return false;
  }
  if (repository_.Inside(directory_)) {
    qxerr << "The archive store [" << directory_.string()
          << "] lies inside the served directory; it must be outside it";
    return false;
  }
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
    const Archive found{nullptr, "\"" + fingerprint + "\""};
    {
      std::unique_lock<std::mutex> lock(mutex_);
      built_.wait(lock, [&] { return building_.count(target.string()) == 0; });
      if (auto file = OpenFile::Open(target)) return Archive{file, found.tag};
      building_.insert(target.string());
    }
    const bool built = Build(resource, version, fingerprint, target);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      building_.erase(target.string());
    }
    built_.notify_all();
    if (built) {
      if (auto file = OpenFile::Open(target)) return Archive{file, found.tag};
    }
    // Otherwise the files changed while being archived: try their new state.
    if (fingerprint == archiveFingerprint(repository_, version.path)) break;
  }
  qxerr << "Unable to build the archive of [" << describe(resource, version) << "]";
  return std::nullopt;
}

bool ArchiveStore::Build(const Resource &resource, const VersionDir &version,
                         const std::string &fingerprint, const fs::path &target) {
  const fs::path dir = target.parent_path();
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path aside = dir / ("." + fingerprint + ".zip." + std::to_string(::getpid()) + "-" +
                                std::to_string(++asideCount));
  if (!writeArchive(repository_, version.path, aside)) return false;
  if (archiveFingerprint(repository_, version.path) != fingerprint) {
    fs::remove(aside, ec);
    return false;
  }
  fs::rename(aside, target, ec);
  if (ec) {
    qxerr << "Unable to store the archive [" << target.string() << "]: " << ec.message();
    fs::remove(aside, ec);
    return false;
  }
  RemoveOthers(dir, target);
  qxmsg << "Built the archive of [" << describe(resource, version) << "]";
  return true;
}

void ArchiveStore::RemoveOthers(const fs::path &dir, const fs::path &keep) const {
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path path = it->path();
    if (path == keep || !it->is_regular_file(ec)) continue;
    const bool hidden = path.filename().string().front() == '.';
    if (hidden && now - fs::last_write_time(path, ec) < kAbandonedAfter) continue;
    stale.push_back(path);
  }
  for (const fs::path &path : stale) fs::remove(path, ec);
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
