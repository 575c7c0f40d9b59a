#include "qx/quarn_tools/CommandText.hh"

#include <gtest/gtest.h>

namespace qx::quarn_tools {
namespace {

struct PrintableCase {
  const char *what;
  std::string text;
  std::string printable;
};

TEST(CommandText, PrintableTextEscapesWhatActsOnATerminal) {
  const PrintableCase cases[] = {
      {"plain ASCII", "box_2-a.b~c %41", "box_2-a.b~c %41"},
      {"UTF-8 letters stay", "caf\xC3\xA9 \xE6\x9C\xBA \xF0\x9F\xA4\x96", "caf\xC3\xA9 \xE6\x9C\xBA \xF0\x9F\xA4\x96"},
      {"escape sequence", "a\x1b[31mred", "a%1B[31mred"},
      {"line end, tab, DEL", "a\nb\tc\x7f", "a%0Ab%09c%7F"},
      {"C1 control (CSI)", "x\xC2\x9B" "31m", "x%C2%9B31m"},
      {"C1 next line", "\xC2\x85", "%C2%85"},
      {"right-to-left override", "abc\xE2\x80\xAEtxt.exe", "abc%E2%80%AEtxt.exe"},
      {"isolates", "\xE2\x81\xA6x\xE2\x81\xA9", "%E2%81%A6x%E2%81%A9"},
      {"marks", "\xE2\x80\x8F\xD8\x9C", "%E2%80%8F%D8%9C"},
      {"stray continuation byte", "a\x80" "b", "a%80b"},
      {"cut sequence", "a\xE6\x9C", "a%E6%9C"},
      {"overlong slash", "\xC0\xAF", "%C0%AF"},
      {"surrogate", "\xED\xA0\x80", "%ED%A0%80"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "%F4%90%80%80"},
      {"invalid lead byte", "\xFF", "%FF"},
  };
  for (const PrintableCase &c : cases) EXPECT_EQ(printableText(c.text), c.printable) << c.what;
}

TEST(CommandText, ListingTreeAndLinesShareTheTable) {
  ServerConfig server;
  server.SetUrl(qx::common::URI("http://127.0.0.1:9", true));
  const OwnerTable table = {{"a", {"x y", "z"}}, {"b\x1b", {"w\xE2\x80\xAE"}}};
  EXPECT_EQ(listingTree(server, table, "models"),
            "\x1b[92m\x1b[1mhttp://127.0.0.1:9\x1b[39m\x1b[0m\n"
            "├── \x1b[93m\x1b[1ma\x1b[39m\x1b[0m\n"
            "│   ├── x y\n"
            "│   └── z\n"
            "└── \x1b[93m\x1b[1mb%1B\x1b[39m\x1b[0m\n"
            "    └── w%E2%80%AE\n"
            "\x1b[36m2 owners, 3 models\x1b[39m\n");
  EXPECT_EQ(listingLines(server, table, "worlds"),
            "http://127.0.0.1:9/1.0/a/worlds/x%20y\n"
            "http://127.0.0.1:9/1.0/a/worlds/z\n"
            "http://127.0.0.1:9/1.0/b%1B/worlds/w%E2%80%AE\n");
  EXPECT_EQ(listingTree(server, {}, "worlds"),
            "\x1b[92m\x1b[1mhttp://127.0.0.1:9\x1b[39m\x1b[0m\n\x1b[36m0 owners, 0 worlds\x1b[39m\n");
  // Without colours the same lines, and no escape character at all.
  EXPECT_EQ(listingTree(server, table, "models", false),
            "http://127.0.0.1:9\n"
            "├── a\n"
            "│   ├── x y\n"
            "│   └── z\n"
            "└── b%1B\n"
            "    └── w%E2%80%AE\n"
            "2 owners, 3 models\n");
}

TEST(CommandText, ValidUtf8ReplacesWhatIsNotUtf8) {
  const PrintableCase cases[] = {
      {"plain and UTF-8 letters stay", "caf\xC3\xA9 \x1b \xF0\x9F\xA4\x96", "caf\xC3\xA9 \x1b \xF0\x9F\xA4\x96"},
      {"invalid lead byte", "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"cut sequence: one replacement per byte", "a\xE6\x9C", "a\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const PrintableCase &c : cases) EXPECT_EQ(validUtf8(c.text), c.printable) << c.what;
}

}  // namespace
}  // namespace qx::quarn_tools
