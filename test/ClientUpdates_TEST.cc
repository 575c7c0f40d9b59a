// Bringing cached models and worlds up to their servers' newest versions.
#include <gtest/gtest.h>

#include <filesystem>

#include <qx/common/Filesystem.hh>

#include "support/ClientFixture.hh"

namespace qx::quarn_tools {
namespace {

namespace fs = std::filesystem;
using qx::test::ResponseScript;
using qx::test::LogCapture;

// Copies version `from` of a resource on a server as version `to`.
void AddServerVersion(const std::string &root, const std::string &resource, int from, int to) {
  fs::copy(root + "/" + resource + "/" + std::to_string(from),
           root + "/" + resource + "/" + std::to_string(to), fs::copy_options::recursive);
}

class ClientUpdates : public qx::test::ClientFixture {
 protected:
  bool Cached(const std::string &relative) const {
    return qx::common::exists(ServerCache() + "/" + relative);
  }
};

TEST_F(ClientUpdates, CacheAtTheServersVersionIsUpToDateThenGetsTheNextOneOnce) {
  AddServerVersion(Root(), "alice/models/box", 2, 3);
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box", 1)));
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box", 3)));
  Server().ClearRequests();
  {
    LogCapture log;
    EXPECT_TRUE(Client().UpdateModels({}));
    EXPECT_EQ(RoutesWith(""), std::vector<std::string>{"alice/models/box"});
    EXPECT_TRUE(log.Contains("Model alice/box is up to date.\n", qx::common::LOG_MESSAGE));
  }

  AddServerVersion(Root(), "alice/models/box", 2, 4);
  Server().ClearRequests();
  LogCapture log;
  EXPECT_TRUE(Client().UpdateModels({"X-Trace: 7"}));
  EXPECT_TRUE(log.Contains("Updating model alice/box up to version 4\n", qx::common::LOG_MESSAGE));
  EXPECT_EQ(RoutesWith(""),
            (std::vector<std::string>{"alice/models/box", "alice/models/box/4/box.zip"}));
  for (const auto &record : Server().Requests())
    EXPECT_EQ(record.Header("X-Trace").value_or(""), "7") << record.route;
  for (const char *version : {"1", "3", "4"})
    EXPECT_TRUE(Cached(std::string("alice/models/box/") + version + "/model.config")) << version;
  EXPECT_FALSE(Cached("alice/models/box/2"));
}

TEST_F(ClientUpdates, EntriesGoInUniqueNameOrderAndAMissingModelIsSkipped) {
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "robot")));  // with wheel and box
  fs::remove_all(Root() + "/bob/models/wheel");
  Server().ClearRequests();
  LogCapture log;
  EXPECT_TRUE(Client().UpdateModels({}));
  EXPECT_EQ(RoutesWith(""), (std::vector<std::string>{"alice/models/box", "alice/models/robot",
                                                      "bob/models/wheel"}));
  EXPECT_TRUE(
      log.Contains("Failed to fetch model details for model[bob/wheel]\n", qx::common::LOG_ERROR));
  EXPECT_TRUE(log.Contains("Model alice/box is up to date.\n"));
  EXPECT_TRUE(log.Contains("Model alice/robot is up to date.\n"));
  EXPECT_TRUE(Cached("bob/models/wheel/1/model.config"));
}

TEST_F(ClientUpdates, SameModelOnTwoServersIsTwoEntries) {
  qx::test::ExampleServer other;
  ASSERT_TRUE(other.Started());
  ClientConfig config;
  config.SetCacheLocation(Cache());
  config.AddServer(Config());
  config.AddServer(other.Config());
  QuarnClient client(config, Rest());
  ModelIdentifier otherBox = ModelId("alice", "box");
  otherBox.SetServer(other.Config());
  ASSERT_TRUE(client.DownloadModel(ModelId("alice", "box")));
  ASSERT_TRUE(client.DownloadModel(otherBox));
  AddServerVersion(other.Root(), "alice/models/box", 2, 3);
  Server().ClearRequests();
  other.Server().ClearRequests();

  LogCapture log;
  EXPECT_TRUE(client.UpdateModels({}));
  EXPECT_EQ(log.Count("Model alice/box is up to date.", qx::common::LOG_MESSAGE), 1);
  EXPECT_EQ(log.Count("Updating model alice/box up to version 3", qx::common::LOG_MESSAGE), 1);
  EXPECT_EQ(RoutesWith(""), std::vector<std::string>{"alice/models/box"});
  std::vector<std::string> otherRoutes;
  for (const auto &record : other.Server().Requests()) otherRoutes.push_back(record.route);
  EXPECT_EQ(otherRoutes,
            (std::vector<std::string>{"alice/models/box", "alice/models/box/3/box.zip"}));
  EXPECT_FALSE(Cached("alice/models/box/3"));
}

// One record per cached resource tells what the update did.
TEST_F(ClientUpdates, RecordsSayWhatWasDone) {
  // With wheel, and boxes 1 (the robot's) and 2 (the wheel's newest).
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "robot")));
  AddServerVersion(Root(), "alice/models/box", 2, 3);
  fs::remove_all(Root() + "/bob/models/wheel");
  std::vector<ResourceUpdate> updates;
  EXPECT_TRUE(Client().UpdateModels({}, updates));
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0].kind, "models");
  EXPECT_EQ(updates[0].owner + "/" + updates[0].name, "alice/box");
  EXPECT_EQ(updates[0].cachedVersion, 2u);
  EXPECT_EQ(updates[0].serverVersion, 3u);
  EXPECT_EQ(updates[0].result.Type(), FETCH_DONE);
  EXPECT_EQ(updates[0].server.Url().Str(), Url());
  EXPECT_EQ(updates[1].name, "robot");
  EXPECT_EQ(updates[1].result.Type(), FETCH_CACHED);
  EXPECT_EQ(updates[1].serverVersion, 1u);
  EXPECT_EQ(updates[2].name, "wheel");
  EXPECT_FALSE(updates[2].result);
  EXPECT_EQ(updates[2].serverVersion, 0u);
  ASSERT_NE(updates[2].result.Reply(), nullptr);
  EXPECT_EQ(updates[2].result.Reply()->status, 404);
  EXPECT_TRUE(Cached("alice/models/box/3/model.config"));

  // A download that fails after the details said there is more.
  AddServerVersion(Root(), "alice/models/box", 2, 4);
  ResponseScript refused;
  refused.route = "alice/models/box/4/box.zip";
  refused.status = 503;
  Server().AddScript(refused);
  EXPECT_TRUE(Client().UpdateModels({}, updates));
  EXPECT_EQ(updates[0].serverVersion, 4u);
  EXPECT_EQ(updates[0].result.Type(), FETCH_FAILED);
  EXPECT_EQ(updates[0].result.Reply()->status, 503);

  std::vector<ResourceUpdate> worlds;
  EXPECT_TRUE(Client().UpdateWorlds({}, worlds));
  EXPECT_TRUE(worlds.empty());
}

TEST_F(ClientUpdates, EmptyCacheAsksNothing) {
  LogCapture log;
  EXPECT_TRUE(Client().UpdateModels({}));
  EXPECT_TRUE(Client().UpdateWorlds({}));
  EXPECT_TRUE(Server().Requests().empty());
  EXPECT_FALSE(log.Contains("Updating"));
  EXPECT_FALSE(log.Contains("up to date"));
}

TEST_F(ClientUpdates, WorldsBehindTheirServerAreUpdated) {
  WorldIdentifier garden = WorldId("alice", "garden");
  WorldIdentifier town = WorldId("bob", "town", 1);
  ASSERT_TRUE(Client().DownloadWorld(garden));
  ASSERT_TRUE(Client().DownloadWorld(town));
  Server().ClearRequests();
  LogCapture log;
  EXPECT_TRUE(Client().UpdateWorlds({}));
  EXPECT_TRUE(log.Contains("World alice/garden is up to date.\n", qx::common::LOG_MESSAGE));
  EXPECT_TRUE(log.Contains("Updating world bob/town up to version 2\n", qx::common::LOG_MESSAGE));
  EXPECT_EQ(RoutesWith(""), (std::vector<std::string>{"alice/worlds/garden", "bob/worlds/town",
                                                      "bob/worlds/town/2/town.zip"}));
  EXPECT_TRUE(Cached("bob/worlds/town/1/town.sdf"));
  EXPECT_TRUE(Cached("bob/worlds/town/2/town.sdf"));

  fs::remove_all(Root() + "/alice/worlds/garden");
  log.Clear();
  EXPECT_TRUE(Client().UpdateWorlds({}));
  EXPECT_TRUE(log.Contains("Failed to fetch world details for world[alice/garden]\n",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(log.Contains("World bob/town is up to date.\n", qx::common::LOG_MESSAGE));
}

}  // namespace
}  // namespace qx::quarn_tools
