#include "qx/quarn_tools/Zip.hh"

#include <zip.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>

#include "FileSystem.hh"
#include "ZipExtraction.hh"
#include "ZipHandles.hh"

namespace qx::quarn_tools {
namespace {

using internal::ArchivePtr;
using internal::closeArchive;
using internal::SourcePtr;

ArchivePtr openArchive(const std::string &path, int flags) {
  int error = 0;
  return ArchivePtr(zip_open(path.c_str(), flags, &error));
}

std::string archiveError(zip_t *archive) {
  return zip_error_strerror(zip_get_error(archive));
}

// Adds a tree to an open archive. Directory links that lead back into a
// directory being packed are skipped, so a link loop cannot nest forever.
class Packer {
 public:
  explicit Packer(zip_t *archive) : archive_(archive) {}

  // Adds `path` under `entryName`; false when the entry itself could not be
  // added (failures of children are logged and skipped).
  bool Add(const std::string &path, const std::string &entryName) {
    if (qx::common::isDirectory(path)) return AddDirectory(path, entryName);
    if (qx::common::isFile(path)) return AddFile(path, entryName);
    // Neither a directory nor a regular file (a dangling link, a socket...).
    return true;
  }

 private:
  bool AddDirectory(const std::string &path, const std::string &entryName) {
    std::error_code ec;
    const std::string real = std::filesystem::canonical(path, ec).string();
    if (!ec && std::find(open_.begin(), open_.end(), real) != open_.end()) {
      qxwarn << "Skipping directory link loop: " << path << "\n";
      return true;
    }
    if (zip_dir_add(archive_, entryName.c_str(), 0) < 0) {
      qxerr << "Error adding directory to zip: " << path << "\n";
      return false;
    }
    open_.push_back(real);
    for (qx::common::DirIter it(path), end; it != end; ++it) {
      const std::string child = *it;
      const std::string childEntry =
          qx::common::joinPaths(entryName, qx::common::basename(child));
      if (!Add(child, childEntry))
        qxerr << "Error compressing file: " << child << "\n";
    }
    open_.pop_back();
    return true;
  }

  bool AddFile(const std::string &path, const std::string &entryName) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff length = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    SourcePtr source;
    if (length >= 0)
      source.reset(zip_source_file(archive_, path.c_str(), 0, length));
    if (!source) {
      qxerr << "Error adding file to zip: " << path << "\n";
      return false;
    }
    if (zip_file_add(archive_, entryName.c_str(), source.get(), 0) < 0) {
      qxerr << "Error adding file to zip: " << path << "\n";
      return false;
    }
    // The archive owns the source now.
    source.release();
    return true;
  }

  zip_t *archive_;
  std::vector<std::string> open_;
};

bool compress(const std::string &src, const std::string &dst) {
  if (!qx::common::exists(src)) {
    qxerr << "Directory does not exist: " << src << "\n";
    return false;
  }
  ArchivePtr archive = openArchive(dst, ZIP_CREATE);
  if (!archive) {
    qxerr << "Error opening zip archive: '" << dst << "'\n";
    return false;
  }
  const bool added = Packer(archive.get()).Add(src, qx::common::basename(src));
  if (!added) qxerr << "Error compressing file: " << src << "\n";
  // libzip reads the files and writes the archive only now.
  if (!closeArchive(archive)) {
    qxerr << "Error writing zip archive: '" << dst << "': " << archiveError(archive.get())
          << "\n";
    return false;
  }
  return added;
}

}  // namespace

bool Zip::Compress(const std::string &src, const std::string &dst) {
  try {
    return compress(src, dst);
  } catch (const std::exception &e) {
    qxerr << "Error compressing file: " << src << ": " << e.what() << "\n";
    return false;
  }
}

bool Zip::Extract(const std::string &src, const std::string &dst) {
  return internal::ExtractArchive(src, dst, internal::ExtractOptions(),
                                  internal::CurrentFileSystem());
}

}  // namespace qx::quarn_tools
