// downloadUrl, called the way a front end calls it (loaded with dlopen from
// the built shared library), against our repository server: models with
// their dependencies, worlds, collections, what it prints and where things
// went.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <google/protobuf/text_format.h>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/SignalHandler.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/Helpers.hh>
#include <qx/quarn_tools/ModelConfig.hh>
#include <qx/quarn_tools/ModelIdentifier.hh>
#include <qx/quarn_tools/qx.hh>
#include "qx/msgs/quarn_metadata.pb.h"
#include "support/EmptyRepository.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"
#include "support/CommandFunctionsFixture.hh"

namespace {

using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::WriteFile;
using qx::test::command_functions::CommandFunctionsTest;
using qx::test::command_functions::ProtectedCommandFunctionsTest;
using qx::test::command_functions::StdoutOf;

// ---- downloadUrl --------------------------------------------------------

TEST_F(CommandFunctionsTest, ModelDownloadBringsItsDependenciesQuietly) {
  bool ok = false;
  const std::string out = StdoutOf([&] { ok = Download("alice/models/robot"); });
  EXPECT_TRUE(ok);
  EXPECT_EQ("", out);
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/robot/1")));
  EXPECT_TRUE(qx::common::isDirectory(Cached("bob/models/wheel/1")));
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/box/1")));
}

TEST_F(CommandFunctionsTest, ChattyModelDownloadDescribesTheModelAndSuccess) {
  qx::quarn_tools::ServerConfig server;
  server.SetUrl(qx::common::URI(Url()));
  qx::quarn_tools::ModelIdentifier id;
  id.SetServer(server);
  id.SetOwner("alice");
  id.SetName("box");
  bool ok = false;
  Fn().cmdVerbosity("3");
  const std::string out = StdoutOf([&] { ok = Download("alice/models/box"); });
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string("Downloading model: \x1b[36m\n") + id.AsPrettyString("  ") +
                "\x1b[39m\nDownload succeeded.\n",
            out);
}

TEST_F(CommandFunctionsTest, VersionedModelUrlWarnsAndStillAsksForThatVersion) {
  const LogCapture log;
  EXPECT_TRUE(Download("alice/models/box/1"));
  EXPECT_TRUE(log.Contains("Requested version [1], but currently only the model's latest (tip) "
                           "version is supported.",
                           qx::common::LOG_WARNING));
  EXPECT_TRUE(Requested("alice/models/box/1/box.zip"));
  EXPECT_FALSE(qx::common::exists(Cached("alice/models/box/2")));
}

TEST_F(CommandFunctionsTest, WorldDownload) {
  EXPECT_TRUE(Download("bob/worlds/town"));
  EXPECT_TRUE(qx::common::isDirectory(Cached("bob/worlds/town/2")));
}

TEST_F(CommandFunctionsTest, WorldDownloadIgnoresTheHeaderText) {
  EXPECT_TRUE(Fn().downloadUrl(ResourceUrl("bob/worlds/town").c_str(), nullptr,
                               "Private-token: secret", nullptr, 1));
  const auto requests = Server().Requests("bob/worlds/town/tip/town.zip");
  ASSERT_EQ(1u, requests.size());
  EXPECT_FALSE(requests[0].Header("Private-token").has_value());
}

TEST_F(CommandFunctionsTest, FailedDownloadSaysWhyOnStandardOutput) {
  bool ok = true;
  const std::string out = StdoutOf([&] { ok = Download("alice/models/ghost"); });
  EXPECT_FALSE(ok);
  EXPECT_EQ("Download failed because Fetch failed. Other errors\n", out);
}

TEST_F(CommandFunctionsTest, DownloadRefusesUrlsItCannotUse) {
  struct Case {
    std::string url;
    std::string out;
  };
  const Case cases[] = {
      {"not a url", "Download failed: Malformed URL\n"},
      {ResourceUrl("alice/things/box"),
       "Invalid URL: only models and worlds or collections can be downloaded so far.\n"},
  };
  for (const Case &c : cases) {
    bool ok = true;
    const std::string out = StdoutOf(
        [&] { ok = Fn().downloadUrl(c.url.c_str(), nullptr, nullptr, nullptr, 1); });
    EXPECT_FALSE(ok) << c.url;
    EXPECT_EQ(c.out, out) << c.url;
  }
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(CommandFunctionsTest, DownloadOfNullUrlIsRefused) {
  const LogCapture log;
  EXPECT_FALSE(Fn().downloadUrl(nullptr, nullptr, nullptr, nullptr, 1));
  EXPECT_TRUE(log.Contains("[downloadUrl] The URL text must not be a null pointer.",
                           qx::common::LOG_ERROR));
}

TEST_F(CommandFunctionsTest, CollectionTypeDecidesWhatIsListedAndDownloaded) {
  struct Case {
    const char *type;
    bool models;
    bool worlds;
  };
  const Case cases[] = {{nullptr, true, true}, {"model", true, false}, {"world", false, true}};
  for (const Case &c : cases) {
    const std::string type = c.type ? c.type : "(null)";
    qx::test::IsolatedHome home(true);  // a fresh cache per case
    Server().ClearRequests();
    const LogCapture log;
    EXPECT_TRUE(Fn().downloadUrl(ResourceUrl("alice/collections/favourites").c_str(), nullptr,
                                 nullptr, c.type, 2))
        << type;
    EXPECT_EQ(c.models, Requested("alice/collections/favourites/models")) << type;
    EXPECT_EQ(c.worlds, Requested("alice/collections/favourites/worlds")) << type;
    EXPECT_EQ(c.models, log.Contains("Found 2 models in collection [favourites]")) << type;
    EXPECT_EQ(c.worlds, log.Contains("Found 1 worlds in collection [favourites]")) << type;
    const std::string server = home.Cache() + "/" +
                               qx::quarn_tools::uriToPath(qx::common::URI(Url()));
    EXPECT_EQ(c.models, qx::common::isDirectory(server + "/bob/models/wheel/1")) << type;
    EXPECT_EQ(c.worlds, qx::common::isDirectory(server + "/bob/worlds/town/2")) << type;
  }
}

TEST_F(CommandFunctionsTest, CollectionTypeMustBeModelOrWorld) {
  for (const std::string type : {"models", "", "World"}) {
    const LogCapture log;
    EXPECT_FALSE(Fn().downloadUrl(ResourceUrl("alice/collections/favourites").c_str(), nullptr,
                                  nullptr, type.c_str(), 2));
    EXPECT_TRUE(log.Contains("Unknown resource type [" + type + "] specified.\n",
                             qx::common::LOG_ERROR));
  }
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(CommandFunctionsTest, EmptyCollectionFails) {
  WriteFile(Root() + "/alice/collections/empty.json", R"({"models": [], "worlds": []})");
  bool ok = true;
  const std::string out = StdoutOf([&] {
    ok = Fn().downloadUrl(ResourceUrl("alice/collections/empty").c_str(), nullptr, nullptr,
                          nullptr, 2);
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ("There are no items in collection [empty]\n", out);
}

TEST_F(CommandFunctionsTest, CollectionWithAFailedDownloadFails) {
  qx::test::ResponseScript refuse;
  refuse.route = "bob/models/wheel/1/wheel.zip";
  refuse.status = 500;
  Server().AddScript(refuse);
  bool ok = true;
  const std::string out = StdoutOf([&] {
    ok = Fn().downloadUrl(ResourceUrl("alice/collections/favourites").c_str(), nullptr, nullptr,
                          nullptr, 2);
  });
  EXPECT_FALSE(ok);
  EXPECT_NE(std::string::npos,
            out.find("downloads of collection [favourites] did not succeed.\n"));
  // The others were downloaded all the same.
  EXPECT_TRUE(qx::common::isDirectory(Cached("bob/worlds/town/2")));
}

TEST_F(CommandFunctionsTest, JobsAreAtLeastOneAndAtMostSixtyFour) {
  struct Case {
    int jobs;
    int used;
  };
  const Case cases[] = {{0, 1}, {-5, 1}, {INT_MIN, 1}, {3, 3}, {1000, 64}};
  for (const Case &c : cases) {
    qx::test::IsolatedHome home(true);
    const LogCapture log;
    EXPECT_TRUE(Fn().downloadUrl(ResourceUrl("alice/collections/favourites").c_str(), nullptr,
                                 nullptr, "model", c.jobs))
        << c.jobs;
    EXPECT_TRUE(log.Contains("models with " + std::to_string(c.used) + " worker threads"))
        << c.jobs;
    EXPECT_EQ(c.jobs > 64, log.Contains("Using 64 parallel downloads instead of the " +
                                        std::to_string(c.jobs) + " asked for."))
        << c.jobs;
  }
}

TEST_F(CommandFunctionsTest, DownloadTellsWhereItWent) {
  struct Case {
    std::string route;
    std::string path;
  };
  const Case cases[] = {
      {"alice/models/box", Cached("alice/models/box/2")},
      {"alice/models/box/1", Cached("alice/models/box/1")},
      {"bob/worlds/town", Cached("bob/worlds/town/2")},
      {"alice/collections/favourites", Cache() + "/" + qx::quarn_tools::uriToPath(
                                                           qx::common::URI(Url()))},
  };
  for (const Case &c : cases) {
    std::string path;
    EXPECT_TRUE(qx::quarn_tools::downloadUrlToPath(ResourceUrl(c.route).c_str(), nullptr, nullptr,
                                                   nullptr, 2, path))
        << c.route;
    EXPECT_EQ(c.path, path) << c.route;
  }
}

TEST_F(CommandFunctionsTest, ConfigurationFileThatDoesNotLoadKeepsTheDefaultCache) {
  const LogCapture log;
  std::string path;
  EXPECT_TRUE(qx::quarn_tools::downloadUrlToPath(ResourceUrl("alice/models/box").c_str(),
                                                 "/no/such/config.yaml", nullptr, nullptr, 1,
                                                 path));
  EXPECT_EQ(Cached("alice/models/box/2"), path);
  EXPECT_TRUE(log.Contains("Unable to find configuration file [/no/such/config.yaml]"));
}

TEST_F(CommandFunctionsTest, CommandConfigurationOfAFileHasOnlyItsServers) {
  const qx::quarn_tools::ClientConfig config =
      qx::quarn_tools::commandConfig(ConfigFile().c_str());
  ASSERT_EQ(1u, config.Servers().size());
  EXPECT_EQ(Url(), config.Servers()[0].Url().Str());
  EXPECT_EQ("QuarnTools 11.0.0", config.UserAgent());
  EXPECT_EQ("QuarnTools 11.0.0", qx::quarn_tools::commandConfig(nullptr).UserAgent());
}

TEST_F(ProtectedCommandFunctionsTest, HeaderGoesWithTheModelAndEachDependency) {
  EXPECT_TRUE(Fn().downloadUrl(ResourceUrl("alice/models/robot").c_str(), nullptr,
                               "Private-token: secret", nullptr, 1));
  int archives = 0;
  for (const auto &record : Server().Requests()) {
    if (record.route.find(".zip") == std::string::npos) continue;
    ++archives;
    EXPECT_EQ("secret", record.Header("Private-token").value_or("")) << record.route;
  }
  // robot, wheel, box (the newest, for wheel) and box version 1 (for robot).
  EXPECT_EQ(4, archives);
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/box/1")));
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/box/2")));
}

}  // namespace
