/*
 * Changing a server: uploading a model directory, editing a model, deleting
 * a model or world, and the licence table that uploads need (filled from
 * the server the first time a model names a licence). Reads the client's
 * configuration, transport and URL binding (none owned) and owns the
 * licence table. Not meant to run concurrently with itself. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CLIENTUPLOADS_HH_
#define QX_QUARN_TOOLS_SRC_CLIENTUPLOADS_HH_

#include <map>
#include <qx/common/URI.hh>
#include <string>
#include <vector>

#include "ResourceUrls.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools::internal {

class ClientUploads {
 public:
  // `licenses` is the licence table to begin with (empty: asked of the
  // server when first needed).
  ClientUploads(const ClientConfig &config, const Rest &rest, const ResourceUrls &urls,
                std::map<std::string, unsigned int> licenses = {});

  // As QuarnClient's operations of the same names.
  Result UploadModel(const std::string &pathToModelDir, const ModelIdentifier &id,
                     const std::vector<std::string> &headers, bool isPrivate,
                     const std::string &owner);
  Result PatchModel(const ModelIdentifier &model, const std::vector<std::string> &headers,
                    const std::string &pathToModelDir);
  Result DeleteUrl(const qx::common::URI &uri, const std::vector<std::string> &headers);
  void PopulateLicenses(const ServerConfig &server);

  // The upload form of the model directory `directory`: its metadata, the
  // licence id, its files. False, with the reason logged, when the
  // directory cannot be described.
  bool FillModelForm(const std::string &directory, const ModelIdentifier &id, bool isPrivate,
                     const std::string &owner, std::multimap<std::string, std::string> &form);

 private:
  const ClientConfig &config_;
  const Rest &rest_;
  const ResourceUrls &urls_;
  std::map<std::string, unsigned int> licenses_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTUPLOADS_HH_
