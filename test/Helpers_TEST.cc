#include "qx/quarn_tools/Helpers.hh"

#include <gtest/gtest.h>

namespace qx::quarn_tools {
namespace {

TEST(Helpers, SanitizeAuthority) {
  EXPECT_EQ(sanitizeAuthority("localhost"), "localhost");
  EXPECT_EQ(sanitizeAuthority("user:pw@host:8000"), "user%3Apw%40host%3A8000");
  EXPECT_EQ(sanitizeAuthority("a@b@c::"), "a%40b%40c%3A%3A");
  EXPECT_EQ(sanitizeAuthority(""), "");
}

struct UriToPathCase {
  const char *uri;
  bool hasAuthority;
  const char *path;
};

TEST(Helpers, UriToPath) {
  const UriToPathCase cases[] = {
      {"https://localhost:8000/alice/models/box", true, "localhost%3A8000/alice/models/box"},
      {"https://localhost", true, "localhost"},
      {"https://localhost/", true, "localhost"},
      {"https://bob@localhost/x", true, "bob%40localhost/x"},
      {"https://bob:pw@localhost:80", true, "bob%3Apw%40localhost%3A80"},
      {"http://localhost/a?q=1#frag", true, "localhost/a"},
      {"file:///tmp/a", false, "tmp/a"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(uriToPath(qx::common::URI(c.uri, c.hasAuthority)), c.path) << c.uri;
  }
}

TEST(Helpers, SchemesShareACacheDirectory) {
  EXPECT_EQ(uriToPath(qx::common::URI("http://host:1/p", true)),
            uriToPath(qx::common::URI("https://host:1/p", true)));
}

}  // namespace
}  // namespace qx::quarn_tools
