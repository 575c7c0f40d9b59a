// The quarn tool as people and scripts run it, against our repository
// server: usage, help and completion, exit statuses, what goes to which
// output, colour, the progress line and interrupts, listings, serving.
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>

#include "support/QuarnCliFixture.hh"
#include "support/RawHttp.hh"
#include "support/ServerDocuments.hh"

namespace {

using qx::test::HasControlCharacters;
using qx::test::ParseJson;
using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using qx::test::WriteFile;
using QuarnCliTest = qx::test::QuarnCliTest;

std::string Joined(const std::vector<std::string> &args) {
  std::string line;
  for (const auto &arg : args) line += arg + " ";
  return line;
}

// ---- Usage, help, completion ----------------------------------------------

TEST_F(QuarnCliTest, EveryCommandHasHelpWithAnExample) {
  for (const std::string command :
       {"list", "download", "fetch", "upload", "edit", "delete", "update", "login", "meta",
        "version", "serve", "help", "completion"}) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{command, "--help"}, {"help", command}}) {
      const ProcessOutcome outcome = Run(args);
      EXPECT_EQ(0, outcome.status) << Joined(args);
      EXPECT_NE(std::string::npos, outcome.out.find("Usage: quarn " + command)) << Joined(args);
      EXPECT_NE(std::string::npos, outcome.out.find("Example:\n  quarn " + command))
          << Joined(args);
      EXPECT_FALSE(HasControlCharacters(outcome.out)) << Joined(args);
    }
  }
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{"help"}}) {
    const ProcessOutcome top = Run(args);
    EXPECT_EQ(0, top.status);
    EXPECT_NE(std::string::npos, top.out.find("Usage: quarn [OPTIONS]"));
    EXPECT_NE(std::string::npos, top.out.find("Example:\n  quarn list"));
  }
}

TEST_F(QuarnCliTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"list", "--bogus"},
      {"list", "-t", "planet"},
      {"list", "a", "-u", "b"},
      {"list", "--raw", "--json"},
      {"download"},
      {"download", "-j", "0", ResourceUrl("alice/models/box")},
      {"fetch"},
      {"edit", ResourceUrl("alice/models/box")},
      {"edit", ResourceUrl("alice/models/box"), "-m", "."},
      {"edit", "--private", "true"},
      {"delete"},
      {"upload"},
      {"login"},
      {"meta"},
      {"meta", "--config2pbtxt", "a", "--pbtxt2config", "b"},
      {"serve", "/no/such/directory"},
      {"serve", ".", "--port", "70000"},
      {"version", "-v", "9"},
      {"-q", "-v", "3", "version"},
      {"--color", "sometimes", "version"},
      {"completion"},
      {"completion", "tcsh"},
      {"help", "frobnicate"},
  };
  for (const auto &args : cases) {
    const ProcessOutcome outcome = Run(args);
    EXPECT_EQ(2, outcome.status) << Joined(args);
    EXPECT_FALSE(outcome.err.empty()) << Joined(args);
    EXPECT_EQ("", outcome.out) << Joined(args);
  }
  EXPECT_TRUE(Server().Requests().empty());
}

// Help of a command below another, and suggestions at every level.
TEST_F(QuarnCliTest, HelpAndSuggestionsReachCommandsBelowOthers) {
  ProcessOutcome outcome = Run({"help", "cache", "ls"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_NE(std::string::npos, outcome.out.find("quarn cache ls")) << outcome.out;
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{"cache", "lsx"}, "unknown command 'cache lsx'; did you mean 'cache ls'?"},
      {{"help", "cache", "lsx"}, "unknown command 'cache lsx'; did you mean 'cache ls'?"},
      {{"mirror", "exprt"}, "unknown command 'mirror exprt'; did you mean 'mirror export'?"},
      {{"help", "lsit"}, "unknown command 'lsit'; did you mean 'list'?"},
  };
  for (const Case &c : cases) {
    outcome = Run(c.args);
    EXPECT_EQ(2, outcome.status) << Joined(c.args);
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find(c.said)) << outcome.err;
    EXPECT_EQ(std::string::npos, outcome.err.find(".cc:")) << outcome.err;
  }
}

// Results that cannot be written make a failure of a command that
// otherwise did what was asked.
TEST_F(QuarnCliTest, ResultsThatCannotBeWrittenAreAFailure) {
  ProcessOptions options;
  options.standardOutput = "/dev/full";
  const ProcessOutcome outcome = Run({"cache", "path"}, options);
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos,
            outcome.err.find("unable to write the results to standard output"))
      << outcome.err;
}

TEST_F(QuarnCliTest, MistypedCommandsGetASuggestion) {
  struct Case {
    std::vector<std::string> args;
    std::string suggestion;
  };
  const Case cases[] = {
      {{"lsit"}, "did you mean 'list'?"},
      {{"-v", "3", "donwload", "x"}, "did you mean 'download'?"},
      {{"updat"}, "did you mean 'update'?"},
      {{"help", "fecth"}, "did you mean 'fetch'?"},
  };
  for (const Case &c : cases) {
    const ProcessOutcome outcome = Run(c.args);
    EXPECT_EQ(2, outcome.status) << Joined(c.args);
    EXPECT_NE(std::string::npos, outcome.err.find(c.suggestion)) << outcome.err;
  }
  EXPECT_EQ(std::string::npos, Run({"zzzzzzzz"}).err.find("did you mean"));
}

TEST_F(QuarnCliTest, VersionAndVerbosityAfterTheCommand) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"version", "-v", "4"}, {"--version"}}) {
    const ProcessOutcome outcome = Run(args);
    EXPECT_EQ(0, outcome.status) << Joined(args);
    EXPECT_EQ("11.0.0\n", outcome.out) << Joined(args);
  }
}

TEST_F(QuarnCliTest, CompletionScriptsNameEveryCommand) {
  for (const std::string shell : {"bash", "zsh", "fish"}) {
    const ProcessOutcome outcome = Run({"completion", shell});
    EXPECT_EQ(0, outcome.status) << shell;
    for (const char *word : {"list", "download", "fetch", "login", "offline", "json"})
      EXPECT_NE(std::string::npos, outcome.out.find(word)) << shell << ": " << word;
  }
  // The bash script is valid bash.
  qx::test::TempDir dir;
  WriteFile(dir.Join("quarn.bash"), Run({"completion", "bash"}).out);
  QuarnProcess check("/bin/bash", {"-n", dir.Join("quarn.bash")});
  const ProcessOutcome checked = check.Wait();
  EXPECT_EQ(0, checked.status) << checked.err;
}

// What bash offers at the end of a command line: commands below others,
// shells, and options after a global option's value.
TEST_F(QuarnCliTest, BashCompletesCommandsBelowOthersAndAfterOptionValues) {
  qx::test::TempDir dir;
  WriteFile(dir.Join("quarn.bash"), Run({"completion", "bash"}).out);
  struct Case {
    std::string line;  // the words before the one being completed
    std::string word;  // the word being completed
    std::string offered;
  };
  const std::vector<Case> cases = {
      {"quarn", "ca", "cache"},
      {"quarn cache", "l", "ls"},
      {"quarn cache ls", "--j", "--json"},
      {"quarn -v 3 download", "--j", "--jobs --json"},
      {"quarn completion", "b", "bash"},
      {"quarn help", "mi", "mirror"},
      {"quarn mirror", "ex", "export"},
  };
  for (const Case &c : cases) {
    const std::string script = "source " + dir.Join("quarn.bash") + "; COMP_WORDS=(" + c.line +
                               " '" + c.word + "'); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " +
                               "_quarn; echo \"${COMPREPLY[*]}\"";
    QuarnProcess bash("/bin/bash", {"-c", script});
    const ProcessOutcome outcome = bash.Wait();
    EXPECT_EQ(c.offered + "\n", outcome.out) << c.line << " " << c.word << "\n" << outcome.err;
  }
}

// ---- Standard output and standard error -------------------------------------

TEST_F(QuarnCliTest, ListPrintsAPlainTreeWhenNotOnATerminal) {
  for (const char *verbosity : {"0", "4"}) {
    const ProcessOutcome outcome = Run({"list", Url(), "-v", verbosity});
    EXPECT_EQ(0, outcome.status) << verbosity;
    EXPECT_EQ(Url() + "\n├── alice\n│   ├── box\n│   └── robot\n└── bob\n    └── wheel\n"
                      "2 owners, 3 models\n",
              outcome.out)
        << verbosity;
  }
}

TEST_F(QuarnCliTest, ListRawWorldsByPositionalOrOptionUrl) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"list", Url(), "-t", "world", "--raw"},
        {"list", "-u", Url(), "-t", "world", "--raw"}}) {
    const ProcessOutcome outcome = Run(args);
    EXPECT_EQ(0, outcome.status);
    EXPECT_EQ(ResourceUrl("alice/worlds/garden") + "\n" + ResourceUrl("bob/worlds/town") + "\n",
              outcome.out);
  }
}

TEST_F(QuarnCliTest, ListJsonNamesEveryResource) {
  const ProcessOutcome outcome = Run({"list", Url(), "--json", "-o", "alice"});
  EXPECT_EQ(0, outcome.status);
  const Json::Value document = ParseJson(outcome.out);
  EXPECT_EQ(document["kind"].asString(), "models");
  ASSERT_EQ(document["servers"].size(), 1u);
  const Json::Value &server = document["servers"][0];
  EXPECT_EQ(server["url"].asString(), Url());
  EXPECT_EQ(server["source"].asString(), "server");
  EXPECT_FALSE(server.isMember("error"));
  ASSERT_EQ(server["resources"].size(), 2u);
  const Json::Value &box = server["resources"][0];
  EXPECT_EQ(box["url"].asString(), ResourceUrl("alice/models/box"));
  EXPECT_EQ(box["owner"].asString(), "alice");
  EXPECT_EQ(box["name"].asString(), "box");
  EXPECT_EQ(box["kind"].asString(), "model");
  EXPECT_EQ(box["version"].asUInt(), 2u);
  EXPECT_EQ(server["resources"][1]["name"].asString(), "robot");
}

TEST_F(QuarnCliTest, ListOfAnInvalidUrlFails) {
  const ProcessOutcome outcome = Run({"list", "not a url"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_NE(std::string::npos, outcome.err.find("Invalid URL [not a url]"));
}

// A server that fails: said on standard error, each cached resource once
// with its versions, status 1.
TEST_F(QuarnCliTest, ListingFallsBackToTheCacheAndSaysSo) {
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/2")}).status);
  Refuse("models", 500, "database on fire\x1b[2J");
  ProcessOutcome outcome = Run({"list", Url()});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ(Url() + "\n└── alice\n    └── box [1, 2]\n1 owners, 1 models\n", outcome.out);
  EXPECT_NE(std::string::npos,
            outcome.err.find("Listing the models of " + Url() + " failed: " + Url() +
                             " answered 500 for models: database on fire%1B[2J"))
      << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find("Listing the cached models of " + Url() +
                                                " instead."));
  outcome = Run({"list", Url(), "--json"});
  EXPECT_EQ(1, outcome.status);
  const Json::Value server = ParseJson(outcome.out)["servers"][0];
  EXPECT_EQ(server["source"].asString(), "cache");
  EXPECT_NE(server["error"].asString().find("answered 500"), std::string::npos);
  ASSERT_EQ(server["resources"].size(), 1u);
  EXPECT_EQ(server["resources"][0]["versions"], ParseJson("[1, 2]"));
  EXPECT_EQ(server["resources"][0]["version"].asUInt(), 2u);
}

// A 200 that holds no listing (a proxy's sign-in page, a wrong address) is
// a failed listing too.
TEST_F(QuarnCliTest, AnAnswerThatIsNoListingFails) {
  Refuse("models", 200, "<html>Sign in to the hotel network</html>");
  const ProcessOutcome outcome = Run({"list", Url(), "--json"});
  EXPECT_EQ(1, outcome.status);
  const Json::Value server = ParseJson(outcome.out)["servers"][0];
  EXPECT_EQ(server["source"].asString(), "cache");
  EXPECT_NE(server["error"].asString().find(Url() +
                                            " answered models with something that is not a listing"),
            std::string::npos)
      << outcome.out;
}

struct StoppedServerCase {
  std::vector<std::string> args;
  bool silent;  // nothing at all on standard error
};

// -v 0 silences libcurl's own messages too; -q keeps errors, drops status.
TEST_F(QuarnCliTest, UnreachableServerListingFailsAsQuietlyAsAsked) {
  const std::string url = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  const StoppedServerCase cases[] = {
      {{"list", url, "-v", "0"}, true},
      {{"list", url, "-q"}, false},
      {{"list", url}, false},
  };
  for (const StoppedServerCase &c : cases) {
    const ProcessOutcome outcome = Run(c.args);
    EXPECT_EQ(1, outcome.status) << Joined(c.args);
    EXPECT_EQ(url + "\n0 owners, 0 models\n", outcome.out) << Joined(c.args);
    if (c.silent) {
      EXPECT_EQ("", outcome.err);
      continue;
    }
    EXPECT_NE(std::string::npos, outcome.err.find("libcurl: (7)")) << outcome.err;
    EXPECT_NE(std::string::npos, outcome.err.find("failed: no answer from " + url));
    const bool statusShown = outcome.err.find("Listing the cached models") != std::string::npos;
    EXPECT_EQ(statusShown, c.args.back() != "-q") << outcome.err;
  }
}

// -v 0 is silent, whatever writes the reason: the conversions (which write
// to standard error themselves) and protobuf's parser too.
TEST_F(QuarnCliTest, VerbosityZeroSilencesTheConversionsToo) {
  WriteFile(Home() + "/bad.config", "<not xml");
  WriteFile(Home() + "/bad.pbtxt", "name: \"x\" nonsense {");
  const std::vector<std::vector<std::string>> commands = {
      {"meta", "--config2pbtxt", Home() + "/bad.config"},
      {"meta", "--pbtxt2config", Home() + "/bad.pbtxt"},
  };
  for (const std::vector<std::string> &args : commands) {
    std::vector<std::string> silent = args;
    silent.insert(silent.end(), {"-v", "0"});
    EXPECT_EQ("", Run(silent).err) << Joined(args);
    const ProcessOutcome told = Run(args);
    EXPECT_NE("", told.err) << Joined(args);
    EXPECT_EQ(std::string::npos, told.err.find("libprotobuf")) << told.err;
  }
}

// Source positions appear only at debug verbosity.
TEST_F(QuarnCliTest, SourcePositionsOnlyAtDebugVerbosity) {
  const std::string url = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  const std::string quiet = Run({"list", url}).err;
  EXPECT_NE(std::string::npos, quiet.find("[Err] Error in REST request")) << quiet;
  EXPECT_EQ(std::string::npos, quiet.find(".cc:")) << quiet;
  const std::string debug = Run({"list", url, "-v", "4"}).err;
  EXPECT_NE(std::string::npos, debug.find("[Err] [RestClientExchange.cc:")) << debug;
}

// ---- Configuration ------------------------------------------------------------

// A configuration file named with -c must be read: a missing or broken one
// stops the command, rather than letting it run with other servers, tokens
// or cache than the file names.
TEST_F(QuarnCliTest, AConfigurationFileThatDoesNotLoadIsAFailure) {
  WriteFile(Home() + "/broken.yaml", "servers: [\n");
  for (const std::string &file : {Home() + "/missing.yaml", Home() + "/broken.yaml"}) {
    const std::vector<std::vector<std::string>> commands = {
        {"list", "-c", file},
        {"cache", "path", "-c", file},
        {"update", "-c", file},
        {"download", ResourceUrl("alice/models/box"), "-c", file},
        {"delete", ResourceUrl("alice/models/box"), "-c", file},
    };
    for (const std::vector<std::string> &args : commands) {
      const ProcessOutcome outcome = Run(args);
      EXPECT_EQ(1, outcome.status) << Joined(args);
      EXPECT_EQ("", outcome.out) << Joined(args);
      EXPECT_NE(std::string::npos, outcome.err.find(file)) << outcome.err;
    }
  }
  EXPECT_TRUE(Server().Requests().empty());
}

// No usable cache directory is an error, never a cache somewhere else.
TEST_F(QuarnCliTest, NoCacheDirectoryIsAnError) {
  struct Case {
    const char *what;
    std::map<std::string, std::optional<std::string>> environment;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"cache path is no directory",
       {{"QX_QUARN_CACHE_PATH", Home() + "/nothing-here"}},
       "QX_QUARN_CACHE_PATH [" + Home() + "/nothing-here] is not a directory"},
      {"no HOME", {{"QX_QUARN_CACHE_PATH", std::nullopt}, {"HOME", std::nullopt}},
       "HOME is not set, and neither is QX_QUARN_CACHE_PATH"},
  };
  for (const Case &c : cases) {
    ProcessOptions options;
    options.environment = c.environment;
    const ProcessOutcome outcome = Run({"fetch", ResourceUrl("alice/models/box")}, options);
    EXPECT_EQ(1, outcome.status) << c.what;
    EXPECT_EQ("", outcome.out) << c.what;
    EXPECT_NE(std::string::npos, outcome.err.find(c.error)) << c.what << "\n" << outcome.err;
  }
  EXPECT_TRUE(Server().Requests().empty());
  EXPECT_FALSE(qx::common::exists("/.qx"));
}

// Without HOME, a configuration file that names the cache is all that is
// needed: no complaint about the default cache it replaces.
TEST_F(QuarnCliTest, WithoutHomeAFileNamingTheCacheIsEnough) {
  const std::string file = Cache() + "/named.yaml";
  WriteFile(file, "servers:\n  - url: " + Url() + "\ncache:\n  path: " + Cache() + "\n");
  ProcessOptions options;
  options.environment = {{"QX_QUARN_CACHE_PATH", std::nullopt}, {"HOME", std::nullopt}};
  const ProcessOutcome outcome = Run({"fetch", ResourceUrl("alice/models/box"), "-c", file}, options);
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(Cached("alice/models/box/2") + "\n", outcome.out);
  EXPECT_EQ("", outcome.err);
}

// The README's set-up: QX_QUARN_CACHE_PATH and a config.yaml in it that
// names servers only. Nothing there is ignored, so nothing says so.
TEST_F(QuarnCliTest, ReadmeSetUpWarnsAboutNothing) {
  ConfigureServer();
  const ProcessOutcome outcome = Run({"list", Url(), "-v", "2", "--raw"});
  EXPECT_EQ(std::string::npos, outcome.err.find("will be ignored")) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.out.find(ResourceUrl("alice/models/box") + "\n"));
}

// ---- Colour -----------------------------------------------------------------

TEST_F(QuarnCliTest, ColourFollowsTheTerminalNoColorTermAndTheOption) {
  struct Case {
    const char *what;
    std::vector<std::string> args;
    ProcessOptions options;
    bool colours;
  };
  auto terminal = [](std::map<std::string, std::optional<std::string>> environment) {
    ProcessOptions options;
    options.stdoutOnTerminal = true;
    options.environment = std::move(environment);
    return options;
  };
  const std::vector<Case> cases = {
      {"pipe", {"list", Url()}, {}, false},
      {"pipe, always", {"list", Url(), "--color", "always"}, {}, true},
      {"terminal", {"list", Url()}, terminal({{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}}), true},
      {"terminal, NO_COLOR", {"list", Url()}, terminal({{"NO_COLOR", "1"}, {"TERM", "xterm"}}), false},
      {"terminal, empty NO_COLOR", {"list", Url()}, terminal({{"NO_COLOR", ""}, {"TERM", "xterm"}}), true},
      {"terminal, TERM=dumb", {"list", Url()}, terminal({{"NO_COLOR", std::nullopt}, {"TERM", "dumb"}}), false},
      {"terminal, never", {"list", Url(), "--color=never"},
       terminal({{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}}), false},
  };
  for (const Case &c : cases) {
    const ProcessOutcome outcome = Run(c.args, c.options);
    EXPECT_EQ(0, outcome.status) << c.what;
    EXPECT_EQ(c.colours, outcome.out.find("\x1b[93m\x1b[1malice") != std::string::npos)
        << c.what << ": " << outcome.out;
    EXPECT_NE(std::string::npos, outcome.out.find("alice")) << c.what;
  }
}

// ---- Progress and interrupts -------------------------------------------------

TEST_F(QuarnCliTest, ProgressLineShowsOnATerminalAndNeverOnStandardOutput) {
  // The archive arrives after a while, so the line has time to appear.
  qx::test::ResponseScript slow;
  slow.route = "alice/models/box/tip/box.zip";
  slow.delay = std::chrono::milliseconds(1500);
  Server().AddScript(slow);
  ProcessOptions options;
  options.stderrOnTerminal = true;
  QuarnProcess quarn(QX_QUARN_CLI, {"download", ResourceUrl("alice/models/box")}, options);
  ASSERT_TRUE(quarn.Started());
  const ProcessOutcome outcome = quarn.Wait();
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ(Cached("alice/models/box/2") + "\n", outcome.out);
  // The wait for the archive is said to be one, naming the model.
  EXPECT_NE(std::string::npos, outcome.err.find("\r\x1b[Kbox: waiting for the server"))
      << outcome.err;
  // The line is gone at the end, and one summary line stays.
  const std::size_t erased = outcome.err.rfind("\r\x1b[K");
  ASSERT_NE(std::string::npos, erased) << outcome.err;
  EXPECT_THAT(outcome.err.substr(erased + 4),
              testing::MatchesRegex("Downloaded box \\([0-9.]+ (B|KiB)\\) in [0-9.]+ s\r?\n"));
  // -q takes it away.
  Server().ClearScripts();
  Server().AddScript(slow);
  QuarnProcess quiet(QX_QUARN_CLI, {"download", ResourceUrl("alice/models/box"), "-q"}, options);
  EXPECT_EQ("", quiet.Wait().err);
}

// The staging directories in a resource directory.
std::vector<std::string> Staged(const std::string &resource) {
  std::vector<std::string> staged;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(resource, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(".qxstage", 0) == 0) staged.push_back(name);
  }
  return staged;
}

TEST_F(QuarnCliTest, InterruptSaysWhatWasLeftUndone) {
  Stall("alice/models/box/tip/box.zip");
  for (const int signal : {SIGINT, SIGTERM}) {
    QuarnProcess quarn(QX_QUARN_CLI, {"download", ResourceUrl("alice/models/box")});
    ASSERT_TRUE(quarn.Started());
    ASSERT_TRUE(AwaitRequest("alice/models/box/tip/box.zip"));
    // The download has its staging directory in the cache by now.
    ASSERT_FALSE(Staged(Cached("alice/models/box")).empty());
    Server().ClearRequests();
    quarn.Signal(signal);
    const ProcessOutcome outcome = quarn.Wait();
    EXPECT_EQ(128 + signal, outcome.status);
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ("[Err] Interrupted: the download of " + ResourceUrl("alice/models/box") +
                  " was not finished\n",
              outcome.err);
    // Nothing of it stays in the cache.
    EXPECT_EQ(Staged(Cached("alice/models/box")), std::vector<std::string>());
  }
}

// ---- serve ---------------------------------------------------------------------

TEST_F(QuarnCliTest, ServePrintsItsLoopbackUrlServesAndStopsOnSignal) {
  QuarnProcess server(QX_QUARN_CLI, {"serve", Root(), "--port", "0", "--page-size", "1"});
  ASSERT_TRUE(server.Started());
  const std::string url = server.ReadLine();
  ASSERT_EQ(0u, url.find("http://127.0.0.1:")) << url;
  const ProcessOutcome listing = Run({"list", "-u", url, "--raw"});
  EXPECT_EQ(0, listing.status);
  EXPECT_EQ(url + "/1.0/alice/models/box\n" + url + "/1.0/alice/models/robot\n" + url +
                "/1.0/bob/models/wheel\n",
            listing.out);
  server.Signal(SIGTERM);
  const ProcessOutcome outcome = server.Wait();
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ("", outcome.out);
}

TEST_F(QuarnCliTest, ServeWithAnApiKeyGuardsDownloads) {
  QuarnProcess server(QX_QUARN_CLI, {"serve", Root(), "--port", "0", "--api-key", "secret"});
  ASSERT_TRUE(server.Started());
  const std::string url = server.ReadLine();
  ASSERT_FALSE(url.empty());
  EXPECT_EQ(1, Run({"download", "-u", url + "/1.0/alice/models/box"}).status);
  EXPECT_EQ(0, Run({"download", "-u", url + "/1.0/alice/models/box", "--header",
                    "Private-token: secret"})
                   .status);
}

TEST_F(QuarnCliTest, ServeWithPrebuildHasEveryArchiveBeforeItListens) {
  qx::test::TempDir store;
  ProcessOptions onTerminal;
  onTerminal.stderrOnTerminal = true;
  QuarnProcess server(QX_QUARN_CLI,
                      {"serve", Root(), "--port", "0", "--prebuild", "--archive-store", store.Path()},
                      onTerminal);
  ASSERT_TRUE(server.Started());
  ASSERT_EQ(0u, server.ReadLine().find("http://127.0.0.1:"));
  std::size_t archives = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(store.Path()))
    archives += entry.path().extension() == ".zip";
  EXPECT_EQ(7u, archives);
  server.Signal(SIGTERM);
  const ProcessOutcome outcome = server.Wait();
  EXPECT_EQ(0, outcome.status);
  // The progress line on the terminal, rewritten in place.
  EXPECT_NE(std::string::npos, outcome.err.find("\rBuilding archives: 7/7")) << outcome.err;
  // A store inside the served directory is refused.
  const ProcessOutcome inside = Run({"serve", Root(), "--port", "0", "--archive-store", Root() + "/x"});
  EXPECT_EQ(1, inside.status);
  EXPECT_NE(std::string::npos, inside.err.find("lies inside the served directory"));
}

// ---- mirror export -------------------------------------------------------

TEST_F(QuarnCliTest, MirrorExportWritesTheTreeAndSaysWhatItDid) {
  qx::test::TempDir out;
  const std::string mirror = out.Path() + "/mirror";
  const ProcessOutcome first = Run({"mirror", "export", Root(), mirror, "--listen", "127.0.0.1:9"});
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_EQ(mirror + "\n", first.out);
  EXPECT_NE(std::string::npos,
            first.err.find("7 versions written, 0 kept, 32 documents written, 0 removed\n"));
  EXPECT_NE(std::string::npos, qx::test::ReadFile(mirror + "/nginx.conf").find("listen 127.0.0.1:9;"));
  const ProcessOutcome again = Run({"mirror", "export", Root(), mirror});
  EXPECT_NE(std::string::npos,
            again.err.find("0 versions written, 7 kept, 0 documents written, 0 removed\n"));
  const ProcessOutcome refused = Run({"mirror", "export", Root(), Root() + "/alice"});
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("inside the repository directory"));
  EXPECT_EQ(2, Run({"mirror", "export", Root()}).status);
  EXPECT_EQ(2, Run({"mirror"}).status);
}

}  // namespace
