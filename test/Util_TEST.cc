#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <qx/common/Util.hh>

#include "support/TestSupport.hh"

using qx::common::env;
using qx::common::lowercase;
using qx::common::replaceAll;
using qx::common::split;

namespace {

TEST(Util, LowercaseIsAsciiOnly) {
  EXPECT_EQ("alice/models/box-3", lowercase("Alice/MODELS/Box-3"));
  EXPECT_EQ("", lowercase(std::string()));
  // Bytes outside ASCII (here UTF-8 of "Ä") are left as they are.
  EXPECT_EQ("\xC3\x84x", lowercase("\xC3\x84X"));
  EXPECT_EQ("abc", lowercase("ABC"));
  EXPECT_EQ("", lowercase(static_cast<const char *>(nullptr)));
}

TEST(Util, SplitDropsEmptyPieces) {
  struct Case {
    std::string text;
    std::string delimiter;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"a/b/c", "/", {"a", "b", "c"}},
      {"/home//alice/", "/", {"home", "alice"}},
      {"///", "/", {}},
      {"", "/", {}},
      {"abc", "/", {"abc"}},
      {"1.0,2.0,,3", ",", {"1.0", "2.0", "3"}},
      {"a::b::::c", "::", {"a", "b", "c"}},
      {"a:::b", "::", {"a", ":b"}},
      {"a/b", "", {"a/b"}},
      {"", "", {}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.pieces, split(c.text, c.delimiter)) << "[" << c.text << "] by [" << c.delimiter << "]";
  }
}

TEST(Util, ReplaceAll) {
  struct Case {
    std::string text, from, to, result;
  };
  const std::vector<Case> cases = {
      {"localhost:8000", ":", "%3A", "localhost%3A8000"},
      {"a@b@c", "@", "%40", "a%40b%40c"},
      {"abc", "", "x", "abc"},          // empty `from` changes nothing
      {"", "a", "b", ""},
      {"aaaa", "aa", "b", "bb"},        // overlapping: left to right, no re-scan
      {"aaa", "aa", "b", "ba"},
      {"abab", "aba", "x", "xb"},
      {"aa", "a", "aa", "aaaa"},        // replacement text is not re-examined
      {"a.b.c", ".", "", "abc"},
      {"nothing", "zz", "y", "nothing"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.result, replaceAll(c.text, c.from, c.to))
        << "[" << c.text << "] [" << c.from << "] -> [" << c.to << "]";
  }
}

TEST(Util, EnvSetUnsetAndEmpty) {
  const std::string name = "QX_COMMON_UTIL_TEST_VARIABLE";
  std::string value = "untouched";
  {
    qx::test::ScopedEnv unset(name, std::nullopt);
    EXPECT_FALSE(env(name, value));
    EXPECT_FALSE(env(name, value, true));
    EXPECT_EQ("untouched", value);
  }
  {
    qx::test::ScopedEnv set(name, std::string("/tmp/x y"));
    EXPECT_TRUE(env(name, value));
    EXPECT_EQ("/tmp/x y", value);
  }
  {
    qx::test::ScopedEnv empty(name, std::string());
    value = "untouched";
    EXPECT_FALSE(env(name, value));
    EXPECT_EQ("untouched", value);
    EXPECT_TRUE(env(name, value, true));
    EXPECT_EQ("", value);
  }
}

}  // namespace
