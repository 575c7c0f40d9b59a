#include "qx/quarn_tools/ClientConfig.hh"

#include <gtest/gtest.h>

#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::IsolatedHome;
using qx::test::LogCapture;
using qx::test::ScopedEnv;
using qx::test::TempDir;
using qx::test::WriteFile;

std::vector<std::string> Urls(const ClientConfig &config) {
  std::vector<std::string> urls;
  for (const auto &server : config.Servers()) urls.push_back(server.Url().Str());
  return urls;
}

std::vector<std::string> Keys(const ClientConfig &config) {
  std::vector<std::string> keys;
  for (const auto &server : config.Servers()) keys.push_back(server.ApiKey());
  return keys;
}

TEST(ClientConfig, DefaultsWithoutCachePathReadNoFile) {
  IsolatedHome home;
  WriteFile(home.Cache() + "/config.yaml",
            "servers:\n  - url: https://ignored.example\n");
  ClientConfig config;
  EXPECT_EQ(Urls(config), std::vector<std::string>{kDefaultServerUrl});
  EXPECT_EQ(config.CacheLocation(), home.Home() + "/.qx/quarn");
  EXPECT_EQ(config.ConfigPath(), "");
  EXPECT_EQ(config.UserAgent(), "KovariQuarnTools-11.0.0");
}

TEST(ClientConfig, CachePathVariableReadsConfigYamlFirst) {
  IsolatedHome home(true);
  WriteFile(home.Cache() + "/config.yaml", "servers:\n  - url: https://yaml.example\n");
  WriteFile(home.Cache() + "/config.yml", "servers:\n  - url: https://yml.example\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_EQ(Urls(config),
            (std::vector<std::string>{kDefaultServerUrl, "https://yaml.example"}));
  EXPECT_EQ(config.CacheLocation(), home.Cache());
  EXPECT_EQ(config.ConfigPath(), home.Cache() + "/config.yaml");
  EXPECT_TRUE(log.Contains("QX_QUARN_CACHE_PATH is set to [" + home.Cache() +
                               "]. The path in the configuration file will be ignored",
                           qx::common::LOG_WARNING));
}

TEST(ClientConfig, CachePathVariableFallsBackToConfigYml) {
  IsolatedHome home(true);
  WriteFile(home.Cache() + "/config.yml", "servers:\n  - url: https://yml.example\n");
  ClientConfig config;
  EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://yml.example"}));
}

TEST(ClientConfig, CachePathVariableNamingAMissingDirectory) {
  IsolatedHome home;
  const std::string missing = home.Home() + "/missing";
  ScopedEnv cachePath("QX_QUARN_CACHE_PATH", missing);
  WriteFile(home.Home() + "/.qx/quarn/config.yaml",
            "servers:\n  - url: https://home.example\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_TRUE(log.Contains("[" + missing + "] is not a directory", qx::common::LOG_ERROR));
  // The file under HOME was read, and its load sets the variable's value.
  EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://home.example"}));
  EXPECT_EQ(config.CacheLocation(), missing);
}

TEST(ClientConfig, DuplicateOfTheDefaultServerSetsItsToken) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), std::string("servers:\n  - url: ") + kDefaultServerUrl +
                                    "\n    private-token: KEY\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(Urls(config), std::vector<std::string>{kDefaultServerUrl});
  EXPECT_EQ(Keys(config), std::vector<std::string>{"KEY"});
  EXPECT_TRUE(log.Contains(std::string("URL [") + kDefaultServerUrl +
                               "] already exists. Ignoring server",
                           qx::common::LOG_WARNING));
  EXPECT_TRUE(log.Contains(std::string("Set private token for ") + kDefaultServerUrl +
                               " server.",
                           qx::common::LOG_MESSAGE));
}

TEST(ClientConfig, TokensBelongToTheirServers) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"),
            "servers:\n"
            "  - url: https://a.example\n"
            "    private-token: A-KEY\n"
            "  - url: https://b.example\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(Keys(config), (std::vector<std::string>{"", "A-KEY", ""}));
  EXPECT_EQ(log.Count("Set private token for "), 1);
  EXPECT_EQ(config.Servers()[1].Version(), "1.0");
}

TEST(ClientConfig, ServerWithoutUrlIsAnErrorOthersStay) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"),
            "servers:\n"
            "  - private-token: X\n"
            "  - url: https://b.example\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_TRUE(log.Contains("[url] parameter is required for a server", qx::common::LOG_ERROR));
  EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://b.example"}));
}

TEST(ClientConfig, CacheWithoutPathFallsBackToTheDefault) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "cache:\n  other: 1\n");
  LogCapture log;
  ClientConfig config;
  config.SetCacheLocation("/somewhere");
  EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_TRUE(log.Contains("[path] parameter is required for a cache", qx::common::LOG_ERROR));
  EXPECT_EQ(config.CacheLocation(), home.Home() + "/.qx/quarn");
}

TEST(ClientConfig, CachePathFromTheFile) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "cache:\n  path: /data/quarn\n");
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(config.CacheLocation(), "/data/quarn");
  EXPECT_EQ(config.ConfigPath(), dir.Join("c.yaml"));
}

TEST(ClientConfig, UnpackLimitsFromTheFile) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "limits:\n  max-unpacked-size: 2GiB\n  max-entries: 5000\n");
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(config.MaxUnpackedSize(), std::uint64_t{2} << 30);
  EXPECT_EQ(config.MaxEntries(), 5000u);
  config.Clear();
  EXPECT_EQ(config.MaxUnpackedSize(), kDefaultMaxUnpackedSize);
  EXPECT_EQ(config.MaxEntries(), kDefaultMaxEntries);
}

TEST(ClientConfig, AnUnreadableLimitIsAnErrorAndKeepsTheDefault) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "limits:\n  max-unpacked-size: lots\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_TRUE(log.Contains("Invalid value [lots] of [limits: max-unpacked-size]",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(config.MaxUnpackedSize(), kDefaultMaxUnpackedSize);
}

// Servers often carry a descriptive name; extra keys are skipped and never
// cost a server.
TEST(ClientConfig, ExtraKeysInServerEntriesAreSkipped) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"),
            "servers:\n"
            "  - name: first\n"
            "    url: https://a.example\n"
            "    options: {retries: 3, list: [1, 2]}\n"
            "  - url: https://b.example\n"
            "    name: second\n"
            "    private-token: B\n"
            "cache:\n"
            "  path: /data\n"
            "  size: 10\n");
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://a.example",
                                                    "https://b.example"}));
  EXPECT_EQ(Keys(config), (std::vector<std::string>{"", "", "B"}));
  EXPECT_EQ(config.CacheLocation(), "/data");
}

TEST(ClientConfig, MissingFileChangesNothing) {
  IsolatedHome home;
  ClientConfig config;
  config.SetCacheLocation("/kept");
  LogCapture log;
  EXPECT_FALSE(config.LoadConfig(home.Home() + "/nope.yaml"));
  EXPECT_TRUE(log.Contains("Unable to find configuration file [" + home.Home() +
                               "/nope.yaml]",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(config.ConfigPath(), "");
  EXPECT_EQ(config.CacheLocation(), "/kept");
}

struct BadFileCase {
  const char *name;
  std::string content;
  const char *error;
};

const char kBinary[] = "\x7f" "ELF\x02\x01\x01\0\0\0\xff\xfe";

TEST(ClientConfig, FilesThatAreNoConfiguration) {
  const BadFileCase cases[] = {
      {"binary", std::string(kBinary, sizeof(kBinary) - 1), "Parser error ["},
      {"bad yaml", "servers: [unclosed\n  - : : :\n", "Parser error ["},
      {"tab indent", "servers:\n\t- url: x\n", "Parser error ["},
      {"plain text", "just some words\n", "must hold a mapping"},
      {"sequence", "- a\n- b\n", "must hold a mapping"},
      {"huge", std::string(kMaxConfigFileSize + 1, '#'), "is larger than"},
  };
  for (const auto &c : cases) {
    IsolatedHome home;
    TempDir dir;
    WriteFile(dir.Join("c.yaml"), c.content);
    LogCapture log;
    ClientConfig config;
    EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml"))) << c.name;
    EXPECT_TRUE(log.Contains(c.error, qx::common::LOG_ERROR)) << c.name << "\n" << log.Text();
    EXPECT_EQ(Urls(config), std::vector<std::string>{kDefaultServerUrl}) << c.name;
  }
}

TEST(ClientConfig, DirectoryIsNoConfigurationFile) {
  IsolatedHome home;
  TempDir dir;
  LogCapture log;
  ClientConfig config;
  EXPECT_FALSE(config.LoadConfig(dir.Path()));
  EXPECT_TRUE(log.Contains("Failed to open configuration file [" + dir.Path() + "]"));
}

TEST(ClientConfig, EmptyFileIsFine) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "# nothing here\n");
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
}

TEST(ClientConfig, InvalidServerUrlIsRefused) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "servers:\n  - url: not a url\n");
  LogCapture log;
  ClientConfig config;
  EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_TRUE(log.Contains("Invalid server URL [not a url]", qx::common::LOG_ERROR));
  EXPECT_EQ(config.Servers().size(), 1u);
}

TEST(ClientConfig, ClearAndDump) {
  IsolatedHome home;
  ClientConfig config;
  config.Clear();
  EXPECT_TRUE(config.Servers().empty());
  EXPECT_EQ(config.AsString(""), "Config path: \nCache location: \nServers:\n");

  ServerConfig server;
  server.SetUrl(qx::common::URI("https://h", true));
  config.AddServer(server);
  config.SetUserAgent("agent");
  EXPECT_EQ(config.AsString("# "),
            "# Config path: \n# Cache location: \n# Servers:\n"
            "#   ---\n#   URL: https://h\n  Version: 1.0\n  API key: \n");
  config.Clear();
  EXPECT_EQ(config.UserAgent(), "KovariQuarnTools-11.0.0");
}

TEST(ClientConfig, CopiesAreDeepAndMutableServersWriteThrough) {
  IsolatedHome home;
  ClientConfig config;
  ClientConfig copy(config);
  config.MutableServers()[0].SetApiKey("changed");
  EXPECT_EQ(copy.Servers()[0].ApiKey(), "");
  const ClientConfig &constRef = config;
  constRef.MutableServers().push_back(ServerConfig());
  EXPECT_EQ(config.Servers().size(), 2u);
}

}  // namespace
}  // namespace qx::quarn_tools
