/*
 * The configuration of a quarn.Client or quarn.Cache, read as the quarn
 * tool reads it: the file given alone, else the default configuration and
 * the default file (config.yaml, else config.yml, in QX_QUARN_CACHE_PATH or
 * HOME/.qx/quarn) when it exists; QX_QUARN_OFFLINE; QX_QUARN_TOKEN for a
 * client given no token. Call with the GIL.
 */
#ifndef QX_QUARN_PYTHON_CLIENTSETUP_HH_
#define QX_QUARN_PYTHON_CLIENTSETUP_HH_

#include <optional>
#include <string>

#include <qx/quarn_tools/ClientConfig.hh>

namespace qx::quarn_python {

struct ClientSettings {
  std::optional<std::string> configPath;
  std::optional<std::string> cacheDir;
  bool offline = false;
  std::optional<std::string> token;
};

// The configuration; raises quarn.Error when the file given does not load
// or no cache directory is known.
qx::quarn_tools::ClientConfig clientConfig(const ClientSettings &settings);

// The token a client sends to the server of each call's URL: the one given,
// else QX_QUARN_TOKEN; empty for none.
std::string clientToken(const ClientSettings &settings);

}  // namespace qx::quarn_python

#endif  // QX_QUARN_PYTHON_CLIENTSETUP_HH_
