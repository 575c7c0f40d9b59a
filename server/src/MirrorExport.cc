// The static export of a repository (qx/quarn_server/MirrorExport.hh):
// every answer of the read routes, asked of the same Catalogue the server
// answers with and written where the route table says the export keeps it.
#include "qx/quarn_server/MirrorExport.hh"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "Archive.hh"
#include "Catalogue.hh"
#include "NginxConfig.hh"
#include "Repository.hh"
#include "RouteTable.hh"

namespace fs = std::filesystem;

namespace qx::quarn_server {
namespace {

// Marks a directory as an export, and is locked while one runs.
const char kMarkerFile[] = ".quarn-mirror";
const char kMarkerText[] = "quarn mirror export 1\n";
// The data directory below the export directory.
const char kSiteDirectory[] = "site";
// How often a version whose files keep changing is tried.
const int kVersionAttempts = 3;

std::atomic<unsigned long> asideCount{0};

// A fresh hidden name beside `path` for work in progress.
fs::path aside(const fs::path &path, const char *what) {
  return path.parent_path() / ("." + path.filename().string() + "." + what + "-" +
                               std::to_string(::getpid()) + "-" + std::to_string(++asideCount));
}

// Writes `content` to `path` through a file beside it renamed into place.
bool writeAtomically(const fs::path &path, const std::string &content) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  const fs::path temporary = aside(path, "new");
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (out) fs::rename(temporary, path, ec);
  if (!out || ec) {
    fs::remove(temporary, ec);
    qxerr << "Unable to write [" << path.string() << "]";
    return false;
  }
  return true;
}

// Points the symbolic link `link` at `target` (a name beside it) in one
// rename, replacing whatever was there.
bool pointLink(const fs::path &link, const std::string &target) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(link, ec)) && fs::read_symlink(link, ec) == target)
    return true;
  if (fs::is_directory(fs::symlink_status(link, ec))) fs::remove_all(link, ec);
  const fs::path temporary = aside(link, "link");
  fs::create_symlink(target, temporary, ec);
  if (!ec) fs::rename(temporary, link, ec);
  if (ec) {
    fs::remove(temporary, ec);
    qxerr << "Unable to link [" << link.string() << "] to [" << target << "]";
    return false;
  }
  return true;
}

std::vector<std::string> pathSegments(const std::string &path) { return routeSegments(path); }

fs::path realPath(const fs::path &path) {
  std::error_code ec;
  fs::path real = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? fs::absolute(path) : real;
}

class MirrorWriter {
 public:
  MirrorWriter(const Repository &repository, fs::path out, const MirrorOptions &options,
               MirrorSummary &summary)
      : repository_(repository),
        out_(std::move(out)),
        site_(out_ / kSiteDirectory),
        options_(options),
        summary_(summary),
        catalogue_(repository, nullptr, options.pageSize, "", true) {}

  bool Run();

 private:
  bool ExportResources(Kind kind);
  bool ExportResource(Kind kind, const std::string &owner, const std::string &name,
                      const Resource &resource);
  bool ExportVersion(Kind kind, const std::string &owner, const std::string &name,
                     const VersionDir &version);
  bool FillVersion(Kind kind, const std::string &owner, const std::string &name,
                   const VersionDir &version, const fs::path &dir);
  // What the export holds of one owner: its listings when it has a public
  // resource, and those of its collections that have a public member.
  struct OwnerShown {
    bool resources = false;
    std::set<std::string> collections;
  };
  // The owners the export names, with their collections, in lower case (as
  // the export keeps them): none without a public member, none hidden.
  std::map<std::string, OwnerShown> Owners() const;
  bool ExportListings();
  bool ExportListing(const Route &route);
  bool ExportPages(const Route &route);
  bool ExportDocument(const Route &route, bool required);
  // The catalogue's answer to GET `route` with `query`.
  Reply Ask(const Route &route, const std::string &query = "") const;
  bool WriteDocument(const std::string &relative, const std::string &content);
  void Keep(const std::string &relative);
  // Keeps all that lies below `relative` as the last export left it: what
  // an export that failed could not bring up to date is not swept either.
  void KeepWhole(const std::string &relative);
  void Sweep(const fs::path &relative);
  bool WriteConfiguration();

  const Repository &repository_;
  const fs::path out_;
  const fs::path site_;
  const MirrorOptions &options_;
  MirrorSummary &summary_;
  const Catalogue catalogue_;
  // Paths below site_ written or confirmed by this export, with every
  // directory above them; the sweep removes the rest, and leaves alone what
  // lies inside the directories kept whole (versions, and what failed).
  std::set<std::string> kept_;
  std::set<std::string> keptWhole_;
};

bool MirrorWriter::Run() {
  std::error_code ec;
  fs::create_directories(site_, ec);
  fs::create_directories(out_ / kNginxRunDirectory, ec);
  bool ok = !ec;
  for (const Kind kind : {Kind::kModel, Kind::kWorld}) ok = ExportResources(kind) && ok;
  ok = ExportListings() && ok;
  ok = ExportDocument(makeRoute(RouteForm::kLicenses), false) && ok;
  // What the repository no longer holds goes, even when something else
  // failed: what failed kept what the last export wrote of it.
  Sweep("");
  return WriteConfiguration() && ok;
}

Reply MirrorWriter::Ask(const Route &route, const std::string &query) const {
  return catalogue_.Answer({"GET", routeText(route), query, std::nullopt, ""});
}

void MirrorWriter::Keep(const std::string &relative) {
  fs::path path;
  for (const std::string &segment : pathSegments(relative)) {
    path /= segment;
    kept_.insert(path.string());
  }
}

void MirrorWriter::KeepWhole(const std::string &relative) {
  Keep(relative);
  keptWhole_.insert(fs::path(relative).string());
}

bool MirrorWriter::WriteDocument(const std::string &relative, const std::string &content) {
  Keep(relative);
  const fs::path path = site_ / relative;
  if (readWholeFile(path) == content) return true;
  ++summary_.documentsWritten;
  return writeAtomically(path, content);
}

bool MirrorWriter::ExportDocument(const Route &route, bool required) {
  const Reply reply = Ask(route);
  if (reply.status == 200 && WriteDocument(exportPath(route), reply.body)) return true;
  if (reply.status != 200) {
    if (!required) return true;
    qxerr << "Unable to export [" << routeText(route) << "]: status " << reply.status;
  }
  KeepWhole(exportPath(route));
  return false;
}

bool MirrorWriter::ExportResources(Kind kind) {
  bool ok = true;
  std::set<std::pair<std::string, std::string>> done;
  for (const Resource &listed : repository_.Resources(kind)) {
    // The export answers the lower-case spelling the client sends, with
    // the resource the server finds for it.
    const std::string owner = qx::common::lowercase(listed.owner);
    const std::string name = qx::common::lowercase(listed.name);
    if (!done.insert({owner, name}).second) continue;
    const std::optional<Resource> resource = repository_.Find(kind, owner, name);
    if (!resource) continue;
    if (repository_.Private(*resource)) {
      qxmsg << "Leaving out the private [" << resource->owner << "/" << kindWord(kind) << "/"
            << resource->name << "]";
      continue;
    }
    if (!ExportResource(kind, owner, name, *resource)) {
      ok = false;
      const Route details = makeRoute(RouteForm::kDetails, kind, owner, name);
      KeepWhole(fs::path(exportPath(details)).parent_path().string());
      KeepWhole(exportPath(makeRoute(RouteForm::kResourceListing, kind, owner, name)));
    }
  }
  return ok;
}

bool MirrorWriter::ExportResource(Kind kind, const std::string &owner, const std::string &name,
                                  const Resource &resource) {
  const std::vector<VersionDir> versions = repository_.Versions(resource);
  bool ok = true;
  for (const VersionDir &version : versions)
    ok = ExportVersion(kind, owner, name, version) && ok;
  if (!ok || versions.empty()) return false;
  const Route tip = makeRoute(RouteForm::kArchive, kind, owner, name, "tip");
  const std::string tipDir = fillPlaceholders(splitAtVersion(tip.form->exportPath).first, tip);
  Keep(tipDir);
  ok = pointLink(site_ / tipDir, std::to_string(versions.back().number));
  ok = ExportDocument(makeRoute(RouteForm::kDetails, kind, owner, name), true) && ok;
  return ExportListing(makeRoute(RouteForm::kResourceListing, kind, owner, name)) && ok;
}

bool MirrorWriter::ExportVersion(Kind kind, const std::string &owner, const std::string &name,
                                 const VersionDir &version) {
  const Route route =
      makeRoute(RouteForm::kArchive, kind, owner, name, std::to_string(version.number));
  const std::string linkRelative =
      fillPlaceholders(splitAtVersion(route.form->exportPath).first, route);
  const fs::path link = site_ / linkRelative;
  for (int attempt = 0; attempt < kVersionAttempts; ++attempt) {
    const std::string fingerprint = archiveFingerprint(repository_, version.path);
    // The real directory is NUMBER.FINGERPRINT; the link NUMBER names it.
    const std::string realName = link.filename().string() + "." + fingerprint;
    const fs::path real = link.parent_path() / realName;
    const std::string realRelative = (fs::path(linkRelative).parent_path() / realName).string();
    Keep(linkRelative);
    Keep(realRelative);
    keptWhole_.insert(realRelative);
    std::error_code ec;
    const bool present = fs::is_directory(fs::symlink_status(real, ec));
    if (present && fs::read_symlink(link, ec) == realName && !ec) {
      ++summary_.versionsKept;
      return true;
    }
    if (!present) {
      const fs::path work = aside(real, "new");
      if (!FillVersion(kind, owner, name, version, work)) {
        fs::remove_all(work, ec);
        return false;
      }
      if (archiveFingerprint(repository_, version.path) != fingerprint) {
        fs::remove_all(work, ec);
        continue;  // changed while being exported: again, as it is now
      }
      fs::rename(work, real, ec);
      if (ec) {
        qxerr << "Unable to store [" << real.string() << "]: " << ec.message();
        fs::remove_all(work, ec);
        return false;
      }
    }
    ++summary_.versionsWritten;
    return pointLink(link, realName);
  }
  qxerr << "The files of [" << version.path.string() << "] kept changing while exported";
  return false;
}

bool MirrorWriter::FillVersion(Kind kind, const std::string &owner, const std::string &name,
                               const VersionDir &version, const fs::path &dir) {
  const std::string number = std::to_string(version.number);
  const Tree tree = repository_.Walk(version.path);
  std::error_code ec;
  fs::create_directories(dir, ec);
  const auto inVersion = [&](const Route &route) {
    return dir / fillPlaceholders(splitAtVersion(route.form->exportPath).second, route);
  };
  for (const std::string &directory : tree.directories) {
    const std::string entry = directory.substr(0, directory.size() - 1);
    fs::create_directories(
        inVersion(makeRoute(RouteForm::kFile, kind, owner, name, number, pathSegments(entry))), ec);
  }
  for (const std::string &file : tree.files) {
    const fs::path source = version.path / file;
    const fs::path target =
        inVersion(makeRoute(RouteForm::kFile, kind, owner, name, number, pathSegments(file)));
    fs::create_directories(target.parent_path(), ec);
    if (!ec && !repository_.VersionFile(version.path, pathSegments(file)))
      ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (!ec) fs::copy_file(source, target, ec);
    if (!ec) fs::last_write_time(target, fs::last_write_time(source, ec), ec);
    if (ec) {
      qxerr << "Unable to export [" << source.string() << "]: " << ec.message();
      return false;
    }
  }
  return writeArchive(repository_, version.path,
                      inVersion(makeRoute(RouteForm::kArchive, kind, owner, name, number)));
}

std::map<std::string, MirrorWriter::OwnerShown> MirrorWriter::Owners() const {
  // A mirror names no owner and no collection without a public member (an
  // absent one's 404 is what the server answers for them too).
  const auto anyPublic = [this](const std::vector<Resource> &resources) {
    return std::any_of(resources.begin(), resources.end(),
                       [this](const Resource &resource) { return !repository_.Private(resource); });
  };
  std::map<std::string, OwnerShown> owners;
  for (const std::string &owner : repository_.Owners()) {
    OwnerShown shown;
    for (const Kind kind : {Kind::kModel, Kind::kWorld}) {
      shown.resources = shown.resources ||
                        anyPublic(repository_.Resources(kind, owner).value_or(std::vector<Resource>()));
    }
    for (const std::string &collection : repository_.Collections(owner)) {
      const std::optional<fs::path> file = repository_.CollectionFile(owner, collection);
      bool members = false;
      for (const Kind kind : {Kind::kModel, Kind::kWorld}) {
        std::vector<Resource> found;
        if (file && repository_.CollectionMembers(*file, kind, found)) members = members || anyPublic(found);
      }
      if (members) shown.collections.insert(qx::common::lowercase(collection));
    }
    if (!shown.resources && shown.collections.empty()) continue;
    OwnerShown &entry = owners[qx::common::lowercase(owner)];
    entry.resources = entry.resources || shown.resources;
    entry.collections.insert(shown.collections.begin(), shown.collections.end());
  }
  return owners;
}

bool MirrorWriter::ExportListings() {
  bool ok = true;
  const std::map<std::string, OwnerShown> owners = Owners();
  for (const Kind kind : {Kind::kModel, Kind::kWorld}) {
    ok = ExportListing(makeRoute(RouteForm::kServerListing, kind)) && ok;
    for (const auto &[owner, shown] : owners) {
      if (shown.resources) ok = ExportListing(makeRoute(RouteForm::kOwnerListing, kind, owner)) && ok;
      for (const std::string &collection : shown.collections) {
        ok = ExportListing(makeRoute(RouteForm::kCollectionListing, kind, owner, collection)) && ok;
      }
    }
  }
  return ok;
}

bool MirrorWriter::ExportListing(const Route &route) {
  if (ExportPages(route)) return true;
  KeepWhole(exportPath(route));
  return false;
}

bool MirrorWriter::ExportPages(const Route &route) {
  const fs::path dir = exportPath(route);
  for (std::uint64_t page = 1;; ++page) {
    const Reply reply = Ask(route, "page=" + std::to_string(page));
    if (reply.status != 200) {
      // A listing the server cannot give (a broken collection file) is not
      // exported; nginx answers it with 404.
      qxwarn << "Not exporting the listing [" << routeText(route) << "]: status "
             << reply.status;
      return page == 1;
    }
    const bool next = reply.Header("Link").has_value();
    if (!WriteDocument((dir / pageFileName(page, next)).string(), reply.body)) return false;
    if (!next) {
      const Reply past = Ask(route, "page=" + std::to_string(page + 1));
      return past.status == 200 && WriteDocument((dir / kPastLastPage).string(), past.body);
    }
  }
}

void MirrorWriter::Sweep(const fs::path &relative) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(site_ / relative, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(*it);
  for (const fs::directory_entry &entry : entries) {
    const fs::path inner = relative / entry.path().filename();
    if (kept_.count(inner.string()) == 0) {
      fs::remove_all(entry.path(), ec);
      ++summary_.removed;
    } else if (entry.is_directory(ec) && !entry.is_symlink(ec) &&
               keptWhole_.count(inner.string()) == 0) {
      Sweep(inner);
    }
  }
}

bool MirrorWriter::WriteConfiguration() {
  NginxSite site{out_.string(), site_.string(), options_.apiVersion, options_.listen, {}, {}};
  for (const auto &[owner, shown] : Owners()) {
    site.owners.push_back(owner);
    for (const std::string &collection : shown.collections) site.collections.emplace_back(owner, collection);
  }
  const std::pair<const char *, std::string> files[] = {
      {kNginxMainFile, nginxMainConfig(site)},
      {kNginxHttpFile, nginxHttpConfig(site)},
      {kNginxServerFile, nginxServerConfig(site)},
  };
  bool ok = true;
  for (const auto &[name, content] : files) {
    if (readWholeFile(out_ / name) != content) ok = writeAtomically(out_ / name, content) && ok;
  }
  return ok;
}

// Holds the lock of an export directory for as long as it lives.
class ExportLock {
 public:
  explicit ExportLock(const fs::path &marker)
      : fd_(::open(marker.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {}
  ~ExportLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  ExportLock(const ExportLock &) = delete;
  ExportLock &operator=(const ExportLock &) = delete;
  bool Locked() const { return fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  bool Mark() const {
    return ::ftruncate(fd_, 0) == 0 &&
           ::pwrite(fd_, kMarkerText, sizeof(kMarkerText) - 1, 0) ==
               static_cast<ssize_t>(sizeof(kMarkerText) - 1);
  }

 private:
  const int fd_;
};

// Why `out` cannot take an export of `root`, or nullopt.
std::optional<std::string> unfitOutput(const fs::path &root, const fs::path &out) {
  if (sameOrBelow(out, root)) return "it lies inside the repository directory";
  if (sameOrBelow(root, out)) return "the repository directory lies inside it";
  if (auto reason = unfitForNginx(out.string())) return reason;
  std::error_code ec;
  if (fs::exists(out, ec) && !fs::is_directory(out, ec)) return "it is no directory";
  const bool empty = !fs::exists(out, ec) || fs::is_empty(out, ec);
  if (!empty && !fs::exists(out / kMarkerFile, ec))
    return "it is not empty and holds no mirror export";
  return std::nullopt;
}

bool exportInto(const std::string &root, const std::string &out, const MirrorOptions &options,
                MirrorSummary &summary) {
  const Repository repository(root);
  if (!repository.Valid()) {
    qxerr << "Repository directory does not exist [" << root << "]";
    return false;
  }
  if (const std::optional<std::string> reason = unfitListen(options.listen)) {
    qxerr << "Unable to export: the listen address [" << options.listen << "] " << *reason;
    return false;
  }
  const fs::path target = realPath(out);
  if (const std::optional<std::string> reason = unfitOutput(repository.Root(), target)) {
    qxerr << "Unable to export into [" << target.string() << "]: " << *reason;
    return false;
  }
  std::error_code ec;
  fs::create_directories(target, ec);
  const ExportLock lock(target / kMarkerFile);
  if (ec || !lock.Locked()) {
    qxerr << "Unable to export into [" << target.string()
          << "]: it cannot be written, or another export into it is running";
    return false;
  }
  if (!lock.Mark()) {
    qxerr << "Unable to write [" << (target / kMarkerFile).string() << "]";
    return false;
  }
  MirrorOptions checked = options;
  if (checked.pageSize == 0) checked.pageSize = 1;
  return MirrorWriter(repository, target, checked, summary).Run();
}

}  // namespace

bool exportMirror(const std::string &root, const std::string &out, const MirrorOptions &options,
                  MirrorSummary *summary) {
  MirrorSummary counted;
  bool ok = false;
  try {
    ok = exportInto(root, out, options, counted);
  } catch (const std::exception &e) {
    qxerr << "Unable to export [" << root << "] into [" << out << "]: " << e.what();
  }
  if (summary) *summary = counted;
  return ok;
}

}  // namespace qx::quarn_server
