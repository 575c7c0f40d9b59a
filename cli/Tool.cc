#include "Tool.hh"

#include <atomic>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/URI.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/qx.hh>

#include "LogLines.hh"

namespace qx::quarn_cli {

namespace {

std::atomic<bool> gStatusShown{true};

constexpr const char *kTokenVariable = "QX_QUARN_TOKEN";

std::string environment(const char *name) {
  std::string value;
  qx::common::env(name, value);
  return value;
}

void keepKeysSecret(const qx::quarn_tools::ClientConfig &config) {
  for (const auto &server : config.Servers()) addSecret(server.ApiKey());
}

}  // namespace

bool refusedOffline(const ToolOptions &options, const std::string &what) {
  if (!options.offline) return false;
  qxerr << "offline: " << what << " needs the server";
  return true;
}

void showStatus(bool shown) { gStatusShown = shown; }

bool statusShown() { return gStatusShown; }

void status(const std::string &line) {
  if (!gStatusShown) return;
  writeStandardError(printableLines(line) + "\n");
}

std::optional<qx::quarn_tools::ClientConfig> commandConfiguration(const ToolOptions &options,
                                                                  const std::string &configPath) {
  bool loaded = true;
  qx::quarn_tools::ClientConfig config =
      qx::quarn_tools::commandConfig(configPath.empty() ? nullptr : configPath.c_str(), loaded);
  // A file asked for by name must be read, or the command would quietly
  // work with other servers, tokens or cache than the user meant.
  if (!loaded) return std::nullopt;
  // The library reads a file by itself only from QX_QUARN_CACHE_PATH; the
  // tool also reads the one in HOME, where `quarn login` keeps tokens.
  if (configPath.empty() && environment("QX_QUARN_CACHE_PATH").empty()) {
    const std::string file = qx::quarn_tools::defaultConfigFile();
    if (!file.empty() && qx::common::exists(file)) config.LoadConfig(file);
  }
  config.SetOffline(options.offline);
  keepKeysSecret(config);
  return config;
}

bool hasCache(const qx::quarn_tools::ClientConfig &config) {
  // The configuration has logged why.
  return !config.CacheLocation().empty();
}

std::string serverUrlOf(const std::string &url) {
  const qx::common::URI uri(url, false);
  if (!uri.Valid() || uri.Scheme().empty() || !uri.Authority()) return "";
  qx::common::URI server;
  server.SetScheme(uri.Scheme());
  server.SetAuthority(*uri.Authority());
  return server.Str();
}

qx::quarn_tools::ServerConfig &configuredServer(qx::quarn_tools::ClientConfig &config,
                                                const std::string &serverUrl) {
  for (auto &server : config.MutableServers()) {
    if (server.Url().Str() == serverUrl) return server;
  }
  qx::quarn_tools::ServerConfig server;
  server.SetUrl(qx::common::URI(serverUrl, true));
  config.AddServer(server);
  return config.MutableServers().back();
}

void applyEnvironmentToken(qx::quarn_tools::ClientConfig &config, const std::string &url) {
  const std::string token = environment(kTokenVariable);
  const std::string server = serverUrlOf(url);
  if (token.empty() || server.empty()) return;
  addSecret(token);
  configuredServer(config, server).SetApiKey(token);
}

std::vector<std::string> headerLines(const std::string &header) {
  if (header.empty()) return {};
  const auto colon = header.find(':');
  if (colon != std::string::npos) addSecret(header.substr(colon + 1));
  return {header};
}

}  // namespace qx::quarn_cli
