// The quarn tool's downloads as scripts use them: the local path alone on
// standard output (whatever the verbosity), --json documents, offline mode,
// tokens and the errors of failed downloads, against our repository server.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>

#include "support/CraftedArchive.hh"
#include "support/GeneratedModels.hh"
#include "support/RawHttp.hh"
#include "support/QuarnCliFixture.hh"
#include "support/ServerDocuments.hh"

namespace {

using qx::test::ParseJson;
using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::WriteFile;
using QuarnCliResources = qx::test::QuarnCliTest;

std::vector<std::string> RoutesOf(const std::vector<qx::test::RequestRecord> &requests) {
  std::vector<std::string> routes;
  for (const auto &request : requests) routes.push_back(request.route);
  return routes;
}

ProcessOptions WithEnvironment(const std::string &name, const std::string &value) {
  ProcessOptions options;
  options.environment[name] = value;
  return options;
}

// ---- Standard output --------------------------------------------------------

TEST_F(QuarnCliResources, OnlyThePathOnStandardOutputAtEveryVerbosity) {
  struct Case {
    std::vector<std::string> args;
    std::string path;
  };
  const std::vector<Case> cases = {
      {{"download", ResourceUrl("alice/models/robot")}, Cached("alice/models/robot/1")},
      {{"download", "-u", ResourceUrl("bob/worlds/town/1")}, Cached("bob/worlds/town/1")},
      {{"fetch", ResourceUrl("alice/models/box/tip/files/meshes/box.obj")},
       Cached("alice/models/box/2/meshes/box.obj")},
      // The newest cached version will do for fetch.
      {{"fetch", ResourceUrl("bob/worlds/town")}, Cached("bob/worlds/town/1")},
  };
  for (const Case &c : cases) {
    std::vector<std::string> quiet = c.args;
    quiet.insert(quiet.end(), {"-v", "0"});
    std::vector<std::string> chatty = c.args;
    chatty.insert(chatty.end(), {"-v", "4"});
    const ProcessOutcome first = Run(quiet);
    const ProcessOutcome second = Run(chatty);
    EXPECT_EQ(0, first.status) << c.args[1];
    EXPECT_EQ(0, second.status) << c.args[1];
    EXPECT_EQ(c.path + "\n", first.out);
    EXPECT_EQ(first.out, second.out);
    EXPECT_EQ("", first.err);
  }
  EXPECT_TRUE(qx::common::isDirectory(Cached("bob/models/wheel/1")));
}

// Names from a server may hold any bytes. A path goes to a pipe as it is,
// so that a script finds the directory; names shown to people are made
// printable; a JSON document carries valid UTF-8 only.
TEST_F(QuarnCliResources, HostileNamesReachScriptsWholeAndPeopleSafely) {
  // An escape sequence, a C1 control and a right-to-left override.
  const std::string name = "ev\x1b[31mil\xC2\x85\xE2\x80\xAEtxt";
  qx::test::WriteModel(Root(), "mallory", name, 1, 1, 16);
  WriteFile(Root() + "/mallory/collections/c.json",
            "{\"models\": [\"mallory/ev\\u001b[31mil\\u0085\\u202etxt\"], \"worlds\": []}");
  ConfigureServer();
  ProcessOutcome outcome = Run({"download", ResourceUrl("mallory/collections/c"), "-t", "model"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  const std::string path = Cached("mallory/models/" + name + "/1");
  EXPECT_EQ(path + "\n", outcome.out);
  EXPECT_TRUE(qx::common::isDirectory(path));

  outcome = Run({"cache", "ls"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_NE(std::string::npos, outcome.out.find("mallory/models/ev%1B[31mil%C2%85%E2%80%AEtxt"))
      << outcome.out;
  EXPECT_EQ(std::string::npos, outcome.out.find('\x1b')) << outcome.out;

  // A name that is no UTF-8 (renamed by hand here) is carried as valid text.
  std::filesystem::rename(Cached("mallory/models/" + name), Cached("mallory/models/b\xff"));
  outcome = Run({"cache", "ls", "--json"});
  EXPECT_EQ(0, outcome.status);
  const Json::Value document = ParseJson(outcome.out);
  ASSERT_EQ(document["resources"].size(), 1u) << outcome.out;
  EXPECT_EQ(document["resources"][0]["name"].asString(), "b\xEF\xBF\xBD");
}

TEST_F(QuarnCliResources, DownloadJsonNamesTheModelAndEveryDependency) {
  const ProcessOutcome outcome = Run({"download", ResourceUrl("alice/models/robot"), "--json"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  const Json::Value robot = ParseJson(outcome.out);
  EXPECT_EQ(robot["kind"].asString(), "model");
  EXPECT_EQ(robot["url"].asString(), ResourceUrl("alice/models/robot/1"));
  EXPECT_EQ(robot["server"].asString(), Url());
  EXPECT_EQ(robot["owner"].asString(), "alice");
  EXPECT_EQ(robot["name"].asString(), "robot");
  EXPECT_EQ(robot["version"].asUInt(), 1u);
  EXPECT_EQ(robot["path"].asString(), Cached("alice/models/robot/1"));
  EXPECT_GT(robot["size"].asUInt64(), 0u);
  EXPECT_FALSE(robot["cached"].asBool());
  // The robot needs the wheel and box 1; the wheel needs the newest box.
  std::vector<std::string> dependencies;
  for (const Json::Value &dependency : robot["dependencies"]) {
    dependencies.push_back(dependency["url"].asString());
    EXPECT_TRUE(qx::common::isDirectory(dependency["path"].asString())) << dependency;
    EXPECT_GT(dependency["size"].asUInt64(), 0u);
  }
  EXPECT_EQ(dependencies, (std::vector<std::string>{ResourceUrl("bob/models/wheel/1"),
                                                    ResourceUrl("alice/models/box/1"),
                                                    ResourceUrl("alice/models/box/2")}));
  // From the cache the second time.
  const Json::Value again = ParseJson(Run({"fetch", ResourceUrl("alice/models/robot"), "--json"}).out);
  EXPECT_TRUE(again["cached"].asBool());
  EXPECT_EQ(again["dependencies"], robot["dependencies"]);
}

TEST_F(QuarnCliResources, FetchJsonOfAFileAndOfAWorld) {
  Json::Value file =
      ParseJson(Run({"fetch", ResourceUrl("alice/models/box/1/files/meshes/box.obj"), "--json"}).out);
  EXPECT_EQ(file["file"].asString(), "meshes/box.obj");
  EXPECT_EQ(file["path"].asString(), Cached("alice/models/box/1/meshes/box.obj"));
  EXPECT_EQ(file["resource_path"].asString(), Cached("alice/models/box/1"));
  EXPECT_EQ(file["size"].asUInt64(), qx::test::ReadFile(Cached("alice/models/box/1/meshes/box.obj")).size());
  EXPECT_EQ(file["version"].asUInt(), 1u);

  const Json::Value world = ParseJson(Run({"download", ResourceUrl("bob/worlds/town"), "--json"}).out);
  EXPECT_EQ(world["kind"].asString(), "world");
  EXPECT_EQ(world["url"].asString(), ResourceUrl("bob/worlds/town/2"));
  EXPECT_EQ(world["path"].asString(), Cached("bob/worlds/town/2"));
  EXPECT_FALSE(world.isMember("dependencies"));
}

TEST_F(QuarnCliResources, CollectionDownloadPrintsEveryMemberAndFailsWhenOneFails) {
  ProcessOutcome outcome = Run({"download", ResourceUrl("alice/collections/favourites"), "-j", "3"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(Cached("alice/models/box/2") + "\n" + Cached("bob/models/wheel/1") + "\n" +
                Cached("bob/worlds/town/2") + "\n",
            outcome.out);

  Refuse("bob/worlds/town/tip/town.zip", 500, "disk full");
  Refuse("bob/worlds/town/2/town.zip", 500, "disk full");
  qx::common::removeAll(ServerCache());
  outcome = Run({"download", ResourceUrl("alice/collections/favourites"), "--json"});
  EXPECT_EQ(1, outcome.status);
  const Json::Value document = ParseJson(outcome.out);
  EXPECT_EQ(document["kind"].asString(), "collection");
  EXPECT_EQ(document["owner"].asString(), "alice");
  EXPECT_EQ(document["name"].asString(), "favourites");
  EXPECT_EQ(document["resources"].size(), 2u);
  ASSERT_EQ(document["failed"].size(), 1u);
  EXPECT_EQ(document["failed"][0]["name"].asString(), "town");

  outcome = Run({"download", ResourceUrl("alice/collections/nothing")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos, outcome.err.find("was not found on " + Url() + " (404)"))
      << outcome.err;
}

// A version named in the URL and already cached needs no request.
TEST_F(QuarnCliResources, CachedExplicitVersionMakesNoRequestUnlessForced) {
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  Server().ClearRequests();
  EXPECT_EQ(Cached("alice/models/box/1") + "\n", Run({"download", ResourceUrl("alice/models/box/1")}).out);
  EXPECT_TRUE(Server().Requests().empty());
  EXPECT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1"), "--force"}).status);
  EXPECT_EQ(RoutesOf(Server().Requests()), std::vector<std::string>{"alice/models/box/1/box.zip"});
  Server().ClearRequests();
  // The newest version is the server's to say.
  EXPECT_EQ(0, Run({"download", ResourceUrl("alice/models/box")}).status);
  EXPECT_EQ(RoutesOf(Server().Requests()), std::vector<std::string>{"alice/models/box/tip/box.zip"});
}

// ---- Failures -----------------------------------------------------------------

TEST_F(QuarnCliResources, FailuresExitWithOneAndSayWhatWentWrong) {
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string error;
  };
  Refuse("alice/models/box/2/box.zip", 503, "{\"message\": \"maintenance\\u001b[31m until noon\"}");
  const std::vector<Case> cases = {
      {"server's own error text", {"download", ResourceUrl("alice/models/box/2")},
       Url() + " answered 503 for model alice/box: maintenance%1B[31m until noon"},
      {"unknown model", {"download", ResourceUrl("alice/models/ghost")},
       "Download of " + ResourceUrl("alice/models/ghost") + " failed: model alice/ghost was not "
       "found on " + Url() + " (404)"},
      {"file the model lacks", {"fetch", ResourceUrl("alice/models/box/tip/files/nothing.obj")},
       "The file [nothing.obj] is not part of version 2 of alice/box"},
      {"no kind of URL", {"download", ResourceUrl("alice/things/x")},
       "download takes the URL of a model, world or collection"},
      {"world file missing", {"fetch", ResourceUrl("bob/worlds/town/tip/files/x.sdf")},
       "The file [x.sdf] is not part of version 2 of bob/town"},
  };
  for (const Case &c : cases) {
    const ProcessOutcome outcome = Run(c.args);
    EXPECT_EQ(1, outcome.status) << c.what;
    EXPECT_EQ("", outcome.out) << c.what;
    EXPECT_NE(std::string::npos, outcome.err.find(c.error)) << c.what << "\n" << outcome.err;
  }
}

// The reason of a failure reaches the user at the default verbosity, in
// one line after the log's own lines; with --json also in the document.
TEST_F(QuarnCliResources, TheReasonOfAFailureIsOneLine) {
  struct Case {
    const char *what;
    std::string body;
    std::string reason;
    const char *name;
  };
  const std::string unsupported =
      qx::test::CraftedArchive()
          .Add(qx::test::CraftedEntry{"model.config", "<model/>", true, std::nullopt, false, 6})
          .Bytes();
  const std::vector<Case> cases = {
      {"compression method", unsupported,
       "the archive is not a valid zip (Compression method not supported)", "archive"},
      {"no model.config", qx::test::CraftedArchive().File("odd/model.config", "<model/>").Bytes(),
       "the archive holds no model.config at its top", "archive"},
      {"not an archive", "no zip at all", "the archive is not a valid zip (Not a zip archive)",
       "archive"},
  };
  const std::string url = ResourceUrl("carol/models/odd");
  for (const Case &c : cases) {
    Server().ClearScripts();
    qx::test::ResponseScript answer;
    answer.route = "carol/models/odd/tip/odd.zip";
    answer.status = 200;
    answer.body = c.body;
    answer.contentType = "application/zip";
    Server().AddScript(answer);
    const std::string line = "Download of " + url + " failed: " + c.reason;
    const ProcessOutcome plain = Run({"download", url});
    EXPECT_EQ(1, plain.status) << c.what;
    EXPECT_EQ("", plain.out) << c.what;
    EXPECT_NE(std::string::npos, plain.err.find(line + "\n")) << c.what << "\n" << plain.err;
    const ProcessOutcome json = Run({"download", url, "--json"});
    EXPECT_EQ(1, json.status) << c.what;
    const Json::Value record = ParseJson(json.out);
    EXPECT_EQ(record["error"].asString(), line) << c.what;
    EXPECT_EQ(record["reason"].asString(), c.name) << c.what;
    EXPECT_EQ(record["url"].asString(), url) << c.what;
    EXPECT_FALSE(record.isMember("path")) << c.what;
    // Nothing was published.
    EXPECT_FALSE(qx::common::exists(Cached("carol/models/odd"))) << c.what;
  }
  const std::string nowhere = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  const ProcessOutcome network = Run({"fetch", nowhere + "/1.0/carol/models/odd"});
  EXPECT_EQ(1, network.status);
  EXPECT_NE(std::string::npos,
            network.err.find("Download of " + nowhere + "/1.0/carol/models/odd failed: no answer "
                             "from " + nowhere + " ("))
      << network.err;
}

using ProtectedServer = qx::test::ProtectedQuarnCliTest;

TEST_F(ProtectedServer, RefusedAccessSaysWhichTokenToSupplyAndHow) {
  const ProcessOutcome outcome = Run({"download", ResourceUrl("alice/models/box")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos,
            outcome.err.find(Url() + " refused access to model alice/box (401). Supply a token for " +
                             Url() + ": run \"quarn login " + Url() +
                             "\", or set QX_QUARN_TOKEN for one command"))
      << outcome.err;
}

// The token of QX_QUARN_TOKEN goes to the server the URL names and to no
// other, not even to the server of a dependency; no token is ever logged.
TEST_F(ProtectedServer, EnvironmentTokenReachesOnlyTheServerOfTheUrl) {
  qx::test::ExampleServer other;
  ASSERT_TRUE(other.Started());
  WriteFile(Root() + "/carol/models/cart/1/model.config",
            "<?xml version=\"1.0\"?>\n<model><name>Cart</name><version>1</version>"
            "<sdf version=\"1.9\">model.sdf</sdf>"
            "<depend><model><uri>" + other.Url() + "/1.0/alice/models/box</uri></model></depend>"
            "</model>\n");
  WriteFile(Root() + "/carol/models/cart/1/model.sdf", "<?xml version=\"1.0\"?>\n<sdf version=\"1.9\"/>\n");
  ProcessOptions options = WithEnvironment("QX_QUARN_TOKEN", kApiKey);
  const ProcessOutcome outcome =
      Run({"download", ResourceUrl("carol/models/cart"), "-v", "4"}, options);
  EXPECT_EQ(0, outcome.status) << outcome.err;
  ASSERT_FALSE(Server().Requests().empty());
  for (const auto &request : Server().Requests())
    EXPECT_EQ(request.Header("Private-token").value_or(""), kApiKey) << request.route;
  ASSERT_FALSE(other.Server().Requests().empty());
  for (const auto &request : other.Server().Requests())
    EXPECT_FALSE(request.Header("Private-token").has_value()) << request.route;
  EXPECT_EQ(std::string::npos, outcome.err.find(kApiKey)) << outcome.err;
}

TEST_F(ProtectedServer, TokensNeverReachTheLog) {
  ConfigureServer("from-the-file");
  const ProcessOutcome withFile = Run({"download", ResourceUrl("alice/models/ghost"), "-v", "4"});
  EXPECT_EQ(1, withFile.status);
  EXPECT_EQ(std::string::npos, withFile.err.find("from-the-file")) << withFile.err;
  const ProcessOutcome withHeader = Run({"download", ResourceUrl("alice/models/ghost"), "-v", "4",
                                         "--header", "Private-token: from-the-header"});
  EXPECT_EQ(1, withHeader.status);
  EXPECT_EQ(std::string::npos, withHeader.err.find("from-the-header")) << withHeader.err;
  EXPECT_EQ(Server().Requests().back().Header("Private-token").value_or(""), "from-the-header");
}

// ---- Offline ------------------------------------------------------------------

TEST_F(QuarnCliResources, OfflineAnswersFromTheCacheWithoutARequest) {
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/robot")}).status);
  ASSERT_EQ(0, Run({"download", ResourceUrl("bob/worlds/town/1")}).status);
  Server().ClearRequests();
  struct Case {
    std::vector<std::string> args;
    ProcessOptions options;
    int status;
    std::string out;
    std::string err;
  };
  const ProcessOptions environment = WithEnvironment("QX_QUARN_OFFLINE", "1");
  const std::vector<Case> cases = {
      {{"--offline", "download", ResourceUrl("alice/models/robot")}, {}, 0,
       Cached("alice/models/robot/1") + "\n", ""},
      {{"fetch", ResourceUrl("alice/models/box/tip/files/meshes/box.obj")}, environment, 0,
       Cached("alice/models/box/2/meshes/box.obj") + "\n", ""},
      {{"download", ResourceUrl("bob/worlds/town"), "--offline"}, {}, 0,
       Cached("bob/worlds/town/1") + "\n", ""},
      {{"fetch", ResourceUrl("alice/worlds/garden")}, environment, 1, "",
       "offline: " + ResourceUrl("alice/worlds/garden") + " is not in the cache"},
      {{"--offline", "download", ResourceUrl("alice/models/box/7")}, {}, 1, "",
       "offline: " + ResourceUrl("alice/models/box/7") + " is not in the cache"},
      {{"--offline", "download", ResourceUrl("alice/collections/favourites")}, {}, 1, "",
       "offline: a collection needs its server"},
      {{"--offline", "list", Url(), "-t", "world", "--raw"}, {}, 0,
       ResourceUrl("bob/worlds/town") + "\n",
       "offline: listing the cached worlds of " + Url()},
      {{"list", Url(), "-o", "alice"}, environment, 0,
       Url() + "\n└── alice\n    ├── box [1, 2]\n    └── robot [1]\n1 owners, 2 models\n",
       "offline: listing the cached models of " + Url()},
      {{"--offline", "update"}, {}, 1, "", "offline: update needs the server"},
      {{"--offline", "delete", ResourceUrl("alice/models/box")}, {}, 1, "", "offline: delete needs the server"},
  };
  for (const Case &c : cases) {
    const ProcessOutcome outcome = Run(c.args, c.options);
    EXPECT_EQ(c.status, outcome.status) << c.args[1] << " " << c.args[2];
    EXPECT_EQ(c.out, outcome.out) << c.args[1] << " " << c.args[2];
    EXPECT_NE(std::string::npos, outcome.err.find(c.err)) << outcome.err;
  }
  EXPECT_TRUE(Server().Requests().empty());

  // A cached model whose dependency is not: offline, that is a failure.
  qx::common::removeAll(Cached("bob/models/wheel"));
  const ProcessOutcome partial = Run({"--offline", "fetch", ResourceUrl("alice/models/robot")});
  EXPECT_EQ(1, partial.status);
  EXPECT_NE(std::string::npos,
            partial.err.find("offline: dependency bob/wheel of alice/robot is not in the cache"));
  EXPECT_TRUE(Server().Requests().empty());
}

}  // namespace
