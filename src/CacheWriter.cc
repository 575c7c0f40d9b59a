#include "CacheWriter.hh"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <vector>

#include "CacheDirectories.hh"
#include "CacheManifest.hh"
#include "CacheNames.hh"
#include "ProgressCounters.hh"
#include "StagingDirectory.hh"
#include "ZipExtraction.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

// Inside a staging directory: the tree that becomes the version, and where
// a replaced version goes when the system cannot swap two directories.
constexpr const char *kTreeName = "tree";
constexpr const char *kReplacedName = "replaced";

constexpr std::size_t kCopyChunk = 1 << 20;

// Copies the regular file `from` (not through a link) to the new file `to`.
int copyFile(FileSystem &fileSystem, const std::string &from, const std::string &to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return errno;
  std::unique_ptr<WritableFile> out;
  int error = fileSystem.CreateFile(to, out);
  std::vector<char> buffer(kCopyChunk);
  while (error == 0) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    error = out->Append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(in);
  if (out && error == 0) error = out->Close();
  if (error != 0 && out) fileSystem.RemoveAll(to);
  return error;
}

// Gives `to` the file `from` by a hard link, or by a copy where links are
// not possible.
int shareFile(FileSystem &fileSystem, const std::string &from, const std::string &to) {
  const int error = fileSystem.Link(from, to);
  if (error == 0 || error == ENOENT || error == EEXIST) return error;
  return copyFile(fileSystem, from, to);
}

// Adds to the tree `to` every directory and regular file of the tree `from`
// that `to` lacks, so a new archive unpacked into `to` keeps the old files
// it does not have. Links are never followed nor copied, nor are the
// cache's own entries, nor (at the top) the archive file `skip` that an
// unfinished save of an older library may have left. Files that vanish
// meanwhile are no error. 0 or errno, with `failed` the path concerned.
int addMissing(FileSystem &fileSystem, const std::string &from, const std::string &to,
               const std::string &skip, std::string &failed) {
  for (qx::common::DirIter it(from), end; it != end; ++it) {
    const std::string name = qx::common::basename(*it);
    if (IsInternalName(name) || name == skip) continue;
    PathStatus source;
    if (fileSystem.Status(*it, source) != 0 || !source.exists || source.link) continue;
    const std::string target = qx::common::joinPaths(to, name);
    PathStatus present;
    fileSystem.Status(target, present);
    int error = 0;
    if (source.directory) {
      if (!present.exists) error = fileSystem.CreateDirectory(target);
      if (error == EEXIST) error = 0;
      if (error == 0 && (!present.exists || present.directory))
        error = addMissing(fileSystem, *it, target, "", failed);
      else if (error != 0)
        failed = target;
    } else if (source.regular && !present.exists) {
      error = shareFile(fileSystem, *it, target);
      if (error == ENOENT || error == EEXIST) error = 0;
      if (error != 0) failed = target;
    }
    if (error != 0) return error;
  }
  return 0;
}

bool isDirectoryThere(int renameError) { return renameError == ENOTEMPTY || renameError == EEXIST; }

bool swapUnsupported(int error) {
  return error == ENOSYS || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

CacheWriter::CacheWriter(FileSystem &fileSystem) : fileSystem_(fileSystem) {}

namespace {

// One save of one version, in its own staging directory.
class Save {
 public:
  Save(FileSystem &fileSystem, const VersionToSave &save)
      : fileSystem_(fileSystem),
        save_(save),
        directory_(VersionDirectory(save.root, save.uniqueName, save.version)) {}

  // Refuses an existing version without overwrite, and makes the staging
  // directory. False having logged why.
  // `archive` (when given) may lie in a staging directory of this
  // process beside the versions (where a download put it): the version is
  // then built there too, and the directory stays its maker's to remove.
  bool Begin(const std::string &archive = "") {
    PathStatus status;
    fileSystem_.Status(directory_, status);
    existed_ = status.exists;
    if (existed_ && !save_.overwrite) {
      qxerr << "Directory [" << directory_ << "] already exists\n";
      return false;
    }
    std::string error;
    if (!AdoptStageOf(archive)) {
      ownStage_ = StagingDirectory::Create(fileSystem_, save_.root, save_.uniqueName, error);
      if (ownStage_) stage_ = ownStage_->Path();
    }
    if (stage_.empty() || !CheckDirectory(fileSystem_, directory_, error)) {
      qxerr << error << "\n";
      return false;
    }
    return true;
  }

  // Writes archive bytes into the staging directory; their path then.
  bool WriteArchive(const std::string &data, std::string &archive) {
    archive = Staged(ArchiveFileName(save_.name));
    std::unique_ptr<WritableFile> file;
    int error = fileSystem_.CreateFile(archive, file);
    if (error == 0) error = file->Append(data.data(), data.size());
    if (error == 0) error = file->Close();
    if (error == 0) return true;
    qxerr << "Unable to write [" << archive << "]: " << ErrorText(error) << "\n";
    return false;
  }

  // Extracts, counted as unpacking for the progress line meanwhile.
  bool Unpack(const std::string &archive, const std::string &tree, const ExtractOptions &options) {
    const UnpackingCount unpacking;
    return ExtractArchive(archive, tree, options, fileSystem_);
  }

  // Unpacks, merges the old version in when overwriting, prepares and
  // publishes. True with the version directory once published.
  bool Finish(const std::string &archive, std::string &versionDirectory) {
    const std::string tree = Staged(kTreeName);
    const int made = fileSystem_.CreateDirectory(tree);
    if (made != 0) {
      qxerr << "Unable to create directory [" << tree << "]: " << ErrorText(made) << "\n";
      return false;
    }
    ExtractOptions options;
    options.limits = save_.limits;
    options.freshDestination = true;
    std::vector<ExtractedFile> unpacked;
    options.files = &unpacked;
    if (!Unpack(archive, tree, options)) {
      qxerr << "Unable to unzip [" << archive << "]\n";
      return false;
    }
    if (existed_ && !KeepOldFiles(tree)) return false;
    const std::vector<std::string> changed =
        save_.prepare ? save_.prepare(tree, directory_) : std::vector<std::string>();
    if (!Record(tree, unpacked, changed)) return false;
    if (!Publish(tree)) {
      fileSystem_.RemoveAll(qx::common::joinPaths(ResourceDirectory(save_.root, save_.uniqueName),
                                                  ManifestFileName(save_.version)));
      return false;
    }
    versionDirectory = directory_;
    return true;
  }

 private:
  // Writes what the tree holds as the version's record. The files as
  // unpacked come with their sizes and checksums; only those changed since
  // (or kept from the version before) are read.
  bool Record(const std::string &tree, const std::vector<ExtractedFile> &unpacked,
              const std::vector<std::string> &changed) {
    Manifest known;
    for (const ExtractedFile &file : unpacked) known[file.path] = FileRecord{file.size, file.crc};
    for (const std::string &path : changed) known.erase(path);
    const std::optional<Manifest> manifest = DescribeTree(tree, known);
    const std::string resource = ResourceDirectory(save_.root, save_.uniqueName);
    const int error = manifest ? WriteManifest(fileSystem_, resource, save_.version, *manifest)
                               : EIO;
    if (error == 0) return true;
    qxerr << "Unable to write [" << qx::common::joinPaths(resource, ManifestFileName(save_.version))
          << "]: " << ErrorText(error) << "\n";
    return false;
  }

  std::string Staged(const std::string &name) const {
    return qx::common::joinPaths(stage_, name);
  }

  bool AdoptStageOf(const std::string &archive) {
    if (archive.empty()) return false;
    const std::string parent = qx::common::parentPath(archive);
    const auto owner = ParseScratchName(qx::common::basename(parent));
    if (!owner || owner->kind != Scratch::kStaging || owner->pid != ::getpid() ||
        owner->host != HostName() ||
        qx::common::parentPath(parent) != ResourceDirectory(save_.root, save_.uniqueName))
      return false;
    stage_ = parent;
    return true;
  }

  bool KeepOldFiles(const std::string &tree) {
    std::string failed;
    const int error =
        addMissing(fileSystem_, directory_, tree, ArchiveFileName(save_.name), failed);
    if (error == 0) return true;
    qxerr << "Unable to keep the files of [" << directory_ << "] at [" << failed
          << "]: " << ErrorText(error) << "\n";
    return false;
  }

  bool Publish(const std::string &tree) {
    const int renamed = fileSystem_.Rename(tree, directory_);
    if (renamed == 0) return true;
    if (!isDirectoryThere(renamed)) return Failed(renamed);
    // Another save published this version since ours began: its content is
    // the same, so ours is dropped with the staging directory.
    if (!existed_) {
      qxdbg << "Version [" << directory_ << "] was published meanwhile; using it\n";
      return true;
    }
    const int swapped = fileSystem_.Exchange(tree, directory_);
    if (swapped == 0) return true;
    if (!swapUnsupported(swapped)) return Failed(swapped);
    return ReplaceInTwoSteps(tree);
  }

  // Where directories cannot be swapped: the old version moves aside, the
  // new one takes its place (lookups miss the version for that moment).
  bool ReplaceInTwoSteps(const std::string &tree) {
    const std::string replaced = Staged(kReplacedName);
    int error = fileSystem_.Rename(directory_, replaced);
    if (error != 0) return Failed(error);
    error = fileSystem_.Rename(tree, directory_);
    if (error == 0) return true;
    fileSystem_.Rename(replaced, directory_);
    return Failed(error);
  }

  bool Failed(int error) {
    qxerr << "Unable to publish [" << directory_ << "]: " << ErrorText(error) << "\n";
    return false;
  }

  FileSystem &fileSystem_;
  const VersionToSave &save_;
  const std::string directory_;
  bool existed_ = false;
  // The staging directory, made by this save (ownStage_) or adopted.
  std::unique_ptr<StagingDirectory> ownStage_;
  std::string stage_;
};

}  // namespace

bool CacheWriter::SaveArchiveFile(const VersionToSave &save, const std::string &archive,
                                  std::string &versionDirectory) {
  bool saved = false;
  {
    Save one(fileSystem_, save);
    saved = one.Begin(archive) && one.Finish(archive, versionDirectory);
  }
  if (!saved) RemoveUnusedResource(fileSystem_, save.root, save.uniqueName);
  return saved;
}

bool CacheWriter::SaveArchiveData(const VersionToSave &save, const std::string &data,
                                  std::string &versionDirectory) {
  bool saved = false;
  {
    Save one(fileSystem_, save);
    std::string archive;
    saved = one.Begin() && one.WriteArchive(data, archive) && one.Finish(archive, versionDirectory);
  }
  if (!saved) RemoveUnusedResource(fileSystem_, save.root, save.uniqueName);
  return saved;
}

}  // namespace qx::quarn_tools::internal::cache
