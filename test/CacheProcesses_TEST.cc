// Several quarn processes fetching the same model into one cache at once
// (or downloading it again, replacing what another just published, beside
// the fetches): every one succeeds with a complete tree, with the advisory
// lock and without it (as on a file system that ignores it).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/QuarnProcess.hh"
#include "support/GeneratedModels.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using qx::test::ContentWithoutSdf;
using qx::test::TempDir;

namespace {

struct RaceCase {
  int processes;
  const char *lockWait;  // QX_QUARN_LOCK_WAIT: "0" races without the lock
  bool forcedDownloads;  // every other process runs quarn download --force
};

class SameModelAtOnce : public qx::test::RepositoryFixture,
                        public ::testing::WithParamInterface<RaceCase> {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    served_ = qx::test::WriteModel(Root(), "alice", "crowd", 1, 300, 2048);
  }
  std::string served_;
};

TEST_P(SameModelAtOnce, EveryProcessGetsTheWholeTree) {
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    TempDir home;
    TempDir cache;
    ProcessOptions options;
    options.environment = {{"HOME", home.Path()},
                           {"QX_QUARN_CACHE_PATH", cache.Path()},
                           {"QX_QUARN_LOCK_WAIT", std::string(GetParam().lockWait)}};
    std::vector<std::unique_ptr<QuarnProcess>> children;
    const std::string url = Url() + "/1.0/alice/models/crowd";
    for (int i = 0; i < GetParam().processes; ++i) {
      const bool forced = GetParam().forcedDownloads && i % 2 == 1;
      children.push_back(std::make_unique<QuarnProcess>(
          QX_QUARN_CLI,
          forced ? std::vector<std::string>{"download", "--force", url + "/1"}
                 : std::vector<std::string>{"fetch", url},
          options));
    }
    // Every process ends before the trees are read: a forced download still
    // running swaps a new tree in and removes the old one, under the feet of
    // a walk that opened the old one's directories.
    std::vector<ProcessOutcome> outcomes;
    for (auto &child : children) outcomes.push_back(child->Wait());
    for (const ProcessOutcome &outcome : outcomes) {
      ASSERT_EQ(outcome.status, 0) << "round " << round << ": " << outcome.err;
      ASSERT_FALSE(outcome.out.empty());
      const std::string path = outcome.out.substr(0, outcome.out.find('\n'));
      EXPECT_EQ(ContentWithoutSdf(path), ContentWithoutSdf(served_)) << "round " << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SameModelAtOnce,
                         ::testing::Values(RaceCase{2, "600", false}, RaceCase{4, "600", false},
                                           RaceCase{2, "0", false}, RaceCase{4, "0", false},
                                           RaceCase{4, "600", true}, RaceCase{4, "0", true}),
                         [](const ::testing::TestParamInfo<RaceCase> &info) {
                           return std::to_string(info.param.processes) + "Processes" +
                                  (std::string(info.param.lockWait) == "0" ? "Unlocked" : "Locked") +
                                  (info.param.forcedDownloads ? "WithForcedDownloads" : "");
                         });

}  // namespace
