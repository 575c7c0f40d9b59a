/*
 * A client wired to a server of the example repository, with a home and
 * cache of its own: ClientFixture over our repository server,
 * ServedClientFixture over each backend of ServedRepository.hh,
 * ProtocolClientFixture over each protocol of ProtocolServers.hh.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_CLIENTFIXTURE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_CLIENTFIXTURE_HH_

#include <memory>
#include <string>
#include <vector>

#include <qx/quarn_tools/QuarnClient.hh>

#include "Downloader.hh"
#include "ResourceUrls.hh"
#include "UrlGrammar.hh"

#include "support/Builders.hh"
#include "support/ProtocolServers.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServedRepository.hh"
#include "support/TestSupport.hh"

namespace qx::test {

// What a client is made of, for tests of one of its collaborators: they
// build it over these pieces, with seams of their own (how threads start,
// a licence table, a cache of the application's in place of `cache`).
struct ClientParts {
  explicit ClientParts(const qx::quarn_tools::ClientConfig &clientConfig)
      : config(clientConfig),
        cache(std::make_shared<qx::quarn_tools::LocalCache>(&config)),
        urls(grammar, config),
        downloads(config, rest, cache, urls) {}
  ClientParts(const ClientParts &) = delete;
  ClientParts &operator=(const ClientParts &) = delete;

  qx::quarn_tools::UrlGrammar grammar;
  qx::quarn_tools::ClientConfig config;
  qx::quarn_tools::Rest rest;
  std::shared_ptr<qx::quarn_tools::LocalCache> cache;
  qx::quarn_tools::internal::ResourceUrls urls;
  qx::quarn_tools::internal::Downloader downloads;
};

template <typename Base>
class ClientFixtureOn : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    if (::testing::Test::HasFatalFailure()) return;
    MakeClient("");
  }

  // A new client whose configuration knows the example server (with `apiKey`)
  // and caches under the isolated home.
  void MakeClient(const std::string &apiKey) {
    qx::quarn_tools::ClientConfig config;
    config.SetCacheLocation(home_.Cache());
    qx::quarn_tools::ServerConfig server = this->Config();
    server.SetApiKey(apiKey);
    config.AddServer(server);
    client_ = std::make_unique<qx::quarn_tools::QuarnClient>(config,
                                                             qx::quarn_tools::Rest());
  }

  qx::quarn_tools::QuarnClient &Client() { return *client_; }

  // The pieces of a client over the same configuration, for tests that
  // build one of its collaborators themselves.
  std::unique_ptr<ClientParts> Parts() const {
    qx::quarn_tools::ClientConfig config;
    config.SetCacheLocation(home_.Cache());
    config.AddServer(this->Config());
    return std::make_unique<ClientParts>(config);
  }
  const std::string &Cache() const { return home_.Cache(); }

  // The URL of a resource (or of anything below the API version).
  std::string ResourceUrl(const std::string &route) const {
    return this->Url() + "/1.0/" + route;
  }

  // The server's cache directory, as the client names it.
  std::string ServerCache() const {
    const std::string url = this->Url();  // http://127.0.0.1:PORT
    const std::string authority = url.substr(url.find("//") + 2);
    std::string sanitized;
    for (char c : authority) sanitized += c == ':' ? std::string("%3A") : std::string(1, c);
    return Cache() + "/" + sanitized;
  }

  // A model or world of the example server.
  qx::quarn_tools::ModelIdentifier ModelId(const std::string &owner, const std::string &name,
                                           unsigned int version = 0) const {
    return ModelOn(this->Config(), owner, name, version);
  }
  qx::quarn_tools::WorldIdentifier WorldId(const std::string &owner, const std::string &name,
                                           unsigned int version = 0) const {
    return WorldOn(this->Config(), owner, name, version);
  }

  // The routes of the requests the server saw, in order, keeping those that
  // contain `part`.
  std::vector<std::string> RoutesWith(const std::string &part) {
    std::vector<std::string> routes;
    for (const std::string &route : this->SeenRoutes()) {
      if (route.find(part) != std::string::npos) routes.push_back(route);
    }
    return routes;
  }

 private:
  IsolatedHome home_;
  std::unique_ptr<qx::quarn_tools::QuarnClient> client_;
};

using ClientFixture = ClientFixtureOn<RepositoryFixture>;
using ServedClientFixture = ClientFixtureOn<ServedRepositoryFixture>;
using ProtocolClientFixture = ClientFixtureOn<ProtocolRepositoryFixture>;

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_CLIENTFIXTURE_HH_
