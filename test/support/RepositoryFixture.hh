/*
 * Our repository server over a private copy of the example repository
 * (test/data/repository), on 127.0.0.1 and an ephemeral port, stopped when
 * the object goes away.
 *
 * The example repository:
 *   alice/models/box       versions 1 and 2 (model.config, model.sdf,
 *                          meshes/box.obj), no dependencies
 *   alice/models/robot     version 1; its metadata.pbtxt (licence
 *                          "Creative Commons - Attribution", tags robot and
 *                          demo) names two dependencies: bob/models/wheel and
 *                          alice/models/box/1
 *   bob/models/wheel       version 1; its model.config names one dependency:
 *                          alice/models/box (newest)
 *   alice/worlds/garden    version 1 (garden.sdf only)
 *   bob/worlds/town        versions 1 and 2 (model.config with <world>, town.sdf)
 *   alice/collections/favourites.json: models alice/box and bob/wheel,
 *                          world bob/town
 *   licenses.json          two licences (ids 1 and 2)
 * Dependency URLs are written with the server's own URL once it listens.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_REPOSITORYFIXTURE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_REPOSITORYFIXTURE_HH_

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/quarn_server/RepositoryServer.hh>
#include <qx/quarn_tools/ServerConfig.hh>

#include "support/InstrumentedServer.hh"
#include "support/TestSupport.hh"

namespace qx::test {

// The placeholder that example files use for the server's URL.
extern const char *const kServerUrlPlaceholder;  // "{{SERVER_URL}}"

// Copies the example repository into `destination` (created if missing).
// False when something could not be copied.
bool CopyExampleRepository(const std::string &destination);

// Replaces the placeholder by `url` in every file below `root`.
void FillServerUrl(const std::string &root, const std::string &url);
// Replaces `from` by `to` in every file below `root`.
void ReplaceInFiles(const std::string &root, const std::string &from, const std::string &to);

// A started server over a fresh copy of the example repository, with the
// tests' instruments (request log, scripts).
class ExampleServer {
 public:
  explicit ExampleServer(
      const qx::quarn_server::RepositoryServer::Options &options = {});
  ~ExampleServer();
  ExampleServer(const ExampleServer &) = delete;
  ExampleServer &operator=(const ExampleServer &) = delete;

  // Whether the copy was made and the server listens.
  bool Started() const { return started_; }
  InstrumentedServer &Server() { return *server_; }
  // The served directory (edit it freely: it is read afresh per request).
  const std::string &Root() const { return directory_.Path(); }
  // "http://127.0.0.1:PORT" (or https).
  std::string Url() const { return server_->Url(); }
  // A server record for the client: the URL and API version "1.0".
  qx::quarn_tools::ServerConfig Config() const;
  // Names `url` instead of Url() where the repository's files name the
  // server (dependency URLs), for a server that clients reach through a
  // front of another URL.
  void NameServerAs(const std::string &url);

 private:
  TempDir directory_;
  std::unique_ptr<InstrumentedServer> server_;
  bool started_ = false;
};

// A test fixture around an ExampleServer. Override ServerOptions to change
// the server's options (page size, API key, HTTPS).
class RepositoryFixture : public ::testing::Test {
 protected:
  virtual qx::quarn_server::RepositoryServer::Options ServerOptions() const { return {}; }

  void SetUp() override;
  void TearDown() override;

  InstrumentedServer &Server() { return example_->Server(); }
  const std::string &Root() const { return example_->Root(); }
  std::string Url() const { return example_->Url(); }
  qx::quarn_tools::ServerConfig Config() const { return example_->Config(); }
  // As ServedRepositoryFixture has them: the server reads the directory
  // afresh, so there is nothing to publish; the routes come from its log.
  void Publish() {}
  std::vector<std::string> SeenRoutes() {
    std::vector<std::string> routes;
    for (const auto &record : Server().Requests()) routes.push_back(record.route);
    return routes;
  }
  void ClearSeen() { Server().ClearRequests(); }

 private:
  std::unique_ptr<ExampleServer> example_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_REPOSITORYFIXTURE_HH_
