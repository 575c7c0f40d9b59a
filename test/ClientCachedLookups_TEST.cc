// Cached lookups by URL: answered from the disk alone.
#include <gtest/gtest.h>

#include "qx/quarn_tools/QuarnClient.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::IsolatedHome;
using qx::test::WriteFile;

class ClientCachedLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientConfig config;
    config.SetCacheLocation(home_.Cache());
    ServerConfig server;
    server.SetUrl(qx::common::URI("https://localhost:8000", true));
    config.AddServer(server);
    client_ = std::make_unique<QuarnClient>(config, Rest());
    // Versions 1 and 3 of alice/box and version 2 of alice/shop.
    for (const char *version : {"1", "3"}) {
      const std::string dir = ModelDir(version);
      WriteFile(dir + "/model.config", "<model><name>box</name></model>");
      WriteFile(dir + "/meshes/box.dae", "mesh");
    }
    WriteFile(WorldDir() + "/shop.sdf", "<sdf/>");
    WriteFile(WorldDir() + "/meshes/shelf.dae", "mesh");
  }

  std::string ModelDir(const std::string &version) const {
    return home_.Cache() + "/localhost%3A8000/alice/models/box/" + version;
  }
  std::string WorldDir() const { return home_.Cache() + "/localhost%3A8000/alice/worlds/shop/2"; }

  QuarnClient &Client() { return *client_; }

  IsolatedHome home_;
  std::unique_ptr<QuarnClient> client_;
};

qx::common::URI Url(const std::string &route) {
  return qx::common::URI("https://localhost:8000/1.0/alice/" + route);
}

TEST_F(ClientCachedLookups, ModelsByVersion) {
  std::string path;
  EXPECT_EQ(Client().CachedModel(Url("models/box"), path).Type(), FETCH_CACHED);
  EXPECT_EQ(path, ModelDir("3"));
  EXPECT_EQ(Client().CachedModel(Url("models/box/1"), path).Type(), FETCH_CACHED);
  EXPECT_EQ(path, ModelDir("1"));
  path = "untouched";
  EXPECT_EQ(Client().CachedModel(Url("models/box/2"), path).Type(), FETCH_FAILED);
  EXPECT_EQ(path, "untouched");
  EXPECT_TRUE(Client().CachedModel(Url("models/box")));
  EXPECT_FALSE(Client().CachedModel(Url("models/other")));
  EXPECT_FALSE(Client().CachedModel(qx::common::URI("nonsense")));
}

TEST_F(ClientCachedLookups, ModelFiles) {
  std::string path;
  EXPECT_EQ(Client().CachedModelFile(Url("models/box/tip/files/meshes//box.dae"), path).Type(),
            FETCH_CACHED);
  EXPECT_EQ(path, ModelDir("3") + "/meshes/box.dae");
  // A directory is found too: existence is all that counts.
  EXPECT_EQ(Client().CachedModelFile(Url("models/box/1/files/meshes"), path).Type(),
            FETCH_CACHED);
  EXPECT_EQ(path, ModelDir("1") + "/meshes");
  path = "untouched";
  EXPECT_EQ(Client().CachedModelFile(Url("models/box/1/files/"), path).Type(), FETCH_FAILED);
  EXPECT_EQ(Client().CachedModelFile(Url("models/box/1/files/missing.dae"), path).Type(),
            FETCH_FAILED);
  EXPECT_EQ(Client().CachedModelFile(Url("models/box/1/files/../../../box/3/model.config"), path)
                .Type(),
            FETCH_FAILED);
  EXPECT_EQ(path, "untouched");
}

TEST_F(ClientCachedLookups, WorldsAndWorldFiles) {
  std::string path;
  EXPECT_EQ(Client().CachedWorld(Url("worlds/shop"), path).Type(), FETCH_CACHED);
  EXPECT_EQ(path, WorldDir());
  EXPECT_TRUE(Client().CachedWorld(Url("worlds/shop/2")));
  EXPECT_FALSE(Client().CachedWorld(Url("worlds/shop/1")));
  // The world variant keeps a doubled separator as it stands.
  EXPECT_EQ(Client().CachedWorldFile(Url("worlds/shop/2/files/meshes//shelf.dae"), path).Type(),
            FETCH_CACHED);
  EXPECT_EQ(path, WorldDir() + "/meshes//shelf.dae");
  path = "untouched";
  EXPECT_EQ(Client().CachedWorldFile(Url("worlds/shop/2/files/../../../../../../etc/passwd"), path)
                .Type(),
            FETCH_FAILED);
  EXPECT_EQ(path, "untouched");
}

TEST_F(ClientCachedLookups, UnconfiguredServerIsStillLookedUp) {
  WriteFile(home_.Cache() + "/elsewhere%3A9/bob/models/car/5/model.config", "<model/>");
  std::string path;
  EXPECT_EQ(
      Client().CachedModel(qx::common::URI("https://elsewhere:9/1.0/bob/models/car"), path).Type(),
      FETCH_CACHED);
  EXPECT_EQ(path, home_.Cache() + "/elsewhere%3A9/bob/models/car/5");
}

}  // namespace
}  // namespace qx::quarn_tools
