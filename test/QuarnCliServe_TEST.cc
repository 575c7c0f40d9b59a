// quarn serve as a program: it serves until terminated, takes its keys from
// options, files or the environment (most specific first), refuses a key
// that is none, and says what it takes.
#include <signal.h>

#include <httplib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FormBodies.hh"
#include "support/QuarnProcess.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

#ifndef QX_QUARN_CLI
#error "QX_QUARN_CLI must name the quarn program"
#endif

namespace {

namespace fs = std::filesystem;
using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using qx::test::TempDir;
using qx::test::WriteFile;

using Environment = std::map<std::string, std::optional<std::string>>;

// No key of the test's own environment reaches the server.
Environment WithoutKeys(Environment environment = {}) {
  for (const char *name :
       {"QX_QUARN_SERVE_KEY", "QX_QUARN_SERVE_READ_KEY", "QX_QUARN_SERVE_WRITE_KEY"}) {
    environment.emplace(name, std::nullopt);
  }
  return environment;
}

class QuarnCliServe : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qx::test::CopyExampleRepository(root_.Path())); }

  // Starts quarn serve over the copy with `arguments` (after DIR --port 0)
  // and `environment`; its URL, empty when it did not start.
  std::string Serve(const std::vector<std::string> &arguments, const Environment &environment = {}) {
    std::vector<std::string> args = {"serve", root_.Path(), "--port", "0", "--archive-store",
                                     store_.Join("archives")};
    args.insert(args.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.environment = WithoutKeys(environment);
    server_ = std::make_unique<QuarnProcess>(QX_QUARN_CLI, args, options);
    return server_->ReadLine();
  }
  ProcessOutcome Stop() {
    server_->Signal(SIGTERM);
    return server_->Wait();
  }
  // Whether `key` reads a model's details, and whether it edits one.
  int Read(const std::string &url, const std::string &key) {
    httplib::Client client(url);
    httplib::Headers headers;
    if (!key.empty()) headers.emplace("Private-token", key);
    auto result = client.Get("/1.0/alice/models/box", headers);
    return result ? result->status : 0;
  }
  int Write(const std::string &url, const std::string &key) {
    httplib::Client client(url);
    httplib::Headers headers;
    if (!key.empty()) headers.emplace("Private-token", key);
    auto result = client.Patch("/1.0/alice/models/box", headers,
                               qx::test::MultipartBody({{"private", "0", ""}}),
                               qx::test::FormContentType().c_str());
    return result ? result->status : 0;
  }
  std::string KeyFile(const std::string &name, const std::string &content) {
    WriteFile(keys_.Join(name), content);
    return keys_.Join(name);
  }

  TempDir root_;
  TempDir store_;
  TempDir keys_;
  std::unique_ptr<QuarnProcess> server_;
};

TEST_F(QuarnCliServe, ServesUntilTerminated) {
  const std::string url = Serve({"--page-size", "1", "--prebuild"});
  ASSERT_EQ(0u, url.find("http://127.0.0.1:")) << url;
  httplib::Client client(url);
  auto result = client.Get("/1.0/models?page=2");
  ASSERT_TRUE(result);
  EXPECT_EQ(std::vector<std::string>{"alice/robot"}, qx::test::ListedNames(result->body));
  // Every version's archive was built before the server listened.
  std::size_t archives = 0;
  for (const auto &entry : fs::recursive_directory_iterator(store_.Join("archives")))
    archives += entry.path().extension() == ".zip";
  EXPECT_EQ(7u, archives);
  const ProcessOutcome outcome = Stop();
  EXPECT_EQ(0, outcome.status);
  // It says what it takes: no writes and no private model without keys.
  EXPECT_NE(std::string::npos, outcome.err.find("Takes no writes: no write key was given"));
  EXPECT_NE(std::string::npos, outcome.err.find("Serves no private model: no read key was given"));
}

TEST_F(QuarnCliServe, KeysComeFromOptionsFilesAndTheEnvironment) {
  struct Case {
    const char *what;
    std::vector<std::string> arguments;
    Environment environment;
    std::string readKey;   // "" for none: details need nothing
    std::string writeKey;  // "" for none: no writes at all
  };
  const std::vector<Case> cases = {
      {"none", {}, {}, "", ""},
      {"--api-key sets both", {"--api-key", "both"}, {}, "both", "both"},
      {"files, first line, its line end left out",
       {"--read-key-file", KeyFile("read", "r-key\r\nsecond line\n"), "--write-key-file",
        KeyFile("write", "w-key\n")},
       {},
       "r-key",
       "w-key"},
      {"a write key alone", {"--write-key", "w"}, {}, "", "w"},
      {"the environment", {}, {{"QX_QUARN_SERVE_KEY", "env"}}, "env", "env"},
      {"a variable of its own is more specific",
       {},
       {{"QX_QUARN_SERVE_KEY", "env"}, {"QX_QUARN_SERVE_WRITE_KEY", "env-w"}},
       "env",
       "env-w"},
      {"options before the environment",
       {"--api-key-file", KeyFile("both", "file-key")},
       {{"QX_QUARN_SERVE_KEY", "env"}, {"QX_QUARN_SERVE_READ_KEY", "env-r"}},
       "file-key",
       "file-key"},
      {"an option of its own before --api-key",
       {"--api-key", "both", "--read-key", "r"},
       {},
       "r",
       "both"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string url = Serve(c.arguments, c.environment);
    ASSERT_FALSE(url.empty());
    if (c.readKey.empty()) {
      EXPECT_EQ(200, Read(url, ""));
    } else {
      EXPECT_EQ(401, Read(url, ""));
      EXPECT_EQ(401, Read(url, c.readKey + "x"));
      EXPECT_EQ(200, Read(url, c.readKey));
    }
    if (c.writeKey.empty()) {
      EXPECT_EQ(403, Write(url, c.readKey));
      EXPECT_EQ(403, Write(url, "anything"));
    } else {
      EXPECT_EQ(401, Write(url, ""));
      if (c.readKey != c.writeKey) {
        EXPECT_EQ(401, Write(url, c.readKey));
      }
      EXPECT_EQ(200, Write(url, c.writeKey));
    }
    EXPECT_EQ(0, Stop().status);
  }
}

TEST_F(QuarnCliServe, RefusesArgumentsAndKeysThatAreNone) {
  const std::string dir = root_.Path();
  struct Case {
    std::vector<std::string> arguments;
    Environment environment;
    std::string error;  // on standard error
  };
  const std::vector<Case> cases = {
      {{"serve"}, {}, "dir is required"},
      {{"serve", dir, "--port"}, {}, ""},
      {{"serve", dir, "--port", "x"}, {}, ""},
      {{"serve", dir, "--page-size", "0"}, {}, ""},
      {{"serve", dir, "other"}, {}, ""},
      {{"serve", dir, "--archive-store"}, {}, ""},
      {{"serve", root_.Join("missing")}, {}, ""},
      {{"serve", dir, "--api-key", ""}, {}, "the key of --api-key is empty"},
      {{"serve", dir, "--write-key", " padded"}, {}, "begins or ends with a blank"},
      {{"serve", dir, "--read-key", "two\tparts\x01"}, {}, "holds a control character"},
      {{"serve", dir, "--api-key-file", KeyFile("empty", "")}, {}, "is empty"},
      {{"serve", dir, "--write-key-file", KeyFile("blank", "\nsecret\n")}, {}, "is empty"},
      {{"serve", dir, "--write-key-file", keys_.Join("missing")}, {}, ""},
      {{"serve", dir, "--api-key", "a", "--api-key-file", KeyFile("a", "a")}, {}, "excludes"},
      {{"serve", dir}, {{"QX_QUARN_SERVE_KEY", ""}}, "the key of QX_QUARN_SERVE_KEY is empty"},
      {{"serve", dir}, {{"QX_QUARN_SERVE_WRITE_KEY", "x "}}, "QX_QUARN_SERVE_WRITE_KEY"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments.back());
    ProcessOptions options;
    options.environment = WithoutKeys(c.environment);
    QuarnProcess quarn(QX_QUARN_CLI, c.arguments, options);
    const ProcessOutcome outcome = quarn.Wait();
    EXPECT_EQ(2, outcome.status) << outcome.err;
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find(c.error)) << outcome.err;
  }
}

}  // namespace
