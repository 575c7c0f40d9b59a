/*
 * One repository server: its URL, the API version segment put in front of
 * every route, and the private API key. A value type (deep copies); one
 * object may be read from several threads but not written while read.
 */
#ifndef QX_QUARN_TOOLS_SERVERCONFIG_HH_
#define QX_QUARN_TOOLS_SERVERCONFIG_HH_

#include <memory>
#include <string>

#include <qx/common/URI.hh>
#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// The public repository that a default configuration knows.
QX_QUARN_TOOLS_VISIBLE extern const char *const kDefaultServerUrl;

class QX_QUARN_TOOLS_VISIBLE ServerConfig {
 public:
  // The default server URL, no API key, API version "1.0".
  ServerConfig();
  ServerConfig(const ServerConfig &other);
  ServerConfig &operator=(const ServerConfig &other);
  ~ServerConfig();

  // Empty URL, empty API key, API version "1.0".
  void Clear();

  qx::common::URI Url() const;
  // Stores a copy; no validation.
  void SetUrl(const qx::common::URI &url);

  std::string ApiKey() const;
  void SetApiKey(const std::string &key);

  std::string Version() const;
  void SetVersion(const std::string &version);

  // Three lines "URL: ", "Version: ", "API key: ", each after `prefix`.
  std::string AsString(const std::string &prefix = "") const;
  // Coloured lines for terminals; only non-empty (and valid) fields.
  std::string AsPrettyString(const std::string &prefix = "") const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SERVERCONFIG_HH_
