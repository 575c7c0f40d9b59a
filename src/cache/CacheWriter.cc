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
#include "FailureNotes.hh"
#include "ProgressCounters.hh"
#include "StagingDirectory.hh"
#include "ZipExtraction.hh"

namespace qx::quarn_tools::internal::cache {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

// How often a publish tries again when the version it replaces is removed
// (quarn cache rm) between its steps.
constexpr int kPublishAttempts = 5;

// Copies the regular file `name` of `from` (not through a link) to the new
// file `name` of `to`.
int copyFile(FileSystem &fileSystem, const Directory &from, const Directory &to,
             const std::string &name) {
  int in = -1;
  const int opened = OpenForReading(from, name, in);
  if (opened != 0) return opened;
  std::unique_ptr<WritableFile> out;
  int error = fileSystem.CreateFileAt(to, name, out);
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
  if (error != 0 && out) fileSystem.RemoveAllAt(to, name);
  return error;
}

// Gives `to` the file `name` of `from` by a hard link, or by a copy where
// links are not possible. A file swapped for a link meanwhile is not taken.
int shareFile(FileSystem &fileSystem, const Directory &from, const Directory &to,
              const std::string &name) {
  const int error = fileSystem.LinkAt(from, name, to, name);
  if (error == ENOENT || error == EEXIST) return error;
  if (error != 0) return copyFile(fileSystem, from, to, name);
  PathStatus linked;
  if (fileSystem.StatusAt(to, name, linked) == 0 && linked.regular) return 0;
  fileSystem.RemoveAllAt(to, name);
  return ENOENT;
}

// Whether an entry of an old version is left out of the new one: the
// cache's own names at the top (none belong there; an unfinished save of an
// older library may have left some), part files anywhere.
bool leftOut(const std::string &name, bool top, const std::string &skip) {
  if (IsPartFileName(name)) return true;
  return top && (IsInternalName(name) || name == skip);
}

// Adds to the tree `to` every directory and regular file of the tree `from`
// that `to` lacks, so a new archive unpacked into `to` keeps the old files
// it does not have. Links are never followed nor copied, nor (at the top)
// is the archive file `skip` that an unfinished save of an older library
// may have left. Files that vanish meanwhile are no error. 0 or errno, with
// `failed` the path concerned.
int addMissing(FileSystem &fileSystem, const Directory &from, const Directory &to, bool top,
               const std::string &skip, std::string &failed) {
  std::vector<std::string> names;
  int error = ListDirectory(from, names);
  if (error != 0) {
    failed = from.Path();
    return error;
  }
  for (const std::string &name : names) {
    if (leftOut(name, top, skip)) continue;
    PathStatus source;
    if (fileSystem.StatusAt(from, name, source) != 0 || !source.exists || source.link) continue;
    PathStatus present;
    fileSystem.StatusAt(to, name, present);
    if (source.directory) {
      if (present.exists && !present.directory) continue;
      if (!present.exists) error = fileSystem.CreateDirectoryAt(to, name);
      if (error == EEXIST) error = 0;
      std::unique_ptr<Directory> inner;
      std::unique_ptr<Directory> target;
      // Gone, or swapped for something else, meanwhile: nothing to keep.
      if (error == 0 && fileSystem.OpenDirectoryAt(from, name, inner) != 0) continue;
      if (error == 0) error = fileSystem.OpenDirectoryAt(to, name, target);
      if (error == 0) error = addMissing(fileSystem, *inner, *target, false, skip, failed);
      else
        failed = to.Join(name);
    } else if (source.regular && !present.exists) {
      error = shareFile(fileSystem, from, to, name);
      if (error == ENOENT || error == EEXIST) error = 0;
      if (error != 0) failed = to.Join(name);
    }
    if (error != 0) return error;
  }
  return 0;
}

bool isDirectoryThere(int renameError) { return renameError == ENOTEMPTY || renameError == EEXIST; }

bool swapUnsupported(int error) {
  return error == ENOSYS || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

// The archive a save unpacks: open for reading, and its name for log lines.
struct ArchiveToUnpack {
  int fd = -1;
  std::string shown;
};

}  // namespace

CacheWriter::CacheWriter(FileSystem &fileSystem) : fileSystem_(fileSystem) {}

namespace {

// How publishing ended.
enum class Publishing { kOurs, kTheirs, kFailed };

// One save of one version, in its own staging directory or in the one a
// download of the same resource made (`adopted`, which stays its maker's).
class Save {
 public:
  Save(FileSystem &fileSystem, const VersionToSave &save, StagingDirectory *adopted = nullptr)
      : fileSystem_(fileSystem),
        save_(save),
        directory_(VersionDirectory(save.root, save.uniqueName, save.version)),
        stage_(adopted) {}

  // Makes the staging directory unless one was adopted, and refuses an
  // existing version without overwrite. False having logged why.
  bool Begin() {
    std::string error;
    if (stage_ != nullptr &&
        stage_->ResourceDirectory() != ResourceDirectory(save_.root, save_.uniqueName)) {
      error = "Refusing to save [" + directory_ + "] from the staging directory [" +
              stage_->Path() + "] of another resource";
      stage_ = nullptr;
    } else if (stage_ == nullptr) {
      ownStage_ = StagingDirectory::Create(fileSystem_, save_.root, save_.uniqueName, error);
      stage_ = ownStage_.get();
    }
    if (stage_ == nullptr) return Refused(error);
    const Entry version =
        OpenCacheEntry(fileSystem_, stage_->Resource(), save_.version, nullptr, error);
    if (version == Entry::kRefused) return Refused(error);
    existed_ = version == Entry::kDirectory;
    if (existed_ && !save_.overwrite)
      return Refused("Directory [" + directory_ + "] already exists");
    return true;
  }

  // Writes archive bytes into the staging directory.
  bool WriteArchive(const std::string &data, ArchiveToUnpack &archive) {
    const std::string name = ArchiveFileName(save_.name);
    archive.shown = stage_->Join(name);
    std::unique_ptr<WritableFile> file;
    int error = fileSystem_.CreateFileAt(stage_->Stage(), name, file);
    if (error == 0) error = file->Append(data.data(), data.size());
    if (error == 0) error = file->Close();
    if (error == 0) error = OpenForReading(stage_->Stage(), name, archive.fd);
    return error == 0 || Failed("write", archive.shown, error);
  }

  // Opens the archive `name` of the staging directory.
  bool OpenStagedArchive(const std::string &name, ArchiveToUnpack &archive) {
    archive.shown = stage_->Join(name);
    const int error = OpenForReading(stage_->Stage(), name, archive.fd);
    return error == 0 || Failed("read", archive.shown, error);
  }

  // Opens the archive file at `path`.
  bool OpenArchive(const std::string &path, ArchiveToUnpack &archive) {
    archive.shown = path;
    archive.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return archive.fd >= 0 || Failed("read", path, errno);
  }

  // Unpacks, merges the old version in when overwriting, prepares, records
  // and publishes. What was published; nothing when it was not.
  std::optional<Published> Finish(const ArchiveToUnpack &archive) {
    std::unique_ptr<Directory> tree;
    std::vector<ExtractedFile> unpacked;
    if (!MakeTree(tree) || !Unpack(archive, *tree, unpacked)) return std::nullopt;
    if (existed_ && !KeepOldFiles(*tree)) return std::nullopt;
    std::vector<std::string> changed;
    Published published;
    published.directory = directory_;
    published.version = save_.version;
    if (save_.prepare && !save_.prepare(*tree, directory_, changed, published)) return std::nullopt;
    if (!Record(*tree, unpacked, changed)) return std::nullopt;
    tree.reset();
    // A new version gets its record first, so it never appears without one
    // (a record without its version misleads nothing); a version replaced
    // keeps its own record until the swap.
    PathStatus record;
    if (!existed_ && (!RecordIdentity(record) || !MoveRecord())) return std::nullopt;
    const Publishing publishing = Publish();
    if (publishing == Publishing::kFailed) {
      if (!existed_) RemoveRecordIfOurs(record);
      return std::nullopt;
    }
    // A copy published by another save is of the same content: the record
    // is as good for it as its own (which that save moves in too).
    if (existed_ && publishing == Publishing::kOurs && !MoveRecord()) return std::nullopt;
    return published;
  }

 private:
  // Logs `line` and notes it as the reason; false.
  bool Refused(const std::string &line) {
    qxerr << line << "\n";
    NoteCacheError(line);
    return false;
  }

  // "Unable to ACTION [PATH]: REASON", logged and noted; false.
  bool Failed(const std::string &action, const std::string &path, int error) {
    qxerr << "Unable to " << action << " [" << path << "]: " << ErrorText(error) << "\n";
    NoteCacheFailure(action, path, ErrorText(error));
    return false;
  }

  bool MakeTree(std::unique_ptr<Directory> &tree) {
    int error = fileSystem_.CreateDirectoryAt(stage_->Stage(), StagedTreeName());
    if (error == 0) error = fileSystem_.OpenDirectoryAt(stage_->Stage(), StagedTreeName(), tree);
    return error == 0 || Failed("create directory", stage_->Join(StagedTreeName()), error);
  }

  // Extracts, counted as unpacking for the progress line meanwhile.
  bool Unpack(const ArchiveToUnpack &archive, const Directory &tree,
              std::vector<ExtractedFile> &unpacked) {
    ExtractOptions options;
    options.limits = save_.limits;
    options.freshDestination = true;
    options.stopAtFirstFailure = true;
    options.files = &unpacked;
    const UnpackingCount unpacking;
    const int fd = ::fcntl(archive.fd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0 && ExtractArchiveInto(fd, archive.shown, tree, options, fileSystem_)) return true;
    qxerr << "Unable to unzip [" << archive.shown << "]\n";
    NoteArchiveFailure(archive.shown, "the archive could not be unpacked");
    return false;
  }

  bool KeepOldFiles(const Directory &tree) {
    std::string error;
    std::unique_ptr<Directory> old;
    switch (OpenCacheEntry(fileSystem_, stage_->Resource(), save_.version, &old, error)) {
      case Entry::kMissing: return true;  // removed meanwhile: nothing to keep
      case Entry::kRefused: return Refused(error);
      case Entry::kDirectory: break;
    }
    std::string failed;
    const int copied = addMissing(fileSystem_, *old, tree, true, ArchiveFileName(save_.name), failed);
    if (copied == 0) return true;
    qxerr << "Unable to keep the files of [" << directory_ << "] at [" << failed
          << "]: " << ErrorText(copied) << "\n";
    NoteCacheFailure("keep the files of the version before at", failed, ErrorText(copied));
    return false;
  }

  // Writes what the tree holds as the version's record, in the staging
  // directory. The files as unpacked come with their sizes and checksums;
  // only those changed since (or kept from the version before) are read.
  bool Record(const Directory &tree, const std::vector<ExtractedFile> &unpacked,
              const std::vector<std::string> &changed) {
    Manifest known;
    for (const ExtractedFile &file : unpacked) known[file.path] = FileRecord{file.size, file.crc};
    for (const std::string &path : changed) known.erase(path);
    const std::optional<Manifest> manifest = DescribeTree(tree, known);
    const int error =
        manifest ? WriteManifest(fileSystem_, stage_->Stage(), StagedRecordName(), *manifest) : EIO;
    return error == 0 || Failed("write", stage_->Join(StagedRecordName()), error);
  }

  // Which file the record in the staging directory is.
  bool RecordIdentity(PathStatus &record) {
    const int error = fileSystem_.StatusAt(stage_->Stage(), StagedRecordName(), record);
    if (error == 0 && record.exists) return true;
    return Failed("read", stage_->Join(StagedRecordName()), error != 0 ? error : ENOENT);
  }

  // After a failed publish: the record put beside the version goes, unless
  // another save has put its own there meanwhile.
  void RemoveRecordIfOurs(const PathStatus &record) {
    const std::string name = ManifestFileName(save_.version);
    PathStatus there;
    if (fileSystem_.StatusAt(stage_->Resource(), name, there) == 0 && there.exists &&
        there.device == record.device && there.inode == record.inode)
      fileSystem_.RemoveAllAt(stage_->Resource(), name);
  }

  // Puts the record beside the version (replacing the record of the version
  // it replaces).
  bool MoveRecord() {
    const std::string name = ManifestFileName(save_.version);
    const int error =
        fileSystem_.RenameAt(stage_->Stage(), StagedRecordName(), stage_->Resource(), name);
    return error == 0 || Failed("write", stage_->Resource().Join(name), error);
  }

  Publishing Publish() {
    const Directory &stage = stage_->Stage();
    const Directory &resource = stage_->Resource();
    const std::string tree = StagedTreeName();
    for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
      const int renamed = fileSystem_.RenameAt(stage, tree, resource, save_.version);
      if (renamed == 0) return Publishing::kOurs;
      if (!isDirectoryThere(renamed)) return PublishFailed(renamed);
      // Another save published this version since ours began: its content
      // is the same, so ours is dropped with the staging directory.
      if (!existed_) {
        qxdbg << "Version [" << directory_ << "] was published meanwhile; using it\n";
        return Publishing::kTheirs;
      }
      const int swapped = fileSystem_.ExchangeAt(stage, tree, resource, save_.version);
      if (swapped == 0) return Publishing::kOurs;
      // Removed between the two steps: publish it again.
      if (swapped == ENOENT) continue;
      if (!swapUnsupported(swapped)) return PublishFailed(swapped);
      const int replaced = ReplaceInTwoSteps();
      if (replaced == 0) return Publishing::kOurs;
      if (replaced != ENOENT) return PublishFailed(replaced);
    }
    return PublishFailed(EBUSY);
  }

  // Where directories cannot be swapped: the old version moves aside, the
  // new one takes its place (lookups miss the version for that moment).
  int ReplaceInTwoSteps() {
    const Directory &stage = stage_->Stage();
    const Directory &resource = stage_->Resource();
    int error = fileSystem_.RenameAt(resource, save_.version, stage, StagedReplacedName());
    if (error != 0) return error;
    error = fileSystem_.RenameAt(stage, StagedTreeName(), resource, save_.version);
    if (error == 0) return 0;
    fileSystem_.RenameAt(stage, StagedReplacedName(), resource, save_.version);
    return error == ENOENT ? EIO : error;
  }

  Publishing PublishFailed(int error) {
    Failed("publish", directory_, error);
    return Publishing::kFailed;
  }

  FileSystem &fileSystem_;
  const VersionToSave &save_;
  const std::string directory_;
  bool existed_ = false;
  // The staging directory, adopted or made by this save (ownStage_).
  StagingDirectory *stage_;
  std::unique_ptr<StagingDirectory> ownStage_;
};

// Runs one save: `open` finds the archive once the save has begun.
template <typename Open>
std::optional<Published> run(FileSystem &fileSystem, const VersionToSave &save,
                             StagingDirectory *adopted, Open open) {
  std::optional<Published> published;
  {
    Save one(fileSystem, save, adopted);
    ArchiveToUnpack archive;
    if (one.Begin() && open(one, archive)) published = one.Finish(archive);
    if (archive.fd >= 0) ::close(archive.fd);
  }
  if (!published) RemoveUnusedResource(fileSystem, save.root, save.uniqueName);
  return published;
}

}  // namespace

std::optional<Published> CacheWriter::SaveStaged(const VersionToSave &save,
                                                 StagingDirectory &stage,
                                                 const std::string &archiveName) {
  return run(fileSystem_, save, &stage, [&](Save &one, ArchiveToUnpack &archive) {
    return one.OpenStagedArchive(archiveName, archive);
  });
}

std::optional<Published> CacheWriter::SaveArchiveFile(const VersionToSave &save,
                                                      const std::string &path) {
  return run(fileSystem_, save, nullptr, [&](Save &one, ArchiveToUnpack &archive) {
    return one.OpenArchive(path, archive);
  });
}

std::optional<Published> CacheWriter::SaveArchiveData(const VersionToSave &save,
                                                      const std::string &data) {
  return run(fileSystem_, save, nullptr, [&](Save &one, ArchiveToUnpack &archive) {
    return one.WriteArchive(data, archive);
  });
}

}  // namespace qx::quarn_tools::internal::cache
