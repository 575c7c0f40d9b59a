// Whether anything below the served directory changed, as the answers kept
// by the server learn it.
#include "TreeWatch.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

namespace fs = std::filesystem;
using qx::test::TempDir;
using qx::test::WriteFile;

TEST(TreeWatch, EveryChangeMovesTheGenerationOn) {
  TempDir root;
  WriteFile(root.Join("alice/models/box/1/meshes/box.obj"), "v 0 0 0\n");
  WriteFile(root.Join("licenses.json"), "[]");
  WriteFile(root.Join(".quarn-work/lock"), "");
  TreeWatch watch(root.Path(), ".quarn-work");
  ASSERT_TRUE(watch.Start());
  struct Case {
    const char *what;
    std::function<void()> change;
  };
  const std::vector<Case> cases = {
      {"a file deep inside, edited in place",
       [&] { WriteFile(root.Join("alice/models/box/1/meshes/box.obj"), "v 1 1 1\n"); }},
      {"a file of the root", [&] { WriteFile(root.Join("licenses.json"), "[{}]"); }},
      {"a new version", [&] { fs::create_directory(root.Join("alice/models/box/2")); }},
      {"a file in the directory just made",
       [&] { WriteFile(root.Join("alice/models/box/2/model.config"), "<model/>"); }},
      {"a tree made at once, then a file deep in it",
       [&] {
         fs::create_directories(root.Join("bob/models/wheel/1/a/b"));
         WriteFile(root.Join("bob/models/wheel/1/a/b/c.txt"), "c");
       }},
      {"a file deep in that tree", [&] { WriteFile(root.Join("bob/models/wheel/1/a/b/c.txt"), "d"); }},
      {"a private mark", [&] { WriteFile(root.Join("alice/models/box/private"), ""); }},
      {"a link", [&] { fs::create_symlink("1", root.Join("alice/models/box/3")); }},
      {"a rename", [&] { fs::rename(root.Join("bob/models/wheel"), root.Join("bob/models/tyre")); }},
      {"a file in the renamed directory",
       [&] { WriteFile(root.Join("bob/models/tyre/1/a/b/c.txt"), "e"); }},
      {"a time set back", [&] { fs::last_write_time(root.Join("alice/models/box/1"), fs::file_time_type()); }},
      {"a mode", [&] { ::chmod(root.Join("alice/models/box/1/meshes/box.obj").c_str(), 0600); }},
      {"a deletion", [&] { fs::remove_all(root.Join("alice/models/box/2")); }},
  };
  std::uint64_t before = watch.Generation();
  EXPECT_EQ(before, watch.Generation());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.change();
    const std::uint64_t after = watch.Generation();
    EXPECT_NE(before, after);
    EXPECT_EQ(after, watch.Generation());
    before = after;
  }
  // Reading changes nothing; the work directory is not the tree's.
  qx::test::ReadFile(root.Join("licenses.json"));
  WriteFile(root.Join(".quarn-work/request-1/part-0"), "upload");
  EXPECT_EQ(before, watch.Generation());
}

TEST(TreeWatch, WithoutAWatchTheGenerationNeverRepeats) {
  TreeWatch missing("/nonexistent/quarn", "");
  missing.Start();
  EXPECT_NE(missing.Generation(), missing.Generation());
}

}  // namespace
}  // namespace qx::quarn_server
