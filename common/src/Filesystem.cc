#include "qx/common/Filesystem.hh"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "qx/common/Console.hh"

namespace fs = std::filesystem;

namespace qx::common {
namespace {

const char kSeparator = '/';

std::size_t trailingStart(const std::string &path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == kSeparator) --end;
  return end;
}

// `path` without trailing separators, except that a path made only of
// separators keeps one.
std::string withoutTrailingSeparators(const std::string &path) {
  std::size_t end = trailingStart(path);
  if (end == 0) return path.empty() ? path : std::string(1, kSeparator);
  return path.substr(0, end);
}

void warnFailure(FilesystemWarningOp warningOp, const char *what,
                 const std::string &path, const std::error_code &ec) {
  if (warningOp == FSWO_SUPPRESS_WARNINGS) return;
  qxwarn << "Unable to " << what << " [" << path << "]: "
         << (ec ? ec.message() : std::string("no such file or directory")) << "\n";
}

}  // namespace

std::string joinPaths(const std::string &a, const std::string &b) {
  std::size_t bStart = b.find_first_not_of(kSeparator);
  if (bStart == std::string::npos) bStart = b.size();
  std::string result = a.substr(0, trailingStart(a));
  result += kSeparator;
  result.append(b, bStart, std::string::npos);
  return result;
}

bool exists(const std::string &path) {
  std::error_code ec;
  return !path.empty() && fs::exists(path, ec);
}

bool isDirectory(const std::string &path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

bool isFile(const std::string &path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

bool createDirectories(const std::string &path) {
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(path, ec);
  return isDirectory(path);
}

bool removeDirectoryOrFile(const std::string &path, FilesystemWarningOp warningOp) {
  std::error_code ec;
  if (!path.empty() && fs::remove(path, ec)) return true;
  warnFailure(warningOp, "remove", path, ec);
  return false;
}

bool removeAll(const std::string &path, FilesystemWarningOp warningOp) {
  if (path.empty()) return true;
  std::error_code ec;
  fs::remove_all(path, ec);
  std::error_code statEc;
  bool left = fs::exists(fs::symlink_status(path, statEc));
  if (!ec && !left) return true;
  warnFailure(warningOp, "remove all of", path, ec);
  return false;
}

std::string absPath(const std::string &path) {
  if (path.empty()) return std::string();
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return std::string();
  return withoutTrailingSeparators(absolute.lexically_normal().string());
}

std::string basename(const std::string &path) {
  std::string trimmed = withoutTrailingSeparators(path);
  if (trimmed.size() <= 1) return trimmed;
  std::size_t slash = trimmed.rfind(kSeparator);
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string parentPath(const std::string &path) {
  std::string trimmed = withoutTrailingSeparators(path);
  std::size_t slash = trimmed.rfind(kSeparator);
  if (slash == std::string::npos) return std::string();
  // The separators between the parent and the last component go too, but the
  // root stays.
  return withoutTrailingSeparators(trimmed.substr(0, slash + 1));
}

std::string copyToUnixPath(const std::string &path) { return path; }

void changeFromUnixPath(std::string &) {}

std::string separator(const std::string &s) { return s + kSeparator; }

namespace {

std::shared_ptr<const std::vector<std::string>> listDirectory(const std::string &directory) {
  auto entries = std::make_shared<std::vector<std::string>>();
  if (directory.empty()) return entries;
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    entries->push_back(it->path().filename().string());
  }
  std::sort(entries->begin(), entries->end());
  for (std::string &name : *entries) name = joinPaths(directory, name);
  return entries;
}

}  // namespace

DirIter::DirIter() = default;

DirIter::DirIter(const std::string &directory) {
  try {
    entries_ = listDirectory(directory);
  } catch (...) {
    // Out of memory while listing: the iterator is the end.
    entries_.reset();
  }
}

DirIter::DirIter(const DirIter &other) = default;
DirIter &DirIter::operator=(const DirIter &other) = default;
DirIter::~DirIter() = default;

std::string DirIter::operator*() const {
  if (!entries_ || index_ >= entries_->size()) return std::string();
  return (*entries_)[index_];
}

DirIter &DirIter::operator++() {
  if (entries_ && index_ < entries_->size()) ++index_;
  return *this;
}

bool DirIter::operator==(const DirIter &other) const {
  bool atEnd = !entries_ || index_ >= entries_->size();
  bool otherAtEnd = !other.entries_ || other.index_ >= other.entries_->size();
  if (atEnd || otherAtEnd) return atEnd == otherAtEnd;
  return entries_ == other.entries_ && index_ == other.index_;
}

bool DirIter::operator!=(const DirIter &other) const { return !(*this == other); }

}  // namespace qx::common
