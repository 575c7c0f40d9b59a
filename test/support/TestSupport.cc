#include "support/TestSupport.hh"

#include <gtest/gtest.h>

#include "RestClientInternal.hh"

#include <algorithm>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qx::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "qx-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::Join(const std::string &relative) const {
  return (fs::path(path_) / relative).string();
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string> &value)
    : name_(std::move(name)) {
  if (const char *old = std::getenv(name_.c_str())) previous_ = std::string(old);
  if (value)
    setenv(name_.c_str(), value->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  if (previous_)
    setenv(name_.c_str(), previous_->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

IsolatedHome::IsolatedHome(bool withCachePath)
    : cache_(withCachePath ? cacheDir_.Path() : home_.Join(".qx/quarn")),
      homeEnv_("HOME", home_.Path()),
      cacheEnv_("QX_QUARN_CACHE_PATH",
                withCachePath ? std::optional<std::string>(cacheDir_.Path())
                              : std::nullopt),
      xdgCacheEnv_("XDG_CACHE_HOME", std::nullopt) {}

namespace {

const LogCapture *gCurrentCapture = nullptr;

// Tests retry as the library does, only without the waits that would make
// every failing case slow; those that measure waits set their own.
class QuickRetries : public ::testing::Environment {
 public:
  void SetUp() override {
    qx::quarn_tools::internal::TransferSettings settings =
        qx::quarn_tools::internal::CurrentTransferSettings();
    settings.firstBackoffSeconds = 0.01;
    settings.retryAfterCapSeconds = 0.2;
    qx::quarn_tools::internal::SetTransferSettings(settings);
  }
};
[[maybe_unused]] ::testing::Environment *const gQuickRetries =
    ::testing::AddGlobalTestEnvironment(new QuickRetries);

}  // namespace

const LogCapture *LogCapture::Current() { return gCurrentCapture; }

LogCapture::LogCapture()
    : outer_(gCurrentCapture), previousVerbosity_(qx::common::Console::Verbosity()) {
  gCurrentCapture = this;
  previous_ = qx::common::Console::SetSink([this](int level, const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(level, line);
  });
  qx::common::Console::SetVerbosity(4);
}

LogCapture::~LogCapture() {
  gCurrentCapture = outer_;
  qx::common::Console::SetSink(previous_);
  qx::common::Console::SetVerbosity(previousVerbosity_);
}

std::vector<std::pair<int, std::string>> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string LogCapture::Text() const {
  std::string text;
  for (const auto &line : Lines()) text += line.second;
  return text;
}

bool LogCapture::Contains(const std::string &text, int level) const {
  return Count(text, level) > 0;
}

int LogCapture::Count(const std::string &text, int level) const {
  int count = 0;
  for (const auto &line : Lines()) {
    if ((level == 0 || line.first == level) &&
        line.second.find(text) != std::string::npos)
      ++count;
  }
  return count;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::map<std::string, std::string> TreeFiles(const std::string &root) {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), root).generic_string();
    if (it->is_symlink()) {
      files[relative] = "-> " + fs::read_symlink(it->path(), ec).string();
    } else if (it->is_directory()) {
      files[relative] = "/";
    } else {
      files[relative] = ReadFile(it->path().string());
    }
  }
  return files;
}

std::vector<std::string> EntryNames(const std::string &directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const std::string &path, const std::string &content) {
  const fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string IncompressibleBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9e3779b97f4a7c15ull * (seed + 1);
  for (std::size_t i = 0; i < size; ++i) {
    // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    bytes[i] = static_cast<char>((state * 0x2545f4914f6cdd1dull) >> 56);
  }
  return bytes;
}

}  // namespace qx::test
