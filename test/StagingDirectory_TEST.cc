// The staging directory of a save: its maker's alone (no other user of a
// shared cache may enter it, plant a link in it or swap it), what other
// processes left behind (stale when their maker is gone), directories
// removed meanwhile, and the cache's own names among a version's files.
#include "StagingDirectory.hh"


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
using qx::common::LOG_WARNING;
using qx::test::ArchiveBuilder;
using qx::test::EntryNames;
using qx::test::FaultyFileSystem;
using qx::test::HasLogLine;
using qx::test::ReadFile;
using qx::test::ServerAt;
using qx::test::TempDir;
using qx::test::TreeFiles;
using qx::test::WorldOn;
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
using qx::test::cache_writer::kServer;
using qx::test::cache_writer::CanPlantLinks;
using qx::test::cache_writer::PlantLink;
using qx::test::cache_writer::Scratch;

namespace {

// -------------------------------------------------------------------------
// The staging directory is its maker's alone

// The staging directory holding `path`, a path below its tree.
std::string StageOf(const std::string &path) { return path.substr(0, path.find("/tree/")); }

bool InTree(const std::string &path) {
  return path.find("/.qxstage-") != std::string::npos && path.find("/tree/") != std::string::npos;
}

unsigned Mode(const std::string &path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST_F(CacheWriterTest, OnlyItsMakerMayEnterAStagingDirectory) {
  FaultyFileSystem faults;
  std::vector<unsigned> modes;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (op == Op::kCreateFile && InTree(path)) modes.push_back(Mode(StageOf(path)));
  });
  ASSERT_TRUE(Saves(BoxArchive()));
  ASSERT_FALSE(modes.empty());
  for (const unsigned mode : modes) EXPECT_EQ(mode & 0777, 0700u);
  // The published version has the mode any new directory gets.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(Mode(VersionDir()), 0777u & ~mask);
}

// Runs `body` in a child process as another user; its exit status.
int AsOtherUser(const std::function<int()> &body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0) ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A cache shared as widely as can be (every directory writable by all):
// another user still cannot put a link into a save's tree.
TEST_F(CacheWriterTest, AnotherUserCannotPlantALinkInAStagingDirectory) {
  if (!CanPlantLinks()) GTEST_SKIP() << "needs root to act as another user";
  const mode_t previous = ::umask(0);
  ::chmod(root_.Path().c_str(), 0777);
  TempDir decoy;
  FaultyFileSystem faults;
  int planted = -1;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (planted != -1 || op != Op::kCreateFile || !InTree(path)) return;
    const std::string link = StageOf(path) + "/tree/zz";
    planted = AsOtherUser([&] { return ::symlink(decoy.Path().c_str(), link.c_str()) == 0 ? 0 : errno; });
  });
  const bool saved = Saves(BoxArchive().File("zz/payload.txt", "payload"));
  ::umask(previous);
  EXPECT_EQ(planted, EACCES);
  EXPECT_TRUE(saved);
  EXPECT_THAT(TreeFiles(decoy.Path()), IsEmpty());
  EXPECT_EQ(ReadFile(VersionDir() + "/zz/payload.txt"), "payload");
}

// Whoever managed to put a link into the tree (root, say), the extraction
// does not write through it: every component is opened without following
// links.
TEST_F(CacheWriterTest, ALinkPlantedInTheTreeDuringASaveIsNeverWrittenThrough) {
  TempDir decoy;
  FaultyFileSystem faults;
  std::string link;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (!link.empty() || op != Op::kCreateFile || !InTree(path)) return;
    link = StageOf(path) + "/tree/zz";
    fs::create_directory_symlink(decoy.Path(), link);
    if (CanPlantLinks()) ::lchown(link.c_str(), kOtherUser, kOtherUser);
  });
  EXPECT_FALSE(Saves(BoxArchive().File("zz/payload.txt", "payload")));
  ASSERT_FALSE(link.empty());
  EXPECT_THAT(TreeFiles(decoy.Path()), IsEmpty());
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Error creating directory [" + link +
                                              "]. Do you have the right permissions? (File exists)"));
  EXPECT_THAT(Left(), IsEmpty());
}

// The resource directory of a shared cache is writable by its group: a
// member may rename a save's staging directory and put a link in its place.
// The save goes on in the directory it made, wherever that went.
TEST_F(CacheWriterTest, AStagingDirectorySwappedForALinkKeepsTheWritesInIt) {
  TempDir decoy;
  FaultyFileSystem faults;
  bool swapped = false;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    const std::string tail = "/tree";
    if (swapped || op != Op::kCreateDirectory || path.size() < tail.size() ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
      return;
    swapped = true;
    const std::string stage = path.substr(0, path.size() - tail.size());
    fs::rename(stage, ResourceDir() + "/moved-aside");
    fs::create_directory_symlink(decoy.Path(), stage);
  });
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_TRUE(swapped);
  EXPECT_THAT(TreeFiles(decoy.Path()), IsEmpty());
  EXPECT_EQ(ReadFile(VersionDir() + "/meshes/a.obj"), "payload");
  EXPECT_TRUE(fs::exists(ResourceDir() + "/.qxmanifest-1"));
}

// Lookups do not follow another user's link either: it would make the cache
// answer with a tree of that user's choice.
TEST_F(CacheWriterTest, LookupsIgnoreAVersionLinkOfAnotherUser) {
  if (!CanPlantLinks()) GTEST_SKIP() << "needs root to give a link to another user";
  ASSERT_TRUE(Saves(BoxArchive()));
  TempDir decoy;
  WriteFile(decoy.Join("model.config"), kModelConfig);
  PlantLink(decoy.Path(), VersionDir(9));
  const Model found = cache_.MatchingModel(Box(0));
  ASSERT_TRUE(found);
  EXPECT_EQ(found.Identification().Version(), 1u);
  ModelIter all = cache_.AllModels();
  ASSERT_TRUE(all);
  EXPECT_FALSE(++all);
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "Ignoring [" + VersionDir(9) +
                                                "]: a symbolic link owned by another user"));
}

// -------------------------------------------------------------------------
// Other processes meanwhile

// Process ids start again in each container: a staging directory that a
// process with our id left behind is stale, and a name already taken is
// no reason to fail.
TEST_F(CacheWriterTest, AStagingDirectoryLeftByAnEarlierProcessWithOurIdIsStale) {
  const std::string ours =
      ResourceDir() + "/" + Scratch(internal::cache::HostName(), ::getpid());
  WriteFile(ours + "/box.zip", "half");
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_FALSE(fs::exists(ours));
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxmanifest-1", "1"));
}

TEST_F(CacheWriterTest, AStagingNameAlreadyTakenIsNoError) {
  FaultyFileSystem faults;
  std::string taken;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (!taken.empty() || op != Op::kCreateDirectory ||
        path.find("/.qxstage-") == std::string::npos)
      return;
    taken = path;
    fs::create_directories(path);
  });
  EXPECT_TRUE(Saves(BoxArchive())) << log_.Text();
  EXPECT_FALSE(taken.empty());
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
}

// A failed save of another process removes the directories it made while
// ours walks through them (when ours makes its staging directory, or one of
// the directories above): ours makes them again.
class RemovedMeanwhile : public CacheWriterTest,
                         public ::testing::WithParamInterface<const char *> {};

TEST_P(RemovedMeanwhile, DirectoriesAreMadeAgain) {
  FaultyFileSystem faults;
  bool removed = false;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (removed || op != Op::kCreateDirectory || path.find(GetParam()) == std::string::npos)
      return;
    removed = true;
    fs::remove(ResourceDir());
    fs::remove(ServerDir() + "/alice/models");
    fs::remove(ServerDir() + "/alice");
  });
  EXPECT_TRUE(Saves(BoxArchive())) << log_.Text();
  EXPECT_TRUE(removed);
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
}

INSTANTIATE_TEST_SUITE_P(Where, RemovedMeanwhile,
                         ::testing::Values("/.qxstage-", "/alice/models/box"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return info.index == 0 ? "MakingTheStagingDirectory"
                                                  : "MakingTheResourceDirectory";
                         });

// A download on another host may write its archive for hours: its staging
// directory changes only inside.
TEST_F(CacheWriterTest, AStagingDirectoryStillBeingWrittenIsNotStaleWhateverItsAge) {
  const std::string elsewhere = ResourceDir() + "/" + Scratch("other-host", 12);
  WriteFile(elsewhere + "/box.zip", "growing");
  Age(elsewhere, 2 * 24 * 3600);
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_TRUE(fs::exists(elsewhere + "/box.zip"));
}

// Older libraries wrote records through part files beside the versions;
// those a crash left are removed once a day old.
TEST_F(CacheWriterTest, PartFilesACrashLeftBesideTheVersionsAreRemovedWhenOld) {
  const std::string old = ResourceDir() + "/" + internal::cache::PartFileName(::getpid(), 1);
  const std::string fresh = ResourceDir() + "/" + internal::cache::PartFileName(::getpid() + 1, 1);
  WriteFile(old, "# quarn version manifest 1: crc32 size path\n");
  WriteFile(fresh, "being written");
  Age(old, 2 * 24 * 3600);
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(fresh));
}

// Files being written live in the staging directory only, so a crash leaves
// nothing a later save trips over beside the versions.
TEST_F(CacheWriterTest, OnlyTheStagingDirectoryHoldsFilesBeingWritten) {
  FaultyFileSystem faults;
  std::vector<std::string> created;
  faults.SetHook([&](Op op, const std::string &path, const std::string &) {
    if (op == Op::kCreateFile) created.push_back(path);
  });
  ASSERT_TRUE(Saves(BoxArchive()));
  ASSERT_FALSE(created.empty());
  for (const std::string &path : created)
    EXPECT_NE(path.find(ResourceDir() + "/.qxstage-"), std::string::npos) << path;
}

// quarn cache rm of the version an overwrite is about to replace, at the
// worst moment: between the rename that finds the version there and the
// swap. The overwrite publishes its tree anyway, with its record.
TEST_F(CacheWriterTest, AVersionRemovedWhileAnOverwritePublishesIsPublishedAgain) {
  ASSERT_TRUE(Saves(ArchiveBuilder().File("model.config", kModelConfig).File("old.txt", "old")));
  FaultyFileSystem faults;
  bool removed = false;
  faults.SetHook([&](Op op, const std::string &, const std::string &) {
    if (removed || op != Op::kExchange) return;
    removed = true;
    const CacheInventory inventory(config_);
    for (const CachedResource &resource : inventory.Resources()) EXPECT_TRUE(inventory.Remove(resource, 1));
  });
  ASSERT_TRUE(Saves(ArchiveBuilder().File("model.config", kModelConfig).File("new.txt", "new")))
      << log_.Text();
  EXPECT_TRUE(removed);
  EXPECT_EQ(ReadFile(VersionDir() + "/new.txt"), "new");
  const CacheInventory inventory(config_);
  const std::vector<CachedResource> resources = inventory.Resources();
  ASSERT_EQ(resources.size(), 1u);
  ASSERT_EQ(resources[0].versions.size(), 1u);
  EXPECT_TRUE(inventory.Verify(resources[0], resources[0].versions[0]).Intact());
}

// A new version appears with its record already beside it: no moment (nor
// crash) shows it unrecorded.
TEST_F(CacheWriterTest, ANewVersionIsPublishedWithItsRecordInPlace) {
  FaultyFileSystem faults;
  int publishes = 0;
  faults.SetHook([&](Op op, const std::string &, const std::string &to) {
    if (op != Op::kRename || to != VersionDir()) return;
    ++publishes;
    EXPECT_TRUE(fs::exists(ResourceDir() + "/.qxmanifest-1"));
  });
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_EQ(publishes, 1);
}

// -------------------------------------------------------------------------
// What a version may hold

// A model may ship a file named like its archive: with its record beside
// it, the version is a finished one.
TEST_F(CacheWriterTest, AVersionHoldingAFileNamedLikeItsArchiveIsFound) {
  ASSERT_TRUE(Saves(BoxArchive().File("box.zip", "a zip the model ships")));
  EXPECT_TRUE(cache_.MatchingModel(Box(0)));
  WorldIdentifier room = WorldOn(ServerAt(kServer), "alice", "room", 2);
  ASSERT_TRUE(cache_.SaveWorld(
      room, ArchiveData(ArchiveBuilder().File("room.zip", "zip").File("w.sdf", "<sdf/>")), true));
  WorldIdentifier found = WorldOn(ServerAt(kServer), "alice", "room");
  EXPECT_TRUE(cache_.MatchingWorld(found));
  EXPECT_EQ(found.Version(), 2u);
}

// Only the top of a version is the cache's: below it, a user's files named
// like the cache's own stay through an overwrite (part files an older
// library left do not).
TEST_F(CacheWriterTest, AnOverwriteKeepsUserFilesNamedLikeTheCachesOwnBelowTheTop) {
  ASSERT_TRUE(Saves(BoxArchive()));
  WriteFile(VersionDir() + "/meshes/.qxnote", "mine");
  WriteFile(VersionDir() + "/meshes/.qxpart-12-3", "half");
  ASSERT_TRUE(Saves(BoxArchive()));
  EXPECT_EQ(ReadFile(VersionDir() + "/meshes/.qxnote"), "mine");
  EXPECT_FALSE(fs::exists(VersionDir() + "/meshes/.qxpart-12-3"));
}

}  // namespace
