#include "ClientSetup.hh"

#include <cstdlib>

#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/qx.hh>

#include "OutcomeObjects.hh"

namespace qx::quarn_python {

namespace {

using qx::quarn_tools::ClientConfig;
using qx::quarn_tools::FailureReason;

std::string environment(const char *name) {
  const char *value = std::getenv(name);
  return value == nullptr ? "" : value;
}

}  // namespace

ClientConfig clientConfig(const ClientSettings &settings) {
  const std::string path = settings.configPath.value_or("");
  bool loaded = true;
  ClientConfig config = qx::quarn_tools::commandConfig(path.empty() ? nullptr : path.c_str(), loaded);
  if (!loaded)
    raiseFailure(FailureReason::kOther, "the configuration file [" + path + "] did not load");
  // The library reads a file by itself only from QX_QUARN_CACHE_PATH; the
  // tool also reads the one in HOME, where `quarn login` keeps tokens.
  if (path.empty() && environment("QX_QUARN_CACHE_PATH").empty()) {
    const std::string file = qx::quarn_tools::defaultConfigFile();
    if (!file.empty() && qx::common::exists(file)) config.LoadConfig(file);
  }
  if (settings.cacheDir && !settings.cacheDir->empty()) config.SetCacheLocation(*settings.cacheDir);
  if (config.CacheLocation().empty())
    raiseFailure(FailureReason::kCache,
                 "no cache directory: give cache_dir, or set QX_QUARN_CACHE_PATH or HOME");
  config.SetOffline(settings.offline || qx::quarn_tools::offlineByEnvironment());
  return config;
}

std::string clientToken(const ClientSettings &settings) {
  if (settings.token) return *settings.token;
  return environment("QX_QUARN_TOKEN");
}

}  // namespace qx::quarn_python
