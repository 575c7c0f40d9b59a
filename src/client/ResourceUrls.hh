/*
 * The resource URL grammar bound to the configured servers: model, world,
 * file and collection URLs become identifiers whose server is the
 * configured one of the same URL when there is one. Reads the grammar and
 * the configuration it is given (neither owned); any thread, as long as the
 * configuration does not change meanwhile. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESOURCEURLS_HH_
#define QX_QUARN_TOOLS_SRC_RESOURCEURLS_HH_

#include <qx/common/URI.hh>
#include <string>

#include "UrlGrammar.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

class ResourceUrls {
 public:
  ResourceUrls(const UrlGrammar &grammar, const ClientConfig &config);

  // Each true with `id` (and the file path) filled when the URL is of that
  // kind; `id` is untouched otherwise.
  bool ParseModelUrl(const qx::common::URI &url, ModelIdentifier &id) const;
  bool ParseWorldUrl(const qx::common::URI &url, WorldIdentifier &id) const;
  bool ParseModelFileUrl(const qx::common::URI &url, ModelIdentifier &id,
                         std::string &filePath) const;
  bool ParseWorldFileUrl(const qx::common::URI &url, WorldIdentifier &id,
                         std::string &filePath) const;
  bool ParseCollectionUrl(const qx::common::URI &url, CollectionIdentifier &id) const;

 private:
  const UrlGrammar &grammar_;
  const ClientConfig &config_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESOURCEURLS_HH_
