// Worlds that arrive whole and many URLs at once: a world's SDF files name
// models by URL (on our server and on a second one that the client does not
// know), and downloading the world downloads them with what they need,
// each once; FetchResources answers many URLs in the order given, from the
// cache when it can. The servers' request logs are the witnesses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/ResourceFetching.hh>
#include <qx/quarn_tools/ResourceRequests.hh>
#include <string>
#include <thread>
#include <vector>

#include "support/ClientFixture.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::ResponseScript;
using qx::test::WriteFile;

std::string Include(const std::string &uri) {
  return "<include><uri> " + uri + " </uri></include>";
}

class WorldIncludesTest : public qx::test::ClientFixture {
 protected:
  void SetUp() override {
    qx::test::ClientFixture::SetUp();
    if (HasFatalFailure()) return;
    other_ = std::make_unique<qx::test::ExampleServer>();
    ASSERT_TRUE(other_->Started());
  }

  // A world of our server, alice/worlds/park version 1, whose files hold
  // `sdf` (park.sdf) and `more` (sub/more.world).
  std::string World(const std::string &sdf, const std::string &more = "") {
    WriteFile(Root() + "/alice/worlds/park/1/park.sdf",
              "<?xml version='1.0'?><sdf version='1.9'><world name='park'>" + sdf +
                  "</world></sdf>");
    if (!more.empty())
      WriteFile(Root() + "/alice/worlds/park/1/sub/more.world", "<sdf>" + more + "</sdf>");
    return ResourceUrl("alice/worlds/park");
  }
  std::string OtherUrl(const std::string &route) { return other_->Url() + "/1.0/" + route; }

  // How often each archive was asked of a server.
  static std::map<std::string, int> Archives(qx::test::InstrumentedServer &server) {
    std::map<std::string, int> asked;
    for (const auto &record : server.Requests())
      if (record.route.find(".zip") != std::string::npos) ++asked[record.route];
    return asked;
  }
  std::map<std::string, int> OurArchives() { return Archives(Server()); }
  std::map<std::string, int> OtherArchives() { return Archives(other_->Server()); }

  static std::vector<std::string> Names(const std::vector<DownloadOutcome> &outcomes) {
    std::vector<std::string> names;
    for (const DownloadOutcome &o : outcomes)
      names.push_back(o.owner + "/" + o.name + "/" + std::to_string(o.version));
    return names;
  }

  RequestOptions WithIncludes(bool includes = true) {
    RequestOptions options;
    options.includes = includes;
    options.jobs = 4;
    return options;
  }

  std::unique_ptr<qx::test::ExampleServer> other_;
  qx::test::ScopedEnv noRetries_{"QX_QUARN_RETRIES", std::string("0")};
};

TEST_F(WorldIncludesTest, AWorldArrivesWithTheModelsItIncludesOnTwoServers) {
  const std::string url =
      World(Include(ResourceUrl("alice/models/robot")) + Include("model://sun") +
                Include("file:///usr/share/ground.sdf") +
                "<model name='yard'><model name='shed'>" +
                Include(OtherUrl("bob/models/wheel")) + "</model></model>",
            Include(ResourceUrl("alice/models/box/1")) + Include(ResourceUrl("alice/models/robot")));
  const DownloadOutcome world = ResourceRequests(Client()).Download(url, WithIncludes());
  ASSERT_TRUE(world) << world.failure.text;
  EXPECT_EQ(world.result.Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::exists(world.path + "/park.sdf"));
  // Each model it includes, once, in the order first named.
  ASSERT_EQ(Names(world.includes),
            (std::vector<std::string>{"alice/robot/1", "bob/wheel/1", "alice/box/1"}));
  for (const DownloadOutcome &model : world.includes) {
    EXPECT_TRUE(model) << model.url << ": " << model.failure.text;
    EXPECT_TRUE(qx::common::isDirectory(model.path)) << model.path;
  }
  EXPECT_EQ(world.includes[1].url, OtherUrl("bob/models/wheel"));
  EXPECT_EQ(world.includes[1].server, other_->Url());
  // With what each needs: the robot's wheel and box, the other server's
  // wheel its own box.
  EXPECT_EQ(Names(world.includes[0].dependencies),
            (std::vector<std::string>{"bob/wheel/1", "alice/box/1"}));
  EXPECT_EQ(Names(world.includes[1].dependencies), (std::vector<std::string>{"alice/box/2"}));
  EXPECT_EQ(world.includes[1].dependencies[0].server, other_->Url());
  // Each archive asked once: box 1 is included twice and needed by the
  // robot, the robot is included twice.
  EXPECT_EQ(OurArchives(), (std::map<std::string, int>{{"alice/models/robot/tip/robot.zip", 1},
                                                       {"alice/models/box/1/box.zip", 1},
                                                       {"bob/models/wheel/tip/wheel.zip", 1},
                                                       {"alice/worlds/park/tip/park.zip", 1}}));
  EXPECT_EQ(OtherArchives(), (std::map<std::string, int>{{"bob/models/wheel/tip/wheel.zip", 1},
                                                         {"alice/models/box/tip/box.zip", 1}}));

  // The world loads offline now: fetched with its includes, nothing asked.
  ClearSeen();
  Client().Config().SetOffline(true);
  const DownloadOutcome offline = ResourceRequests(Client()).Fetch(url, WithIncludes());
  EXPECT_TRUE(offline) << offline.failure.text;
  EXPECT_TRUE(offline.fromCache);
  EXPECT_EQ(Names(offline.includes), Names(world.includes));
  for (const DownloadOutcome &model : offline.includes) EXPECT_TRUE(model.fromCache);
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_F(WorldIncludesTest, WithoutIncludesNoModelIsAsked) {
  const std::string url =
      World(Include(ResourceUrl("alice/models/robot")) + Include(OtherUrl("bob/models/wheel")));
  const DownloadOutcome world = ResourceRequests(Client()).Download(url, WithIncludes(false));
  ASSERT_TRUE(world) << world.failure.text;
  EXPECT_TRUE(world.includes.empty());
  EXPECT_EQ(OurArchives(), (std::map<std::string, int>{{"alice/worlds/park/tip/park.zip", 1}}));
  EXPECT_TRUE(OtherArchives().empty());
  // QuarnClient::DownloadWorld stays as it was: the world alone.
  WorldIdentifier id = WorldId("alice", "park");
  EXPECT_TRUE(Client().DownloadWorld(id));
  EXPECT_TRUE(OtherArchives().empty());
  EXPECT_EQ(OurArchives().size(), 1u);
}

TEST_F(WorldIncludesTest, AFailedIncludeFailsTheWorldAndTheOthersAreKept) {
  const std::string url = World(Include(ResourceUrl("alice/models/box/2")) +
                                Include(ResourceUrl("carol/models/gone")) +
                                Include(OtherUrl("bob/models/wheel")));
  WorldIdentifier id = WorldId("alice", "park");
  const DownloadOutcome world = Client().DownloadWorldWithModels(id, {}, 3);
  EXPECT_FALSE(world);
  EXPECT_EQ(world.result.Type(), FETCH_FAILED);
  EXPECT_EQ(world.failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(world.failure.status, 404);
  EXPECT_NE(world.failure.text.find("1 of 3 models that world alice/park includes failed; " +
                                    ResourceUrl("carol/models/gone")),
            std::string::npos)
      << world.failure.text;
  // The world is in the cache, and so are the other models.
  EXPECT_EQ(id.Version(), 1u);
  EXPECT_EQ(world.path, id.LocalPath());
  EXPECT_TRUE(qx::common::exists(world.path + "/park.sdf"));
  ASSERT_EQ(world.includes.size(), 3u);
  EXPECT_TRUE(world.includes[0]);
  EXPECT_FALSE(world.includes[1]);
  EXPECT_EQ(world.includes[1].failure.reason, FailureReason::kNotFound);
  EXPECT_TRUE(world.includes[2]);
  EXPECT_TRUE(qx::common::isDirectory(world.includes[0].path));
  EXPECT_TRUE(qx::common::isDirectory(world.includes[2].path));
}

TEST_F(WorldIncludesTest, OfflineEachMissingIncludeIsAnOfflineFailure) {
  const std::string url =
      World(Include(ResourceUrl("alice/models/box/1")) + Include(ResourceUrl("bob/models/wheel")));
  ASSERT_TRUE(ResourceRequests(Client()).Download(url, WithIncludes(false)));
  ASSERT_TRUE(ResourceRequests(Client()).Download(ResourceUrl("alice/models/box/1")));
  ClearSeen();
  Client().Config().SetOffline(true);
  const DownloadOutcome world = ResourceRequests(Client()).Fetch(url, WithIncludes());
  EXPECT_FALSE(world);
  EXPECT_EQ(world.failure.reason, FailureReason::kOffline);
  ASSERT_EQ(world.includes.size(), 2u);
  EXPECT_TRUE(world.includes[0].fromCache);
  EXPECT_EQ(world.includes[1].failure.reason, FailureReason::kOffline);
  EXPECT_TRUE(SeenRoutes().empty());
}

// ---- Many URLs at once -----------------------------------------------------

TEST_F(WorldIncludesTest, FetchResourcesAnswersEachUrlInOrder) {
  const ResourceRequests requests(Client());
  ASSERT_TRUE(requests.Download(ResourceUrl("alice/models/box/1")));
  ResponseScript broken;
  broken.route = "carol/models/odd/tip/odd.zip";
  broken.body = "these bytes are no archive";
  broken.contentType = "application/zip";
  broken.status = 200;
  Server().AddScript(broken);
  ClearSeen();
  const std::vector<std::string> urls = {
      ResourceUrl("alice/models/box/1"),                          // cached
      ResourceUrl("bob/models/wheel"),                            // missing
      ResourceUrl("carol/models/gone"),                           // 404
      ResourceUrl("carol/models/odd"),                            // not an archive
      ResourceUrl("alice/models/box/1/files/meshes/box.obj"),     // a cached file
      ResourceUrl("bob/worlds/town/1/files/town.sdf"),            // a world's file
      ResourceUrl("alice/models/box/1/files/no/such.file"),       // a file it lacks
      ResourceUrl("alice/collections/favourites"),                // not fetched
      ResourceUrl("bob/models/wheel"),                            // asked again
      OtherUrl("alice/worlds/garden"),                            // a world elsewhere
  };
  const std::vector<DownloadOutcome> outcomes = requests.FetchResources(urls, 4);
  ASSERT_EQ(outcomes.size(), urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) EXPECT_EQ(outcomes[i].url, urls[i]) << i;
  EXPECT_EQ(outcomes[0].result.Type(), FETCH_CACHED);
  EXPECT_EQ(outcomes[0].path, ServerCache() + "/alice/models/box/1");
  EXPECT_EQ(outcomes[1].result.Type(), FETCH_DONE);
  EXPECT_EQ(outcomes[1].path, ServerCache() + "/bob/models/wheel/1");
  // The wheel needs the newest box; the cache has one, box 1.
  EXPECT_EQ(Names(outcomes[1].dependencies), (std::vector<std::string>{"alice/box/1"}));
  EXPECT_EQ(outcomes[2].failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(outcomes[2].failure.status, 404);
  EXPECT_EQ(outcomes[3].failure.reason, FailureReason::kArchive);
  EXPECT_NE(outcomes[3].failure.text.find("not a valid zip"), std::string::npos);
  EXPECT_EQ(outcomes[4].path, ServerCache() + "/alice/models/box/1/meshes/box.obj");
  EXPECT_EQ(outcomes[4].kind, ResourceKind::kModelFile);
  EXPECT_EQ(outcomes[5].path, ServerCache() + "/bob/worlds/town/1/town.sdf");
  EXPECT_EQ(outcomes[6].failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(outcomes[6].resourcePath, ServerCache() + "/alice/models/box/1");
  EXPECT_EQ(outcomes[7].failure.reason, FailureReason::kInvalidUrl);
  EXPECT_EQ(outcomes[8].path, outcomes[1].path);
  EXPECT_TRUE(outcomes[9]) << outcomes[9].failure.text;
  EXPECT_TRUE(qx::common::exists(outcomes[9].path + "/garden.sdf"));
  // Each archive asked once; box 1 was cached, and asked again only for the
  // file it lacks.
  EXPECT_EQ(OurArchives(), (std::map<std::string, int>{{"bob/models/wheel/tip/wheel.zip", 1},
                                                       {"carol/models/gone/tip/gone.zip", 1},
                                                       {"carol/models/odd/tip/odd.zip", 1},
                                                       {"bob/worlds/town/1/town.zip", 1},
                                                       {"alice/models/box/1/box.zip", 1}}));

  // Asked again, the cache answers everything it holds, without a request.
  ClearSeen();
  const std::vector<std::string> cached = {urls[0], urls[1], urls[4], urls[5], urls[9]};
  const std::vector<std::string> paths = fetchResourcesWithClient(cached, Client());
  EXPECT_EQ(paths, (std::vector<std::string>{outcomes[0].path, outcomes[1].path, outcomes[4].path,
                                             outcomes[5].path, outcomes[9].path}));
  EXPECT_TRUE(SeenRoutes().empty());
  EXPECT_EQ(OtherArchives(), (std::map<std::string, int>{{"alice/worlds/garden/tip/garden.zip", 1}}));
}

TEST_F(WorldIncludesTest, FetchResourcesOfflineAnswersFromTheCacheOnly) {
  const ResourceRequests requests(Client());
  ASSERT_TRUE(requests.Download(ResourceUrl("alice/models/box/1")));
  ClearSeen();
  Client().Config().SetOffline(true);
  const std::vector<DownloadOutcome> outcomes = requests.FetchResources(
      {ResourceUrl("bob/models/wheel"), ResourceUrl("alice/models/box/1/files/model.sdf"),
       ResourceUrl("alice/worlds/garden"), ResourceUrl("alice/models/box/1")},
      2);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_EQ(outcomes[0].failure.reason, FailureReason::kOffline);
  EXPECT_TRUE(outcomes[1]) << outcomes[1].failure.text;
  EXPECT_EQ(outcomes[2].failure.reason, FailureReason::kOffline);
  EXPECT_EQ(outcomes[3].result.Type(), FETCH_CACHED);
  EXPECT_TRUE(SeenRoutes().empty());
}

// The client keeps what the cache answered for the next FetchResources,
// only while the resource's directory is unchanged: a version published
// or removed meanwhile is seen.
TEST_F(WorldIncludesTest, FetchResourcesSeesVersionsPublishedAndRemovedSinceItsLastAnswer) {
  const ResourceRequests requests(Client());
  ASSERT_TRUE(requests.Download(ResourceUrl("alice/models/box/1")));
  const std::vector<std::string> urls = {ResourceUrl("alice/models/box")};
  // Kept only once the directories are older than a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ClearSeen();
  EXPECT_EQ(requests.FetchResources(urls, 2)[0].path, ServerCache() + "/alice/models/box/1");
  EXPECT_EQ(requests.FetchResources(urls, 2)[0].path, ServerCache() + "/alice/models/box/1");
  ASSERT_TRUE(requests.Download(ResourceUrl("alice/models/box/2")));
  EXPECT_EQ(requests.FetchResources(urls, 2)[0].path, ServerCache() + "/alice/models/box/2");
  ASSERT_TRUE(qx::common::removeAll(ServerCache() + "/alice/models/box/2"));
  EXPECT_EQ(requests.FetchResources(urls, 2)[0].path, ServerCache() + "/alice/models/box/1");
  EXPECT_EQ(OurArchives(), (std::map<std::string, int>{{"alice/models/box/2/box.zip", 1}}));
}

// Answers kept from the cache answer every request of a model asked
// several times in one call, directly and through a world's includes, each
// with the URL it was asked by.
TEST_F(WorldIncludesTest, KeptAnswersAnswerEveryRequestOfAModelAskedManyTimes) {
  const std::string box = ResourceUrl("alice/models/box/1");
  const std::vector<std::string> urls = {box, World(Include(box)), box,
                                         ResourceUrl("bob/models/wheel"), box};
  const ResourceRequests requests(Client());
  const std::vector<DownloadOutcome> first = requests.FetchResources(urls, 2, WithIncludes());
  ASSERT_EQ(first.size(), urls.size());
  // Kept only once the directories are older than a second: the first call
  // after the wait keeps them, the next ones answer from what was kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ClearSeen();
  for (int call = 0; call < 3; ++call) {
    const std::vector<DownloadOutcome> outcomes =
        requests.FetchResources(urls, 2, WithIncludes());
    ASSERT_EQ(outcomes.size(), urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
      EXPECT_TRUE(outcomes[i]) << call << " " << i << " " << outcomes[i].failure.text;
      EXPECT_TRUE(outcomes[i].fromCache) << call << " " << i;
      EXPECT_EQ(outcomes[i].url, urls[i]) << call << " " << i;
      EXPECT_EQ(outcomes[i].path, first[i].path) << call << " " << i;
    }
    EXPECT_EQ(outcomes[0].path, ServerCache() + "/alice/models/box/1");
    ASSERT_EQ(outcomes[1].includes.size(), 1u);
    EXPECT_EQ(outcomes[1].includes[0].url, box);
    EXPECT_EQ(outcomes[1].includes[0].path, outcomes[0].path);
    EXPECT_EQ(Names(outcomes[3].dependencies), Names(first[3].dependencies));
  }
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_F(WorldIncludesTest, FetchResourcesOfAWorldWithItsIncludes) {
  const std::string url =
      World(Include(ResourceUrl("bob/models/wheel")) + Include(ResourceUrl("alice/models/box/1")));
  const std::vector<DownloadOutcome> outcomes = ResourceRequests(Client()).FetchResources(
      {url, ResourceUrl("alice/models/box/1"), ResourceUrl("bob/models/wheel")}, 4,
      WithIncludes());
  ASSERT_EQ(outcomes.size(), 3u);
  for (const DownloadOutcome &outcome : outcomes) EXPECT_TRUE(outcome) << outcome.failure.text;
  EXPECT_EQ(Names(outcomes[0].includes), (std::vector<std::string>{"bob/wheel/1", "alice/box/1"}));
  EXPECT_EQ(outcomes[0].includes[0].url, ResourceUrl("bob/models/wheel"));
  // Asked of the world and directly: downloaded once. The wheel's box (the
  // newest) is not asked for: a box is in the cache.
  for (const auto &[route, count] : OurArchives()) EXPECT_EQ(count, 1) << route;
  EXPECT_EQ(OurArchives().count("alice/models/box/1/box.zip"), 1u);
}

// ---- On our server and on the nginx mirror ---------------------------------

class WorldsAnyServer : public qx::test::ServedClientFixture {};

TEST_P(WorldsAnyServer, AWorldArrivesWholeAndManyUrlsResolveInOrder) {
  WriteFile(Root() + "/alice/worlds/park/1/park.sdf",
            "<sdf version='1.9'><world name='park'>" + Include(ResourceUrl("alice/models/robot")) +
                Include(ResourceUrl("alice/models/box/1")) + Include("model://sun") +
                "</world></sdf>");
  Publish();
  RequestOptions options;
  options.includes = true;
  options.jobs = 3;
  const DownloadOutcome world =
      ResourceRequests(Client()).Download(ResourceUrl("alice/worlds/park"), options);
  ASSERT_TRUE(world) << world.failure.text;
  ASSERT_EQ(world.includes.size(), 2u);
  for (const DownloadOutcome &model : world.includes) EXPECT_TRUE(model) << model.failure.text;
  std::map<std::string, int> archives;
  for (const std::string &route : RoutesWith(".zip")) ++archives[route];
  EXPECT_EQ(archives, (std::map<std::string, int>{{"alice/worlds/park/tip/park.zip", 1},
                                                  {"alice/models/robot/tip/robot.zip", 1},
                                                  {"alice/models/box/1/box.zip", 1},
                                                  {"bob/models/wheel/tip/wheel.zip", 1}}));

  const std::vector<DownloadOutcome> outcomes = ResourceRequests(Client()).FetchResources(
      {ResourceUrl("bob/worlds/town/1/files/town.sdf"), ResourceUrl("carol/models/gone"),
       ResourceUrl("alice/models/box/1/files/meshes/box.obj")},
      2);
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].path, ServerCache() + "/bob/worlds/town/1/town.sdf");
  EXPECT_EQ(outcomes[1].failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(outcomes[2].path, ServerCache() + "/alice/models/box/1/meshes/box.obj");
}

QX_ON_BOTH_BACKENDS(WorldsAnyServer);

}  // namespace
}  // namespace qx::quarn_tools
