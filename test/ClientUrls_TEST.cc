// The resource URL grammar and how parsed URLs bind to configured servers.
#include <gtest/gtest.h>

#include "qx/quarn_tools/QuarnClient.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::IsolatedHome;
using qx::test::LogCapture;

enum Kind { kModel, kWorld, kModelFile, kWorldFile, kCollection };

struct UrlCase {
  Kind kind;
  const char *url;
  bool matches;
  const char *authority = "";
  const char *apiVersion = "";
  const char *owner = "";
  const char *name = "";
  unsigned int version = 0;
  const char *filePath = "";
};

// Parses `c.url` with the operation of its kind; the identifier's pieces go
// to the out parameters.
bool Parse(QuarnClient &client, const UrlCase &c, std::string &server, std::string &version,
           std::string &owner, std::string &name, unsigned int &number, std::string &file) {
  const qx::common::URI url(c.url);
  auto take = [&](const auto &id) {
    server = id.Server().Url().Str();
    version = id.Server().Version();
    owner = id.Owner();
    name = id.Name();
  };
  ModelIdentifier model;
  WorldIdentifier world;
  CollectionIdentifier collection;
  bool ok = false;
  switch (c.kind) {
    case kModel: ok = client.ParseModelUrl(url, model); take(model); number = model.Version(); break;
    case kWorld: ok = client.ParseWorldUrl(url, world); take(world); number = world.Version(); break;
    case kModelFile:
      ok = client.ParseModelFileUrl(url, model, file); take(model); number = model.Version(); break;
    case kWorldFile:
      ok = client.ParseWorldFileUrl(url, world, file); take(world); number = world.Version(); break;
    case kCollection: ok = client.ParseCollectionUrl(url, collection); take(collection); break;
  }
  return ok;
}

TEST(ClientUrls, Grammar) {
  const UrlCase cases[] = {
      {kModel, "https://localhost/1.0/alice/models/box/3", true, "localhost", "1.0", "alice", "box", 3},
      {kModel, "https://localhost/Alice/models/Box", true, "localhost", "", "alice", "box", 0},
      {kCollection, "https://localhost/Alice/collections/Box", true, "localhost", "", "Alice", "Box"},
      {kModel, "https://localhost/alice/models/box", true, "localhost", "", "alice", "box", 0},
      {kModel, "https://localhost/alice/models/box/", true, "localhost", "", "alice", "box", 0},
      {kModel, "https://localhost/alice/models/box/tip", true, "localhost", "", "alice", "box", 0},
      {kModel, "https://localhost/alice/models/box//3", true, "localhost", "", "alice", "box", 3},
      {kModel, "https://localhost/alice/models/box/3/", true, "localhost", "", "alice", "box", 3},
      {kModel, "https://localhost/alice/models/box/3//", false},
      {kModel, "https://localhost/alice/models/box3", true, "localhost", "", "alice", "box3", 0},
      {kModel, "https://localhost/alice/models/box/12a", false},
      {kModel, "https://localhost/alice/models/box/tipx", false},
      {kModel, "https://localhost/1.0alice/models/box", true, "localhost", "1.0", "alice", "box", 0},
      {kModel, "https://localhost/1.0/models/box", true, "localhost", "", "1.0", "box", 0},
      {kModel, "https://localhost:8000/alice/models/box", true, "localhost:8000", "", "alice", "box", 0},
      {kModel, "https://localhost/1.0/alice/models/box/2/files/meshes/box.dae", false},
      {kModelFile, "https://localhost/1.0/alice/models/box/2/files/meshes/box.dae", true, "localhost",
       "1.0", "alice", "box", 2, "meshes/box.dae"},
      {kModelFile, "https://localhost/1.0/alice/models/box/2/files/meshes/box.dae/", true, "localhost",
       "1.0", "alice", "box", 2, "meshes/box.dae/"},
      {kModelFile, "https://localhost/alice/models/box/files/a", false},
      {kModelFile, "https://localhost/alice/models/box/tip/files/a", true, "localhost", "", "alice",
       "box", 0, "a"},
      {kWorldFile, "https://localhost/alice/worlds/Shop/4/files/shop.sdf", true, "localhost", "",
       "alice", "shop", 4, "shop.sdf"},
      {kWorld, "https://localhost/alice/worlds/shop/7", true, "localhost", "", "alice", "shop", 7},
      {kWorld, "https://localhost/alice/models/shop", false},
      {kCollection, "https://localhost/alice/collections/Coll///", true, "localhost", "", "alice", "Coll"},
      {kCollection, "https://localhost/alice/collections/Coll/extra", false},
      {kModel, "https://local host/alice/models/box", false},
      {kModel, "https://localhost/al ice/models/box", false},
      {kModel, "not a url", false},
      {kModel, "", false},
      // A version that does not fit 32 bits is refused, not read as another
      // number.
      {kModel, "https://localhost/alice/models/box/99999999999", false},
      {kModel, "https://localhost/alice/models/box/2147483647", true, "localhost", "", "alice", "box",
       2147483647u},
      {kModelFile, "https://localhost/alice/models/box/2147483648/files/a", false},
  };
  IsolatedHome home;
  QuarnClient client;
  for (const auto &c : cases) {
    std::string server = "untouched", version, owner, name, file = "untouched";
    unsigned int number = 12345;
    const bool ok = Parse(client, c, server, version, owner, name, number, file);
    EXPECT_EQ(ok, c.matches) << c.url;
    if (!ok) {
      // Nothing is written on failure.
      EXPECT_EQ(server, kDefaultServerUrl) << c.url;
      EXPECT_EQ(file, "untouched") << c.url;
      continue;
    }
    EXPECT_EQ(server, std::string("https://") + c.authority) << c.url;
    EXPECT_EQ(version, c.apiVersion) << c.url;
    EXPECT_EQ(owner, c.owner) << c.url;
    EXPECT_EQ(name, c.name) << c.url;
    if (c.kind != kCollection) {
      EXPECT_EQ(number, c.version) << c.url;
    }
    if (c.kind == kModelFile || c.kind == kWorldFile) {
      EXPECT_EQ(file, c.filePath) << c.url;
    }
  }
}

TEST(ClientUrls, HostileLengthDoesNotMatch) {
  IsolatedHome home;
  QuarnClient client;
  ModelIdentifier id;
  std::string file;
  // Just below the limit still parses.
  const std::string longPath(4000, 'p');
  ASSERT_TRUE(client.ParseModelFileUrl(
      qx::common::URI("https://localhost/alice/models/box/1/files/" + longPath), id, file));
  EXPECT_EQ(file, longPath);

  const std::string longName(1 << 20, 'a');
  EXPECT_FALSE(client.ParseModelUrl(
      qx::common::URI("https://localhost/alice/models/" + longName), id));
  EXPECT_FALSE(client.ParseModelFileUrl(
      qx::common::URI("https://localhost/alice/models/box/1/files/" + longName), id, file));
}

ClientConfig ConfigWith(const std::string &url, const std::string &key,
                        const std::string &version = "1.0") {
  ClientConfig config;
  ServerConfig server;
  server.SetUrl(qx::common::URI(url, true));
  server.SetApiKey(key);
  server.SetVersion(version);
  config.AddServer(server);
  return config;
}

TEST(ClientUrls, ConfiguredServerWinsWithAWarning) {
  IsolatedHome home;
  QuarnClient client(ConfigWith("https://localhost:8000", "KEY"), Rest());
  LogCapture log;
  WorldIdentifier world;
  ASSERT_TRUE(client.ParseWorldUrl(
      qx::common::URI("https://localhost:8000/2.0/alice/worlds/shop"), world));
  EXPECT_EQ(world.Server().Version(), "1.0");
  EXPECT_EQ(world.Server().ApiKey(), "KEY");
  EXPECT_TRUE(log.Contains("Requested server API version [2.0] for server "
                           "[https://localhost:8000], but will use [1.0] as given in the "
                           "config file.",
                           qx::common::LOG_WARNING));

  log.Clear();
  ModelIdentifier model;
  ASSERT_TRUE(client.ParseModelUrl(
      qx::common::URI("https://localhost:8000/1.0/alice/models/box"), model));
  EXPECT_EQ(model.Server().ApiKey(), "KEY");
  EXPECT_EQ(log.Count("Requested server API version"), 0);
}

TEST(ClientUrls, RecognitionAppliesNoNormalisation) {
  IsolatedHome home;
  QuarnClient client(ConfigWith("https://LocalHost:8000", "KEY"), Rest());
  ModelIdentifier model;
  ASSERT_TRUE(client.ParseModelUrl(
      qx::common::URI("https://localhost:8000/1.0/alice/models/box"), model));
  EXPECT_EQ(model.Server().ApiKey(), "");
  // A different scheme is a different server.
  ASSERT_TRUE(client.ParseModelUrl(
      qx::common::URI("http://LocalHost:8000/1.0/alice/models/box"), model));
  EXPECT_EQ(model.Server().ApiKey(), "");
}

TEST(ClientUrls, UnconfiguredServerWithoutVersionWarnsButParses) {
  IsolatedHome home;
  QuarnClient client;
  LogCapture log;
  ModelIdentifier model;
  model.Server().SetApiKey("kept");
  ASSERT_TRUE(client.ParseModelUrl(qx::common::URI("https://elsewhere/alice/models/box"), model));
  EXPECT_EQ(model.Server().Url().Str(), "https://elsewhere");
  EXPECT_EQ(model.Server().Version(), "");
  EXPECT_TRUE(log.Contains("Server configuration is incomplete:", qx::common::LOG_WARNING));
  EXPECT_TRUE(log.Contains("URL: https://elsewhere"));
}

}  // namespace
}  // namespace qx::quarn_tools
