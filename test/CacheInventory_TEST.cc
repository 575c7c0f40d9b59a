// What the cache holds and its upkeep, on versions the client downloaded
// from our repository server: listing with sizes, removal of one version or
// all, pruning, and checks against what each version held when published.
#include "qx/quarn_tools/CacheInventory.hh"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ClientFixture.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

namespace fs = std::filesystem;
using qx::test::EntryNames;
using qx::test::WriteFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<unsigned int> VersionsOf(const CachedResource &resource) {
  std::vector<unsigned int> versions;
  for (const CachedVersion &version : resource.versions) versions.push_back(version.version);
  return versions;
}

class CacheInventoryTest : public qx::test::ClientFixture {
 protected:
  void SetUp() override {
    qx::test::ClientFixture::SetUp();
    // box 1 and 2, bob/town 1 and 2, wheel 1.
    for (unsigned int version : {1u, 2u}) {
      ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box", version)));
      WorldIdentifier town = WorldId("bob", "town", version);
      ASSERT_TRUE(Client().DownloadWorld(town));
    }
    ASSERT_TRUE(Client().DownloadModel(ModelId("bob", "wheel")));
  }

  CacheInventory Inventory() { return CacheInventory(Client().Config()); }

  CachedResource Find(const std::string &uniqueEnd) {
    for (const CachedResource &resource : Inventory().Resources()) {
      const std::string name = resource.UniqueName();
      if (name.size() >= uniqueEnd.size() &&
          name.compare(name.size() - uniqueEnd.size(), uniqueEnd.size(), uniqueEnd) == 0)
        return resource;
    }
    return CachedResource();
  }
};

TEST_F(CacheInventoryTest, ListsEveryResourceWithItsVersionsAndSizes) {
  const std::vector<CachedResource> resources = Inventory().Resources();
  std::vector<std::string> names;
  for (const CachedResource &resource : resources)
    names.push_back(resource.owner + "/" + resource.kind + "/" + resource.name);
  EXPECT_THAT(names, ElementsAre("alice/models/box", "bob/models/wheel", "bob/worlds/town"));
  const CachedResource box = resources[0];
  EXPECT_THAT(VersionsOf(box), ElementsAre(1u, 2u));
  EXPECT_EQ(box.serverUrl, Url());
  EXPECT_EQ(box.UniqueName(), ModelId("alice", "box").UniqueName());
  EXPECT_EQ(box.versions[1].path, ServerCache() + "/alice/models/box/2");
  EXPECT_GT(box.versions[1].bytes, 100u);
  EXPECT_EQ(box.Bytes(), box.versions[0].bytes + box.versions[1].bytes);
}

TEST_F(CacheInventoryTest, RemovesOneVersionThenTheRest) {
  ASSERT_TRUE(Inventory().Remove(Find("alice/models/box"), 1));
  EXPECT_THAT(VersionsOf(Find("alice/models/box")), ElementsAre(2u));
  EXPECT_THAT(EntryNames(ServerCache() + "/alice/models/box"),
              ElementsAre(".qxlock", ".qxmanifest-2", "2"));
  EXPECT_FALSE(Client().CachedModel(qx::common::URI(ResourceUrl("alice/models/box/1"))));

  ASSERT_TRUE(Inventory().Remove(Find("alice/models/box"), 0));
  EXPECT_FALSE(fs::exists(ServerCache() + "/alice/models/box"));
  EXPECT_FALSE(Client().CachedModel(qx::common::URI(ResourceUrl("alice/models/box"))));
}

TEST_F(CacheInventoryTest, PruneKeepsTheNewestVersions) {
  const std::vector<CachedVersion> pruned = Inventory().Prune(1);
  std::vector<std::string> paths;
  for (const CachedVersion &version : pruned) paths.push_back(version.path);
  EXPECT_THAT(paths, ElementsAre(ServerCache() + "/alice/models/box/1",
                                 ServerCache() + "/bob/worlds/town/1"));
  EXPECT_THAT(VersionsOf(Find("alice/models/box")), ElementsAre(2u));
  EXPECT_THAT(VersionsOf(Find("bob/models/wheel")), ElementsAre(1u));
}

TEST_F(CacheInventoryTest, VerifyFindsWhatChangedWasRemovedOrAdded) {
  const CachedResource box = Find("alice/models/box");
  EXPECT_TRUE(Inventory().Verify(box, box.versions[1]).Intact());
  const std::string dir = box.versions[1].path;
  WriteFile(dir + "/model.config", "<model/>");
  fs::remove(dir + "/meshes/box.obj");
  WriteFile(dir + "/notes.txt", "mine");
  const VersionCheck check = Inventory().Verify(box, box.versions[1]);
  EXPECT_TRUE(check.recorded);
  EXPECT_THAT(check.changed, ElementsAre("model.config"));
  EXPECT_THAT(check.removed, ElementsAre("meshes/box.obj"));
  EXPECT_THAT(check.added, ElementsAre("notes.txt"));
  // The rewritten SDF file was recorded as rewritten.
  EXPECT_TRUE(Inventory().Verify(box, box.versions[0]).Intact());
}

TEST_F(CacheInventoryTest, AVersionWithoutRecordIsSaidSo) {
  const CachedResource wheel = Find("bob/models/wheel");
  fs::remove(ServerCache() + "/bob/models/wheel/.qxmanifest-1");
  const VersionCheck check = Inventory().Verify(wheel, wheel.versions[0]);
  EXPECT_FALSE(check.recorded);
  EXPECT_FALSE(check.Intact());
  EXPECT_THAT(check.changed, IsEmpty());
}

}  // namespace
}  // namespace qx::quarn_tools
