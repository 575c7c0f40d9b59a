// The download counters that front ends draw their progress line from.
#include <string>

#include <gtest/gtest.h>

#include <qx/quarn_tools/Progress.hh>

#include "support/ClientFixture.hh"

namespace {

using qx::quarn_tools::TransferProgress;
using qx::quarn_tools::currentTransferProgress;

class ProgressTest : public qx::test::ClientFixture {};

TEST_F(ProgressTest, ModelDownloadCountsItsBytesAndOneResource) {
  const TransferProgress before = currentTransferProgress();
  std::vector<qx::quarn_tools::ModelIdentifier> dependencies;
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box"), {}, dependencies));
  const TransferProgress after = currentTransferProgress();
  EXPECT_EQ(1u, after.resourcesStarted - before.resourcesStarted);
  EXPECT_EQ(1u, after.resourcesFinished - before.resourcesFinished);
  EXPECT_EQ(1u, after.resourcesSaved - before.resourcesSaved);
  EXPECT_EQ("box", after.latestResource);
  EXPECT_EQ("box", after.latestSaved);
  EXPECT_EQ(0u, after.resourcesUnpacking);  // the gauge is back down once unpacked
  const auto archive = Server().Requests("alice/models/box/tip/box.zip");
  ASSERT_EQ(1u, archive.size());
  // At least the archive's body came in (its size is what the server sent).
  EXPECT_GT(after.bytesReceived - before.bytesReceived, 100u);
}

TEST_F(ProgressTest, DependenciesAreResourcesOfTheirOwn) {
  const TransferProgress before = currentTransferProgress();
  ASSERT_TRUE(Client().DownloadModel(ModelId("bob", "wheel")));
  const TransferProgress after = currentTransferProgress();
  EXPECT_EQ(2u, after.resourcesStarted - before.resourcesStarted);  // wheel, then box
  EXPECT_EQ(2u, after.resourcesFinished - before.resourcesFinished);
  EXPECT_EQ(2u, after.resourcesSaved - before.resourcesSaved);
}

TEST_F(ProgressTest, FailedDownloadsFinishToo) {
  const TransferProgress before = currentTransferProgress();
  qx::quarn_tools::WorldIdentifier ghost;
  ghost.SetServer(Config());
  ghost.SetOwner("alice");
  ghost.SetName("ghost");
  EXPECT_FALSE(Client().DownloadWorld(ghost));
  EXPECT_FALSE(Client().DownloadModel(ModelId("alice", "ghost")));
  const TransferProgress after = currentTransferProgress();
  EXPECT_EQ(2u, after.resourcesStarted - before.resourcesStarted);
  EXPECT_EQ(2u, after.resourcesFinished - before.resourcesFinished);
  EXPECT_EQ(0u, after.resourcesSaved - before.resourcesSaved);  // nothing was saved
  EXPECT_EQ("ghost", after.latestResource);
}

TEST_F(ProgressTest, ListingsCountBytesButNoResources) {
  const TransferProgress before = currentTransferProgress();
  int models = 0;
  for (auto it = Client().Models(Config()); it; ++it) ++models;
  EXPECT_EQ(3, models);
  const TransferProgress after = currentTransferProgress();
  EXPECT_GT(after.bytesReceived, before.bytesReceived);
  EXPECT_EQ(before.resourcesStarted, after.resourcesStarted);
}

}  // namespace
