// The command functions, called the way a front end calls them: loaded with
// dlopen from the built shared library and found with dlsym by their plain
// names, against our repository server: names and version, verbosity, the
// listings, update and the metadata conversions. downloadUrl and the write
// commands have tests of their own.
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

using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;
using qx::test::command_functions::CommandFunctionsTest;
using qx::test::command_functions::ProtectedCommandFunctionsTest;
using qx::test::command_functions::StderrOf;
using qx::test::command_functions::StdoutOf;
using qx::test::command_functions::WithoutTiming;
using qx::test::command_functions::WriteModel;

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

}  // namespace
