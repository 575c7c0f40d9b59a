// The command functions, called the way a front end calls them: loaded with
// dlopen from the built shared library and found with dlsym by their plain
// names, against our repository server (scripted to stand in for the writes
// where a test decides their answers).
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

namespace {

using qx::test::FormPart;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

// ---- The library, as a front end sees it --------------------------------

struct CommandFunctions {
  char *(*qxVersion)() = nullptr;
  void (*cmdVerbosity)(const char *) = nullptr;
  int (*listModels)(const char *, const char *, const char *, const char *) = nullptr;
  int (*listWorlds)(const char *, const char *, const char *, const char *) = nullptr;
  bool (*downloadUrl)(const char *, const char *, const char *, const char *, int) = nullptr;
  bool (*upload)(const char *, const char *, const char *, const char *, const char *) = nullptr;
  bool (*editUrl)(const char *, const char *, const char *, const char *) = nullptr;
  bool (*deleteUrl)(const char *, const char *) = nullptr;
  int (*config2Pbtxt)(const char *) = nullptr;
  int (*pbtxt2Config)(const char *) = nullptr;
  int (*update)(const char *, const char *, const char *) = nullptr;

  bool Complete() const {
    return qxVersion && cmdVerbosity && listModels && listWorlds && downloadUrl && upload &&
           editUrl && deleteUrl && config2Pbtxt && pbtxt2Config && update;
  }
};

template <typename Function>
void Resolve(void *library, const char *name, Function &function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

// Loaded once and never unloaded (threads the library started are joined,
// but its static objects stay in use until the program ends).
const CommandFunctions &Library() {
  static const CommandFunctions functions = [] {
    CommandFunctions loaded;
    void *library = dlopen(QX_QUARN_TOOLS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return loaded;
    Resolve(library, "qxVersion", loaded.qxVersion);
    Resolve(library, "cmdVerbosity", loaded.cmdVerbosity);
    Resolve(library, "listModels", loaded.listModels);
    Resolve(library, "listWorlds", loaded.listWorlds);
    Resolve(library, "downloadUrl", loaded.downloadUrl);
    Resolve(library, "upload", loaded.upload);
    Resolve(library, "editUrl", loaded.editUrl);
    Resolve(library, "deleteUrl", loaded.deleteUrl);
    Resolve(library, "config2Pbtxt", loaded.config2Pbtxt);
    Resolve(library, "pbtxt2Config", loaded.pbtxt2Config);
    Resolve(library, "update", loaded.update);
    return loaded;
  }();
  return functions;
}

// What `call` writes to standard output.
template <typename Call>
std::string StdoutOf(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

template <typename Call>
std::string StderrOf(Call call) {
  testing::internal::CaptureStderr();
  call();
  return testing::internal::GetCapturedStderr();
}

// The timing of a tree listing varies; the rest does not.
std::string WithoutTiming(const std::string &text) {
  return std::regex_replace(text, std::regex("took [0-9]+ms"), "took Nms");
}

// The path of a request as the client meant it (the transport sends the
// route escaped as one piece).
std::string PathOf(const RequestRecord &request) {
  return qx::common::replaceAll(qx::test::TargetPath(request), "%2F", "/");
}

// The form part of a request called `name`, if any.
std::optional<FormPart> FormPartOf(const RequestRecord &request, const std::string &name) {
  for (const FormPart &part : request.form) {
    if (part.name == name) return part;
  }
  return std::nullopt;
}

// A minimal model directory.
void WriteModel(const std::string &directory, const std::string &name) {
  WriteFile(directory + "/model.config",
            "<?xml version=\"1.0\"?>\n<model>\n  <name>" + name +
                "</name>\n  <version>1</version>\n  <sdf version=\"1.9\">model.sdf</sdf>\n"
                "  <description>A test model</description>\n</model>\n");
  WriteFile(directory + "/model.sdf", "<?xml version=\"1.0\"?>\n<sdf version=\"1.9\"/>\n");
}

// ---- Fixtures -----------------------------------------------------------

// A home and a cache of their own (QX_QUARN_CACHE_PATH), whose config.yaml
// and a separate configuration file both name only... our example server,
// and the library loaded.
class CommandFunctionsTest : public qx::test::RepositoryFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Library().Complete()) << "the library or one of its command functions is missing: "
                                      << dlerror();
    RepositoryFixture::SetUp();
    qx::common::Console::SetVerbosity(1);
    const std::string config = "servers:\n  - url: " + Url() + "\ncache:\n  path: " +
                               home_.Cache() + "\n";
    WriteFile(ConfigFile(), config);
    WriteFile(home_.Cache() + "/config.yaml", config);
  }

  void TearDown() override {
    qx::common::Console::SetVerbosity(1);
    RepositoryFixture::TearDown();
  }

  const CommandFunctions &Fn() const { return Library(); }
  std::string ConfigFile() const { return configDir_.Join("config.yaml"); }
  std::string Cache() const { return home_.Cache(); }
  std::string ResourceUrl(const std::string &route) const { return Url() + "/1.0/" + route; }
  // The cache directory of a resource of the example server.
  std::string Cached(const std::string &route) const {
    return Cache() + "/" + qx::quarn_tools::uriToPath(qx::common::URI(Url())) + "/" + route;
  }
  bool Download(const std::string &route) {
    return Fn().downloadUrl(ResourceUrl(route).c_str(), nullptr, nullptr, nullptr, 1);
  }
  // Routes the server was asked for, in order.
  std::vector<std::string> Routes() {
    std::vector<std::string> routes;
    for (const auto &record : Server().Requests()) routes.push_back(record.route);
    return routes;
  }
  bool Requested(const std::string &route) {
    return !Server().Requests(route).empty();
  }

 private:
  qx::test::IsolatedHome home_{true};
  TempDir configDir_;
};

// ---- Names, version, verbosity ------------------------------------------

TEST_F(CommandFunctionsTest, VersionIsAFreshCopyOnEveryCall) {
  char *first = Fn().qxVersion();
  char *second = Fn().qxVersion();
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_STREQ("11.0.0", first);
  EXPECT_STREQ("11.0.0", second);
  std::free(first);
  std::free(second);
}

TEST_F(CommandFunctionsTest, VerbosityTakesTheNumberAtTheStartOfTheText) {
  struct Case {
    const char *text;
    int verbosity;
  };
  const Case cases[] = {
      {"4", 4}, {"0", 0}, {"3 please", 3}, {"abc", 0}, {"", 0},
      // Beyond the int range: held at the limit instead of overflowing.
      {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN},
  };
  for (const Case &c : cases) {
    qx::common::Console::SetVerbosity(2);
    Fn().cmdVerbosity(c.text);
    EXPECT_EQ(c.verbosity, qx::common::Console::Verbosity()) << "text [" << c.text << "]";
  }
}

TEST_F(CommandFunctionsTest, VerbosityIgnoresANullText) {
  qx::common::Console::SetVerbosity(2);
  Fn().cmdVerbosity(nullptr);
  EXPECT_EQ(2, qx::common::Console::Verbosity());
}

// ---- listModels, listWorlds --------------------------------------------

TEST_F(CommandFunctionsTest, ModelTreeGroupsByOwnerWithGlyphsColoursAndSummary) {
  int result = 0;
  const std::string out =
      StdoutOf([&] { result = Fn().listModels(Url().c_str(), "", "", nullptr); });
  EXPECT_EQ(1, result);
  const std::string expected =
      "Fetching model list from " + Url() + "...\n" +
      "Received model list (took Nms).\n" +
      "\x1b[92m\x1b[1m" + Url() + "\x1b[39m\x1b[0m\n" +
      "├── \x1b[93m\x1b[1malice\x1b[39m\x1b[0m\n" +
      "│   ├── box\n" +
      "│   └── robot\n" +
      "└── \x1b[93m\x1b[1mbob\x1b[39m\x1b[0m\n" +
      "    └── wheel\n" +
      "\x1b[36m2 owners, 3 models\x1b[39m\n";
  EXPECT_EQ(expected, WithoutTiming(out));
}

TEST_F(CommandFunctionsTest, WorldTreeUsesTheWorldTexts) {
  int result = 0;
  const std::string out =
      StdoutOf([&] { result = Fn().listWorlds(Url().c_str(), "", "false", nullptr); });
  EXPECT_EQ(1, result);
  const std::string expected =
      "Fetching world list from " + Url() + "...\n" +
      "Received world list (took Nms).\n" +
      "\x1b[92m\x1b[1m" + Url() + "\x1b[39m\x1b[0m\n" +
      "├── \x1b[93m\x1b[1malice\x1b[39m\x1b[0m\n" +
      "│   └── garden\n" +
      "└── \x1b[93m\x1b[1mbob\x1b[39m\x1b[0m\n" +
      "    └── town\n" +
      "\x1b[36m2 owners, 2 worlds\x1b[39m\n";
  EXPECT_EQ(expected, WithoutTiming(out));
}

TEST_F(CommandFunctionsTest, OwnersComeInByteOrder) {
  WriteModel(Root() + "/zed/models/zebra/1", "Zebra");
  WriteModel(Root() + "/aaron/models/ant/1", "Ant");
  const std::string out = StdoutOf([&] { Fn().listModels(Url().c_str(), "", "", nullptr); });
  const auto aaron = out.find("aaron");
  const auto alice = out.find("alice");
  const auto zed = out.find("zed");
  ASSERT_NE(std::string::npos, zed);
  EXPECT_LT(aaron, alice);
  EXPECT_LT(alice, zed);
  EXPECT_NE(std::string::npos, out.find("└── \x1b[93m\x1b[1mzed"));
  EXPECT_NE(std::string::npos, out.find("\n    └── zebra\n"));
  EXPECT_NE(std::string::npos, out.find("4 owners, 5 models"));
}

TEST_F(CommandFunctionsTest, RawTextSelectsRawOutputOnlyWhenItSaysTrue) {
  struct Case {
    const char *raw;
    bool rawOutput;
  };
  const Case cases[] = {{"true", true}, {"TRUE", true}, {"tRuE", true},
                        {"yes", false}, {"1", false},   {"", false}};
  for (const Case &c : cases) {
    const std::string out = StdoutOf([&] { Fn().listModels(Url().c_str(), "", c.raw, nullptr); });
    EXPECT_EQ(c.rawOutput, out.find("Fetching model list") == std::string::npos)
        << "raw [" << c.raw << "]";
  }
}

TEST_F(CommandFunctionsTest, RawLinesAreFullUrlsWithoutColourOrTiming) {
  const std::string out = StdoutOf([&] { Fn().listModels(Url().c_str(), "", "true", nullptr); });
  EXPECT_EQ(ResourceUrl("alice/models/box") + "\n" + ResourceUrl("alice/models/robot") + "\n" +
                ResourceUrl("bob/models/wheel") + "\n",
            out);
}

TEST_F(CommandFunctionsTest, RawLinesEscapeTheNameButNotTheOwner) {
  WriteModel(Root() + "/carol-k/models/my box/1", "My box");
  const std::string out =
      StdoutOf([&] { Fn().listModels(Url().c_str(), "carol-k", "true", nullptr); });
  EXPECT_EQ(ResourceUrl("carol-k/models/my%20box") + "\n", out);
}

TEST_F(CommandFunctionsTest, ServerTextsCannotSendControlSequencesToTheTerminal) {
  WriteModel(Root() + "/mallory/models/x\x1b[2Jy/1", "Sneaky");
  const std::string tree = StdoutOf([&] { Fn().listModels(Url().c_str(), "mallory", "", nullptr); });
  EXPECT_NE(std::string::npos, tree.find("└── x%1B[2jy\n"));
  const std::string raw =
      StdoutOf([&] { Fn().listModels(Url().c_str(), "mallory", "true", nullptr); });
  EXPECT_EQ(ResourceUrl("mallory/models/x%1B%5B2jy") + "\n", raw);
}

TEST_F(CommandFunctionsTest, AnExplicitUrlReplacesTheConfiguredServers) {
  // The configuration file names a server nobody answers on.
  WriteFile(ConfigFile(), "servers:\n  - url: http://127.0.0.1:" +
                              std::to_string(qx::test::UnusedPort()) + "\n");
  const std::string out =
      StdoutOf([&] { Fn().listModels(Url().c_str(), "", "true", ConfigFile().c_str()); });
  EXPECT_EQ(ResourceUrl("alice/models/box") + "\n" + ResourceUrl("alice/models/robot") + "\n" +
                ResourceUrl("bob/models/wheel") + "\n",
            out);
}

TEST_F(CommandFunctionsTest, WithoutUrlTheConfiguredServersAreListed) {
  const std::string out = StdoutOf([&] { Fn().listWorlds("", "", "true", ConfigFile().c_str()); });
  EXPECT_EQ(ResourceUrl("alice/worlds/garden") + "\n" + ResourceUrl("bob/worlds/town") + "\n",
            out);
}

TEST_F(CommandFunctionsTest, OwnerListingComesFromTheCacheWithoutRequest) {
  ASSERT_TRUE(Download("alice/models/box"));
  Server().ClearRequests();
  const std::string out =
      StdoutOf([&] { Fn().listModels("", "Alice", "true", ConfigFile().c_str()); });
  EXPECT_EQ(ResourceUrl("alice/models/box") + "\n", out);
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(CommandFunctionsTest, AnExplicitUrlKeepsTheCacheForOwnerListings) {
  ASSERT_TRUE(Download("alice/models/box"));
  Server().ClearRequests();
  const std::string out = StdoutOf([&] { Fn().listModels(Url().c_str(), "alice", "true", nullptr); });
  EXPECT_EQ(ResourceUrl("alice/models/box") + "\n", out);
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(CommandFunctionsTest, InvalidUrlPrintsOnlyItsLine) {
  int result = -1;
  const std::string out =
      StdoutOf([&] { result = Fn().listModels("not a url", "", "", nullptr); });
  EXPECT_EQ(0, result);
  EXPECT_EQ("Invalid URL [not a url]\n", out);
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(CommandFunctionsTest, ServerWithNothingIsSkipped) {
  const std::string silent = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  int result = 0;
  const std::string out =
      StdoutOf([&] { result = Fn().listWorlds(silent.c_str(), "", "", nullptr); });
  EXPECT_EQ(1, result);
  EXPECT_EQ("Fetching world list from " + silent + "...\n" +
                "Either failed to fetch world list, or server has no worlds yet.\n",
            out);
}

TEST_F(CommandFunctionsTest, MissingConfigurationFileListsNothing) {
  int result = 0;
  const std::string out =
      StdoutOf([&] { result = Fn().listModels("", "", "", "/no/such/config.yaml"); });
  EXPECT_EQ(1, result);
  EXPECT_EQ("", out);
}

TEST_F(CommandFunctionsTest, ListingNullTextsAreRefused) {
  const LogCapture log;
  qx::common::Console::SetVerbosity(1);
  EXPECT_EQ(0, Fn().listModels(nullptr, "", "", nullptr));
  EXPECT_EQ(0, Fn().listModels("", nullptr, "", nullptr));
  EXPECT_EQ(0, Fn().listWorlds("", "", nullptr, nullptr));
  EXPECT_TRUE(log.Contains("[listModels] The URL text must not be a null pointer."));
  EXPECT_TRUE(log.Contains("[listModels] The owner text must not be a null pointer."));
  EXPECT_TRUE(log.Contains("[listWorlds] The raw text must not be a null pointer."));
  EXPECT_TRUE(Server().Requests().empty());
}

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

// The header line goes with the model and with every dependency.
class ProtectedCommandFunctionsTest : public CommandFunctionsTest {
 protected:
  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.apiKey = "secret";
    return options;
  }
};

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

TEST_F(ProtectedCommandFunctionsTest, UpdateSendsTheHeaderLine) {
  ASSERT_TRUE(Fn().downloadUrl(ResourceUrl("alice/models/box/1").c_str(), nullptr,
                               "Private-token: secret", nullptr, 1));
  EXPECT_EQ(1, Fn().update("true", nullptr, nullptr));
  EXPECT_FALSE(qx::common::exists(Cached("alice/models/box/2")));
  EXPECT_EQ(1, Fn().update("true", nullptr, "Private-token: secret"));
  EXPECT_TRUE(qx::common::isDirectory(Cached("alice/models/box/2")));
}

// ---- update -------------------------------------------------------------

TEST_F(CommandFunctionsTest, UpdateFlagsChooseTheKinds) {
  struct Case {
    const char *onlyModels;
    const char *onlyWorlds;
    bool models;
    bool worlds;
  };
  const Case cases[] = {
      {nullptr, nullptr, true, true}, {"", "", true, true},      {"TRUE", nullptr, true, false},
      {"1", "", true, false},         {"yes", nullptr, true, true}, {nullptr, "1", false, true},
      {"true", "True", false, false},
  };
  for (const Case &c : cases) {
    const std::string name = std::string(c.onlyModels ? c.onlyModels : "(null)") + "/" +
                             (c.onlyWorlds ? c.onlyWorlds : "(null)");
    qx::common::removeAll(Cache() + "/" + qx::quarn_tools::uriToPath(qx::common::URI(Url())));
    ASSERT_TRUE(Download("alice/models/box/1"));
    ASSERT_TRUE(Download("bob/worlds/town/1"));
    EXPECT_EQ(1, Fn().update(c.onlyModels, c.onlyWorlds, nullptr)) << name;
    EXPECT_EQ(c.models, qx::common::isDirectory(Cached("alice/models/box/2"))) << name;
    EXPECT_EQ(c.worlds, qx::common::isDirectory(Cached("bob/worlds/town/2"))) << name;
  }
}

// ---- config2Pbtxt, pbtxt2Config -----------------------------------------

TEST_F(CommandFunctionsTest, MetadataRoundTrip) {
  TempDir dir;
  const std::string config = dir.Join("model.config");
  WriteFile(config,
            "<?xml version=\"1.0\"?>\n<model>\n  <name>Box</name>\n  <version>3</version>\n"
            "  <sdf version=\"1.9\">model.sdf</sdf>\n"
            "  <author><name>Ada</name><email>ada@example.org</email></author>\n"
            "  <description>A unit box</description>\n</model>\n");
  int result = 0;
  const std::string pbtxt = StdoutOf([&] { result = Fn().config2Pbtxt(config.c_str()); });
  ASSERT_EQ(1, result);
  qx::msgs::QuarnMetadata printed;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(pbtxt, &printed));
  qx::msgs::QuarnMetadata expected;
  ASSERT_TRUE(qx::quarn_tools::metadataFromModelConfig(ReadFile(config), expected));
  EXPECT_EQ(expected.DebugString() + "\n", pbtxt);
  EXPECT_EQ("Box", printed.name());
  EXPECT_EQ(3, printed.version());

  const std::string pbtxtFile = dir.Join("metadata.pbtxt");
  WriteFile(pbtxtFile, pbtxt);
  const std::string back = StdoutOf([&] { result = Fn().pbtxt2Config(pbtxtFile.c_str()); });
  ASSERT_EQ(1, result);
  qx::msgs::QuarnMetadata reread;
  ASSERT_TRUE(qx::quarn_tools::metadataFromModelConfig(back, reread));
  EXPECT_EQ(expected.DebugString(), reread.DebugString());
}

TEST_F(CommandFunctionsTest, Config2PbtxtOfAMissingFileFails) {
  const LogCapture log;
  int result = -1;
  const std::string out = StdoutOf([&] { result = Fn().config2Pbtxt("/no/such/model.config"); });
  EXPECT_EQ(0, result);
  EXPECT_EQ("", out);
  EXPECT_TRUE(log.Contains("Unable to convert model config[/no/such/model.config].\n",
                           qx::common::LOG_ERROR));
}

TEST_F(CommandFunctionsTest, Pbtxt2ConfigOfAnEmptyRecordFails) {
  TempDir dir;
  WriteFile(dir.Join("empty.pbtxt"), "");
  int result = -1;
  std::string out;
  const std::string err = StderrOf([&] {
    out = StdoutOf([&] { result = Fn().pbtxt2Config(dir.Join("empty.pbtxt").c_str()); });
  });
  EXPECT_EQ(0, result);
  EXPECT_EQ("", out);
  EXPECT_NE(std::string::npos, err.find("Unable to convert Quarn metadata to model.config\n"));
}

TEST_F(CommandFunctionsTest, ConversionsRefuseANullPath) {
  const LogCapture log;
  EXPECT_EQ(0, Fn().config2Pbtxt(nullptr));
  EXPECT_EQ(0, Fn().pbtxt2Config(nullptr));
  EXPECT_TRUE(log.Contains("[config2Pbtxt] The path must not be a null pointer."));
  EXPECT_TRUE(log.Contains("[pbtxt2Config] The path must not be a null pointer."));
}

// ---- upload, editUrl, deleteUrl -----------------------------------------

// Our repository server over an empty directory, scripted to take uploads,
// edits and deletions without carrying them out, to know the licences and to
// give the details of alice/box. Tests change the standing answers with
// the Answer* members.
class WriteCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Library().Complete());
    ASSERT_TRUE(server_.Started());
    qx::common::Console::SetVerbosity(1);
    server_.Script({qx::test::JsonAnswer(
        "licenses", R"([{"name": "Creative Commons - Attribution", "ID": 2}])")});
    AnswerDetails(200);
    AnswerUploads(200);
    AnswerPatches(200);
    AnswerDeletes(200);
  }
  void TearDown() override { qx::common::Console::SetVerbosity(1); }

  // GET alice/models/box answers `status`, with the details when it is 200.
  void AnswerDetails(int status) {
    Replace(details_, {Answer("GET", "alice/models/box", status,
                              status == 200 ? R"({"name": "box", "owner": "alice"})" : "{}")});
  }
  // Every upload answers `status`.
  void AnswerUploads(int status) { Replace(uploads_, {Answer("POST", "models", status)}); }
  // The next upload answers `status` after `delay`, later ones as before.
  void AnswerNextUpload(int status, std::chrono::milliseconds delay = {}) {
    ResponseScript next = Answer("POST", "models", status);
    next.times = 1;
    next.delay = delay;
    // Scripts answer in the order added: the standing one goes behind.
    const std::vector<ResponseScript> scripts = {next, uploads_.scripts.back()};
    Replace(uploads_, scripts);
  }
  void AnswerPatches(int status) {
    Replace(patches_, {Answer("PATCH", "alice/models/box", status)});
  }
  void AnswerDeletes(int status) {
    Replace(deletes_, {Answer("DELETE", "alice/models/box", status),
                       Answer("DELETE", "bob/worlds/town", status)});
  }

  const CommandFunctions &Fn() const { return Library(); }
  std::string Url() const { return server_.Url(); }
  std::string BoxUrl() const { return Url() + "/1.0/alice/models/box"; }
  std::vector<RequestRecord> Requests(const std::string &method) const {
    std::vector<RequestRecord> matching;
    for (const auto &request : server_.Requests())
      if (request.method == method) matching.push_back(request);
    return matching;
  }
  std::size_t RequestCount() const { return server_.Requests().size(); }

  qx::test::IsolatedHome home_{true};
  qx::test::EmptyRepository server_;
  TempDir models_;

 private:
  // Scripts that stand for one kind of request, replaced together.
  struct Standing {
    std::vector<ResponseScript> scripts;
    std::vector<int> ids;
  };

  static ResponseScript Answer(const std::string &method, const std::string &route, int status,
                               const std::string &body = "{}") {
    ResponseScript script = qx::test::JsonAnswer(route, body, status);
    script.method = method;
    return script;
  }

  void Replace(Standing &standing, const std::vector<ResponseScript> &scripts) {
    for (const int id : standing.ids) server_.Server().RemoveScript(id);
    standing.ids.clear();
    for (const ResponseScript &script : scripts)
      standing.ids.push_back(server_.Server().AddScript(script));
    standing.scripts = scripts;
  }

  Standing details_;
  Standing uploads_;
  Standing patches_;
  Standing deletes_;
};

TEST_F(WriteCommandsTest, UploadOfOneModel) {
  WriteModel(models_.Join("box"), "Box");
  bool ok = false;
  const std::string out = StdoutOf([&] {
    ok = Fn().upload(models_.Join("box").c_str(), Url().c_str(), "Private-token: k", nullptr,
                     "Lab");
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ("Uploading a model[" + models_.Join("box") + "]\n", out);
  const auto posts = Requests("POST");
  ASSERT_EQ(1u, posts.size());
  EXPECT_EQ("/1.0/models", PathOf(posts[0]));
  EXPECT_EQ("k", posts[0].Header("Private-token"));
  EXPECT_EQ("Box", FormPartOf(posts[0], "name")->content);
  EXPECT_EQ("Lab", FormPartOf(posts[0], "owner")->content);
  EXPECT_EQ("0", FormPartOf(posts[0], "private")->content);
}

TEST_F(WriteCommandsTest, UploadPrivateTextDecidesTheFlag) {
  struct Case {
    const char *text;
    const char *sent;
  };
  const Case cases[] = {{"TRUE", "1"}, {"true", "1"}, {"1", "1"},
                        {"yes", "0"},  {"", "0"},     {nullptr, "0"}};
  WriteModel(models_.Join("box"), "Box");
  for (const Case &c : cases) {
    const std::size_t before = Requests("POST").size();
    EXPECT_TRUE(Fn().upload(models_.Join("box").c_str(), Url().c_str(), nullptr, c.text, nullptr));
    const auto posts = Requests("POST");
    ASSERT_EQ(before + 1, posts.size());
    EXPECT_EQ(c.sent, FormPartOf(posts.back(), "private")->content)
        << (c.text ? c.text : "(null)");
    EXPECT_FALSE(FormPartOf(posts.back(), "owner").has_value());
  }
}

TEST_F(WriteCommandsTest, UploadOfSeveralModelsGoesOnAfterAFailureAndReportsIt) {
  WriteModel(models_.Join("one"), "One");
  WriteModel(models_.Join("broken"), "Broken");
  WriteFile(models_.Join("notes.txt"), "not a model");
  WriteFile(models_.Join("empty/readme.txt"), "no metadata here");
  const LogCapture log;
  qx::common::Console::SetVerbosity(1);
  // Models are uploaded in byte order of their directory names.
  AnswerNextUpload(500);
  bool ok = true;
  const std::string out = StdoutOf(
      [&] { ok = Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr); });
  EXPECT_FALSE(ok);
  EXPECT_EQ("", out);
  EXPECT_EQ(2u, Requests("POST").size());
  EXPECT_TRUE(log.Contains("Failed to upload model[" + models_.Join("broken") + "]\n",
                           qx::common::LOG_ERROR));
}

TEST_F(WriteCommandsTest, UploadOfSeveralGoodModels) {
  WriteModel(models_.Join("one"), "One");
  WriteModel(models_.Join("two"), "Two");
  EXPECT_TRUE(Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(2u, Requests("POST").size());
}

TEST_F(WriteCommandsTest, InterruptStopsASeveralModelUploadBeforeTheNextModel) {
  for (const char *name : {"a", "b", "c"}) WriteModel(models_.Join(name), name);
  // The first upload is held until the server stops.
  AnswerNextUpload(200, std::chrono::hours(1));
  const LogCapture log;
  auto upload = std::async(std::launch::async, [&] {
    return Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr);
  });
  while (Requests("POST").empty() &&
         upload.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
  }
  {
    // Registered after the upload's own handler, so its callback runs
    // after the upload has seen the signal.
    std::promise<void> seen;
    std::atomic<bool> once{false};
    qx::common::SignalHandler observer;
    observer.AddCallback([&](int) {
      if (!once.exchange(true)) seen.set_value();
    });
    ::kill(::getpid(), SIGINT);
    seen.get_future().wait();
  }
  // Ends the held answer.
  server_.Server().Stop();
  EXPECT_FALSE(upload.get());
  const std::size_t uploads = Requests("POST").size();
  EXPECT_EQ(1u, uploads);
  EXPECT_TRUE(log.Contains("Upload interrupted before ["));
}

TEST_F(WriteCommandsTest, UploadOfAMissingPathFails) {
  const LogCapture log;
  EXPECT_FALSE(Fn().upload("/no/such/model", Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(log.Contains("The model path[/no/such/model] doesn't exist.\n",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(0u, RequestCount());
  EXPECT_FALSE(Fn().upload(nullptr, Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(log.Contains("[upload] The model path must not be a null pointer."));
}

TEST_F(WriteCommandsTest, EditWithOnlyAUrlFetchesDetailsAndSendsNoPatch) {
  EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, Requests("GET").size());
  EXPECT_TRUE(Requests("PATCH").empty());
}

TEST_F(WriteCommandsTest, EditPrivateFlag) {
  struct Case {
    const char *text;
    const char *sent;
  };
  const Case cases[] = {{"false", "0"}, {"TRUE", "1"}, {"1", "1"}, {"0", "0"}};
  for (const Case &c : cases) {
    const std::size_t before = Requests("PATCH").size();
    EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), "Private-token: k", c.text, nullptr)) << c.text;
    const auto patches = Requests("PATCH");
    ASSERT_EQ(before + 1, patches.size());
    EXPECT_EQ("/1.0/alice/models/box", PathOf(patches.back()));
    EXPECT_EQ("k", patches.back().Header("Private-token"));
    ASSERT_EQ(1u, patches.back().form.size()) << c.text;
    EXPECT_EQ(c.sent, FormPartOf(patches.back(), "private")->content) << c.text;
  }
}

TEST_F(WriteCommandsTest, EditWithAModelDirectorySendsItsFiles) {
  WriteModel(models_.Join("box"), "Box");
  EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", models_.Join("box").c_str()));
  const auto patches = Requests("PATCH");
  ASSERT_EQ(1u, patches.size());
  EXPECT_EQ("Box", FormPartOf(patches[0], "name")->content);
  EXPECT_EQ("1", FormPartOf(patches[0], "private")->content);
  int files = 0;
  for (const auto &part : patches[0].form) files += part.name == "file" ? 1 : 0;
  EXPECT_EQ(2, files);
}

TEST_F(WriteCommandsTest, EditWithAModelDirectoryButNoPrivateFlagIsRefused) {
  WriteModel(models_.Join("box"), "Box");
  const LogCapture log;
  EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, nullptr, models_.Join("box").c_str()));
  EXPECT_TRUE(log.Contains("Editing a model's files needs the private flag as well (true or "
                           "false).\n",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(0u, RequestCount());
}

TEST_F(WriteCommandsTest, EditFailures) {
  {
    const LogCapture log;
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", "/no/such/dir"));
    EXPECT_TRUE(log.Contains("The model path[/no/such/dir] doesn't exist.\n"));
  }
  {
    bool ok = true;
    const std::string out = StdoutOf([&] {
      ok = Fn().editUrl((Url() + "/1.0/alice/worlds/garden").c_str(), nullptr, "true", nullptr);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ("Invalid URL: only models can be edited right now.\n", out);
  }
  {
    const LogCapture log;
    AnswerPatches(500);
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("Failed to patch model[box].\n", qx::common::LOG_ERROR));
  }
  {
    const LogCapture log;
    AnswerDetails(404);
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("Failed to fetch model details for model[box]\n",
                             qx::common::LOG_ERROR));
  }
  {
    const LogCapture log;
    EXPECT_FALSE(Fn().editUrl(nullptr, nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("[editUrl] The URL text must not be a null pointer."));
  }
}

TEST_F(WriteCommandsTest, DeleteOfAnythingReturnsTrue) {
  const LogCapture log;
  EXPECT_TRUE(Fn().deleteUrl(BoxUrl().c_str(), "Private-token: k"));
  ASSERT_EQ(1u, Requests("DELETE").size());
  EXPECT_EQ("/1.0/alice/models/box", PathOf(Requests("DELETE")[0]));
  EXPECT_EQ("k", Requests("DELETE")[0].Header("Private-token"));
  EXPECT_TRUE(log.Contains("Deleted model ["));

  AnswerDeletes(500);
  EXPECT_TRUE(Fn().deleteUrl((Url() + "/1.0/bob/worlds/town").c_str(), nullptr));
  EXPECT_TRUE(log.Contains("Failed to delete resource.", qx::common::LOG_ERROR));

  const std::size_t sent = RequestCount();
  EXPECT_TRUE(Fn().deleteUrl((Url() + "/1.0/alice/things/box").c_str(), nullptr));
  EXPECT_TRUE(log.Contains("Unable to parse URI[", qx::common::LOG_ERROR));
  EXPECT_EQ(sent, RequestCount());
}

TEST_F(WriteCommandsTest, ChattyDeleteNamesWhatItDeletes) {
  Fn().cmdVerbosity("3");
  const std::string world =
      StdoutOf([&] { Fn().deleteUrl((Url() + "/1.0/bob/worlds/town").c_str(), nullptr); });
  EXPECT_EQ(0u, world.find("Deleting world: \x1b[36m\n"));
  const std::string neither =
      StdoutOf([&] { Fn().deleteUrl((Url() + "/1.0/bob/things/town").c_str(), nullptr); });
  EXPECT_EQ("Invalid URL: only models and worlds can be delete so far.\n", neither);
}

TEST_F(WriteCommandsTest, DeleteOfNullUrlFails) {
  const LogCapture log;
  EXPECT_FALSE(Fn().deleteUrl(nullptr, nullptr));
  EXPECT_TRUE(log.Contains("[deleteUrl] The URL text must not be a null pointer."));
}

}  // namespace
