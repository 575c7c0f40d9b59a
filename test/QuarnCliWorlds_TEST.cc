// quarn download and fetch of a world bring the models it includes, and
// quarn fetch of several URLs prints one line per URL in order: the tool
// as a program against our repository server.
#include <gtest/gtest.h>

#include <json/json.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <qx/common/Filesystem.hh>

#include "support/QuarnCliFixture.hh"
#include "support/ServerDocuments.hh"

namespace {

using qx::test::ParseJson;
using qx::test::WriteFile;
using QuarnCliWorlds = qx::test::QuarnCliTest;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

class QuarnCliWorldsTest : public QuarnCliWorlds {
 protected:
  // alice/worlds/park 1, including `uris`.
  std::string World(const std::vector<std::string> &uris) {
    std::string sdf = "<sdf version='1.9'><world name='park'>";
    for (const std::string &uri : uris) sdf += "<include><uri>" + uri + "</uri></include>";
    WriteFile(Root() + "/alice/worlds/park/1/park.sdf", sdf + "</world></sdf>");
    return ResourceUrl("alice/worlds/park");
  }
  std::map<std::string, int> Archives() {
    std::map<std::string, int> asked;
    for (const auto &record : Server().Requests())
      if (record.route.find(".zip") != std::string::npos) ++asked[record.route];
    return asked;
  }
};

TEST_F(QuarnCliWorldsTest, DownloadOfAWorldBringsWhatItIncludesUnlessTold) {
  const std::string url = World({ResourceUrl("alice/models/robot"), "model://sun"});
  const qx::test::ProcessOutcome bare = Run({"download", url, "--no-includes"});
  EXPECT_EQ(bare.status, 0) << bare.err;
  EXPECT_EQ(bare.out, Cached("alice/worlds/park/1") + "\n");
  EXPECT_EQ(Archives(), (std::map<std::string, int>{{"alice/worlds/park/tip/park.zip", 1}}));

  const qx::test::ProcessOutcome whole = Run({"download", url, "--json", "-j", "4"});
  EXPECT_EQ(whole.status, 0) << whole.err;
  const Json::Value world = ParseJson(whole.out);
  EXPECT_EQ(world["kind"].asString(), "world");
  EXPECT_EQ(world["path"].asString(), Cached("alice/worlds/park/1"));
  ASSERT_EQ(world["includes"].size(), 1u);
  const Json::Value &robot = world["includes"][0];
  EXPECT_EQ(robot["uri"].asString(), ResourceUrl("alice/models/robot"));
  EXPECT_EQ(robot["path"].asString(), Cached("alice/models/robot/1"));
  // The wheel's box (the newest) is the box 1 that the robot needs: a model
  // is asked once by name in one batch.
  EXPECT_EQ(robot["dependencies"].size(), 2u);
  for (const char *model : {"alice/models/robot/1", "bob/models/wheel/1", "alice/models/box/1"})
    EXPECT_TRUE(qx::common::isDirectory(Cached(model))) << model;

  // Offline, fetch of the world answers from the cache with all of it.
  const qx::test::ProcessOutcome offline = Run({"fetch", url, "--offline"});
  EXPECT_EQ(offline.status, 0) << offline.err;
  EXPECT_EQ(offline.out, Cached("alice/worlds/park/1") + "\n");
}

TEST_F(QuarnCliWorldsTest, AFailedIncludeFailsTheCommandWithTheOthersKept) {
  const std::string url = World({ResourceUrl("carol/models/gone"), ResourceUrl("alice/models/box/1")});
  const qx::test::ProcessOutcome outcome = Run({"download", url});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, Cached("alice/worlds/park/1") + "\n");
  EXPECT_NE(outcome.err.find("Download of " + ResourceUrl("carol/models/gone") + " failed"),
            std::string::npos)
      << outcome.err;
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/box/1")));

  const Json::Value record = ParseJson(Run({"fetch", url, "--json"}).out);
  EXPECT_EQ(record["reason"].asString(), "not-found");
  ASSERT_EQ(record["includes"].size(), 2u);
  EXPECT_EQ(record["includes"][0]["reason"].asString(), "not-found");
  EXPECT_FALSE(record["includes"][1].isMember("error"));
}

TEST_F(QuarnCliWorldsTest, FetchOfSeveralUrlsPrintsOneLinePerUrlInOrder) {
  const std::vector<std::string> urls = {
      ResourceUrl("alice/models/box/1/files/meshes/box.obj"), ResourceUrl("carol/models/gone"),
      ResourceUrl("bob/worlds/town/1"), "not a url", ResourceUrl("alice/models/box/1")};
  std::vector<std::string> args = {"fetch", "-j", "3"};
  args.insert(args.end(), urls.begin(), urls.end());
  const qx::test::ProcessOutcome outcome = Run(args);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(Lines(outcome.out),
            (std::vector<std::string>{Cached("alice/models/box/1/meshes/box.obj"), "",
                                      Cached("bob/worlds/town/1"), "",
                                      Cached("alice/models/box/1")}));
  EXPECT_NE(outcome.err.find("Download of " + urls[1] + " failed"), std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("Invalid URL [not a url]"), std::string::npos) << outcome.err;

  args.push_back("--json");
  const Json::Value records = ParseJson(Run(args).out);
  ASSERT_TRUE(records.isArray());
  ASSERT_EQ(records.size(), urls.size());
  EXPECT_EQ(records[0]["path"].asString(), Cached("alice/models/box/1/meshes/box.obj"));
  EXPECT_EQ(records[1]["reason"].asString(), "not-found");
  EXPECT_EQ(records[2]["kind"].asString(), "world");
  EXPECT_EQ(records[3]["url"].asString(), "not a url");
  EXPECT_EQ(records[3]["reason"].asString(), "invalid-url");
  EXPECT_TRUE(records[4]["cached"].asBool());

  // All answered: status 0.
  const qx::test::ProcessOutcome good =
      Run({"fetch", urls[0], urls[4], urls[0], "--offline"});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(Lines(good.out), (std::vector<std::string>{Cached("alice/models/box/1/meshes/box.obj"),
                                                       Cached("alice/models/box/1"),
                                                       Cached("alice/models/box/1/meshes/box.obj")}));
}

}  // namespace
