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
enum class Published { kOurs, kTheirs, kFailed };

// One save of one version, in its own staging directory.
class Save {
 public:
  Save(FileSystem &fileSystem, const VersionToSave &save)
      : fileSystem_(fileSystem),
        save_(save),
        directory_(VersionDirectory(save.root, save.uniqueName, save.version)) {}

  // Makes the staging directory, or adopts the one of this process that
  // holds `archive` (where a download put it: the directory then stays its
  // maker's to remove), and refuses an existing version without overwrite.
  // False having logged why.
  bool Begin(const std::string &archive = "") {
    std::string error;
    stage_ = AdoptedStage(archive);
    if (stage_ == nullptr) {
      ownStage_ = StagingDirectory::Create(fileSystem_, save_.root, save_.uniqueName, error);
      stage_ = ownStage_.get();
    }
    if (stage_ == nullptr) {
      qxerr << error << "\n";
      return false;
    }
    const Entry version =
        OpenCacheEntry(fileSystem_, stage_->Resource(), save_.version, nullptr, error);
    if (version == Entry::kRefused) {
      qxerr << error << "\n";
      return false;
    }
    existed_ = version == Entry::kDirectory;
    if (existed_ && !save_.overwrite) {
      qxerr << "Directory [" << directory_ << "] already exists\n";
      return false;
    }
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
    if (error == 0) return true;
    qxerr << "Unable to write [" << archive.shown << "]: " << ErrorText(error) << "\n";
    return false;
  }

  // Opens the archive file at `path`: through the staging directory when it
  // lies in it.
  bool OpenArchive(const std::string &path, ArchiveToUnpack &archive) {
    archive.shown = path;
    int error = 0;
    if (ownStage_ == nullptr) {
      error = OpenForReading(stage_->Stage(), qx::common::basename(path), archive.fd);
    } else {
      archive.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (archive.fd < 0) error = errno;
    }
    if (error == 0) return true;
    qxerr << "Unable to read [" << path << "]: " << ErrorText(error) << "\n";
    return false;
  }

  // Unpacks, merges the old version in when overwriting, prepares, records
  // and publishes. True with the version directory once published.
  bool Finish(const ArchiveToUnpack &archive, std::string &versionDirectory) {
    std::unique_ptr<Directory> tree;
    std::vector<ExtractedFile> unpacked;
    if (!MakeTree(tree) || !Unpack(archive, *tree, unpacked)) return false;
    if (existed_ && !KeepOldFiles(*tree)) return false;
    std::vector<std::string> changed;
    if (save_.prepare && !save_.prepare(*tree, directory_, changed)) return false;
    if (!Record(*tree, unpacked, changed)) return false;
    tree.reset();
    // A new version gets its record first, so it never appears without one
    // (a record without its version misleads nothing); a version replaced
    // keeps its own record until the swap.
    PathStatus record;
    if (!existed_ && (!RecordIdentity(record) || !MoveRecord())) return false;
    const Published published = Publish();
    if (published == Published::kFailed) {
      if (!existed_) RemoveRecordIfOurs(record);
      return false;
    }
    // A copy published by another save is of the same content: the record
    // is as good for it as its own (which that save moves in too).
    if (existed_ && published == Published::kOurs && !MoveRecord()) return false;
    versionDirectory = directory_;
    return true;
  }

 private:
  StagingDirectory *AdoptedStage(const std::string &archive) const {
    if (archive.empty()) return nullptr;
    StagingDirectory *stage = StagingDirectory::Find(qx::common::parentPath(archive));
    if (stage == nullptr ||
        stage->ResourceDirectory() != ResourceDirectory(save_.root, save_.uniqueName))
      return nullptr;
    return stage;
  }

  bool MakeTree(std::unique_ptr<Directory> &tree) {
    int error = fileSystem_.CreateDirectoryAt(stage_->Stage(), StagedTreeName());
    if (error == 0) error = fileSystem_.OpenDirectoryAt(stage_->Stage(), StagedTreeName(), tree);
    if (error == 0) return true;
    qxerr << "Unable to create directory [" << stage_->Join(StagedTreeName())
          << "]: " << ErrorText(error) << "\n";
    return false;
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
    return false;
  }

  bool KeepOldFiles(const Directory &tree) {
    std::string error;
    std::unique_ptr<Directory> old;
    switch (OpenCacheEntry(fileSystem_, stage_->Resource(), save_.version, &old, error)) {
      case Entry::kMissing: return true;  // removed meanwhile: nothing to keep
      case Entry::kRefused: qxerr << error << "\n"; return false;
      case Entry::kDirectory: break;
    }
    std::string failed;
    const int copied = addMissing(fileSystem_, *old, tree, true, ArchiveFileName(save_.name), failed);
    if (copied == 0) return true;
    qxerr << "Unable to keep the files of [" << directory_ << "] at [" << failed
          << "]: " << ErrorText(copied) << "\n";
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
    if (error == 0) return true;
    qxerr << "Unable to write [" << stage_->Join(StagedRecordName()) << "]: " << ErrorText(error)
          << "\n";
    return false;
  }

  // Which file the record in the staging directory is.
  bool RecordIdentity(PathStatus &record) {
    const int error = fileSystem_.StatusAt(stage_->Stage(), StagedRecordName(), record);
    if (error == 0 && record.exists) return true;
    qxerr << "Unable to read [" << stage_->Join(StagedRecordName())
          << "]: " << ErrorText(error != 0 ? error : ENOENT) << "\n";
    return false;
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
    if (error == 0) return true;
    qxerr << "Unable to write [" << stage_->Resource().Join(name) << "]: " << ErrorText(error)
          << "\n";
    return false;
  }

  Published Publish() {
    const Directory &stage = stage_->Stage();
    const Directory &resource = stage_->Resource();
    const std::string tree = StagedTreeName();
    for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
      const int renamed = fileSystem_.RenameAt(stage, tree, resource, save_.version);
      if (renamed == 0) return Published::kOurs;
      if (!isDirectoryThere(renamed)) return Failed(renamed);
      // Another save published this version since ours began: its content
      // is the same, so ours is dropped with the staging directory.
      if (!existed_) {
        qxdbg << "Version [" << directory_ << "] was published meanwhile; using it\n";
        return Published::kTheirs;
      }
      const int swapped = fileSystem_.ExchangeAt(stage, tree, resource, save_.version);
      if (swapped == 0) return Published::kOurs;
      // Removed between the two steps: publish it again.
      if (swapped == ENOENT) continue;
      if (!swapUnsupported(swapped)) return Failed(swapped);
      const int replaced = ReplaceInTwoSteps();
      if (replaced == 0) return Published::kOurs;
      if (replaced != ENOENT) return Failed(replaced);
    }
    return Failed(EBUSY);
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

  Published Failed(int error) {
    qxerr << "Unable to publish [" << directory_ << "]: " << ErrorText(error) << "\n";
    return Published::kFailed;
  }

  FileSystem &fileSystem_;
  const VersionToSave &save_;
  const std::string directory_;
  bool existed_ = false;
  // The staging directory, made by this save (ownStage_) or adopted.
  std::unique_ptr<StagingDirectory> ownStage_;
  StagingDirectory *stage_ = nullptr;
};

}  // namespace

bool CacheWriter::SaveArchiveFile(const VersionToSave &save, const std::string &archive,
                                  std::string &versionDirectory) {
  bool saved = false;
  {
    Save one(fileSystem_, save);
    ArchiveToUnpack opened;
    saved = one.Begin(archive) && one.OpenArchive(archive, opened) &&
            one.Finish(opened, versionDirectory);
    if (opened.fd >= 0) ::close(opened.fd);
  }
  if (!saved) RemoveUnusedResource(fileSystem_, save.root, save.uniqueName);
  return saved;
}

bool CacheWriter::SaveArchiveData(const VersionToSave &save, const std::string &data,
                                  std::string &versionDirectory) {
  bool saved = false;
  {
    Save one(fileSystem_, save);
    ArchiveToUnpack written;
    saved = one.Begin() && one.WriteArchive(data, written) && one.Finish(written, versionDirectory);
    if (written.fd >= 0) ::close(written.fd);
  }
  if (!saved) RemoveUnusedResource(fileSystem_, save.root, save.uniqueName);
  return saved;
}

}  // namespace qx::quarn_tools::internal::cache
