// How versions enter the cache: staged, published whole, nothing left behind
// by a failure, limits, concurrent publishers, overwrites, stale staging
// directories and links planted by other users. Faults are injected through
// the file-system seam.
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

namespace fs = std::filesystem;
using namespace qx::quarn_tools;
using qx::common::LOG_DEBUG;
using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::test::ArchiveBuilder;
using qx::test::EntryNames;
using qx::test::FaultyFileSystem;
using qx::test::HasLogLine;
using qx::test::LogCapture;
using qx::test::ModelOn;
using qx::test::ReadFile;
using qx::test::ScopedEnv;
using qx::test::ServerAt;
using qx::test::TempDir;
using qx::test::TreeFiles;
using qx::test::WorldOn;
using qx::test::WriteFile;
using Op = qx::test::FaultyFileSystem::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char *const kServer = "https://one.example.org";
const char *const kModelConfig =
    "<?xml version='1.0'?>\n<model><name>box</name><sdf version='1.9'>model.sdf</sdf></model>\n";
const char *const kSdf = "<sdf version='1.9'><model name='box'/></sdf>";

// The uid of a user other than us, for links "planted" by someone else.
constexpr uid_t kOtherUser = 65534;

std::string ArchiveData(const ArchiveBuilder &builder) {
  TempDir tmp;
  builder.Write(tmp.Join("a.zip"));
  return ReadFile(tmp.Join("a.zip"));
}

ArchiveBuilder BoxArchive(const std::string &payload = "payload") {
  return ArchiveBuilder()
      .File("model.config", kModelConfig)
      .File("model.sdf", kSdf)
      .File("meshes/a.obj", payload)
      .File("meshes/b.obj", payload + payload);
}

class CacheWriterTest : public ::testing::Test {
 protected:
  CacheWriterTest() {
    config_.Clear();
    config_.SetCacheLocation(root_.Path());
    config_.AddServer(ServerAt(kServer));
  }

  ModelIdentifier Box(unsigned int version = 1) const {
    return ModelOn(ServerAt(kServer), "alice", "box", version);
  }
  std::string ServerDir() const { return root_.Join("one.example.org"); }
  std::string ResourceDir() const { return ServerDir() + "/alice/models/box"; }
  std::string VersionDir(int version = 1) const {
    return ResourceDir() + "/" + std::to_string(version);
  }
  bool Saves(const ArchiveBuilder &builder, unsigned int version = 1) {
    return cache_.SaveModel(Box(version), ArchiveData(builder), true);
  }
  // What the cache holds below the server's directory (which a save makes
  // and leaves).
  std::vector<std::string> Left() const {
    std::vector<std::string> left;
    for (const auto &[path, content] : TreeFiles(ServerDir())) left.push_back(path);
    return left;
  }

  LogCapture log_;
  TempDir root_;
  ClientConfig config_;
  LocalCache cache_{&config_};
};

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

std::string Scratch(const std::string &host, pid_t pid) {
  return internal::cache::ScratchName(internal::cache::Scratch::kStaging, host, pid, 1);
}

void Age(const std::string &path, std::time_t seconds) {
  const auto then = fs::file_time_type::clock::now() - std::chrono::seconds(seconds);
  fs::last_write_time(path, then);
}

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

// Runs `body` only where links can be given to another user.
bool CanPlantLinks() { return ::geteuid() == 0; }

// A link at `path` to `target`, owned by another user.
void PlantLink(const std::string &target, const std::string &path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::create_symlink(target, path);
  ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << std::strerror(errno);
}

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
