#include "qx/quarn_tools/ClientConfig.hh"

#include <sys/resource.h>

#include <optional>
#include <string>

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
  // The file names no cache path, so nothing of it is ignored.
  EXPECT_FALSE(log.Contains("QX_QUARN_CACHE_PATH is set to")) << log.Text();
}

TEST(ClientConfig, CachePathVariableFallsBackToConfigYml) {
  IsolatedHome home(true);
  WriteFile(home.Cache() + "/config.yml", "servers:\n  - url: https://yml.example\n");
  ClientConfig config;
  EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://yml.example"}));
}

// A cache path that names no directory, and a missing HOME, are errors: the
// cache does not quietly move to HOME or below the file-system root, and no
// configuration file is read from elsewhere.
TEST(ClientConfig, NoUsableCacheDirectoryIsAnError) {
  IsolatedHome home;
  WriteFile(home.Home() + "/.qx/quarn/config.yaml", "servers:\n  - url: https://home.example\n");
  WriteFile(home.Home() + "/plain-file", "not a directory");
  struct Case {
    const char *name;
    std::optional<std::string> cachePath;
    std::optional<std::string> homeValue;
    std::string error;
  };
  const Case cases[] = {
      {"missing directory", home.Home() + "/missing", home.Home(),
       "QX_QUARN_CACHE_PATH [" + home.Home() + "/missing] is not a directory"},
      {"a plain file", home.Home() + "/plain-file", home.Home(),
       "QX_QUARN_CACHE_PATH [" + home.Home() + "/plain-file] is not a directory"},
      {"no HOME", std::nullopt, std::nullopt, "HOME is not set, and neither is QX_QUARN_CACHE_PATH"},
      {"empty HOME", std::nullopt, std::string(), "HOME is not set"},
  };
  for (const Case &c : cases) {
    ScopedEnv cachePath("QX_QUARN_CACHE_PATH", c.cachePath);
    ScopedEnv homeEnv("HOME", c.homeValue);
    LogCapture log;
    ClientConfig config;
    EXPECT_TRUE(log.Contains(c.error, qx::common::LOG_ERROR)) << c.name << "\n" << log.Text();
    EXPECT_EQ(config.CacheLocation(), "") << c.name;
    EXPECT_EQ(Urls(config), std::vector<std::string>{kDefaultServerUrl}) << c.name;
    EXPECT_EQ(config.ConfigPath(), "") << c.name;
  }
}

TEST(ClientConfig, LoadingWithAnUnusableCachePathLeavesNoCacheLocation) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "cache:\n  path: /data/quarn\n");
  ClientConfig config;
  ScopedEnv cachePath("QX_QUARN_CACHE_PATH", home.Home() + "/missing");
  LogCapture log;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_TRUE(log.Contains("is not a directory", qx::common::LOG_ERROR));
  EXPECT_EQ(config.CacheLocation(), "");
}

// A file's cache path stands in for a missing HOME.
TEST(ClientConfig, FileCachePathNeedsNoHome) {
  TempDir dir;
  WriteFile(dir.Join("c.yaml"), "cache:\n  path: /data/quarn\n");
  ScopedEnv homeEnv("HOME", std::nullopt);
  ScopedEnv cachePath("QX_QUARN_CACHE_PATH", std::nullopt);
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(config.CacheLocation(), "/data/quarn");
}

// The variable wins over the file's cache path, and says so only when the
// file names one.
TEST(ClientConfig, IgnoredPathWarningOnlyForAFileThatNamesACachePath) {
  IsolatedHome home(true);
  TempDir dir;
  WriteFile(dir.Join("servers-only.yaml"), "servers:\n  - url: https://a.example\n");
  WriteFile(dir.Join("with-cache.yaml"), "cache:\n  path: /data/quarn\n");
  const std::string warning = "QX_QUARN_CACHE_PATH is set to [" + home.Cache() + "]";
  {
    LogCapture log;
    ClientConfig config;
    EXPECT_TRUE(config.LoadConfig(dir.Join("servers-only.yaml")));
    EXPECT_FALSE(log.Contains(warning)) << log.Text();
    EXPECT_EQ(config.CacheLocation(), home.Cache());
  }
  {
    LogCapture log;
    ClientConfig config;
    EXPECT_TRUE(config.LoadConfig(dir.Join("with-cache.yaml")));
    EXPECT_TRUE(log.Contains(warning + ". The path in the configuration file will be ignored",
                             qx::common::LOG_WARNING));
    EXPECT_EQ(config.CacheLocation(), home.Cache());
  }
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

TEST(ClientConfig, TransferOptionsFromTheFile) {
  IsolatedHome home;
  TempDir dir;
  WriteFile(dir.Join("c.yaml"),
            "transfer:\n  retries: 0\n  connect-timeout: 5\n  stall-timeout: 90\n"
            "  max-document-size: 8MiB\n  document-timeout: 300\n  max-streams: 16\n");
  ClientConfig config;
  EXPECT_EQ(config.Transfer().maxStreams, 100);
  EXPECT_TRUE(config.LoadConfig(dir.Join("c.yaml")));
  EXPECT_EQ(config.Transfer().retries, 0);
  EXPECT_EQ(config.Transfer().maxStreams, 16);
  EXPECT_EQ(config.Transfer().connectTimeoutSeconds, 5);
  EXPECT_EQ(config.Transfer().stallTimeoutSeconds, 90);
  EXPECT_EQ(config.Transfer().documentTimeoutSeconds, 300);
  EXPECT_EQ(config.Transfer().maxDocumentSize, 8u << 20);
  config.Clear();
  EXPECT_EQ(config.Transfer().retries, 2);
  EXPECT_EQ(config.Transfer().maxDocumentSize, 64u << 20);
  EXPECT_EQ(config.Transfer().maxStreams, 100);
}

// A time-out of 0 would mean none at all (a silent server would hang the
// client), retries past ten only hide a server that is down, and a
// connection carries at least one stream.
TEST(ClientConfig, TransferOptionsOutOfTheirRangeAreErrors) {
  IsolatedHome home;
  TempDir dir;
  const struct {
    const char *line;
    const char *error;
  } cases[] = {
      {"stall-timeout: 0", "[0] of [transfer: stall-timeout]"},
      {"connect-timeout: 0", "[0] of [transfer: connect-timeout]"},
      {"document-timeout: 86401", "[86401] of [transfer: document-timeout]"},
      {"retries: 11", "[11] of [transfer: retries]"},
      {"retries: 2147483647", "[2147483647] of [transfer: retries]"},
      {"max-streams: 0", "[0] of [transfer: max-streams]"},
      {"max-streams: 1001", "[1001] of [transfer: max-streams]"},
  };
  for (const auto &c : cases) {
    WriteFile(dir.Join("c.yaml"), std::string("transfer:\n  ") + c.line + "\n");
    LogCapture log;
    ClientConfig config;
    EXPECT_FALSE(config.LoadConfig(dir.Join("c.yaml"))) << c.line;
    EXPECT_TRUE(log.Contains(std::string("Invalid value ") + c.error, qx::common::LOG_ERROR))
        << log.Text();
    EXPECT_EQ(config.Transfer().retries, 2) << c.line;
    EXPECT_EQ(config.Transfer().stallTimeoutSeconds, 60) << c.line;
    EXPECT_EQ(config.Transfer().maxStreams, 100) << c.line;
  }
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

// Peak resident memory of the process so far, in KiB.
long PeakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Deeply nested documents are refused at a fixed depth, quickly and with
// little memory (a reader whose memory grows with the square of the depth
// would take gigabytes here); what came before the deep part stays read.
TEST(ClientConfig, DeepNestingIsRefusedCheaply) {
  IsolatedHome home;
  TempDir dir;
  const std::size_t depth = 200 * 1000;  // 400 KB of brackets
  std::string mappings;
  for (int i = 0; i < 40000; ++i) mappings += "{a: ";
  mappings += "1" + std::string(40000, '}');
  const std::string servers = "servers:\n  - url: https://a.example\n";
  const std::string files[] = {
      servers + "deep: " + std::string(depth, '[') + std::string(depth, ']') + "\n",
      servers + "cache: " + mappings + "\n",
  };
  for (const std::string &content : files) {
    WriteFile(dir.Join("deep.yaml"), content);
    const long before = PeakMemoryKiB();
    LogCapture log;
    ClientConfig config;
    EXPECT_FALSE(config.LoadConfig(dir.Join("deep.yaml")));
    EXPECT_TRUE(log.Contains("nests deeper than 64 levels", qx::common::LOG_ERROR));
    EXPECT_EQ(Urls(config), (std::vector<std::string>{kDefaultServerUrl, "https://a.example"}));
    EXPECT_LT(PeakMemoryKiB() - before, 64 * 1024);
  }
  // Ordinary nesting is well within the limit.
  WriteFile(dir.Join("ok.yaml"), servers + "other: [[[[{a: [1, {b: c}]}]]]]\n");
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("ok.yaml")));
}

// Many servers: every one is added once, a later entry with a URL seen
// before only sets its token, and order is kept.
TEST(ClientConfig, ManyServersKeepTheDuplicateRule) {
  IsolatedHome home;
  TempDir dir;
  const int count = 44000;
  std::string content = "servers:\n";
  for (int i = 0; i < count; ++i) content += "  - url: http://h" + std::to_string(i) + "\n";
  content += "  - url: http://h7\n    private-token: SEVEN\n";
  content += "  - url: http://h43999\n";
  ASSERT_LE(content.size(), static_cast<std::size_t>(kMaxConfigFileSize));
  WriteFile(dir.Join("many.yaml"), content);
  LogCapture log;
  ClientConfig config;
  EXPECT_TRUE(config.LoadConfig(dir.Join("many.yaml")));
  const std::vector<ServerConfig> servers = config.Servers();
  ASSERT_EQ(servers.size(), static_cast<std::size_t>(count) + 1);
  EXPECT_EQ(servers[1].Url().Str(), "http://h0");
  EXPECT_EQ(servers[count].Url().Str(), "http://h43999");
  EXPECT_EQ(servers[8].ApiKey(), "SEVEN");
  EXPECT_EQ(log.Count("already exists. Ignoring server", qx::common::LOG_WARNING), 2);
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
