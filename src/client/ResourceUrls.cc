#include "ResourceUrls.hh"

#include <qx/common/Console.hh>

#include "IdentifierText.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools::internal {

namespace {

// How a configured server is recognised: model URLs compare the text forms
// of the two server URLs, the others compare the URIs.
enum class ServerComparison { kText, kUri };

bool SameServer(const qx::common::URI &a, const qx::common::URI &b, ServerComparison comparison) {
  return comparison == ServerComparison::kText ? a.Str() == b.Str() : a == b;
}

// The server record a matched URL names: scheme and authority, and the API
// version the URL asks for; replaced by the configured server of the same
// URL when there is one.
ServerConfig ServerOf(const UrlMatch &match, const ClientConfig &config,
                      ServerComparison comparison) {
  qx::common::URI url;
  url.SetScheme(match.scheme);
  url.SetAuthority(qx::common::URIAuthority("//" + match.authority));

  ServerConfig server;
  server.SetUrl(url);
  server.SetVersion(match.apiVersion);
  for (const auto &configured : config.Servers()) {
    if (!SameServer(configured.Url(), url, comparison)) continue;
    if (!match.apiVersion.empty() && configured.Version() != match.apiVersion) {
      qxwarn << "Requested server API version [" << match.apiVersion << "] for server ["
             << configured.Url().Str() << "], but will use [" << configured.Version()
             << "] as given in the config file.\n";
    }
    server = configured;
    break;
  }
  if (server.Version().empty()) {
    qxwarn << "Server configuration is incomplete:\n" << internal::ServerForLog(server);
  }
  return server;
}

// Fills a model or world identifier from a match. The version must fit the
// identifier (a signed 32-bit number): a URL asking for more is refused
// before anything is written.
template <typename Identifier>
bool FillVersioned(const UrlMatch &match, const ClientConfig &config, ServerComparison comparison,
                   Identifier &id) {
  unsigned int version = 0;
  if (!identifier::ParseVersionText(match.version, version)) return false;
  id.Server() = ServerOf(match, config, comparison);
  id.SetOwner(match.owner);
  id.SetName(match.name);
  id.SetVersion(version);
  return true;
}

}  // namespace

ResourceUrls::ResourceUrls(const UrlGrammar &grammar, const ClientConfig &config)
    : grammar_(grammar), config_(config) {}

bool ResourceUrls::ParseModelUrl(const qx::common::URI &url, ModelIdentifier &id) const {
  UrlMatch match;
  return grammar_.Match(UrlGrammar::kModel, url, match) &&
         FillVersioned(match, config_, ServerComparison::kText, id);
}

bool ResourceUrls::ParseWorldUrl(const qx::common::URI &url, WorldIdentifier &id) const {
  UrlMatch match;
  return grammar_.Match(UrlGrammar::kWorld, url, match) &&
         FillVersioned(match, config_, ServerComparison::kUri, id);
}

bool ResourceUrls::ParseModelFileUrl(const qx::common::URI &url, ModelIdentifier &id,
                                     std::string &filePath) const {
  UrlMatch match;
  if (!grammar_.Match(UrlGrammar::kModelFile, url, match) ||
      !FillVersioned(match, config_, ServerComparison::kText, id))
    return false;
  filePath = match.filePath;
  return true;
}

bool ResourceUrls::ParseWorldFileUrl(const qx::common::URI &url, WorldIdentifier &id,
                                     std::string &filePath) const {
  UrlMatch match;
  if (!grammar_.Match(UrlGrammar::kWorldFile, url, match) ||
      !FillVersioned(match, config_, ServerComparison::kUri, id))
    return false;
  filePath = match.filePath;
  return true;
}

bool ResourceUrls::ParseCollectionUrl(const qx::common::URI &url, CollectionIdentifier &id) const {
  UrlMatch match;
  if (!grammar_.Match(UrlGrammar::kCollection, url, match)) return false;
  id.Server() = ServerOf(match, config_, ServerComparison::kUri);
  id.SetOwner(match.owner);
  id.SetName(match.name);
  return true;
}

}  // namespace qx::quarn_tools::internal
