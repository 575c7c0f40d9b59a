// The record of what a version held: its text, paths of any name kept on one
// line, records of older libraries still read.
#include "CacheManifest.hh"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "CacheNames.hh"
#include "FileSystem.hh"
#include "support/TestSupport.hh"

using namespace qx::quarn_tools::internal;
using namespace qx::quarn_tools::internal::cache;
using qx::test::TempDir;
using qx::test::WriteFile;

namespace {

struct NameCase {
  const char *label;
  std::string path;
  std::string written;  // as the record's line shows it
};

class ManifestName : public ::testing::TestWithParam<NameCase> {};

// Every path comes back as it went in, each on its own line.
TEST_P(ManifestName, RoundTripsOnOneLine) {
  Manifest manifest;
  manifest[GetParam().path] = FileRecord{5, 0x1234abcd};
  manifest["plain.txt"] = FileRecord{1, 7};
  const std::string text = ManifestText(manifest);
  EXPECT_NE(text.find("1234abcd 5 " + GetParam().written + "\n"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  const std::optional<Manifest> read = ParseManifest(text);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, manifest);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestName,
    ::testing::Values(NameCase{"Plain", "meshes/a.obj", "meshes/a.obj"},
                      NameCase{"Newline", "evil\nname.obj", "evil\\x0aname.obj"},
                      NameCase{"Return", "cr\rname", "cr\\x0dname"},
                      NameCase{"Escape", "\x1b[31mRED", "\\x1b[31mRED"},
                      NameCase{"Backslash", "a\\b\\x41", "a\\\\b\\\\x41"},
                      NameCase{"Spaces", "a b  c", "a b  c"}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return info.param.label; });

TEST(Manifest, RecordsOfOlderLibrariesAreReadAsTheyStand) {
  const std::optional<Manifest> read = ParseManifest(
      "# quarn version manifest 1: crc32 size path\n0000000a 3 a\\b.txt\n");
  ASSERT_TRUE(read);
  ASSERT_EQ(read->count("a\\b.txt"), 1u);
  EXPECT_EQ(read->at("a\\b.txt"), (FileRecord{3, 10}));
}

TEST(Manifest, ATextThatIsNoRecordIsRefused) {
  const std::string header = ManifestText({});
  for (const std::string &text :
       {std::string("not a record\n"), header + "0000000a 3 bad\\q\n", header + "0000000a 3 \\x4\n",
        header + "0000000a 3 \n", header + "garbage\n"})
    EXPECT_FALSE(ParseManifest(text)) << text;
}

// A file named with a newline no longer breaks the record of its version:
// it is described, written and read back whole.
TEST(Manifest, ATreeWithAnyFileNameIsRecordedAndReadBack) {
  TempDir tree;
  WriteFile(tree.Join("evil\nname.obj"), "nl");
  WriteFile(tree.Join("d/ok.txt"), "ok");
  const std::optional<Manifest> described = DescribeTree(tree.Path());
  ASSERT_TRUE(described);
  EXPECT_EQ(described->size(), 2u);
  TempDir resource;
  std::unique_ptr<Directory> directory;
  ASSERT_EQ(PosixFileSystem().OpenDirectory(resource.Path(), directory), 0);
  ASSERT_EQ(WriteManifest(PosixFileSystem(), *directory, ManifestFileName("1"), *described), 0);
  const std::optional<Manifest> read = ReadManifest(resource.Path(), "1");
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, *described);
  EXPECT_TRUE(Compare(*read, *described).None());
}

}  // namespace
