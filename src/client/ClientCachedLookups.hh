/*
 * Lookups of cached resources and files by URL: they never touch the
 * network. Reads the client's cache and URL binding (neither owned); any
 * thread. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CLIENTCACHEDLOOKUPS_HH_
#define QX_QUARN_TOOLS_SRC_CLIENTCACHEDLOOKUPS_HH_

#include <memory>
#include <optional>
#include <qx/common/URI.hh>
#include <string>

#include "ResourceUrls.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools::internal {

class ClientCachedLookups {
 public:
  ClientCachedLookups(const std::shared_ptr<LocalCache> &cache, const ResourceUrls &urls);

  // As QuarnClient's operations of the same names.
  Result CachedModel(const ModelIdentifier &id, std::string &path) const;
  Result CachedModel(const qx::common::URI &url, std::string &path) const;
  Result CachedWorld(const qx::common::URI &url, std::string &path) const;
  bool CachedWorld(const qx::common::URI &url) const;
  Result CachedModelFile(const qx::common::URI &url, std::string &path) const;
  Result CachedWorldFile(const qx::common::URI &url, std::string &path) const;

 private:
  const std::shared_ptr<LocalCache> &cache_;
  const ResourceUrls &urls_;
};

// The path of the file `filePath` of the version directory `directory`, as
// a lookup names it: for a model with every run of "/" collapsed to one,
// for a world joined as it stands. A file path that would climb out of the
// directory gives nothing.
std::optional<std::string> FileInVersion(const std::string &directory, const std::string &filePath,
                                         bool model);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTCACHEDLOOKUPS_HH_
