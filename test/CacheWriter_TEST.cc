// How versions enter the cache: staged, published whole, nothing left behind
// by a failure, limits, concurrent publishers, overwrites, stale staging
// directories and links planted by other users. Faults are injected through
// the file-system seam. The staging directory's own rules have
// StagingDirectory_TEST.
#include "CacheWriter.hh"


#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <qx/common/Console.hh>
#include <string>
#include <vector>

#include "CacheNames.hh"
#include "FileSystem.hh"
#include "qx/quarn_tools/CacheInventory.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "support/ArchiveBuilder.hh"
#include "support/Builders.hh"
#include "support/FaultyFileSystem.hh"
#include "support/Matchers.hh"
#include "support/TestSupport.hh"
#include "support/CacheWriterFixture.hh"

namespace fs = std::filesystem;
using namespace qx::quarn_tools;
using qx::common::LOG_ERROR;
using qx::test::ArchiveBuilder;
using qx::test::EntryNames;
using qx::test::FaultyFileSystem;
using qx::test::HasLogLine;
using qx::test::ReadFile;
using qx::test::ScopedEnv;
using qx::test::TempDir;
using qx::test::TreeFiles;
using qx::test::WriteFile;
using Op = qx::test::FaultyFileSystem::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using qx::test::cache_writer::ArchiveData;
using qx::test::cache_writer::Age;
using qx::test::cache_writer::BoxArchive;
using qx::test::cache_writer::CacheWriterTest;
using qx::test::cache_writer::kModelConfig;
using qx::test::cache_writer::kOtherUser;
using qx::test::cache_writer::kSdf;
using qx::test::cache_writer::CanPlantLinks;
using qx::test::cache_writer::PlantLink;
using qx::test::cache_writer::Scratch;

namespace {

// -------------------------------------------------------------------------
// Whole or absent

TEST_F(CacheWriterTest, APublishedVersionHoldsTheArchiveContentAndNothingElse) {
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxmanifest-1", "1"));
  EXPECT_THAT(EntryNames(VersionDir()), ElementsAre("meshes", "model.config", "model.sdf"));
  EXPECT_EQ(ReadFile(VersionDir() + "/meshes/b.obj"), "payloadpayload");
}

// Every way a save can fail leaves the cache as it was: no version, no
// archive, no staging directory, no empty directories.
struct FaultCase {
  const char *label;
  void (*inject)(FaultyFileSystem &);
  const char *error;  // a log line holds this
};

class SaveFault : public CacheWriterTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SaveFault, LeavesNothingAndSaysWhy) {
  FaultyFileSystem faults;
  GetParam().inject(faults);
  EXPECT_FALSE(Saves(BoxArchive(std::string(4000, 'x'))));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, GetParam().error));
  EXPECT_THAT(Left(), IsEmpty());
  EXPECT_FALSE(cache_.MatchingModel(Box(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SaveFault,
    ::testing::Values(
        // The archive itself is written, then the disk fills while unpacking.
        FaultCase{"DiskFullWhileUnpacking",
                  [](FaultyFileSystem &f) { f.FailWritesAfter(9000, ENOSPC); },
                  "]: No space left on device"},
        FaultCase{"DiskFullWritingTheArchive",
                  [](FaultyFileSystem &f) { f.FailWritesAfter(10, ENOSPC); },
                  "/box.zip]: No space left on device"},
        FaultCase{"InputOutputError", [](FaultyFileSystem &f) { f.FailWritesAfter(9000, EIO); },
                  "]: Input/output error"},
        FaultCase{"QuotaExceeded", [](FaultyFileSystem &f) { f.FailWritesAfter(9000, EDQUOT); },
                  "]: Disk quota exceeded"},
        FaultCase{"NoPermission", [](FaultyFileSystem &f) { f.FailCreate("meshes", EACCES); },
                  "Permission denied"},
        FaultCase{"PublishRenameFails", [](FaultyFileSystem &f) { f.FailRename("/box/1", EIO); },
                  "Unable to publish ["},
        FaultCase{"NoRoomForTheStagingDirectory",
                  [](FaultyFileSystem &f) { f.FailCreate(".qxstage-", ENOSPC); },
                  "No space left on device"},
        // The SDF rewrite writes its file aside first: a failure there is a
        // failed save, not a version published with its SDF unchanged.
        FaultCase{"DiskFullRewritingTheSdf",
                  [](FaultyFileSystem &f) { f.FailCreate(".qxpart-", ENOSPC); },
                  "Unable to save SDF file["},
        FaultCase{"DiskFullWritingTheRecord",
                  [](FaultyFileSystem &f) { f.FailCreate("/record", ENOSPC); },
                  "/record]: No space left on device"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return info.param.label; });

// A full disk stops the extraction at once: one line about it, not one per
// remaining entry.
TEST_F(CacheWriterTest, AFullDiskIsReportedOnce) {
  ArchiveBuilder many;
  many.File("model.config", kModelConfig);
  for (int i = 0; i < 20; ++i) many.File("f" + std::to_string(i), std::string(1000, 'y'));
  const std::string data = ArchiveData(many);
  FaultyFileSystem faults;
  faults.FailWritesAfter(data.size() + 3000, ENOSPC);
  EXPECT_FALSE(cache_.SaveModel(Box(), data, true));
  EXPECT_EQ(log_.Count("No space left on device", LOG_ERROR), 1) << log_.Text();
  EXPECT_THAT(Left(), IsEmpty());
}

// A lookup during a save never sees the version: it appears with its last
// file or not at all.
TEST_F(CacheWriterTest, LookupsDuringASaveSeeNoPartialVersion) {
  FaultyFileSystem faults;
  int lookups = 0;
  faults.SetHook([&](FaultyFileSystem::Op op, const std::string &path, const std::string &) {
    if (op != FaultyFileSystem::Op::kCreateFile || path.find("meshes") == std::string::npos) return;
    ++lookups;
    EXPECT_FALSE(cache_.MatchingModel(Box(0)));
    EXPECT_FALSE(cache_.AllModels());
  });
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_GT(lookups, 0);
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
}

// -------------------------------------------------------------------------
// Several publishers

// Another process publishes the same version while ours unpacks: ours is
// dropped and the save succeeds with the published copy.
TEST_F(CacheWriterTest, ALostRaceKeepsThePublishedCopy) {
  FaultyFileSystem faults;
  faults.SetHook([&](FaultyFileSystem::Op op, const std::string &, const std::string &to) {
    if (op == FaultyFileSystem::Op::kRename && to == VersionDir() && !fs::exists(to)) {
      WriteFile(VersionDir() + "/model.config", kModelConfig);
      WriteFile(VersionDir() + "/rival.txt", "first");
    }
  });
  EXPECT_TRUE(Saves(BoxArchive()));
  EXPECT_EQ(ReadFile(VersionDir() + "/rival.txt"), "first");
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxmanifest-1", "1"));
}

// With overwrite, files the new archive lacks stay, and the merged tree
// replaces the old one in one step.
TEST_F(CacheWriterTest, OverwriteKeepsOldFilesAndSwapsTheMergedTreeIn) {
  ASSERT_TRUE(Saves(ArchiveBuilder()
                        .File("model.config", kModelConfig)
                        .File("old.txt", "old")
                        .File("shared.txt", "before")
                        .File("deep/kept.txt", "kept")));
  ASSERT_TRUE(Saves(ArchiveBuilder()
                        .File("model.config", kModelConfig)
                        .File("shared.txt", "after")
                        .File("new.txt", "new")));
  EXPECT_EQ(ReadFile(VersionDir() + "/old.txt"), "old");
  EXPECT_EQ(ReadFile(VersionDir() + "/deep/kept.txt"), "kept");
  EXPECT_EQ(ReadFile(VersionDir() + "/shared.txt"), "after");
  EXPECT_EQ(ReadFile(VersionDir() + "/new.txt"), "new");
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxmanifest-1", "1"));
}

// Where two directories cannot be swapped in one step, the old version moves
// aside and the new one takes its place.
TEST_F(CacheWriterTest, OverwriteWithoutAtomicSwapStillReplaces) {
  ASSERT_TRUE(Saves(ArchiveBuilder().File("model.config", kModelConfig).File("old.txt", "old")));
  FaultyFileSystem faults;
  faults.FailExchange(ENOSYS);
  ASSERT_TRUE(Saves(ArchiveBuilder().File("model.config", kModelConfig).File("new.txt", "new")));
  EXPECT_EQ(ReadFile(VersionDir() + "/old.txt"), "old");
  EXPECT_EQ(ReadFile(VersionDir() + "/new.txt"), "new");
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxmanifest-1", "1"));
}

// A version directory an older library left half unpacked (its archive
// still there) is replaced; the archive does not survive into it.
TEST_F(CacheWriterTest, AnUnfinishedSaveOfAnOlderLibraryIsRepaired) {
  WriteFile(VersionDir() + "/box.zip", "half");
  WriteFile(VersionDir() + "/meshes/a.obj", "stale");
  EXPECT_FALSE(cache_.MatchingModel(Box(0)));
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_FALSE(fs::exists(VersionDir() + "/box.zip"));
  EXPECT_EQ(ReadFile(VersionDir() + "/meshes/a.obj"), "payload");
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
}

TEST_F(CacheWriterTest, WithoutOverwriteAnExistingVersionIsRefusedUntouched) {
  ASSERT_TRUE(Saves(BoxArchive("one")));
  EXPECT_FALSE(cache_.SaveModel(Box(), ArchiveData(BoxArchive("two")), false));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Directory [" + VersionDir() + "] already exists"));
  EXPECT_EQ(ReadFile(VersionDir() + "/meshes/a.obj"), "one");
}

// -------------------------------------------------------------------------
// What crashed saves leave

TEST_F(CacheWriterTest, StaleStagingDirectoriesAreRemovedAndNeverLookedAt) {
  // A crashed process of this host (no such process), a live one of another
  // host, and a day-old one of another host.
  const std::string dead = ResourceDir() + "/" + Scratch(internal::cache::HostName(), 999999);
  const std::string elsewhere = ResourceDir() + "/" + Scratch("other-host", 12);
  const std::string old =
      ResourceDir() + "/" +
      internal::cache::ScratchName(internal::cache::Scratch::kTrash, "other-host", 13, 2);
  for (const std::string &dir : {dead, elsewhere, old})
    WriteFile(dir + "/tree/model.config", kModelConfig);
  Age(old + "/tree", 2 * 24 * 3600);
  Age(old, 2 * 24 * 3600);
  EXPECT_FALSE(cache_.MatchingModel(Box(0)));
  EXPECT_FALSE(cache_.AllModels());

  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(elsewhere));
  EXPECT_FALSE(fs::exists(old));
  ModelIter all = cache_.AllModels();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->Identification().Version(), 1u);
  EXPECT_FALSE(++all);
}

// -------------------------------------------------------------------------
// Limits

class CacheLimitsTest : public CacheWriterTest {};

TEST_F(CacheLimitsTest, AnArchiveDeclaringMoreThanTheLimitIsRefusedBeforeUnpacking) {
  config_.SetMaxUnpackedSize(1 << 20);
  // Compresses to a few kilobytes, unpacks to 64 MiB.
  const std::string bomb = ArchiveData(ArchiveBuilder()
                                           .File("model.config", kModelConfig)
                                           .File("zeros.bin", std::string(64 << 20, '\0')));
  ASSERT_LT(bomb.size(), 1u << 20);
  FaultyFileSystem counting;
  EXPECT_FALSE(cache_.SaveModel(Box(), bomb, true));
  const std::string declared = std::to_string((64 << 20) + std::strlen(kModelConfig));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "its entries declare " + declared +
                                              " bytes (64 MiB), more than the limit of 1048576 "
                                              "bytes (1.0 MiB)"));
  // Only the archive itself was written.
  EXPECT_EQ(counting.BytesWritten(), bomb.size());
  EXPECT_THAT(Left(), IsEmpty());
}

TEST_F(CacheLimitsTest, TooManyEntriesAreRefused) {
  config_.SetMaxEntries(10);
  ArchiveBuilder many;
  for (int i = 0; i < 11; ++i) many.File("f" + std::to_string(i), "x");
  EXPECT_FALSE(Saves(many));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "it holds 11 entries, more than the limit of 10"));
  EXPECT_THAT(Left(), IsEmpty());
}

TEST_F(CacheLimitsTest, TheEnvironmentOverridesTheConfiguration) {
  config_.SetMaxEntries(1000);
  const ScopedEnv entries("QX_QUARN_MAX_ENTRIES", std::string("3"));
  EXPECT_FALSE(Saves(BoxArchive()));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "more than the limit of 3"));
}

TEST_F(CacheLimitsTest, AnArchiveLargerThanTheFreeSpaceIsRefusedNamingBoth) {
  FaultyFileSystem faults;
  faults.SetFreeSpace(5000);
  EXPECT_FALSE(Saves(BoxArchive(std::string(4000, 'z'))));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "it needs 12"));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "has 5000 bytes (4.9 KiB) free"));
  EXPECT_THAT(Left(), IsEmpty());
}

// -------------------------------------------------------------------------
// Links below the cache root

struct LinkCase {
  const char *label;
  const char *level;  // below the cache root, replaced by the planted link
};

class PlantedLink : public CacheWriterTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(PlantedLink, StopsTheSaveAndNothingOutsideChanges) {
  if (!CanPlantLinks()) GTEST_SKIP() << "needs root to give a link to another user";
  TempDir decoy;
  WriteFile(decoy.Join("keep.txt"), "mine");
  const auto before = TreeFiles(decoy.Path());
  const std::string link = root_.Join(GetParam().level);
  PlantLink(decoy.Path(), link);

  EXPECT_FALSE(Saves(BoxArchive()));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Refusing to follow [" + link +
                                              "]: a symbolic link owned by another user (uid " +
                                              std::to_string(kOtherUser) + ")"));
  EXPECT_EQ(TreeFiles(decoy.Path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    EveryLevel, PlantedLink,
    ::testing::Values(LinkCase{"Server", "one.example.org"},
                      LinkCase{"Owner", "one.example.org/alice"},
                      LinkCase{"Kind", "one.example.org/alice/models"},
                      LinkCase{"Name", "one.example.org/alice/models/box"},
                      LinkCase{"Version", "one.example.org/alice/models/box/1"}),
    [](const ::testing::TestParamInfo<LinkCase> &info) { return info.param.label; });

// A user who moved a server directory to another disk and linked it back
// keeps working.
TEST_F(CacheWriterTest, TheUsersOwnLinkOfAServerDirectoryIsFollowed) {
  TempDir elsewhere;
  fs::create_symlink(elsewhere.Path(), ServerDir());
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_EQ(ReadFile(elsewhere.Join("alice/models/box/1/meshes/a.obj")), "payload");
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
}

// An overwrite neither copies a link inside the old version nor writes
// through one (model.sdf pointing outside is the case that mattered).
TEST_F(CacheWriterTest, AnOverwriteNeverWritesThroughALinkInsideTheVersion) {
  TempDir decoy;
  WriteFile(decoy.Join("outside.sdf"), kSdf);
  WriteFile(decoy.Join("secret.txt"), "secret");
  ASSERT_TRUE(Saves(BoxArchive()));
  fs::remove(VersionDir() + "/model.sdf");
  fs::create_symlink(decoy.Join("outside.sdf"), VersionDir() + "/model.sdf");
  fs::create_symlink(decoy.Join("secret.txt"), VersionDir() + "/extra.txt");
  const auto before = TreeFiles(decoy.Path());

  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_EQ(TreeFiles(decoy.Path()), before);
  EXPECT_FALSE(fs::is_symlink(VersionDir() + "/model.sdf"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(VersionDir() + "/extra.txt")));
}

}  // namespace
