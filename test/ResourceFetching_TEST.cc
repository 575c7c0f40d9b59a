#include "qx/quarn_tools/ResourceFetching.hh"

#include <gtest/gtest.h>

#include "support/ClientFixture.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::TempDir;
using qx::test::WriteFile;

const char *kModelConfig = R"(<?xml version="1.0"?>
<model>
  <name>box</name>
  <version>1.0</version>
  <sdf version="1.6">from_config.sdf</sdf>
</model>
)";

TEST(SdfFromPath, MetadataWinsOverModelConfig) {
  TempDir dir;
  WriteFile(dir.Join("metadata.pbtxt"),
            "model { file: \"from_pbtxt.sdf\" file_format { name: \"sdf\" } }\nname: \"box\"\n");
  WriteFile(dir.Join("model.config"), kModelConfig);
  EXPECT_EQ(sdfFromPath(dir.Path()), dir.Path() + "/from_pbtxt.sdf");
}

TEST(SdfFromPath, ModelConfigAloneAndWorldRecords) {
  TempDir dir;
  WriteFile(dir.Join("model.config"), kModelConfig);
  EXPECT_EQ(sdfFromPath(dir.Path()), dir.Path() + "/from_config.sdf");

  TempDir world;
  WriteFile(world.Join("metadata.pbtxt"), "world { file: \"shop.world\" }\n");
  EXPECT_EQ(sdfFromPath(world.Path()), world.Path() + "/shop.world");
}

TEST(SdfFromPath, RecordWithoutResourceGivesNothing) {
  TempDir dir;
  WriteFile(dir.Join("metadata.pbtxt"), "name: \"box\"\n");
  WriteFile(dir.Join("a.sdf"), "<sdf/>");
  EXPECT_EQ(sdfFromPath(dir.Path()), "");
}

TEST(SdfFromPath, MetadataMayNotPointOutside) {
  TempDir dir;
  WriteFile(dir.Join("metadata.pbtxt"), "model { file: \"../../etc/passwd\" }\n");
  EXPECT_EQ(sdfFromPath(dir.Path()), "");
  WriteFile(dir.Join("metadata.pbtxt"), "model { file: \"sub/../model.sdf\" }\n");
  EXPECT_EQ(sdfFromPath(dir.Path()), dir.Path() + "/sub/../model.sdf");
}

TEST(SdfFromPath, FirstSdfFileByName) {
  TempDir dir;
  WriteFile(dir.Join("a.txt"), "x");
  WriteFile(dir.Join("b.sdf"), "x");
  WriteFile(dir.Join("c.sdf"), "x");
  EXPECT_EQ(sdfFromPath(dir.Path()), dir.Path() + "/b.sdf");

  TempDir other;
  WriteFile(other.Join("b.sdf.bak"), "x");
  WriteFile(other.Join("dir.sdf/inner"), "x");
  EXPECT_EQ(sdfFromPath(other.Path()), "");
  EXPECT_EQ(sdfFromPath(other.Join("missing")), "");
}

// Against our server and against nginx over a mirror export.
class FetchResource : public qx::test::ServedClientFixture {};
QX_ON_BOTH_BACKENDS(FetchResource);

TEST_P(FetchResource, ModelUrlCachedAndNot) {
  const std::string url = ResourceUrl("alice/models/box");
  EXPECT_EQ(fetchResourceWithClient(url, Client()), ServerCache() + "/alice/models/box/2");
  EXPECT_EQ(SeenRoutes().size(), 1u);
  ClearSeen();
  EXPECT_EQ(fetchResourceWithClient(url, Client()), ServerCache() + "/alice/models/box/2");
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_P(FetchResource, ModelFileUrlDownloadsTheModelWithItsDependencies) {
  const std::string url = ResourceUrl("bob/models/wheel/tip/files/model.sdf");
  EXPECT_EQ(fetchResourceWithClient(url, Client()),
            ServerCache() + "/bob/models/wheel/1/model.sdf");
  EXPECT_EQ(RoutesWith(".zip"), (std::vector<std::string>{"bob/models/wheel/tip/wheel.zip",
                                                          "alice/models/box/tip/box.zip"}));
  ClearSeen();
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("bob/models/wheel/1/files/model.sdf"), Client()),
            ServerCache() + "/bob/models/wheel/1/model.sdf");
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_P(FetchResource, WorldsAndWorldFiles) {
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("bob/worlds/town"), Client()),
            ServerCache() + "/bob/worlds/town/2");
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("alice/worlds/garden/tip/files/garden.sdf"),
                                    Client()),
            ServerCache() + "/alice/worlds/garden/1/garden.sdf");
  ClearSeen();
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("bob/worlds/town/tip/files/town.sdf"), Client()),
            ServerCache() + "/bob/worlds/town/2/town.sdf");
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_P(FetchResource, FailuresGiveTheEmptyText) {
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("alice/models/nothing/tip/files/a.sdf"), Client()),
            "");
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("alice/collections/favourites"), Client()), "");
  EXPECT_EQ(fetchResourceWithClient("not a url", Client()), "");
  // A file path that climbs out of the model is refused before any request.
  ClearSeen();
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("alice/models/box/tip/files/../../x"), Client()),
            "");
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_P(FetchResource, DefaultClientReadsTheCachePathConfiguration) {
  qx::test::IsolatedHome home(true);
  qx::test::WriteFile(home.Cache() + "/config.yaml", "servers:\n  - url: " + Url() + "\n");
  EXPECT_EQ(fetchResource(ResourceUrl("alice/models/box/1")),
            home.Cache() + ServerCache().substr(Cache().size()) + "/alice/models/box/1");
}

}  // namespace
}  // namespace qx::quarn_tools
