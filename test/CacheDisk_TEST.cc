// Downloads into a cache on a small real file system (a tmpfs, mounted when
// the tests run as root): a full disk and a decompression bomb fail with a
// clear error, leave nothing partial, and give the space back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <qx/common/Console.hh>
#include <string>

#include "qx/quarn_tools/QuarnClient.hh"
#include "support/ArchiveBuilder.hh"
#include "support/Builders.hh"
#include "support/FaultyFileSystem.hh"
#include "support/GeneratedModels.hh"
#include "support/Matchers.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

using namespace qx::quarn_tools;
using qx::common::LOG_ERROR;
using qx::test::HasLogLine;
using qx::test::IsResult;
using qx::test::FaultyFileSystem;
using qx::test::TempDir;
using qx::test::TreeFiles;

namespace {

std::uint64_t FreeBytes(const std::string &path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

class SmallDisk : public qx::test::RepositoryFixture {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    if (::mount("tmpfs", disk_.Path().c_str(), "tmpfs", 0, "size=1m") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    mounted_ = true;
    RepositoryFixture::SetUp();
    ClientConfig config;
    config.Clear();
    config.SetCacheLocation(disk_.Path());
    config.AddServer(Config());
    client_ = std::make_unique<QuarnClient>(config, Rest());
    free_ = FreeBytes(disk_.Path());
  }
  void TearDown() override {
    client_.reset();
    if (mounted_) {
      RepositoryFixture::TearDown();
      ::umount(disk_.Path().c_str());
    }
  }

  Result Download(const std::string &name) {
    return client_->DownloadModel(qx::test::ModelOn(Config(), "alice", name));
  }
  // The files left on the disk, server directory aside.
  std::size_t FilesLeft() const {
    std::size_t files = 0;
    for (const auto &[path, content] : TreeFiles(disk_.Path()))
      if (content != "/") ++files;
    return files;
  }

  qx::test::LogCapture log_;
  TempDir disk_;
  bool mounted_ = false;
  std::unique_ptr<QuarnClient> client_;
  std::uint64_t free_ = 0;
};

TEST_F(SmallDisk, AnArchiveLargerThanTheDiskFailsAndGivesTheSpaceBack) {
  qx::test::WriteModel(Root(), "alice", "huge", 1, 3, 500 * 1024);
  EXPECT_THAT(Download("huge"), IsResult(FETCH_FAILED));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "/huge.zip]: No space left on device"));
  EXPECT_EQ(FilesLeft(), 0u);
  EXPECT_EQ(FreeBytes(disk_.Path()), free_);
}

// Many small files take more room than they declare: the disk fills while
// unpacking.
TEST_F(SmallDisk, ADiskThatFillsWhileUnpackingFailsAndGivesTheSpaceBack) {
  qx::test::WriteModel(Root(), "alice", "crowd", 1, 400, 100);
  EXPECT_THAT(Download("crowd"), IsResult(FETCH_FAILED));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "]: No space left on device"));
  EXPECT_EQ(log_.Count("No space left on device", LOG_ERROR), 1) << log_.Text();
  EXPECT_EQ(FilesLeft(), 0u);
  EXPECT_EQ(FreeBytes(disk_.Path()), free_);
}

TEST_F(SmallDisk, ABombIsRefusedBeforeUnpackingNamingTheFigures) {
  TempDir tmp;
  qx::test::ArchiveBuilder()
      .File("model.config", "<model><name>bomb</name></model>")
      .File("zeros.bin", std::string(64 << 20, '\0'))
      .Write(tmp.Join("bomb.zip"));
  qx::test::ResponseScript script;
  script.route = "alice/models/bomb/tip/bomb.zip";
  script.body = qx::test::ReadFile(tmp.Join("bomb.zip"));
  script.contentType = "application/zip";
  script.status = 200;
  script.headers = {{"X-Qel-Resource-Version", "1"}};
  Server().AddScript(script);

  EXPECT_THAT(Download("bomb"), IsResult(FETCH_FAILED));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Not enough space to unpack"));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "bytes (64 MiB), the file system of ["));
  EXPECT_EQ(FilesLeft(), 0u);
  EXPECT_EQ(FreeBytes(disk_.Path()), free_);
}

// -------------------------------------------------------------------------
// Failures here are not the server's

// A download that fails for a reason of this machine (the disk, the cache, a
// limit) has said why in its own error line; its result carries no server
// reply, which would read as the server's failure ("no answer from ...").
struct LocalCase {
  const char *label;
  void (*inject)(FaultyFileSystem &, ClientConfig &);
  const char *error;  // a log line holds this
};

class LocalFailure : public qx::test::RepositoryFixture,
                     public ::testing::WithParamInterface<LocalCase> {
 protected:
  Result Download(const std::string &name, FaultyFileSystem &faults) {
    ClientConfig config;
    config.Clear();
    config.SetCacheLocation(cache_.Path());
    config.AddServer(Config());
    GetParam().inject(faults, config);
    QuarnClient client(config, Rest());
    return client.DownloadModel(qx::test::ModelOn(Config(), "alice", name));
  }

  qx::test::LogCapture log_;
  TempDir cache_;
};

TEST_P(LocalFailure, CarriesNoServerReply) {
  qx::test::WriteModel(Root(), "alice", "crowd", 1, 20, 4096);
  FaultyFileSystem faults;
  const Result result = Download("crowd", faults);
  EXPECT_THAT(result, IsResult(FETCH_FAILED));
  EXPECT_EQ(result.Reply(), nullptr) << result.Reply()->status;
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LocalFailure,
    ::testing::Values(
        LocalCase{"DiskFullDuringTheBody",
                  [](FaultyFileSystem &f, ClientConfig &) { f.FailWritesAfter(1000, ENOSPC); },
                  "/crowd.zip]: No space left on device"},
        LocalCase{"BodyOverTheLimit",
                  [](FaultyFileSystem &, ClientConfig &c) { c.SetMaxUnpackedSize(10000); },
                  "is larger than the limit of 10000 bytes"},
        LocalCase{"NoStagingDirectory",
                  [](FaultyFileSystem &f, ClientConfig &) { f.FailCreate(".qxstage-", EACCES); },
                  "Permission denied"}),
    [](const ::testing::TestParamInfo<LocalCase> &info) { return info.param.label; });

class LocalFailureControl : public qx::test::RepositoryFixture {
 protected:
  qx::test::LogCapture log_;
  TempDir cache_;
};

// What the server refused keeps its reply.
TEST_F(LocalFailureControl, AMissingModelCarriesTheServersReply) {
  ClientConfig config;
  config.Clear();
  config.SetCacheLocation(cache_.Path());
  config.AddServer(Config());
  QuarnClient client(config, Rest());
  const Result result = client.DownloadModel(qx::test::ModelOn(Config(), "alice", "nothing"));
  EXPECT_THAT(result, IsResult(FETCH_FAILED));
  ASSERT_NE(result.Reply(), nullptr);
  EXPECT_EQ(result.Reply()->status, 404);
}

}  // namespace

