// quarn cache, as people and scripts run it: ls (and --json), du, rm,
// prune, verify and path on a cache holding several versions, and removal
// while another quarn downloads into the same cache.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/GeneratedModels.hh"
#include "support/QuarnCliFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

namespace {

namespace fs = std::filesystem;
using qx::test::EntryNames;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class QuarnCliCache : public qx::test::QuarnCliTest {
 protected:
  void SetUp() override {
    qx::test::QuarnCliTest::SetUp();
    ConfigureServer();
    for (const char *route :
         {"alice/models/box/1", "alice/models/box/2", "bob/worlds/town/1", "bob/worlds/town/2"})
      ASSERT_EQ(Run({"download", ResourceUrl(route), "-q"}).status, 0) << route;
  }
};

TEST_F(QuarnCliCache, LsListsResourcesWithTheirVersionsAndJsonSaysItAll) {
  const ProcessOutcome plain = Run({"cache", "ls"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_THAT(plain.out, HasSubstr(Url() + "\talice/models/box\t1,2\t"));
  EXPECT_THAT(plain.out, HasSubstr(Url() + "\tbob/worlds/town\t1,2\t"));

  const ProcessOutcome json = Run({"cache", "ls", "--json"});
  ASSERT_EQ(json.status, 0);
  const Json::Value document = qx::test::ParseJson(json.out);
  EXPECT_EQ(document["cache"].asString(), Cache());
  ASSERT_EQ(document["resources"].size(), 2u);
  const Json::Value &box = document["resources"][0];
  EXPECT_EQ(box["server"].asString(), Url());
  EXPECT_EQ(box["owner"].asString(), "alice");
  EXPECT_EQ(box["kind"].asString(), "model");
  EXPECT_EQ(box["name"].asString(), "box");
  ASSERT_EQ(box["versions"].size(), 2u);
  EXPECT_EQ(box["versions"][1]["version"].asUInt(), 2u);
  EXPECT_EQ(box["versions"][1]["path"].asString(), Cached("alice/models/box/2"));
  EXPECT_GT(box["versions"][1]["size"].asUInt64(), 0u);
  EXPECT_EQ(box["size"].asUInt64(),
            box["versions"][0]["size"].asUInt64() + box["versions"][1]["size"].asUInt64());
}

TEST_F(QuarnCliCache, ResourcesOfNoConfiguredServerShowTheirHostAndPort) {
  // A version copied in from elsewhere, of a server this configuration lacks.
  qx::test::WriteModel(Cache() + "/example.org%3A8443", "carol", "cup", 3, 1, 16);
  const ProcessOutcome plain = Run({"cache", "ls"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_THAT(plain.out, HasSubstr("example.org:8443\tcarol/models/cup\t3\t"));
  const Json::Value document = qx::test::ParseJson(Run({"cache", "ls", "--json"}).out);
  bool found = false;
  for (const Json::Value &resource : document["resources"]) {
    if (resource["name"].asString() != "cup") continue;
    found = true;
    EXPECT_EQ(resource["server"].asString(), "example.org:8443");
    EXPECT_EQ(resource["directory"].asString(), Cache() + "/example.org%3A8443/carol/models/cup");
  }
  EXPECT_TRUE(found) << document;
}

TEST_F(QuarnCliCache, RmRemovesOneVersionOrAllAndSaysWhich) {
  const ProcessOutcome one = Run({"cache", "rm", ResourceUrl("alice/models/box/1")});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, Cached("alice/models/box/1") + "\n");
  EXPECT_FALSE(fs::exists(Cached("alice/models/box/1")));
  EXPECT_TRUE(fs::exists(Cached("alice/models/box/2")));

  const ProcessOutcome all = Run({"cache", "rm", "-u", ResourceUrl("bob/worlds/town")});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out, Cached("bob/worlds/town/1") + "\n" + Cached("bob/worlds/town/2") + "\n");
  EXPECT_FALSE(fs::exists(Cached("bob/worlds/town")));

  EXPECT_EQ(Run({"cache", "rm", ResourceUrl("bob/worlds/town")}).status, 1);
  EXPECT_EQ(Run({"cache", "rm"}).status, 2);
  EXPECT_EQ(Run({"cache", "rm", "not a url"}).status, 1);
  EXPECT_EQ(Run({"cache", "verify", "not a url"}).status, 1);
}

TEST_F(QuarnCliCache, PruneKeepsTheNewest) {
  const ProcessOutcome pruned = Run({"cache", "prune", "--keep", "1"});
  EXPECT_EQ(pruned.status, 0);
  EXPECT_EQ(pruned.out, Cached("alice/models/box/1") + "\n" + Cached("bob/worlds/town/1") + "\n");
  EXPECT_THAT(EntryNames(Cached("alice/models/box")), ElementsAre(".qxlock", ".qxmanifest-2", "2"));
  EXPECT_EQ(Run({"cache", "prune", "--keep", "0"}).status, 2);
}

TEST_F(QuarnCliCache, VerifyReportsChangesAndFailsForThem) {
  EXPECT_EQ(Run({"cache", "verify"}).status, 0);
  qx::test::WriteFile(Cached("alice/models/box/2/meshes/box.obj"), "tampered");
  const ProcessOutcome all = Run({"cache", "verify"});
  EXPECT_EQ(all.status, 1);
  EXPECT_EQ(all.out, "changed\t" + Cached("alice/models/box/2") + "/meshes/box.obj\n");
  EXPECT_EQ(Run({"cache", "verify", ResourceUrl("alice/models/box/1")}).status, 0);
  EXPECT_EQ(Run({"cache", "verify", ResourceUrl("bob/models/wheel")}).status, 1);
}

TEST_F(QuarnCliCache, PathAndDu) {
  const ProcessOutcome path = Run({"cache", "path"});
  EXPECT_EQ(path.status, 0);
  EXPECT_EQ(path.out, Cache() + "\n");
  const ProcessOutcome du = Run({"cache", "du"});
  EXPECT_EQ(du.status, 0);
  EXPECT_THAT(du.out, HasSubstr("\tin cached versions\n"));
  EXPECT_THAT(du.out, HasSubstr("\t" + Cache() + "\n"));
}

// Removing a resource again and again while another quarn downloads it:
// every download exits 0, and the cache never holds a partial version nor
// anything the two left behind.
TEST_F(QuarnCliCache, RmWhileAnotherProcessDownloadsIsSafe) {
  const std::string served = qx::test::WriteModel(Root(), "alice", "crowd", 1, 150, 4096);
  const std::string url = ResourceUrl("alice/models/crowd");
  for (int round = 0; round < 3; ++round) {
    QuarnProcess download(QX_QUARN_CLI, {"download", url, "-q", "--force"});
    ASSERT_TRUE(download.Started());
    for (int i = 0; i < 20; ++i) Run({"cache", "rm", url});
    const ProcessOutcome downloaded = download.Wait();
    EXPECT_EQ(downloaded.status, 0) << downloaded.err;
    if (fs::exists(Cached("alice/models/crowd/1"))) {
      EXPECT_EQ(qx::test::ContentWithoutSdf(Cached("alice/models/crowd/1")),
                qx::test::ContentWithoutSdf(served));
    }
    for (const std::string &name : EntryNames(Cached("alice/models/crowd")))
      EXPECT_TRUE(name == ".qxlock" || name == ".qxmanifest-1" || name == "1") << name;
  }
}

}  // namespace
