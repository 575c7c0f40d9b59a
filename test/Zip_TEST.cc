#include "qx/quarn_tools/Zip.hh"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <qx/common/Console.hh>

#include "ZipExtraction.hh"
#include "support/ArchiveBuilder.hh"
#include "support/CraftedArchive.hh"
#include "support/FaultyFileSystem.hh"
#include "support/TestSupport.hh"

namespace fs = std::filesystem;
using qx::quarn_tools::Zip;
using qx::test::ArchiveBuilder;
using qx::test::CraftedArchive;
using qx::test::CraftedEntry;
using qx::test::ReadFile;
using qx::test::WriteFile;

namespace {

// Files and directories below `root`, relative, sorted; links listed as such.
std::vector<std::string> Tree(const std::string &root) {
  std::vector<std::string> found;
  if (!fs::exists(root)) return found;
  for (const auto &item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).string();
    if (item.is_symlink()) name += " -> link";
    else if (item.is_directory()) name += "/";
    found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

class ZipTest : public ::testing::Test {
 protected:
  std::string Archive() const { return tmp_.Join("archive.zip"); }
  std::string Dest() const { return tmp_.Join("out"); }

  qx::test::TempDir tmp_;
  qx::test::LogCapture log_;
};

// -------------------------------------------------------------------------
// Compress

TEST_F(ZipTest, CompressSingleFileMakesOneEntryNamedAfterIt) {
  WriteFile(tmp_.Join("src/model.sdf"), "<sdf/>");
  ASSERT_TRUE(Zip::Compress(tmp_.Join("src/model.sdf"), Archive()));
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()), std::vector<std::string>{"model.sdf"});

  ASSERT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/model.sdf")), "<sdf/>");
}

TEST_F(ZipTest, CompressWritesDirectoriesBeforeTheirContent) {
  WriteFile(tmp_.Join("box/model.config"), "config");
  WriteFile(tmp_.Join("box/meshes/box.dae"), "mesh");
  fs::create_directories(tmp_.Join("box/empty"));
  ASSERT_TRUE(Zip::Compress(tmp_.Join("box"), Archive()));

  const std::vector<std::string> expected{"box/", "box/empty/", "box/meshes/",
                                          "box/meshes/box.dae", "box/model.config"};
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()), expected);

  ASSERT_TRUE(Zip::Extract(Archive(), Dest()));
  const std::vector<std::string> tree{"box/", "box/empty/", "box/meshes/",
                                      "box/meshes/box.dae", "box/model.config"};
  EXPECT_EQ(Tree(Dest()), tree);
  EXPECT_EQ(ReadFile(tmp_.Join("out/box/meshes/box.dae")), "mesh");
  EXPECT_EQ(ReadFile(tmp_.Join("out/box/model.config")), "config");
}

TEST_F(ZipTest, CompressAddsToAnExistingArchive) {
  WriteFile(tmp_.Join("a/one.txt"), "1");
  WriteFile(tmp_.Join("b/two.txt"), "2");
  ASSERT_TRUE(Zip::Compress(tmp_.Join("a"), Archive()));
  ASSERT_TRUE(Zip::Compress(tmp_.Join("b"), Archive()));
  const std::vector<std::string> expected{"a/", "a/one.txt", "b/", "b/two.txt"};
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()), expected);
}

TEST_F(ZipTest, CompressRefusesATopLevelEntryAlreadyInTheArchive) {
  WriteFile(tmp_.Join("a/one.txt"), "1");
  ASSERT_TRUE(Zip::Compress(tmp_.Join("a"), Archive()));
  log_.Clear();
  EXPECT_FALSE(Zip::Compress(tmp_.Join("a"), Archive()));
  EXPECT_TRUE(log_.Contains("Error adding directory to zip: " + tmp_.Join("a") + "\n",
                            qx::common::LOG_ERROR));
  EXPECT_TRUE(log_.Contains("Error compressing file: " + tmp_.Join("a") + "\n",
                            qx::common::LOG_ERROR));
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()).size(), 2u);
}

TEST_F(ZipTest, CompressSkipsANestedFileThatCannotBeAdded) {
  // The archive already holds a/one.txt, but not a/: the directory goes in,
  // the file does not, and the whole call still succeeds.
  ArchiveBuilder().File("a/one.txt", "old").Write(Archive());
  WriteFile(tmp_.Join("a/one.txt"), "new");
  WriteFile(tmp_.Join("a/two.txt"), "2");
  EXPECT_TRUE(Zip::Compress(tmp_.Join("a"), Archive()));
  EXPECT_TRUE(log_.Contains("Error adding file to zip: " + tmp_.Join("a/one.txt") + "\n"));
  EXPECT_TRUE(log_.Contains("Error compressing file: " + tmp_.Join("a/one.txt") + "\n"));
  const std::vector<std::string> expected{"a/one.txt", "a/", "a/two.txt"};
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()), expected);
}

TEST_F(ZipTest, CompressOfAMissingSourceFails) {
  EXPECT_FALSE(Zip::Compress(tmp_.Join("missing"), Archive()));
  EXPECT_TRUE(log_.Contains("Directory does not exist: " + tmp_.Join("missing") + "\n",
                            qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists(Archive()));
}

TEST_F(ZipTest, CompressReportsAnArchiveThatCannotBeWritten) {
  WriteFile(tmp_.Join("a/one.txt"), "1");
  const std::string archive = tmp_.Join("no/such/dir/archive.zip");
  EXPECT_FALSE(Zip::Compress(tmp_.Join("a"), archive));
  EXPECT_TRUE(log_.Contains("Error writing zip archive: '" + archive + "'",
                            qx::common::LOG_ERROR));
}

TEST_F(ZipTest, CompressDoesNotFollowADirectoryLinkLoop) {
  WriteFile(tmp_.Join("a/one.txt"), "1");
  fs::create_directory_symlink(".", tmp_.Join("a/loop"));
  EXPECT_TRUE(Zip::Compress(tmp_.Join("a"), Archive()));
  EXPECT_TRUE(log_.Contains("Skipping directory link loop: " + tmp_.Join("a/loop") + "\n",
                            qx::common::LOG_WARNING));
  const std::vector<std::string> expected{"a/", "a/one.txt"};
  EXPECT_EQ(qx::test::ArchiveEntryNames(Archive()), expected);
}

// -------------------------------------------------------------------------
// Extract: ordinary archives

TEST_F(ZipTest, ExtractOfAnArchiveWithoutEntriesWritesNothing) {
  ArchiveBuilder().Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_FALSE(fs::exists(Dest()));
}

TEST_F(ZipTest, ExtractCreatesParentsThatHaveNoDirectoryEntry) {
  ArchiveBuilder()
      .File("model.config", "config")
      .File("meshes/deep/box.dae", "mesh")
      .Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/meshes/deep/box.dae")), "mesh");
  EXPECT_EQ(ReadFile(tmp_.Join("out/model.config")), "config");
  EXPECT_FALSE(log_.Contains("Failed to write file"));
  EXPECT_TRUE(log_.Contains("Created file [" + tmp_.Join("out/meshes/deep/box.dae") + "]\n",
                            qx::common::LOG_DEBUG));
}

TEST_F(ZipTest, ExtractWritesAZeroLengthEntryAsAnEmptyFileWithoutError) {
  ArchiveBuilder().File("empty.txt", "").File("full.txt", "x").Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  ASSERT_TRUE(fs::is_regular_file(tmp_.Join("out/empty.txt")));
  EXPECT_EQ(fs::file_size(tmp_.Join("out/empty.txt")), 0u);
  EXPECT_FALSE(log_.Contains("Error reading"));
  EXPECT_EQ(log_.Count("", qx::common::LOG_ERROR), 0);
}

TEST_F(ZipTest, ExtractStreamsAnEntryLargerThanOneChunk) {
  std::string big(3 * (1 << 20) + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) % 251);
  ArchiveBuilder().File("big.bin", big).File("big-stored.bin", big, true).Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(ReadFile(tmp_.Join("out/big.bin")) == big);
  EXPECT_TRUE(ReadFile(tmp_.Join("out/big-stored.bin")) == big);
}

TEST_F(ZipTest, ExtractOverAnExistingTreeReplacesFilesAndKeepsOthers) {
  WriteFile(tmp_.Join("out/a.txt"), "old a, longer than the new one");
  WriteFile(tmp_.Join("out/keep.txt"), "keep");
  ArchiveBuilder().Directory("sub/").File("a.txt", "new a").Write(Archive());
  fs::create_directories(tmp_.Join("out/sub"));
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/a.txt")), "new a");
  EXPECT_EQ(ReadFile(tmp_.Join("out/keep.txt")), "keep");
  // No temporary file is left behind.
  const std::vector<std::string> expected{"a.txt", "keep.txt", "sub/"};
  EXPECT_EQ(Tree(Dest()), expected);
}

TEST_F(ZipTest, ExtractWritesANameOfTheLongestLengthADirectoryAllows) {
  const std::string longest(255, 'n');
  ArchiveBuilder().File("d/" + longest, "long").Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest())) << log_.Text();
  EXPECT_EQ(ReadFile(tmp_.Join("out/d/" + longest)), "long");
}

TEST_F(ZipTest, ExtractRefusesAnEmptyDestination) {
  ArchiveBuilder().File("a.txt", "a").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), ""));
  EXPECT_TRUE(log_.Contains("No destination directory to extract '" + Archive() + "' into\n",
                            qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists("/a.txt"));
}

TEST_F(ZipTest, ExtractOfAMissingArchiveFails) {
  EXPECT_FALSE(Zip::Extract(tmp_.Join("missing.zip"), Dest()));
  EXPECT_TRUE(log_.Contains("Source archive does not exist: " + tmp_.Join("missing.zip") + "\n",
                            qx::common::LOG_ERROR));
}

TEST_F(ZipTest, ExtractOfSomethingElseThanAnArchiveFails) {
  WriteFile(Archive(), "<html>not found</html>");
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error opening zip archive: '" + Archive() + "'\n",
                            qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists(Dest()));
}

TEST_F(ZipTest, ADirectoryThatCannotBeCreatedStopsTheExtraction) {
  WriteFile(tmp_.Join("out/blocked"), "a file where a directory should go");
  ArchiveBuilder()
      .File("first.txt", "1")
      .Directory("blocked/")
      .File("last.txt", "3")
      .Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error creating directory [" + tmp_.Join("out/blocked") +
                                "]. Do you have the right permissions? (File exists)\n",
                            qx::common::LOG_ERROR));
  EXPECT_EQ(ReadFile(tmp_.Join("out/first.txt")), "1");
  EXPECT_FALSE(fs::exists(tmp_.Join("out/last.txt")));
}

TEST_F(ZipTest, AFileWhoseParentCannotBeCreatedFailsButOthersAreWritten) {
  WriteFile(tmp_.Join("out/blocked"), "a file");
  ArchiveBuilder().File("blocked/inner.txt", "x").File("last.txt", "3").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error creating directory [" + tmp_.Join("out/blocked") + "]. "));
  EXPECT_EQ(ReadFile(tmp_.Join("out/last.txt")), "3");
}

// -------------------------------------------------------------------------
// Extract: hostile archives

struct EscapingName {
  const char *name;
  bool directory;
};

class ZipSlipTest : public ZipTest, public ::testing::WithParamInterface<EscapingName> {};

TEST_P(ZipSlipTest, RefusesTheArchiveBeforeWritingAnything) {
  const EscapingName &param = GetParam();
  ArchiveBuilder builder;
  builder.File("good.txt", "good");
  if (param.directory)
    builder.Directory(param.name);
  else
    builder.File(param.name, "evil");
  builder.File("after.txt", "after");
  builder.Write(Archive());

  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_FALSE(fs::exists(Dest())) << "something was written";
  EXPECT_FALSE(fs::exists(tmp_.Join("evil.txt")));
  EXPECT_FALSE(fs::exists(tmp_.Join("evil")));
  const std::string name = param.directory && std::string(param.name).back() != '/'
                               ? std::string(param.name) + "/"
                               : std::string(param.name);
  EXPECT_TRUE(log_.Contains("Refusing zip archive '" + Archive() + "': entry [" + name + "] ",
                            qx::common::LOG_ERROR))
      << log_.Text();
}

INSTANTIATE_TEST_SUITE_P(
    EscapingNames, ZipSlipTest,
    ::testing::Values(EscapingName{"../evil.txt", false},
                      EscapingName{"a/../../evil.txt", false},
                      EscapingName{"./../evil.txt", false},
                      EscapingName{"a/b/../../../evil.txt", false},
                      EscapingName{"/tmp/qx-zip-slip-absolute.txt", false},
                      EscapingName{"..", false},
                      EscapingName{"../evil", true},
                      EscapingName{"/abs-dir", true},
                      // Names with no file name at all.
                      EscapingName{".", false},
                      EscapingName{"a/..", false}));

TEST_F(ZipTest, DotDotThatStaysInsideIsAccepted) {
  ArchiveBuilder().File("a/../b.txt", "b").File("./c/./d.txt", "d").Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/b.txt")), "b");
  EXPECT_EQ(ReadFile(tmp_.Join("out/c/d.txt")), "d");
  const std::vector<std::string> expected{"b.txt", "c/", "c/d.txt"};
  EXPECT_EQ(Tree(Dest()), expected);
}

TEST_F(ZipTest, ACorruptStoredEntryFailsTheExtractionButOthersAreWritten) {
  ArchiveBuilder()
      .File("first.txt", "first")
      .File("bad.txt", "DAMAGED-CONTENT-MARKER", true)
      .File("last.txt", "last")
      .Write(Archive());
  ASSERT_TRUE(qx::test::DamageArchive(Archive(), "DAMAGED-CONTENT-MARKER", 3));

  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error reading bad.txt\n", qx::common::LOG_ERROR));
  EXPECT_EQ(ReadFile(tmp_.Join("out/first.txt")), "first");
  EXPECT_EQ(ReadFile(tmp_.Join("out/last.txt")), "last");
  EXPECT_FALSE(fs::exists(tmp_.Join("out/bad.txt")));
  const std::vector<std::string> expected{"first.txt", "last.txt"};
  EXPECT_EQ(Tree(Dest()), expected);
}

TEST_F(ZipTest, ACorruptCompressedEntryFailsTheExtraction) {
  const std::string content(4096, 'q');
  ArchiveBuilder().File("mesh.dae", content + "tail").File("ok.txt", "ok").Write(Archive());
  const long offset = qx::test::EntryDataOffset(Archive(), "mesh.dae");
  ASSERT_GT(offset, 0);
  qx::test::FlipByte(Archive(), offset + 2);

  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error reading mesh.dae\n", qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists(tmp_.Join("out/mesh.dae")));
  EXPECT_EQ(ReadFile(tmp_.Join("out/ok.txt")), "ok");
}

TEST_F(ZipTest, ACorruptEntryKeepsTheFileItWouldHaveReplaced) {
  WriteFile(tmp_.Join("out/model.sdf"), "the good old version");
  ArchiveBuilder().File("model.sdf", "DAMAGED-NEW-VERSION", true).Write(Archive());
  ASSERT_TRUE(qx::test::DamageArchive(Archive(), "DAMAGED-NEW-VERSION", 0));
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/model.sdf")), "the good old version");
  const std::vector<std::string> expected{"model.sdf"};
  EXPECT_EQ(Tree(Dest()), expected);
}

TEST_F(ZipTest, ASymlinkEntryBecomesARegularFile) {
  ArchiveBuilder()
      .Symlink("escape", "../../../../etc/passwd")
      .File("escape-through/file.txt", "x")
      .Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_FALSE(fs::is_symlink(tmp_.Join("out/escape")));
  EXPECT_TRUE(fs::is_regular_file(tmp_.Join("out/escape")));
  EXPECT_EQ(ReadFile(tmp_.Join("out/escape")), "../../../../etc/passwd");
  EXPECT_TRUE(log_.Contains("Archive entry [escape] is a symbolic link, written as a "
                            "regular file\n",
                            qx::common::LOG_WARNING));
}

TEST_F(ZipTest, ASymlinkEntryCannotBeUsedToWriteThroughIt) {
  // A link entry followed by a file below the link's name: the second entry
  // lands under the destination, never where the link points.
  ArchiveBuilder().Symlink("dir", tmp_.Path()).File("dir/planted.txt", "x").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_FALSE(fs::exists(tmp_.Join("planted.txt")));
  EXPECT_TRUE(fs::is_regular_file(tmp_.Join("out/dir")));
}

TEST_F(ZipTest, ALinkAlreadyAtTheDestinationIsReplacedNotFollowed) {
  WriteFile(tmp_.Join("outside.txt"), "outside");
  fs::create_directories(Dest());
  fs::create_symlink(tmp_.Join("outside.txt"), tmp_.Join("out/model.sdf"));
  ArchiveBuilder().File("model.sdf", "inside").Write(Archive());
  EXPECT_TRUE(Zip::Extract(Archive(), Dest()));
  EXPECT_EQ(ReadFile(tmp_.Join("outside.txt")), "outside");
  EXPECT_FALSE(fs::is_symlink(tmp_.Join("out/model.sdf")));
  EXPECT_EQ(ReadFile(tmp_.Join("out/model.sdf")), "inside");
}

// A link inside the destination, to a directory elsewhere: entries below
// its name are not written through it.
TEST_F(ZipTest, ALinkToADirectoryInsideTheDestinationIsNotFollowed) {
  qx::test::TempDir elsewhere;
  fs::create_directories(Dest());
  fs::create_directory_symlink(elsewhere.Path(), tmp_.Join("out/meshes"));
  ArchiveBuilder().File("meshes/a.dae", "mesh").File("model.config", "config").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
  EXPECT_TRUE(log_.Contains("Error creating directory [" + tmp_.Join("out/meshes") + "]. ",
                            qx::common::LOG_ERROR));
  EXPECT_EQ(ReadFile(tmp_.Join("out/model.config")), "config");
}

// -------------------------------------------------------------------------
// Extract: archives that lie

CraftedEntry Liar(const std::string &name, std::size_t holds, std::uint64_t declares) {
  CraftedEntry entry;
  entry.name = name;
  entry.data = std::string(holds, '\0');
  entry.declaredSize = declares;
  return entry;
}

// An entry holding 8 MiB that declares 1 byte is stopped at its first chunk:
// nothing of it is written, and it costs a handful of writes, not millions.
TEST_F(ZipTest, AnEntryHoldingMoreThanItDeclaresIsStoppedAtOnce) {
  CraftedArchive().File("first.txt", "first").Add(Liar("liar.bin", 8 << 20, 1))
      .File("last.txt", "last").Write(Archive());
  qx::test::FaultyFileSystem counting;
  int appends = 0;
  counting.SetHook([&](qx::test::FaultyFileSystem::Op op, const std::string &, const std::string &) {
    if (op == qx::test::FaultyFileSystem::Op::kAppend) ++appends;
  });
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("Error reading liar.bin\n", qx::common::LOG_ERROR));
  EXPECT_TRUE(log_.Contains("Entry [liar.bin] holds more than the 1 bytes it declares",
                            qx::common::LOG_ERROR));
  EXPECT_LE(appends, 2);
  EXPECT_EQ(counting.BytesWritten(), 9u);
  EXPECT_FALSE(fs::exists(tmp_.Join("out/liar.bin")));
  // Zip::Extract goes on with the others.
  EXPECT_EQ(ReadFile(tmp_.Join("out/last.txt")), "last");
}

// Where one damaged entry fails everything anyway (a save into the cache),
// the extraction stops at it.
TEST_F(ZipTest, AnExtractionThatStopsAtTheFirstFailureReadsNoFurther) {
  CraftedArchive().File("first.txt", "first").Add(Liar("liar.bin", 1 << 20, 1))
      .File("last.txt", "last").Write(Archive());
  qx::quarn_tools::internal::ExtractOptions options;
  options.stopAtFirstFailure = true;
  EXPECT_FALSE(qx::quarn_tools::internal::ExtractArchive(
      Archive(), Dest(), options, qx::quarn_tools::internal::PosixFileSystem()));
  EXPECT_EQ(ReadFile(tmp_.Join("out/first.txt")), "first");
  EXPECT_FALSE(fs::exists(tmp_.Join("out/last.txt")));
  EXPECT_EQ(log_.Count("Error reading", qx::common::LOG_ERROR), 1);
}

// Declared sizes are added without wrapping: two entries of 2^63 bytes each
// declare more than any limit, not 0.
TEST_F(ZipTest, DeclaredSizesThatWouldWrapAroundAreRefused) {
  CraftedEntry half = Liar("o1.bin", 1024, std::uint64_t{1} << 63);
  half.zip64 = true;
  CraftedEntry other = half;
  other.name = "o2.bin";
  CraftedArchive().Add(half).Add(other).Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("': its entries declare 18446744073709551615 bytes",
                            qx::common::LOG_ERROR))
      << log_.Text();
  EXPECT_FALSE(fs::exists(Dest()));
}

// The entry count (and the size of the directory of entries) is read from
// the archive's end records before libzip loads the directory, which takes
// memory in proportion: a huge claim costs nothing.
struct DirectoryClaim {
  const char *label;
  std::uint64_t entries;
  bool zip64;
  std::uint32_t bytes;  // 0: as written
  std::uint64_t maxEntries;
  const char *error;
};

class ZipDirectoryClaim : public ZipTest, public ::testing::WithParamInterface<DirectoryClaim> {};

TEST_P(ZipDirectoryClaim, IsRefusedBeforeTheDirectoryIsRead) {
  const DirectoryClaim &claim = GetParam();
  CraftedArchive archive;
  archive.File("a.txt", "a").ClaimEntries(claim.entries, claim.zip64);
  if (claim.bytes != 0) archive.ClaimDirectoryBytes(claim.bytes);
  archive.Write(Archive());
  qx::quarn_tools::internal::ExtractOptions options;
  options.limits.maxEntries = claim.maxEntries;
  EXPECT_FALSE(qx::quarn_tools::internal::ExtractArchive(
      Archive(), Dest(), options, qx::quarn_tools::internal::PosixFileSystem()));
  EXPECT_TRUE(log_.Contains("Refusing zip archive '" + Archive() + "': " + claim.error,
                            qx::common::LOG_ERROR))
      << log_.Text();
  EXPECT_FALSE(log_.Contains("Error opening zip archive"));
  EXPECT_FALSE(fs::exists(Dest()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ZipDirectoryClaim,
    ::testing::Values(
        DirectoryClaim{"AMillionEntries", 1000000, true, 0, 100000,
                       "it holds 1000000 entries, more than the limit of 100000"},
        DirectoryClaim{"AboveALowLimit", 500, false, 0, 100,
                       "it holds 500 entries, more than the limit of 100"},
        DirectoryClaim{"AHugeDirectory", 1, false, 0xfffffff0u, 100,
                       "its directory of entries takes 4294967280 bytes"}),
    [](const ::testing::TestParamInfo<DirectoryClaim> &info) { return info.param.label; });

// Names with control characters would break every line that names them
// (logs, the cache's records), and a backslash is how archivers on Windows
// write a path that climbs out ("..\..\Temp\evil.txt"): such an archive is
// refused, its name shown escaped (a backslash too, so that "\xHH" in a
// line can only be an escape). libzip itself refuses a name it finds
// inconsistent, and says so.
struct ControlName {
  const char *label;
  const char *name;
  const char *error;
};

class ZipControlName : public ZipTest, public ::testing::WithParamInterface<ControlName> {};

TEST_P(ZipControlName, RefusesTheArchiveSayingWhy) {
  CraftedArchive().File("model.config", "config").File(GetParam().name, "x").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains(GetParam().error, qx::common::LOG_ERROR)) << log_.Text();
  for (const auto &[level, line] : log_.Lines()) {
    const std::string body = line.substr(0, line.size() - 1);
    EXPECT_EQ(body.find_first_of("\n\r\x1b"), std::string::npos) << line;
  }
  EXPECT_FALSE(fs::exists(Dest()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ZipControlName,
    ::testing::Values(
        ControlName{"Newline", "evil\nname.obj",
                    "entry [evil\\x0aname.obj] has a control character in its name"},
        ControlName{"Return", "cr\rname", "entry [cr\\x0dname] has a control character"},
        ControlName{"Tab", "tab\there", "entry [tab\\x09here] has a control character"},
        ControlName{"Delete", "del\x7fname", "entry [del\\x7fname] has a control character"},
        ControlName{"WindowsClimb", "..\\..\\Temp\\evil.txt",
                    "entry [..\\x5c..\\x5cTemp\\x5cevil.txt] has a backslash in its name"},
        ControlName{"Backslash", "meshes\\box.dae",
                    "entry [meshes\\x5cbox.dae] has a backslash in its name"},
        ControlName{"Escape", "\x1b[31mRED\x1b[0m.obj", "cannot be read: Zip archive inconsistent"}),
    [](const ::testing::TestParamInfo<ControlName> &info) { return info.param.label; });

TEST_F(ZipTest, AnEntryNestedTooDeeplyIsRefused) {
  std::string deep;
  for (int i = 0; i < 129; ++i) deep += "d/";
  ArchiveBuilder().File(deep + "x.txt", "x").Write(Archive());
  EXPECT_FALSE(Zip::Extract(Archive(), Dest()));
  EXPECT_TRUE(log_.Contains("] lies more than 128 directories deep", qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists(Dest()));
}

}  // namespace

