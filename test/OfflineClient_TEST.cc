// A client whose configuration is offline sends nothing at all: the cache
// answers what it can, and everything else fails with a line saying why. The
// server's request log is the witness.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/ResourceFetching.hh>

#include "support/ClientFixture.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::LogCapture;
using qx::test::WriteFile;

class OfflineClient : public qx::test::ClientFixture {
 protected:
  void SetUp() override {
    qx::test::ClientFixture::SetUp();
    // What the cache holds before the client goes offline.
    ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box", 1)));
    WorldIdentifier town = WorldId("bob", "town");
    ASSERT_TRUE(Client().DownloadWorld(town));
    Client().Config().SetOffline(true);
    Server().ClearRequests();
  }

  CollectionIdentifier Favourites() const {
    CollectionIdentifier id;
    id.SetServer(Config());
    id.SetOwner("alice");
    id.SetName("favourites");
    return id;
  }
};

std::vector<std::string> Names(ModelIter iter) {
  std::vector<std::string> names;
  for (; iter; ++iter) names.push_back(iter->Identification().Name() + "/" +
                                       iter->Identification().VersionStr());
  return names;
}

TEST_F(OfflineClient, OnlyTheCacheAnswers) {
  EXPECT_EQ(Names(Client().Models(Config())), std::vector<std::string>{"box/1"});
  EXPECT_EQ(Names(Client().Models(ModelId("alice", "box"), false)), std::vector<std::string>{"box/1"});
  EXPECT_FALSE(Client().Models(ModelId("alice", "robot")));
  EXPECT_TRUE(Client().Worlds(Config()));
  EXPECT_TRUE(Client().Worlds(WorldId("bob", "town")));
  EXPECT_FALSE(Client().Worlds(WorldId("alice", "garden")));
  std::string path;
  EXPECT_TRUE(Client().CachedModel(ModelId("alice", "box"), path));
  EXPECT_EQ(fetchResourceWithClient(ResourceUrl("alice/models/box"), Client()), path);
  EXPECT_TRUE(Server().Requests().empty());
}

struct Refusal {
  const char *what;
  std::function<bool()> run;  // true when it failed
};

TEST_F(OfflineClient, EverythingThatNeedsTheServerFailsWithoutARequest) {
  qx::test::TempDir lamp;
  WriteFile(lamp.Join("model.config"),
            "<model><name>Lamp</name><sdf version='1.9'>m.sdf</sdf></model>");
  const std::vector<Refusal> refusals = {
      {"model download", [&] {
         return !Client().DownloadModel(ModelId("alice", "robot"));
       }},
      {"world download", [&] {
         WorldIdentifier garden = WorldId("alice", "garden");
         return !Client().DownloadWorld(garden);
       }},
      {"batch download", [&] {
         const auto results = Client().DownloadModels({ModelId("bob", "wheel")}, 2);
         return results.size() == 1 && !std::get<1>(results[0]);
       }},
      {"fetch by URL", [&] {
         return fetchResourceWithClient(ResourceUrl("alice/models/robot"), Client()).empty();
       }},
      {"details", [&] {
         ModelIdentifier out;
         return !Client().ModelDetails(ModelId("alice", "box"), out);
       }},
      {"listing", [&] {
         std::vector<ModelIdentifier> models;
         return !Client().ListModels(Config(), "", models) && models.empty();
       }},
      {"collection", [&] {
         return !Client().Models(Favourites()) && !Client().Worlds(Favourites());
       }},
      {"upload", [&] {
         return !Client().UploadModel(lamp.Path(), ModelId("", ""), {}, false, "alice");
       }},
      {"edit", [&] {
         return !Client().PatchModel(ModelId("alice", "box"), {});
       }},
      {"delete", [&] {
         return !Client().DeleteUrl(qx::common::URI(ResourceUrl("alice/models/box")), {});
       }},
      {"update", [&] {
         std::vector<ResourceUpdate> updates;
         Client().UpdateModels({}, updates);
         return updates.size() == 1 && !updates[0].result;
       }},
  };
  for (const Refusal &refusal : refusals) {
    LogCapture log;
    EXPECT_TRUE(refusal.run()) << refusal.what;
    EXPECT_TRUE(log.Contains("offline: ", qx::common::LOG_ERROR)) << refusal.what << log.Text();
  }
  EXPECT_TRUE(Server().Requests().empty());
  EXPECT_TRUE(qx::common::isDirectory(ServerCache() + "/alice/models/box/1"));
}

TEST_F(OfflineClient, DownloadRefusalNamesTheResource) {
  LogCapture log;
  EXPECT_FALSE(Client().DownloadModel(ModelId("alice", "robot")));
  EXPECT_TRUE(log.Contains("offline: " + ModelId("alice", "robot").UniqueName() +
                               " is not in the cache",
                           qx::common::LOG_ERROR));
}

}  // namespace
}  // namespace qx::quarn_tools
