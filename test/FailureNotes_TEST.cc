#include "FailureNotes.hh"

#include <gtest/gtest.h>

#include <string>

namespace qx::quarn_tools::internal {
namespace {

// A cache error line gives its path and the system's words as parts.
TEST(FailureNotes, CacheErrorLinesGiveTheirParts) {
  struct Case {
    std::string line, text, path, detail;
  };
  const Case cases[] = {
      {"Unable to create directory [/c/a-file/cache]: Not a directory",
       "unable to create directory [/c/a-file/cache]: Not a directory", "/c/a-file/cache",
       "Not a directory"},
      {"Unable to read [/c/x.zip]", "unable to read [/c/x.zip]", "", ""},
      {"no brackets: at all", "no brackets: at all", "", ""},
      {"Unable to open [/c/[odd]]: Permission denied",
       "unable to open [/c/[odd]]: Permission denied", "/c/[odd]", "Permission denied"},
  };
  for (const Case &c : cases) {
    FailureNotes notes;
    NoteCacheError(c.line);
    ASSERT_TRUE(notes.First()) << c.line;
    EXPECT_EQ(FailureReason::kCache, notes.First()->reason) << c.line;
    EXPECT_EQ(c.text, notes.First()->text);
    EXPECT_EQ(c.path, notes.First()->path) << c.line;
    EXPECT_EQ(c.detail, notes.First()->detail) << c.line;
  }
}

}  // namespace
}  // namespace qx::quarn_tools::internal
