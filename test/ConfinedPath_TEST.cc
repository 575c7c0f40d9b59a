#include "ConfinedPath.hh"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct Case {
  const char *relative;
  std::optional<std::string> confined;
};

class ConfinedPath : public ::testing::TestWithParam<Case> {};

TEST_P(ConfinedPath, StaysBelowItsBaseOrIsRefused) {
  EXPECT_EQ(qx::quarn_tools::confinedPath(GetParam().relative), GetParam().confined)
      << GetParam().relative;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfinedPath,
    ::testing::Values(Case{"a/b.txt", "a/b.txt"}, Case{"a//b/", "a/b"},
                      Case{"./a/./b", "a/b"}, Case{"a/../b", "b"}, Case{"a/b/../..", ""},
                      Case{"", ""}, Case{".", ""}, Case{"..", std::nullopt},
                      Case{"../a", std::nullopt}, Case{"a/../../b", std::nullopt},
                      Case{"/etc/passwd", std::nullopt}, Case{"//a", std::nullopt},
                      Case{"..a/b..", "..a/b.."}, Case{"a\\..\\..\\b", "a\\..\\..\\b"}));

}  // namespace
