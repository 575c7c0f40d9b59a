#include "CommandSupport.hh"

#include <cstdlib>
#include <optional>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "QuietDefaultCache.hh"
#include "qx/quarn_tools/qx.hh"

namespace qx::quarn_tools {
namespace command {

namespace {

// Verbosity from which the commands describe what they do.
constexpr int kChattyVerbosity = 3;

constexpr const char *kCyan = "\033[36m";
constexpr const char *kDefaultColour = "\033[39m";

}  // namespace

bool given(const char *text) { return text != nullptr && *text != '\0'; }

bool required(const char *text, const char *function, const char *what) {
  if (text != nullptr) return true;
  qxerr << "[" << function << "] The " << what << " must not be a null pointer.\n";
  return false;
}

bool truthy(const char *text) {
  if (!given(text)) return false;
  const std::string lowered = qx::common::lowercase(text);
  return lowered == "true" || lowered == "1";
}

std::vector<std::string> headerList(const char *header) {
  if (!given(header)) return {};
  return {header};
}

bool chatty() { return qx::common::Console::Verbosity() >= kChattyVerbosity; }

void printIdentifier(const std::string &heading, const std::string &prettyDump) {
  std::cout << heading << kCyan << "\n" << prettyDump << kDefaultColour << "\n";
}

void reportUnexpected(const char *function, const char *what) noexcept {
  try {
    qxerr << "[" << function << "] Unexpected failure: " << what << "\n";
  } catch (...) {
  }
}

ExitOnInterrupt::ExitOnInterrupt() {
  handler_.AddCallback([](int signal) {
    if (signal != 2 && signal != 15) return;
    std::cout.flush();
    std::_Exit(1);
  });
}

}  // namespace command

ClientConfig commandConfig(const char *configPath) {
  bool loaded = true;
  return commandConfig(configPath, loaded);
}

ClientConfig commandConfig(const char *configPath, bool &loaded) {
  const bool fromFile = command::given(configPath);
  std::optional<internal::QuietDefaultCache> quiet;
  // The file may name the cache: a missing default is told only when it
  // does not (reading it looks for the default again).
  if (fromFile) quiet.emplace();
  ClientConfig config;
  quiet.reset();
  loaded = true;
  if (fromFile) {
    // Only what the file says; a file that names no cache (or that does not
    // load) must not leave the cache at an empty, working-directory path.
    const std::string defaultCache = config.CacheLocation();
    config.Clear();
    loaded = config.LoadConfig(configPath);
    if (config.CacheLocation().empty()) config.SetCacheLocation(defaultCache);
  }
  config.SetUserAgent(command::kUserAgent);
  return config;
}

}  // namespace qx::quarn_tools

namespace qx::quarn_tools {

namespace {

std::string environment(const char *name) {
  std::string value;
  qx::common::env(name, value);
  return value;
}

// config.yaml in `directory`, or config.yml when only that one exists.
std::string configFileIn(const std::string &directory) {
  const std::string yaml = qx::common::joinPaths(directory, "config.yaml");
  const std::string yml = qx::common::joinPaths(directory, "config.yml");
  return !qx::common::exists(yaml) && qx::common::exists(yml) ? yml : yaml;
}

}  // namespace

std::string defaultConfigFile() {
  const std::string cachePath = environment("QX_QUARN_CACHE_PATH");
  if (!cachePath.empty()) return configFileIn(cachePath);
  const std::string home = environment("HOME");
  if (home.empty()) return "";
  return configFileIn(qx::common::joinPaths(home, ".qx", "quarn"));
}

bool offlineByEnvironment() {
  const std::string value = qx::common::lowercase(environment("QX_QUARN_OFFLINE"));
  return value == "1" || value == "true" || value == "yes";
}

}  // namespace qx::quarn_tools
