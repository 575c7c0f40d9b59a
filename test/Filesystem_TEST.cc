#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "support/TestSupport.hh"

namespace common = qx::common;
using qx::test::LogCapture;
using qx::test::TempDir;
using qx::test::WriteFile;

namespace {

std::vector<std::string> listAll(const std::string &directory) {
  std::vector<std::string> entries;
  for (common::DirIter it(directory), end; it != end; ++it) entries.push_back(*it);
  return entries;
}

TEST(Filesystem, JoinPaths) {
  struct Case {
    std::string a, b, joined;
  };
  const std::vector<Case> cases = {
      {"a", "b", "a/b"},
      {"/home/alice", "models", "/home/alice/models"},
      {"https://host", "o", "https://host/o"},
      {"https://host/", "/o", "https://host/o"},
      {"a///", "///b", "a/b"},           // only the junction is collapsed
      {"a//x", "y//z", "a//x/y//z"},
      {"", "home", "/home"},
      {"", "/home", "/home"},
      {"a", "", "a/"},
      {"", "", "/"},
      {"/", "b", "/b"},
      {"/", "", "/"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.joined, common::joinPaths(c.a, c.b)) << "[" << c.a << "] + [" << c.b << "]";
  }
  EXPECT_EQ("https://host/o/models/m", common::joinPaths("https://host", "o", "models", "m"));
}

TEST(Filesystem, SplitAndJoinNormalise) {
  // Splitting at "/" and joining the pieces onto the empty text collapses
  // every run of separators into one and gives an absolute path.
  std::string normalised;
  for (const std::string &piece : common::split("/cache//alice/models/box/3//meshes//a.dae", "/"))
    normalised = common::joinPaths(normalised, piece);
  EXPECT_EQ("/cache/alice/models/box/3/meshes/a.dae", normalised);
}

TEST(Filesystem, Basename) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a/b", "b"}, {"a/b/", "b"}, {"a/b//", "b"}, {"/", "/"}, {"///", "/"},
      {"", ""},     {"a", "a"},    {"/a", "a"},    {"model.sdf", "model.sdf"}};
  for (const auto &c : cases) EXPECT_EQ(c.second, common::basename(c.first)) << c.first;
}

TEST(Filesystem, ParentPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a/b/c", "a/b"}, {"a/b/c/", "a/b"}, {"a//b", "a"}, {"/a", "/"},
      {"/", "/"},       {"a", ""},         {"", ""}};
  for (const auto &c : cases) EXPECT_EQ(c.second, common::parentPath(c.first)) << c.first;
}

TEST(Filesystem, SeparatorsOnPosix) {
  EXPECT_EQ("/", common::separator(""));
  EXPECT_EQ("a/", common::separator("a"));
  EXPECT_EQ("a/b\\c", common::copyToUnixPath("a/b\\c"));
  std::string path = "a/b";
  common::changeFromUnixPath(path);
  EXPECT_EQ("a/b", path);
}

TEST(Filesystem, ExistsAndKinds) {
  TempDir tmp;
  std::string file = tmp.Join("f.txt");
  WriteFile(file, "x");
  std::string missing = tmp.Join("missing");

  EXPECT_TRUE(common::exists(tmp.Path()));
  EXPECT_TRUE(common::isDirectory(tmp.Path()));
  EXPECT_FALSE(common::isFile(tmp.Path()));

  EXPECT_TRUE(common::exists(file));
  EXPECT_TRUE(common::isFile(file));
  EXPECT_FALSE(common::isDirectory(file));

  for (const std::string &path : {missing, std::string()}) {
    EXPECT_FALSE(common::exists(path)) << path;
    EXPECT_FALSE(common::isFile(path)) << path;
    EXPECT_FALSE(common::isDirectory(path)) << path;
  }
  // Below a file nothing exists, and asking does not throw.
  EXPECT_FALSE(common::exists(common::joinPaths(file, "x")));
}

TEST(Filesystem, CreateDirectories) {
  TempDir tmp;
  std::string deep = common::joinPaths(tmp.Path(), "a/b/c");
  EXPECT_TRUE(common::createDirectories(deep));
  EXPECT_TRUE(common::isDirectory(deep));
  EXPECT_TRUE(common::createDirectories(deep));  // already there
  EXPECT_TRUE(common::createDirectories(deep + "/d/"));
  EXPECT_TRUE(common::isDirectory(deep + "/d"));

  std::string file = tmp.Join("file");
  WriteFile(file, "x");
  EXPECT_FALSE(common::createDirectories(file));
  EXPECT_FALSE(common::createDirectories(common::joinPaths(file, "sub")));
  EXPECT_FALSE(common::createDirectories(""));
}

TEST(Filesystem, RemoveDirectoryOrFile) {
  TempDir tmp;
  std::string file = tmp.Join("f");
  std::string emptyDir = tmp.Join("empty");
  std::string fullDir = tmp.Join("full");
  WriteFile(file, "x");
  ASSERT_TRUE(common::createDirectories(emptyDir));
  WriteFile(common::joinPaths(fullDir, "inner"), "x");

  LogCapture log;
  EXPECT_TRUE(common::removeDirectoryOrFile(file));
  EXPECT_FALSE(common::exists(file));
  EXPECT_TRUE(common::removeDirectoryOrFile(emptyDir));
  EXPECT_FALSE(common::exists(emptyDir));
  EXPECT_EQ(0u, log.Lines().size());

  // A directory with content stays, and the failure is logged.
  EXPECT_FALSE(common::removeDirectoryOrFile(fullDir));
  EXPECT_TRUE(common::isFile(common::joinPaths(fullDir, "inner")));
  ASSERT_EQ(1u, log.Lines().size());
  EXPECT_EQ(common::LOG_WARNING, log.Lines()[0].first);
  EXPECT_NE(std::string::npos, log.Lines()[0].second.find("Unable to remove [" + fullDir + "]"))
      << log.Text();

  log.Clear();
  EXPECT_FALSE(common::removeDirectoryOrFile(tmp.Join("missing")));
  EXPECT_EQ(1, log.Count("Unable to remove [" + tmp.Join("missing") + "]", common::LOG_WARNING));

  log.Clear();
  EXPECT_FALSE(common::removeDirectoryOrFile(fullDir, common::FSWO_SUPPRESS_WARNINGS));
  EXPECT_FALSE(common::removeDirectoryOrFile(tmp.Join("missing"), common::FSWO_SUPPRESS_WARNINGS));
  EXPECT_EQ(0u, log.Lines().size());
}

TEST(Filesystem, RemoveAll) {
  TempDir tmp;
  std::string tree = tmp.Join("tree");
  WriteFile(common::joinPaths(tree, "a/b/c.txt"), "x");
  WriteFile(common::joinPaths(tree, "d.txt"), "x");
  std::string file = tmp.Join("f");
  WriteFile(file, "x");

  LogCapture log;
  EXPECT_TRUE(common::removeAll(tree));
  EXPECT_FALSE(common::exists(tree));
  EXPECT_TRUE(common::removeAll(file));
  EXPECT_FALSE(common::exists(file));
  // Nothing there: nothing is left either.
  EXPECT_TRUE(common::removeAll(tmp.Join("missing")));
  EXPECT_EQ(0u, log.Lines().size());
}

TEST(Filesystem, RemoveAllFailureIsLogged) {
  // Files of /proc cannot be removed, not even by root.
  const std::string undeletable = "/proc/version";
  ASSERT_TRUE(common::isFile(undeletable));

  LogCapture log;
  EXPECT_FALSE(common::removeAll(undeletable));
  EXPECT_TRUE(common::exists(undeletable));
  EXPECT_EQ(1, log.Count("Unable to remove all of [" + undeletable + "]", common::LOG_WARNING))
      << log.Text();
  log.Clear();
  EXPECT_FALSE(common::removeAll(undeletable, common::FSWO_SUPPRESS_WARNINGS));
  EXPECT_EQ(0u, log.Lines().size());
}

TEST(Filesystem, AbsPath) {
  TempDir tmp;
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  EXPECT_EQ(common::joinPaths(cwd, "a/b"), common::absPath("a/b"));
  EXPECT_EQ(common::joinPaths(cwd, "b"), common::absPath("./a/../b/"));
  EXPECT_EQ(tmp.Path() + "/x", common::absPath(tmp.Path() + "//y/..//x/."));
  EXPECT_EQ("/", common::absPath("/"));
  EXPECT_EQ("", common::absPath(""));
}

TEST(Filesystem, DirIterListsInNameOrder) {
  TempDir tmp;
  for (const std::string name : {"b", "a.txt", "C", "a", "z.dir"}) {
    if (name == "z.dir") {
      ASSERT_TRUE(common::createDirectories(tmp.Join(name)));
    } else {
      WriteFile(tmp.Join(name), name);
    }
  }
  WriteFile(tmp.Join("z.dir/nested"), "not listed");

  const std::vector<std::string> expected = {
      tmp.Path() + "/C", tmp.Path() + "/a", tmp.Path() + "/a.txt", tmp.Path() + "/b",
      tmp.Path() + "/z.dir"};
  EXPECT_EQ(expected, listAll(tmp.Path()));
  // A trailing separator does not double in the entries.
  EXPECT_EQ(expected, listAll(tmp.Path() + "/"));
}

TEST(Filesystem, DirIterYieldsNothingForMissingFileOrEmpty) {
  TempDir tmp;
  std::string file = tmp.Join("f");
  WriteFile(file, "x");
  std::string emptyDir = tmp.Join("empty");
  ASSERT_TRUE(common::createDirectories(emptyDir));

  for (const std::string &path : {tmp.Join("missing"), file, emptyDir, std::string()}) {
    common::DirIter it(path);
    EXPECT_TRUE(it == common::DirIter()) << path;
    EXPECT_EQ("", *it) << path;
    ++it;  // stays at the end
    EXPECT_TRUE(it == common::DirIter()) << path;
  }
}

TEST(Filesystem, DirIterCopiesIterateIndependently) {
  TempDir tmp;
  WriteFile(tmp.Join("1"), "");
  WriteFile(tmp.Join("2"), "");
  common::DirIter first(tmp.Path());
  common::DirIter copy = first;
  EXPECT_TRUE(first == copy);
  ++copy;
  EXPECT_TRUE(first != copy);
  EXPECT_EQ(tmp.Path() + "/1", *first);
  EXPECT_EQ(tmp.Path() + "/2", *copy);
  ++copy;
  EXPECT_TRUE(copy == common::DirIter());
  // Two listings of one directory are two different walks.
  common::DirIter other(tmp.Path());
  EXPECT_FALSE(other == first);
}

}  // namespace
