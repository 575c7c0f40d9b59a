// The quarn tool changing a server and the cache: upload, edit and delete
// say what they did; login stores a token owner-only; update says per
// resource what it did; failures and interrupts end with the right status.
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/ClientConfig.hh>

#include "support/QuarnCliFixture.hh"
#include "support/ServerDocuments.hh"

namespace {

using qx::test::ParseJson;
using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

// The tool against a server that takes writes with kWriteKey, which the
// tool has in QX_QUARN_TOKEN.
class QuarnCliWrites : public qx::test::QuarnCliTest {
 protected:
  static constexpr const char *kWriteKey = "write-token";

  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.writeKey = kWriteKey;
    return options;
  }

 private:
  qx::test::ScopedEnv token_{"QX_QUARN_TOKEN", std::string(kWriteKey)};
};

// A minimal model directory.
void WriteModel(const std::string &directory, const std::string &name) {
  WriteFile(directory + "/model.config",
            "<?xml version=\"1.0\"?>\n<model>\n  <name>" + name +
                "</name>\n  <version>1</version>\n  <sdf version=\"1.9\">model.sdf</sdf>\n"
                "</model>\n");
  WriteFile(directory + "/model.sdf", "<?xml version=\"1.0\"?>\n<sdf version=\"1.9\"/>\n");
}

int ModeOf(const std::string &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

ProcessOptions WithInput(const std::string &input) {
  ProcessOptions options;
  options.input = input;
  return options;
}

// ---- upload ---------------------------------------------------------------

TEST_F(QuarnCliWrites, UploadSaysWhatItUploaded) {
  TempDir models;
  WriteModel(models.Join("lamp"), "Lamp");
  ProcessOutcome outcome = Run({"upload", "-m", models.Join("lamp"), "-u", Url(), "--owner", "carol"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("Uploaded " + ResourceUrl("carol/models/lamp") + " version 1\n", outcome.out);
  EXPECT_TRUE(qx::common::isDirectory(Root() + "/carol/models"));

  outcome = Run({"upload", "-m", models.Join("lamp"), "-u", Url(), "--owner", "carol", "--json"});
  EXPECT_EQ(0, outcome.status);
  const Json::Value document = ParseJson(outcome.out);
  ASSERT_EQ(document["uploaded"].size(), 1u);
  EXPECT_EQ(document["failed"].size(), 0u);
  const Json::Value &lamp = document["uploaded"][0];
  EXPECT_EQ(lamp["url"].asString(), ResourceUrl("carol/models/lamp/2"));
  EXPECT_EQ(lamp["owner"].asString(), "carol");
  EXPECT_EQ(lamp["name"].asString(), "lamp");
  EXPECT_EQ(lamp["version"].asUInt(), 2u);
  EXPECT_EQ(lamp["path"].asString(), models.Join("lamp"));
}

TEST_F(QuarnCliWrites, UploadFailuresExitWithOne) {
  TempDir models;
  WriteModel(models.Join("a"), "A");
  WriteModel(models.Join("b"), "B");
  WriteFile(models.Join("notes/readme.txt"), "no model here");
  // Without an owner the server refuses; with one, the second is refused.
  ProcessOutcome outcome = Run({"upload", "-m", models.Path(), "-u", Url()});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_NE(std::string::npos,
            outcome.err.find("Upload of " + models.Join("a") + " failed: " + Url() +
                             " answered 400 for models: owner required"))
      << outcome.err;

  qx::test::ResponseScript refused;
  refused.method = "POST";
  refused.route = "models";
  refused.status = 500;
  refused.times = 1;
  Server().AddScript(refused);
  outcome = Run({"upload", "-m", models.Path(), "-u", Url(), "--owner", "carol", "--json"});
  EXPECT_EQ(1, outcome.status);
  const Json::Value document = ParseJson(outcome.out);
  ASSERT_EQ(document["failed"].size(), 1u);
  EXPECT_EQ(document["failed"][0]["path"].asString(), models.Join("a"));
  EXPECT_NE(document["failed"][0]["error"].asString().find("answered 500"), std::string::npos);
  ASSERT_EQ(document["uploaded"].size(), 1u);
  EXPECT_EQ(document["uploaded"][0]["name"].asString(), "b");

  const std::vector<std::vector<std::string>> nothing = {
      {"upload", "-m", models.Join("notes"), "-u", Url(), "--owner", "carol"},
      {"upload", "-m", models.Join("missing"), "-u", Url(), "--owner", "carol"},
  };
  for (const auto &args : nothing) {
    outcome = Run(args);
    EXPECT_EQ(1, outcome.status) << args[2];
    EXPECT_FALSE(outcome.err.empty());
  }
  EXPECT_NE(std::string::npos, Run(nothing[0]).err.find("No model to upload in [" + models.Join("notes")));
  // With --json, a document says so too.
  for (const auto &args : nothing) {
    std::vector<std::string> json = args;
    json.push_back("--json");
    outcome = Run(json);
    EXPECT_EQ(1, outcome.status);
    const Json::Value said = ParseJson(outcome.out);
    EXPECT_EQ(said["uploaded"].size(), 0u) << outcome.out;
    ASSERT_EQ(said["failed"].size(), 1u) << outcome.out;
    EXPECT_EQ(said["failed"][0]["path"].asString(), args[2]);
  }
}

TEST_F(QuarnCliWrites, InterruptedUploadFinishesTheModelAtHandAndSaysWhatIsLeft) {
  TempDir models;
  WriteModel(models.Join("a"), "A");
  WriteModel(models.Join("b"), "B");
  qx::test::ResponseScript slow;
  slow.method = "POST";
  slow.route = "models";
  slow.delay = std::chrono::milliseconds(1500);
  slow.times = 1;
  Server().AddScript(slow);
  QuarnProcess quarn(QX_QUARN_CLI, {"upload", "-m", models.Path(), "-u", Url(), "--owner", "carol"});
  ASSERT_TRUE(AwaitRequest("models"));
  quarn.Signal(SIGINT);
  const ProcessOutcome outcome = quarn.Wait();
  EXPECT_EQ(130, outcome.status);
  EXPECT_EQ("Uploaded " + ResourceUrl("carol/models/a") + " version 1\n", outcome.out);
  EXPECT_EQ("[Err] Interrupted: 1 of 2 models were not uploaded: b\n", outcome.err);
  EXPECT_EQ(Server().Requests("models").size(), 1u);
}

// ---- edit and delete ------------------------------------------------------------

TEST_F(QuarnCliWrites, EditAndDeleteSayWhatTheyDid) {
  ProcessOutcome outcome = Run({"edit", ResourceUrl("alice/models/box"), "--private", "true"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("Edited " + ResourceUrl("alice/models/box") + " version 2: now private\n", outcome.out);
  EXPECT_TRUE(qx::common::exists(Root() + "/alice/models/box/private"));

  outcome = Run({"delete", "-u", ResourceUrl("bob/worlds/town")});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("Deleted " + ResourceUrl("bob/worlds/town") + "\n", outcome.out);
  EXPECT_FALSE(qx::common::exists(Root() + "/bob/worlds/town"));

  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"delete", ResourceUrl("bob/worlds/town")},
        {"edit", ResourceUrl("bob/models/ghost"), "--private", "false"}}) {
    outcome = Run(args);
    EXPECT_EQ(1, outcome.status) << args[0];
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find("was not found on " + Url() + " (404)"))
        << outcome.err;
  }
  outcome = Run({"delete", ResourceUrl("alice/collections/favourites")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos, outcome.err.find("delete takes the URL of a model or world"));
}

using ProtectedWrites = qx::test::ProtectedQuarnCliTest;

TEST_F(ProtectedWrites, RefusedDeletionFailsAndTheTokenOfLoginOpensIt) {
  ProcessOutcome outcome = Run({"delete", ResourceUrl("alice/models/box")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos, outcome.err.find("refused access to model alice/box (401)"))
      << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find("quarn login " + Url()));

  // The token from standard input, into the configuration file the tool
  // reads (QX_QUARN_CACHE_PATH's here), owner-only.
  outcome = Run({"login", Url()}, WithInput(std::string("  ") + kApiKey + " \n"));
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("", outcome.out);
  const std::string file = Cache() + "/config.yaml";
  EXPECT_NE(std::string::npos, outcome.err.find("Stored the token for " + Url() + " in " + file));
  EXPECT_EQ(std::string::npos, outcome.err.find(kApiKey));
  EXPECT_EQ(ModeOf(file), 0600);
  qx::quarn_tools::ClientConfig config;
  ASSERT_EQ(config.Servers().size(), 2u);
  EXPECT_EQ(config.Servers()[1].Url().Str(), Url());
  EXPECT_EQ(config.Servers()[1].ApiKey(), kApiKey);

  outcome = Run({"delete", ResourceUrl("alice/models/box")});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(Server().Requests().back().Header("Private-token").value_or(""), kApiKey);
}

TEST_F(ProtectedWrites, LoginWithoutCachePathUsesTheHomeFile) {
  ProcessOptions options = WithInput(std::string(kApiKey) + "\n");
  options.environment["QX_QUARN_CACHE_PATH"] = std::nullopt;
  ProcessOutcome outcome = Run({"login", ResourceUrl("alice/models/box")}, options);
  EXPECT_EQ(0, outcome.status) << outcome.err;
  const std::string file = Home() + "/.qx/quarn/config.yaml";
  EXPECT_EQ(ModeOf(file), 0600);
  EXPECT_NE(std::string::npos, ReadFile(file).find("url: " + Url()));
  // Later commands read it: the download needs the token.
  options.input.reset();
  outcome = Run({"download", ResourceUrl("alice/models/box")}, options);
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(Home() + "/.qx/quarn/" + qx::quarn_tools::uriToPath(qx::common::URI(Url())) +
                "/alice/models/box/2\n",
            outcome.out);

  // An explicit file, and no token at all.
  TempDir dir;
  EXPECT_EQ(0, Run({"login", Url(), "-c", dir.Join("c.yaml")}, WithInput("t\n")).status);
  EXPECT_EQ(ModeOf(dir.Join("c.yaml")), 0600);
  outcome = Run({"login", Url()}, WithInput("\n"));
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos, outcome.err.find("No token given"));
  EXPECT_EQ(1, Run({"login", "not a url"}, WithInput("t\n")).status);
}

// ---- update ---------------------------------------------------------------------

TEST_F(QuarnCliWrites, UpdateSaysPerResourceWhatItDid) {
  ConfigureServer();
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  ASSERT_EQ(0, Run({"download", ResourceUrl("bob/worlds/town/1")}).status);
  ProcessOutcome outcome = Run({"update", "--json"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  const Json::Value resources = ParseJson(outcome.out)["resources"];
  ASSERT_EQ(resources.size(), 2u);
  EXPECT_EQ(resources[0]["kind"].asString(), "model");
  EXPECT_EQ(resources[0]["url"].asString(), ResourceUrl("alice/models/box"));
  EXPECT_EQ(resources[0]["from"].asUInt(), 1u);
  EXPECT_EQ(resources[0]["to"].asUInt(), 2u);
  EXPECT_EQ(resources[0]["status"].asString(), "updated");
  EXPECT_EQ(resources[0]["path"].asString(), Cached("alice/models/box/2"));
  EXPECT_EQ(resources[1]["kind"].asString(), "world");
  EXPECT_EQ(resources[1]["status"].asString(), "updated");

  outcome = Run({"update"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ("alice/box 2 (up to date)\nbob/town 2 (up to date)\n", outcome.out);
}

TEST_F(QuarnCliWrites, UpdateLinesFromTheOldVersionToTheNew) {
  TempDir dir;
  WriteFile(dir.Join("servers.yaml"), "servers:\n  - url: " + Url() + "\n");
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  const ProcessOutcome outcome = Run({"update", "-c", dir.Join("servers.yaml"), "--only-models"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("alice/box 1 -> 2\n", outcome.out);
}

TEST_F(QuarnCliWrites, UpdateFailuresExitWithOne) {
  // Nothing cached: nothing to do (and --json says so with an empty list).
  ProcessOutcome outcome = Run({"update"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ("", outcome.out);
  outcome = Run({"update", "--json"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(ParseJson(outcome.out), ParseJson(R"({"resources": []})"));

  // What the cache held of a server is all removed: nothing is left to
  // update, whatever server directory stays behind.
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  ASSERT_EQ(0, Run({"cache", "rm", ResourceUrl("alice/models/box")}).status);
  outcome = Run({"update"});
  EXPECT_EQ(0, outcome.status) << outcome.err;

  // Cached, but no configured server matches the cache.
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/box/1")}).status);
  ASSERT_EQ(0, Run({"download", ResourceUrl("alice/models/robot")}).status);
  outcome = Run({"update"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_NE(std::string::npos, outcome.err.find("no configured server matches the cache"));
  EXPECT_NE(std::string::npos,
            outcome.err.find(qx::quarn_tools::uriToPath(qx::common::URI(Url()))));

  // One update fails; the others are done.
  ConfigureServer();
  Refuse("bob/models/wheel", 500, "broken");
  outcome = Run({"update"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("alice/box 1 -> 2\nalice/robot 1 (up to date)\n", outcome.out);
  EXPECT_NE(std::string::npos,
            outcome.err.find("Update of bob/wheel failed: " + Url() +
                             " answered 500 for model bob/wheel: broken"))
      << outcome.err;

  // Every update fails.
  Server().Stop();
  outcome = Run({"update", "-v", "0"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_EQ("", outcome.err);
}

}  // namespace
