// The archive store: archives built once, aside, for the files as they are.
#include "ArchiveStore.hh"

#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

namespace fs = std::filesystem;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

// The bytes of an archive the store handed out.
std::string Bytes(const ArchiveStore::Archive &archive) {
  std::string bytes(archive.file->Size(), '\0');
  EXPECT_EQ(static_cast<long>(bytes.size()), archive.file->Read(0, bytes.data(), bytes.size()));
  return bytes;
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
  EXPECT_EQ((std::vector<std::string>{tags.begin()->substr(1, 32) + ".zip"}),
            ArchivesBelow(storeDir_.Path()));
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
  };
  std::string previous = first->tag;
  for (const Change &change : changes) {
    SCOPED_TRACE(change.what);
    change.apply();
    const auto next = Get(store);
    ASSERT_TRUE(next);
    EXPECT_NE(previous, next->tag);
    previous = next->tag;
    EXPECT_EQ((std::vector<std::string>{next->tag.substr(1, 32) + ".zip"}),
              ArchivesBelow(storeDir_.Path()));
  }
  EXPECT_EQ(4, log.Count("Built the archive of [alice/models/box/1]"));
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
