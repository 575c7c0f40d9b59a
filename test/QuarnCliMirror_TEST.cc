// quarn mirror proxy-config nginx as people run it: the configuration of a
// lab's pull-through mirror, on standard output or into a file, and the
// options it refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/QuarnCliFixture.hh"

namespace qx::test {
namespace {

namespace fs = std::filesystem;

TEST_F(QuarnCliTest, ProxyConfigWritesAMirrorOfTheUpstream) {
  TempDir dir;
  const std::string cache = dir.Join("cache");
  const ProcessOutcome shown =
      Run({"mirror", "proxy-config", "nginx", "--upstream", Url(), "--listen", "127.0.0.1:9",
           "--cache-dir", cache + "/", "--max-size", "2GiB"});
  EXPECT_EQ(0, shown.status) << shown.err;
  EXPECT_NE(std::string::npos, shown.out.find("listen 127.0.0.1:9;"));
  EXPECT_NE(std::string::npos, shown.out.find("proxy_cache_path \"" + cache + "/cache\""));
  EXPECT_NE(std::string::npos, shown.out.find("max_size=2147483648"));
  EXPECT_TRUE(fs::is_directory(cache));

  const std::string file = dir.Join("mirror.conf");
  const ProcessOutcome written = Run(
      {"mirror", "proxy-config", "nginx", "--upstream", Url(), "--cache-dir", cache, "-o", file});
  EXPECT_EQ(0, written.status) << written.err;
  EXPECT_EQ(file + "\n", written.out);
  EXPECT_NE(std::string::npos, ReadFile(file).find("proxy_cache_lock on;"));

  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const std::vector<Case> refused = {
      {{"--upstream", "ftp://example.org"}, "no http:// or https:// URL of a host"},
      {{"--upstream", Url(), "--max-size", "lots"}, "--max-size [lots] is no size"},
      {{"--upstream", Url(), "--max-size", "0"}, "--max-size [0] is no size"},
      {{"--upstream", Url(), "--listen", "nowhere"}, "the listen address [nowhere]"},
      {{"--upstream", Url(), "--cache-dir", dir.Join("a\"b")}, "[" + dir.Join("a\"b") + "]: it holds a quote"},
  };
  for (const Case &c : refused) {
    SCOPED_TRACE(c.error);
    std::vector<std::string> args = {"mirror", "proxy-config", "nginx"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.args.size() < 4 || c.args[2] != "--cache-dir") {
      args.push_back("--cache-dir");
      args.push_back(cache);
    }
    const ProcessOutcome outcome = Run(args);
    EXPECT_EQ(2, outcome.status);
    EXPECT_NE(std::string::npos, outcome.err.find(c.error)) << outcome.err;
    EXPECT_EQ("", outcome.out);
  }
  EXPECT_EQ(2, Run({"mirror", "proxy-config", "squid", "--upstream", Url()}).status);
  EXPECT_EQ(2, Run({"mirror", "proxy-config", "nginx"}).status);
}

}  // namespace
}  // namespace qx::test
