#include "qx/quarn_tools/ServerConfig.hh"

#include <gtest/gtest.h>

namespace qx::quarn_tools {
namespace {

const std::string kLabel = "\033[96m\033[1m";
const std::string kValue = "\033[37m";
const std::string kReset = "\033[0m";

std::string PrettyLine(const std::string &prefix, const std::string &label,
                       const std::string &value) {
  return prefix + kLabel + label + kReset + kValue + value + kReset + "\n";
}

TEST(ServerConfig, DefaultsDumpThreeLines) {
  ServerConfig server;
  EXPECT_EQ(server.Url().Str(), kDefaultServerUrl);
  EXPECT_TRUE(server.Url().Valid());
  EXPECT_EQ(server.AsString(""), std::string("URL: ") + kDefaultServerUrl +
                                     "\nVersion: 1.0\nAPI key: \n");
  EXPECT_EQ(server.AsString("> "), std::string("> URL: ") + kDefaultServerUrl +
                                       "\n> Version: 1.0\n> API key: \n");
}

TEST(ServerConfig, ClearKeepsOnlyTheVersionInThePrettyDump) {
  ServerConfig server;
  server.SetApiKey("secret");
  server.SetVersion("2.0");
  server.Clear();
  EXPECT_EQ(server.Version(), "1.0");
  EXPECT_EQ(server.ApiKey(), "");
  EXPECT_FALSE(server.Url().Valid());
  EXPECT_EQ(server.AsPrettyString(""), PrettyLine("", "Version: ", "1.0"));
  EXPECT_EQ(server.AsString(""), "URL: \nVersion: 1.0\nAPI key: \n");
}

TEST(ServerConfig, PrettyDumpOmitsAnInvalidUrlOnly) {
  ServerConfig server;
  server.SetUrl(qx::common::URI("not a url"));
  server.SetApiKey("key");
  server.SetVersion("1.0");
  EXPECT_EQ(server.AsPrettyString("  "),
            PrettyLine("  ", "Version: ", "1.0") + PrettyLine("  ", "API key: ", "key"));
}

TEST(ServerConfig, PrettyDumpOfAFullRecord) {
  ServerConfig server;
  server.SetUrl(qx::common::URI("http://localhost:8000", true));
  server.SetApiKey("key");
  EXPECT_EQ(server.AsPrettyString(""),
            PrettyLine("", "URL: ", "http://localhost:8000") +
                PrettyLine("", "Version: ", "1.0") + PrettyLine("", "API key: ", "key"));
}

TEST(ServerConfig, EmptyRecordGivesAnEmptyPrettyDump) {
  ServerConfig server;
  server.Clear();
  server.SetVersion("");
  EXPECT_EQ(server.AsPrettyString(""), "");
}

TEST(ServerConfig, CopiesAreIndependent) {
  ServerConfig original;
  original.SetApiKey("one");
  ServerConfig copy(original);
  copy.SetApiKey("two");
  copy.SetUrl(qx::common::URI("https://other.example", true));
  EXPECT_EQ(original.ApiKey(), "one");
  EXPECT_EQ(original.Url().Str(), kDefaultServerUrl);

  ServerConfig assigned;
  assigned = original;
  original.SetVersion("9.9");
  EXPECT_EQ(assigned.Version(), "1.0");
  EXPECT_EQ(assigned.ApiKey(), "one");
}

}  // namespace
}  // namespace qx::quarn_tools
