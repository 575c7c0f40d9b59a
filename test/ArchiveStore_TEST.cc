// The archive store: archives built once, aside, for the files as they are.
#include "ArchiveStore.hh"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zip.h>

#include "Archive.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

namespace fs = std::filesystem;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::ScopedEnv;
using qx::test::TempDir;
using qx::test::WriteFile;

// The bytes of an archive the store handed out.
std::string Bytes(const ArchiveStore::Archive &archive) {
  std::string bytes(archive.file->Size(), '\0');
  EXPECT_EQ(static_cast<long>(bytes.size()), archive.file->Read(0, bytes.data(), bytes.size()));
  return bytes;
}

// The content of entry `name` of the archive at `path`.
std::string EntryText(const std::string &path, const std::string &name) {
  zip_t *archive = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
  if (archive == nullptr) return "";
  std::string text;
  if (zip_file_t *file = zip_fopen(archive, name.c_str(), 0)) {
    char buffer[4096];
    zip_int64_t got = 0;
    while ((got = zip_fread(file, buffer, sizeof(buffer))) > 0)
      text.append(buffer, static_cast<std::size_t>(got));
    zip_fclose(file);
  }
  zip_discard(archive);
  return text;
}

// The .zip files (hidden ones included) in `dir` and below.
std::vector<std::string> ArchivesBelow(const std::string &dir) {
  std::vector<std::string> found;
  for (const auto &entry : fs::recursive_directory_iterator(dir))
    if (entry.path().string().find(".zip") != std::string::npos)
      found.push_back(entry.path().filename().string());
  return found;
}

class ArchiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string version = root_.Join("alice/models/box/1/");
    WriteFile(version + "model.config", "<model><name>box</name></model>");
    WriteFile(version + "meshes/box.obj", "v 0 0 0\n");
  }

  std::string Version() const { return root_.Join("alice/models/box/1"); }
  // The name the store gives the archive of the version's files as they are.
  std::string ArchiveName() const { return archiveFingerprint(repository_, Version()) + ".zip"; }
  std::optional<ArchiveStore::Archive> Get(ArchiveStore &store) {
    const auto resource = repository_.Find(Kind::kModel, "alice", "box");
    EXPECT_TRUE(resource);
    return store.Get(*resource, repository_.Versions(*resource).front());
  }

  TempDir root_;
  TempDir storeDir_;
  Repository repository_{root_.Path()};
};

TEST_F(ArchiveStoreTest, ConcurrentFirstRequestsBuildOnce) {
  // Large enough that the first build is still running when the others ask.
  WriteFile(Version() + "/meshes/big.bin", qx::test::IncompressibleBytes(8 << 20));
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  LogCapture log;
  std::atomic<int> ready{0};
  std::vector<std::optional<ArchiveStore::Archive>> got(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < static_cast<int>(got.size())) std::this_thread::yield();
      got[i] = Get(store);
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(1, log.Count("Built the archive of [alice/models/box/1]"));
  std::set<std::string> tags;
  for (const auto &archive : got) {
    ASSERT_TRUE(archive);
    EXPECT_GT(archive->file->Size(), 8u << 20);
    tags.insert(archive->tag);
  }
  EXPECT_EQ(1u, tags.size());
  EXPECT_EQ((std::vector<std::string>{ArchiveName()}), ArchivesBelow(storeDir_.Path()));
}

TEST_F(ArchiveStoreTest, ChangedFilesBuildANewArchiveAndTheOldGoes) {
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  const auto first = Get(store);
  ASSERT_TRUE(first);
  LogCapture log;
  EXPECT_EQ(first->tag, Get(store)->tag);
  EXPECT_EQ(0, log.Count("Built the archive"));

  struct Change {
    const char *what;
    std::function<void()> apply;
  };
  const Change changes[] = {
      {"content", [&] { WriteFile(Version() + "/meshes/box.obj", "v 1 1 1\nv 2 2 2\n"); }},
      {"new file", [&] { WriteFile(Version() + "/meshes/other.obj", "v 3 3 3\n"); }},
      {"time only",
       [&] {
         const struct utimbuf times {1000000000, 1000000000};
         ::utime((Version() + "/model.config").c_str(), &times);
       }},
      {"mode only", [&] { ::chmod((Version() + "/model.config").c_str(), 0600); }},
      {"content with the same size and time",
       [&] {
         // Rewritten in place, its modification time set back: only the
         // change time tells.
         const std::string path = Version() + "/meshes/box.obj";
         struct stat before {};
         ASSERT_EQ(0, ::stat(path.c_str(), &before));
         WriteFile(path, "v 9 9 9\nv 8 8 8\n");
         const struct timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
       }},
  };
  std::string previous = first->tag;
  for (const Change &change : changes) {
    SCOPED_TRACE(change.what);
    change.apply();
    const auto next = Get(store);
    ASSERT_TRUE(next);
    EXPECT_NE(previous, next->tag);
    previous = next->tag;
    EXPECT_EQ((std::vector<std::string>{ArchiveName()}), ArchivesBelow(storeDir_.Path()));
  }
  EXPECT_EQ(5, log.Count("Built the archive of [alice/models/box/1]"));
  EXPECT_EQ("v 9 9 9\nv 8 8 8\n",
            EntryText(storeDir_.Join("alice/models/box/1/" + ArchiveName()), "meshes/box.obj"));
  // The archive handed out before the change still reads whole.
  EXPECT_EQ(first->file->Size(), Bytes(*first).size());
}

TEST_F(ArchiveStoreTest, SameFilesGiveTheSameBytesInAnyStore) {
  TempDir otherDir;
  ArchiveStore store(repository_, storeDir_.Path());
  ArchiveStore other(repository_, otherDir.Path());
  ASSERT_TRUE(store.Open() && other.Open());
  const auto a = Get(store), b = Get(other);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->tag, b->tag);
  EXPECT_EQ(Bytes(*a), Bytes(*b));
  EXPECT_EQ("PK", Bytes(*a).substr(0, 2));
}

TEST_F(ArchiveStoreTest, EmptyVersionGivesTheEmptyArchive) {
  fs::create_directories(root_.Join("alice/worlds/void/1"));
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  const auto resource = repository_.Find(Kind::kWorld, "alice", "void");
  ASSERT_TRUE(resource);
  const auto archive = store.Get(*resource, repository_.Versions(*resource).front());
  ASSERT_TRUE(archive);
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'), Bytes(*archive));
}

TEST_F(ArchiveStoreTest, EntryTimesAreUtcInEveryTimeZone) {
  // 2021-06-15 12:34:56 UTC on every entry.
  const std::time_t stamp = 1623760496;
  const struct utimbuf times {stamp, stamp};
  for (const char *entry : {"/model.config", "/meshes/box.obj", "/meshes"})
    ASSERT_EQ(0, ::utime((Version() + entry).c_str(), &times));
  std::vector<std::string> bytes;
  for (const char *zone : {"UTC", "Asia/Tokyo", "America/Los_Angeles"}) {
    SCOPED_TRACE(zone);
    ScopedEnv timeZone("TZ", std::string(zone));
    ::tzset();
    TempDir dir;
    ArchiveStore store(repository_, dir.Path());
    ASSERT_TRUE(store.Open());
    const auto archive = Get(store);
    ASSERT_TRUE(archive);
    bytes.push_back(Bytes(*archive));
  }
  ::tzset();
  EXPECT_EQ(bytes[0], bytes[1]);
  EXPECT_EQ(bytes[0], bytes[2]);
  // The first local header's MS-DOS time and date: 12:34:56, 2021-06-15.
  ASSERT_GT(bytes[0].size(), 14u);
  const auto word = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[0][at])) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[0][at + 1])) << 8;
  };
  EXPECT_EQ((12u << 11) | (34u << 5) | (56u / 2), word(10));
  EXPECT_EQ(((2021u - 1980) << 9) | (6u << 5) | 15u, word(12));
}

TEST_F(ArchiveStoreTest, DirectoryHoldingOtherFilesIsRefusedAndKeptWhole) {
  // A second copy of the repository named as the store by mistake: the
  // store would remove every file beside the archive it builds.
  const std::string copy = storeDir_.Join("copy");
  const std::string version = copy + "/alice/models/box/1/";
  WriteFile(version + "model.config", "<model/>");
  WriteFile(version + "model.sdf", "<sdf/>");
  const auto before = qx::test::TreeFiles(copy);
  LogCapture log;
  ArchiveStore store(repository_, copy);
  EXPECT_FALSE(store.Open());
  EXPECT_TRUE(log.Contains("is not empty and holds no archive store", qx::common::LOG_ERROR));
  EXPECT_EQ(before, qx::test::TreeFiles(copy));
}

TEST_F(ArchiveStoreTest, OnlyTheStoresOwnFilesAreEverRemoved) {
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  ASSERT_TRUE(Get(store));
  const std::string dir = storeDir_.Join("alice/models/box/1/");
  const std::vector<std::string> foreign = {"model.config", "notes.txt", ".hidden", "old.zip",
                                            "0123.zip"};
  for (const std::string &name : foreign) WriteFile(dir + name, "not an archive");
  WriteFile(Version() + "/meshes/box.obj", "v 5 5 5\n");  // a new archive, the old goes
  const auto next = Get(store);
  ASSERT_TRUE(next);
  std::vector<std::string> expected = foreign;
  expected.push_back(ArchiveName());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, qx::test::EntryNames(dir));
}

TEST_F(ArchiveStoreTest, StoreOfAnEarlierVersionWithoutMarkerIsTakenOn) {
  const std::string archive = storeDir_.Join("alice/models/box/1/") + std::string(32, 'a') + ".zip";
  WriteFile(archive, "PK");
  ArchiveStore store(repository_, storeDir_.Path());
  EXPECT_TRUE(store.Open());
  EXPECT_TRUE(fs::exists(storeDir_.Join(".quarn-archive-store")));
  EXPECT_TRUE(Get(store));
}

TEST_F(ArchiveStoreTest, WhatCrashedBuildsLeftAsideGoesWhenTheStoreOpens) {
  ASSERT_TRUE(ArchiveStore(repository_, storeDir_.Path()).Open());
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);  // its process id now names no process
  const std::string dir = storeDir_.Join("alice/models/box/1/");
  const std::string fingerprint(32, 'b');
  const std::string dead = "." + fingerprint + ".zip." + std::to_string(child) + "-1";
  const std::string live = "." + fingerprint + ".zip." + std::to_string(::getpid()) + "-2";
  for (const std::string &name : {dead, dead + ".AbC123", live, std::string("notes.txt")})
    WriteFile(dir + name, "partial");
  ArchiveStore reopened(repository_, storeDir_.Path());
  ASSERT_TRUE(reopened.Open());
  std::vector<std::string> expected = {live, "notes.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, qx::test::EntryNames(dir));
}

TEST_F(ArchiveStoreTest, StoreInABindMountOfTheServedTreeIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to bind-mount a directory";
  TempDir mountPoint;
  if (::mount(root_.Path().c_str(), mountPoint.Path().c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "bind mounts are not allowed here";
  LogCapture log;
  ArchiveStore store(repository_, mountPoint.Join("alice/store"));
  const bool opened = store.Open();
  ::umount(mountPoint.Path().c_str());
  EXPECT_FALSE(opened);
  EXPECT_TRUE(log.Contains("lies inside the served directory", qx::common::LOG_ERROR));
  EXPECT_FALSE(fs::exists(root_.Join("alice/store")));
}

TEST_F(ArchiveStoreTest, StoreInsideTheServedTreeIsRefused) {
  LogCapture log;
  ArchiveStore inside(repository_, root_.Join("alice/.archives"));
  EXPECT_FALSE(inside.Open());
  EXPECT_TRUE(log.Contains("lies inside the served directory", qx::common::LOG_ERROR));
  WriteFile(storeDir_.Join("file"), "x");
  ArchiveStore notADirectory(repository_, storeDir_.Join("file"));
  EXPECT_FALSE(notADirectory.Open());
}

TEST_F(ArchiveStoreTest, BuildAllBuildsWhatIsMissingWithProgress) {
  WriteFile(root_.Join("alice/models/box/2/model.config"), "<model><name>box</name></model>");
  WriteFile(root_.Join("bob/worlds/town/1/town.sdf"), "<sdf/>");
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  ASSERT_TRUE(Get(store));  // version 1 is there already
  LogCapture log;
  std::vector<std::pair<std::size_t, std::size_t>> steps;
  EXPECT_EQ(0u, store.BuildAll([&](std::size_t done, std::size_t total) {
    steps.emplace_back(done, total);
  }));
  EXPECT_EQ((std::vector<std::pair<std::size_t, std::size_t>>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}),
            steps);
  EXPECT_EQ(2, log.Count("Built the archive of ["));
  EXPECT_EQ(3u, ArchivesBelow(storeDir_.Path()).size());
}

TEST_F(ArchiveStoreTest, BuildAllStopsWhenCancelled) {
  WriteFile(root_.Join("alice/models/box/2/model.config"), "<model><name>box</name></model>");
  WriteFile(root_.Join("bob/worlds/town/1/town.sdf"), "<sdf/>");
  ArchiveStore store(repository_, storeDir_.Path());
  ASSERT_TRUE(store.Open());
  std::size_t last = 0;
  store.BuildAll([&](std::size_t done, std::size_t) { last = done; },
                 [&] { return last >= 1; });
  EXPECT_EQ(1u, last);
  EXPECT_EQ(1u, ArchivesBelow(storeDir_.Path()).size());
}

}  // namespace
}  // namespace qx::quarn_server
