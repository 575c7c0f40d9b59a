#include "qx/math/SemanticVersion.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using qx::math::SemanticVersion;

namespace {

struct ParseCase {
  std::string text;
  bool ok;
  int32_t major;
  int32_t minor;
  int32_t patch;
  std::string prerelease;
  std::string build;
};

const ParseCase kParseCases[] = {
    {"1.2.3", true, 1, 2, 3, "", ""},
    {"0.0", true, 0, 0, 0, "", ""},
    {"1", true, 1, 0, 0, "", ""},
    {"1.6", true, 1, 6, 0, "", ""},
    {"01.002.3", true, 1, 2, 3, "", ""},
    {"2147483647.0.2147483647", true, 2147483647, 0, 2147483647, "", ""},
    {"1.0.0-alpha", true, 1, 0, 0, "alpha", ""},
    {"1.0.0-alpha.1", true, 1, 0, 0, "alpha.1", ""},
    {"1.0.0-x-y.0", true, 1, 0, 0, "x-y.0", ""},
    {"1.0.0-0A.is.legal", true, 1, 0, 0, "0A.is.legal", ""},
    {"1.0.0+20130313144700", true, 1, 0, 0, "", "20130313144700"},
    {"1.0.0-beta+exp.sha.5114f85", true, 1, 0, 0, "beta", "exp.sha.5114f85"},
    {"1.0.0+build-1.001", true, 1, 0, 0, "", "build-1.001"},
    {"1.2-rc.1", true, 1, 2, 0, "rc.1", ""},
    {" 1.2.3\t\n", true, 1, 2, 3, "", ""},
    // Refused: each leaves 0.0.0.
    {"", false, 0, 0, 0, "", ""},
    {"   ", false, 0, 0, 0, "", ""},
    {"a.b.c", false, 0, 0, 0, "", ""},
    {"1..2", false, 0, 0, 0, "", ""},
    {"1.", false, 0, 0, 0, "", ""},
    {".1", false, 0, 0, 0, "", ""},
    {"-1.0.0", false, 0, 0, 0, "", ""},
    {"+1.0.0", false, 0, 0, 0, "", ""},
    {"1.-2.0", false, 0, 0, 0, "", ""},
    {"1.2.3.4", false, 0, 0, 0, "", ""},
    {"1.2.3abc", false, 0, 0, 0, "", ""},
    {"1.2.3 x", false, 0, 0, 0, "", ""},
    {"1. 2.3", false, 0, 0, 0, "", ""},
    {"2147483648.0.0", false, 0, 0, 0, "", ""},
    {"0.99999999999999999999.0", false, 0, 0, 0, "", ""},
    {"1.2.3-", false, 0, 0, 0, "", ""},
    {"1.2.3+", false, 0, 0, 0, "", ""},
    {"1.2.3-alpha..1", false, 0, 0, 0, "", ""},
    {"1.2.3-alpha.", false, 0, 0, 0, "", ""},
    {"1.2.3-alpha.01", false, 0, 0, 0, "", ""},
    {"1.2.3-al_pha", false, 0, 0, 0, "", ""},
    {"1.2.3+b+c", false, 0, 0, 0, "", ""},
    {"1.2.3+b..c", false, 0, 0, 0, "", ""},
    {"1.2.3-é", false, 0, 0, 0, "", ""},
};

TEST(SemanticVersionTest, ParseTable) {
  for (const ParseCase &c : kParseCases) {
    SCOPED_TRACE("text: \"" + c.text + "\"");
    // Start from a non-zero value: a refused text must reset it.
    SemanticVersion v(9, 9, 9, "pre", "build");
    EXPECT_EQ(c.ok, v.Parse(c.text));
    EXPECT_EQ(c.major, v.Major());
    EXPECT_EQ(c.minor, v.Minor());
    EXPECT_EQ(c.patch, v.Patch());
    EXPECT_EQ(c.prerelease, v.Prerelease());
    EXPECT_EQ(c.build, v.Build());

    SemanticVersion constructed(c.text);
    EXPECT_EQ(v.Version(), constructed.Version());
  }
}

TEST(SemanticVersionTest, DefaultIsZero) {
  const SemanticVersion v;
  EXPECT_EQ("0.0.0", v.Version());
  EXPECT_EQ(SemanticVersion(0, 0, 0), v);
}

// Each entry is below the next one.
const std::vector<std::vector<std::string>> kAscendingChains = {
    {"1.0.0-alpha", "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta", "1.0.0-beta.2",
     "1.0.0-beta.11", "1.0.0-rc.1", "1.0.0"},
    {"0.0", "0.0.1", "0.1", "1", "1.0.1", "1.1", "2.0.0", "10.0.0"},
    {"1.0.0-1", "1.0.0-2", "1.0.0-10", "1.0.0-99999999999999999999", "1.0.0-A", "1.0.0-a"},
    {"1.0.0-alpha.0", "1.0.0-alpha.z", "1.0.0-alpha-1", "1.0.0-alpha-2"},
    {"1.9.0", "1.10.0", "1.11.0"},
    {"0.0.2147483646", "0.0.2147483647", "0.1.0"},
};

TEST(SemanticVersionTest, PrecedenceTable) {
  for (const auto &chain : kAscendingChains) {
    for (std::size_t i = 0; i < chain.size(); ++i) {
      for (std::size_t j = 0; j < chain.size(); ++j) {
        SCOPED_TRACE(chain[i] + " vs " + chain[j]);
        const SemanticVersion a(chain[i]);
        const SemanticVersion b(chain[j]);
        EXPECT_EQ(i < j, a < b);
        EXPECT_EQ(i > j, a > b);
        EXPECT_EQ(i <= j, a <= b);
        EXPECT_EQ(i >= j, a >= b);
        EXPECT_EQ(i == j, a == b);
        EXPECT_EQ(i != j, a != b);
      }
    }
  }
}

TEST(SemanticVersionTest, BuildIsIgnoredByPrecedence) {
  const SemanticVersion a("1.0.0+a");
  const SemanticVersion b("1.0.0+b");
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a > b);
  EXPECT_FALSE(b > a);
  EXPECT_TRUE(SemanticVersion("1.0.0-rc.1+zzz") < SemanticVersion("1.0.0+aaa"));
  // Only the precedence is equal: the build text is kept.
  EXPECT_NE(a.Version(), b.Version());
}

TEST(SemanticVersionTest, VersionRoundTrips) {
  const char *const kTexts[] = {"0.0.0",
                                "1.2.3",
                                "1.0.0-alpha.1",
                                "1.0.0+build.7",
                                "1.0.0-rc.1+exp.sha.5114f85",
                                "2147483647.2147483647.2147483647"};
  for (const char *text : kTexts) {
    SCOPED_TRACE(text);
    const SemanticVersion v(text);
    EXPECT_EQ(text, v.Version());
    const SemanticVersion again(v.Version());
    EXPECT_EQ(v.Version(), again.Version());
    EXPECT_EQ(v, again);
  }
  // Short and zero-padded forms come out in full.
  EXPECT_EQ("1.6.0", SemanticVersion("1.6").Version());
  EXPECT_EQ("1.2.3", SemanticVersion("01.02.03").Version());
  EXPECT_EQ("1.0.0-rc", SemanticVersion(1, 0, 0, "rc").Version());
}

TEST(SemanticVersionTest, RunningMaximumFromZeroZero) {
  // Candidates in document order; the earliest of equal versions stays.
  struct Candidate {
    std::string version;
    std::string file;
  };
  const std::vector<Candidate> candidates = {
      {"bogus", "a.sdf"},    {"0.0.1", "b.sdf"}, {"1.5", "c.sdf"},     {"1.5.0", "d.sdf"},
      {"1.6-rc.1", "e.sdf"}, {"1.6", "f.sdf"},   {"1.6.0+x", "g.sdf"}, {"1.4", "h.sdf"},
  };
  SemanticVersion maximum("0.0");
  std::string chosen;
  for (const Candidate &c : candidates) {
    SemanticVersion v;
    v.Parse(c.version);
    if (v > maximum) {
      maximum = v;
      chosen = c.file;
    }
  }
  EXPECT_EQ("f.sdf", chosen);
  EXPECT_EQ("1.6.0", maximum.Version());
}

TEST(SemanticVersionTest, ZeroZeroIsBelowZeroZeroOne) {
  EXPECT_TRUE(SemanticVersion("0.0.1") > SemanticVersion("0.0"));
  EXPECT_FALSE(SemanticVersion("0.0") > SemanticVersion("0.0"));
  // A refused text is 0.0.0 and never beats the starting maximum.
  EXPECT_FALSE(SemanticVersion("not a version") > SemanticVersion("0.0"));
}

}  // namespace
