// Binding parsed resource URLs to identifiers and to the configured servers.
#include <qx/common/Console.hh>

#include "IdentifierText.hh"
#include "QuarnClientPrivate.hh"
#include "ServerRequest.hh"

namespace qx::quarn_tools {

namespace {

// How a configured server is recognised: model URLs compare the text forms
// of the two server URLs, the others compare the URIs.
enum class ServerComparison { kText, kUri };

bool SameServer(const qx::common::URI &a, const qx::common::URI &b,
                ServerComparison comparison) {
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
bool FillVersioned(const UrlMatch &match, const ClientConfig &config,
                   ServerComparison comparison, Identifier &id) {
  unsigned int version = 0;
  if (!identifier::ParseVersionText(match.version, version)) return false;
  id.Server() = ServerOf(match, config, comparison);
  id.SetOwner(match.owner);
  id.SetName(match.name);
  id.SetVersion(version);
  return true;
}

}  // namespace

bool QuarnClientPrivate::ParseModelUrl(const qx::common::URI &url,
                                       ModelIdentifier &id) const {
  UrlMatch match;
  return grammar.Match(UrlGrammar::kModel, url, match) &&
         FillVersioned(match, config, ServerComparison::kText, id);
}

bool QuarnClientPrivate::ParseWorldUrl(const qx::common::URI &url,
                                       WorldIdentifier &id) const {
  UrlMatch match;
  return grammar.Match(UrlGrammar::kWorld, url, match) &&
         FillVersioned(match, config, ServerComparison::kUri, id);
}

bool QuarnClientPrivate::ParseModelFileUrl(const qx::common::URI &url, ModelIdentifier &id,
                                           std::string &filePath) const {
  UrlMatch match;
  if (!grammar.Match(UrlGrammar::kModelFile, url, match) ||
      !FillVersioned(match, config, ServerComparison::kText, id))
    return false;
  filePath = match.filePath;
  return true;
}

bool QuarnClientPrivate::ParseWorldFileUrl(const qx::common::URI &url, WorldIdentifier &id,
                                           std::string &filePath) const {
  UrlMatch match;
  if (!grammar.Match(UrlGrammar::kWorldFile, url, match) ||
      !FillVersioned(match, config, ServerComparison::kUri, id))
    return false;
  filePath = match.filePath;
  return true;
}

bool QuarnClientPrivate::ParseCollectionUrl(const qx::common::URI &url,
                                            CollectionIdentifier &id) const {
  UrlMatch match;
  if (!grammar.Match(UrlGrammar::kCollection, url, match)) return false;
  id.Server() = ServerOf(match, config, ServerComparison::kUri);
  id.SetOwner(match.owner);
  id.SetName(match.name);
  return true;
}

}  // namespace qx::quarn_tools
