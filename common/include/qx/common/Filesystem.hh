/*
 * Path and filesystem helpers. All are free functions that may run on any
 * thread; none throws (filesystem errors become false or an empty result).
 * Paths use "/" as separator on every platform this library is built for.
 */
#ifndef QX_COMMON_FILESYSTEM_HH_
#define QX_COMMON_FILESYSTEM_HH_

#include <memory>
#include <string>
#include <vector>

namespace qx::common {

enum FilesystemWarningOp {
  FSWO_LOG_WARNINGS = 0,       // failures write a warning line
  FSWO_SUPPRESS_WARNINGS = 1,  // failures are silent
};

// `a` and `b` with exactly one "/" between them: trailing separators of `a`
// and leading separators of `b` are dropped at the junction, nothing else is
// touched (so "https://host" joined with "o" gives "https://host/o"). An
// empty `a` gives "/" + b.
std::string joinPaths(const std::string &a, const std::string &b);

// joinPaths applied left to right: joinPaths(joinPaths(a, b), c) ...
template <typename... Rest>
std::string joinPaths(const std::string &a, const std::string &b, const Rest &...rest) {
  return joinPaths(joinPaths(a, b), rest...);
}

bool exists(const std::string &path);
bool isDirectory(const std::string &path);
bool isFile(const std::string &path);

// Creates `path` and its missing parents. True when the directory exists
// afterwards (also when it existed before).
bool createDirectories(const std::string &path);

// Removes a file or an empty directory. True on success; a missing path is
// a failure. Failures write the warning "Unable to remove [path]: reason"
// unless suppressed.
bool removeDirectoryOrFile(const std::string &path,
                           FilesystemWarningOp warningOp = FSWO_LOG_WARNINGS);

// Removes a file or a whole directory tree (a symbolic link itself, not its
// target). True when nothing is left, also when nothing was there. Failures
// write the warning "Unable to remove all of [path]: reason" unless
// suppressed.
bool removeAll(const std::string &path,
               FilesystemWarningOp warningOp = FSWO_LOG_WARNINGS);

// The absolute, lexically normalised form of `path` (relative paths are taken
// from the current directory); no symbolic links are resolved, no trailing
// separator is kept. The empty text gives the empty text.
std::string absPath(const std::string &path);

// The last component of `path`, ignoring trailing separators: "a/b/" gives
// "b", "/" gives "/", "" gives "".
std::string basename(const std::string &path);

// The path without its last component, ignoring trailing separators and
// dropping the separators before that component: "a/b/c" and "a/b/c/" give
// "a/b", "/a" gives "/", "/" stays "/", "a" and "" give "".
std::string parentPath(const std::string &path);

// Separators to "/" (a copy) and back to the platform's (in place). Both are
// the identity on POSIX.
std::string copyToUnixPath(const std::string &path);
void changeFromUnixPath(std::string &path);

// `s` followed by the platform separator; separator("") is "/".
std::string separator(const std::string &s);

// The entries of one directory (not recursive, without "." and ".."), in
// byte order of the names. Dereferencing gives the entry's full path
// (joinPaths of the directory and the name), the end gives the empty text.
// The listing is taken when the iterator is made; copies share it. A default DirIter is
// the end; a path that does not exist or is no directory yields no entry.
class DirIter {
 public:
  DirIter();
  explicit DirIter(const std::string &directory);
  DirIter(const DirIter &other);
  DirIter &operator=(const DirIter &other);
  ~DirIter();

  std::string operator*() const;
  DirIter &operator++();
  bool operator==(const DirIter &other) const;
  bool operator!=(const DirIter &other) const;

 private:
  std::shared_ptr<const std::vector<std::string>> entries_;
  std::size_t index_ = 0;
};

}  // namespace qx::common

#endif  // QX_COMMON_FILESYSTEM_HH_
