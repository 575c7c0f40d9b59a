#include "qx/quarn_tools/ModelIdentifier.hh"

#include <gtest/gtest.h>
#include "support/Builders.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::ModelOn;
using qx::test::ServerAt;

const std::string kLabel = "\033[96m\033[1m";
const std::string kValue = "\033[37m";
const std::string kReset = "\033[0m";

TEST(ModelIdentifier, NamesAreLowerCased) {
  ModelIdentifier id;
  EXPECT_TRUE(id.SetName("Big_Box"));
  EXPECT_TRUE(id.SetOwner("ALICE"));
  EXPECT_EQ(id.Name(), "big_box");
  EXPECT_EQ(id.Owner(), "alice");
}

TEST(ModelIdentifier, UniqueNameAndUrl) {
  const auto id = ModelOn(ServerAt("https://localhost:8000"), "alice", "box");
  EXPECT_EQ(id.UniqueName(), "localhost%3A8000/alice/models/box");
  EXPECT_EQ(id.Url().Str(), "https://localhost:8000/alice/models/box");
  EXPECT_TRUE(id.Url().Valid());

  const auto withPath = ModelOn(ServerAt("https://bob@host/api/"), "o", "m");
  EXPECT_EQ(withPath.UniqueName(), "bob%40host/api/o/models/m");
  EXPECT_EQ(withPath.Url().Str(), "https://bob@host/api/o/models/m");
}

TEST(ModelIdentifier, EqualityIgnoresVersionDetailsAndKey) {
  auto a = ModelOn(ServerAt("https://localhost"), "alice", "box");
  auto b = ModelOn(ServerAt("https://localhost"), "alice", "box");
  a.SetVersion(3);
  b.SetDescription("different");
  b.Server().SetApiKey("key");
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  const auto otherHost = ModelOn(ServerAt("https://remotehost"), "alice", "box");
  EXPECT_FALSE(a == otherHost);
  EXPECT_TRUE(a != otherHost);
  // The scheme plays no part.
  EXPECT_TRUE(a == ModelOn(ServerAt("http://localhost"), "alice", "box"));
}

struct VersionTextCase {
  const char *text;
  bool accepted;
  unsigned int version;  // after the call, starting from 7
};

TEST(ModelIdentifier, VersionTextRules) {
  const VersionTextCase cases[] = {
      {"", true, 0},
      {"tip", true, 0},
      {"3", true, 3},
      {"12abc", true, 12},
      {"  5", true, 5},
      {"+6", true, 6},
      {"-1", true, 4294967295u},
      {"2147483647", true, 2147483647u},
      {"abc", false, 7},
      {"Tip", false, 7},
      {"tipx", false, 7},
      {"2147483648", false, 7},
      {"-2147483649", false, 7},
      {"999999999999", false, 7},
      {"99999999999999999999999999", false, 7},
  };
  for (const auto &c : cases) {
    ModelIdentifier id;
    id.SetVersion(7);
    EXPECT_EQ(id.SetVersionStr(c.text), c.accepted) << c.text;
    EXPECT_EQ(id.Version(), c.version) << c.text;
  }
  ModelIdentifier id;
  EXPECT_EQ(id.VersionStr(), "tip");
  id.SetVersionStr("3");
  EXPECT_EQ(id.VersionStr(), "3");
}

TEST(ModelIdentifier, SetServerRefusesAnInvalidUrl) {
  ModelIdentifier id;
  const auto good = ServerAt("https://localhost:1234");
  EXPECT_TRUE(id.SetServer(good));
  ServerConfig cleared;
  cleared.Clear();
  EXPECT_FALSE(id.SetServer(cleared));
  EXPECT_EQ(id.Server().Url().Str(), "https://localhost:1234");
}

TEST(ModelIdentifier, LicenseUrls) {
  ModelIdentifier id;
  EXPECT_TRUE(id.SetLicenseUrl("https://creativecommons.org/licenses/by/4.0"));
  EXPECT_EQ(id.LicenseUrl(), "https://creativecommons.org/licenses/by/4.0");
  EXPECT_FALSE(id.SetLicenseImageUrl("not a url"));
}

TEST(ModelIdentifier, CopiesAreDeep) {
  auto a = ModelOn(ServerAt("https://localhost"), "alice", "box");
  a.SetTags({"one"});
  ModelIdentifier b(a);
  b.Server().SetApiKey("changed");
  b.SetTags({"two"});
  EXPECT_EQ(a.Server().ApiKey(), "");
  EXPECT_EQ(a.Tags(), std::vector<std::string>{"one"});
  ModelIdentifier c;
  c = a;
  a.SetName("other");
  EXPECT_EQ(c.Name(), "box");
}

TEST(ModelIdentifier, PlainDump) {
  auto id = ModelOn(ServerAt("https://localhost"), "alice", "box");
  id.SetVersion(2);
  id.SetDescription("A box");
  id.SetFileSize(10);
  id.SetUploadDate(1700000000);
  id.SetLikeCount(1);
  id.SetDownloadCount(2);
  id.SetLicenseName("CC");
  id.SetTags({"a", "b"});
  EXPECT_EQ(id.AsString("- "),
            "- Name: box\n"
            "- Owner: alice\n"
            "- Version: 2\n"
            "- Unique name: localhost/alice/models/box\n"
            "- Description: A box\n"
            "- File size: 10\n"
            "- Upload date: 1700000000\n"
            "- Likes: 1\n"
            "- Downloads: 2\n"
            "- License name: CC\n"
            "- License URL: \n"
            "- License image URL: \n"
            "- Tags: \n"
            "- - a\n"
            "- - b\n"
            "- Server:\n"
            "-   URL: https://localhost\n"
            "-   Version: 1.0\n"
            "-   API key: \n");
}

TEST(ModelIdentifier, DefaultPrettyDumpHoldsOnlyTheServer) {
  ModelIdentifier id;
  EXPECT_EQ(id.AsPrettyString(""),
            kLabel + "Server:" + kReset + "\n" + "  " + kLabel + "URL: " + kReset +
                kValue + kDefaultServerUrl + kReset + "\n" + "  " + kLabel +
                "Version: " + kReset + kValue + "1.0" + kReset + "\n");
}

TEST(ModelIdentifier, PrettyDumpWithTags) {
  auto id = ModelOn(ServerAt("https://localhost"), "alice", "box");
  id.SetVersion(4);
  id.SetTags({"t"});
  const std::string pretty = id.AsPrettyString("");
  EXPECT_EQ(pretty.find("Unique name"), std::string::npos);
  EXPECT_NE(pretty.find(kLabel + "Version: " + kReset + kValue + "4" + kReset + "\n"),
            std::string::npos);
  EXPECT_NE(pretty.find(kLabel + "Tags: " + kReset + "\n" + kLabel + "- " + kReset +
                        kValue + "t" + kReset + "\n"),
            std::string::npos);
  EXPECT_EQ(pretty.find("Likes"), std::string::npos);
}

}  // namespace
}  // namespace qx::quarn_tools
