#include "qx/quarn_tools/ConfigFileWriter.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qx/quarn_tools/ClientConfig.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::IsolatedHome;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

int ModeOf(const std::string &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

// The servers (URL and key) the file gives a cleared configuration.
std::vector<std::pair<std::string, std::string>> ServersOf(const std::string &path) {
  ClientConfig config;
  config.Clear();
  EXPECT_TRUE(config.LoadConfig(path)) << ReadFile(path);
  std::vector<std::pair<std::string, std::string>> servers;
  for (const ServerConfig &server : config.Servers())
    servers.emplace_back(server.Url().Str(), server.ApiKey());
  return servers;
}

TEST(ConfigFileWriter, CreatesAnOwnerOnlyFile) {
  IsolatedHome home;
  TempDir dir;
  const std::string path = dir.Join("new/dir/config.yaml");
  LogCapture log;
  EXPECT_TRUE(storeServerToken(path, "http://127.0.0.1:8085", "s3cret"));
  EXPECT_EQ(ModeOf(path), 0600);
  EXPECT_EQ(ServersOf(path),
            (std::vector<std::pair<std::string, std::string>>{{"http://127.0.0.1:8085", "s3cret"}}));
  EXPECT_FALSE(log.Contains("s3cret"));
}

TEST(ConfigFileWriter, KeepsTheRestAndReplacesOnlyThatServersToken) {
  IsolatedHome home;
  TempDir dir;
  const std::string path = dir.Join("config.yaml");
  WriteFile(path,
            "# my servers\n"
            "servers:\n"
            "  - url: https://a.example\n"
            "    name: first\n"
            "    private-token: OLD\n"
            "  - url: https://b.example\n"
            "cache:\n"
            "  path: /data/quarn\n"
            "transfer: {retries: 3}\n");
  ::chmod(path.c_str(), 0644);
  EXPECT_TRUE(storeServerToken(path, "https://a.example", "NEW"));
  EXPECT_TRUE(storeServerToken(path, "https://c.example", "C"));
  EXPECT_EQ(ModeOf(path), 0600);
  EXPECT_EQ(ServersOf(path), (std::vector<std::pair<std::string, std::string>>{
                                 {"https://a.example", "NEW"},
                                 {"https://b.example", ""},
                                 {"https://c.example", "C"}}));
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("name: first"), std::string::npos) << text;
  EXPECT_NE(text.find("retries: 3"), std::string::npos) << text;
  EXPECT_EQ(text.find("OLD"), std::string::npos) << text;
  ClientConfig config;
  config.LoadConfig(path);
  EXPECT_EQ(config.CacheLocation(), "/data/quarn");
}

// The server's entry is found however its URL is spelled, so it is never
// listed twice; a "servers:" that holds nothing yet takes the first.
TEST(ConfigFileWriter, FindsTheServerHoweverItsUrlIsSpelled) {
  IsolatedHome home;
  TempDir dir;
  const std::string path = dir.Join("config.yaml");
  WriteFile(path, "servers:\n  - url: HTTP://127.0.0.1:8085/\n    private-token: OLD\n");
  EXPECT_TRUE(storeServerToken(path, "http://127.0.0.1:8085", "NEW"));
  EXPECT_EQ(ServersOf(path), (std::vector<std::pair<std::string, std::string>>{
                                 {"HTTP://127.0.0.1:8085/", "NEW"}}));
  for (const char *empty : {"servers:\n", "servers: ~\ncache:\n  path: /data\n"}) {
    WriteFile(path, empty);
    EXPECT_TRUE(storeServerToken(path, "http://127.0.0.1:8085", "T")) << empty;
    EXPECT_EQ(ServersOf(path), (std::vector<std::pair<std::string, std::string>>{
                                   {"http://127.0.0.1:8085", "T"}}))
        << empty;
  }
}

// A configuration kept elsewhere and linked into place stays linked: the
// file it names gets the token.
TEST(ConfigFileWriter, ALinkedConfigurationHasItsTargetReplaced) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("dotfiles/quarn.yaml"), "servers:\n  - url: https://a.example\n");
  ASSERT_EQ(::symlink(dir.Join("dotfiles/quarn.yaml").c_str(), dir.Join("config.yaml").c_str()), 0);
  EXPECT_TRUE(storeServerToken(dir.Join("config.yaml"), "https://a.example", "T"));
  struct stat link {};
  ASSERT_EQ(::lstat(dir.Join("config.yaml").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(ServersOf(dir.Join("dotfiles/quarn.yaml")),
            (std::vector<std::pair<std::string, std::string>>{{"https://a.example", "T"}}));
}

TEST(ConfigFileWriter, FilesThatAreNoConfigurationStayAsTheyWere) {
  IsolatedHome home;
  TempDir dir;
  const std::string cases[] = {
      "- just\n- a list\n",
      "servers: not a list\n",
      "servers: [unclosed\n",
      "deep: " + std::string(100, '[') + std::string(100, ']') + "\n",
  };
  for (const std::string &content : cases) {
    const std::string path = dir.Join("config.yaml");
    WriteFile(path, content);
    LogCapture log;
    EXPECT_FALSE(storeServerToken(path, "https://a.example", "T")) << content;
    EXPECT_TRUE(log.Contains("Configuration file [" + path + "]", qx::common::LOG_ERROR))
        << content << log.Text();
    EXPECT_EQ(ReadFile(path), content);
  }
  EXPECT_FALSE(storeServerToken(dir.Path(), "https://a.example", "T"));
}

}  // namespace
}  // namespace qx::quarn_tools
