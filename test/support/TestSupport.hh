/*
 * Helpers shared by the tests: temporary directories, environment overrides,
 * log capture and small file writers.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_TESTSUPPORT_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_TESTSUPPORT_HH_

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>

namespace qx::test {

// A fresh directory under the system's temporary directory, removed with all
// its content when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &Path() const { return path_; }
  // Path() joined with `relative`.
  std::string Join(const std::string &relative) const;

 private:
  std::string path_;
};

// Sets (or, with std::nullopt, unsets) an environment variable for the
// object's lifetime and restores the previous value afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string> &value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// HOME pointing at a temporary directory, QX_QUARN_CACHE_PATH unset (or
// pointing at a cache directory of its own with `withCachePath`) and
// XDG_CACHE_HOME unset, so no test reads or writes the real home or caches.
class IsolatedHome {
 public:
  explicit IsolatedHome(bool withCachePath = false);

  const std::string &Home() const { return home_.Path(); }
  // The cache directory: HOME/.qx/quarn, or the QX_QUARN_CACHE_PATH one.
  const std::string &Cache() const { return cache_; }

 private:
  TempDir home_;
  TempDir cacheDir_;
  std::string cache_;
  ScopedEnv homeEnv_;
  ScopedEnv cacheEnv_;
  ScopedEnv xdgCacheEnv_;
};

// Collects the log lines written while it lives, at full verbosity.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // (level, line) pairs in the order written.
  std::vector<std::pair<int, std::string>> Lines() const;
  // All lines concatenated.
  std::string Text() const;
  // Whether some line of `level` (0: any level) contains `text`.
  bool Contains(const std::string &text, int level = 0) const;
  // How many lines of `level` (0: any level) contain `text`.
  int Count(const std::string &text, int level = 0) const;
  void Clear();

  // The capture made most recently of those still alive, or null: matchers
  // print what it caught when they fail.
  static const LogCapture *Current();

 private:
  const LogCapture *outer_;
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
  qx::common::Console::Sink previous_;
  int previousVerbosity_;
};

// Every file below `root` (links not followed) by its "/"-separated path
// relative to `root`: a regular file's content, "-> TARGET" for a link, "/"
// for a directory.
std::map<std::string, std::string> TreeFiles(const std::string &root);

// The entry names of one directory, sorted (none when it does not exist).
std::vector<std::string> EntryNames(const std::string &directory);

// Writes `content` to `path`, creating parent directories.
void WriteFile(const std::string &path, const std::string &content);
// The content of `path`, or the empty text.
std::string ReadFile(const std::string &path);
// `size` bytes that do not compress, the same for the same seed.
std::string IncompressibleBytes(std::size_t size, unsigned seed = 1);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_TESTSUPPORT_HH_
