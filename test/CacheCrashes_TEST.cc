// A fetch killed with SIGKILL at each step of a save leaves nothing a lookup
// accepts, and nothing that a later successful fetch leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "support/Builders.hh"
#include "support/QuarnProcess.hh"
#include "support/GeneratedModels.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

using namespace qx::quarn_tools;
using qx::test::ProcessOptions;
using qx::test::ProcessOutcome;
using qx::test::QuarnProcess;
using qx::test::ContentWithoutSdf;
using qx::test::EntryNames;
using qx::test::TempDir;
using ::testing::ElementsAre;

namespace {

struct CrashCase {
  const char *phase;
  const char *n;
};

class CacheCrash : public qx::test::RepositoryFixture,
                   public ::testing::WithParamInterface<CrashCase> {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    served_ = qx::test::WriteModel(Root(), "alice", "crowd", 1, 120, 4096);
  }

  ProcessOutcome Fetch(const std::string &phase, const std::string &n = "") {
    std::vector<std::string> args{cache_.Path(), Url() + "/1.0/alice/models/crowd", phase};
    if (!n.empty()) args.push_back(n);
    ProcessOptions options;
    options.environment["HOME"] = cache_.Path();
    QuarnProcess child(QX_SAVE_CRASHER, args, options);
    return child.Wait();
  }

  std::string ResourceDir() const {
    const std::string url = Url();
    std::string authority = url.substr(url.find("//") + 2);
    authority.replace(authority.find(':'), 1, "%3A");
    return cache_.Join(authority + "/alice/models/crowd");
  }

  bool LookupFindsIt() {
    ClientConfig config;
    config.Clear();
    config.SetCacheLocation(cache_.Path());
    config.AddServer(Config());
    LocalCache cache(&config);
    return cache.MatchingModel(qx::test::ModelOn(Config(), "alice", "crowd")) || cache.AllModels();
  }

  TempDir cache_;
  std::string served_;
};

TEST_P(CacheCrash, LeavesNothingALookupAcceptsAndALaterFetchRepairsAll) {
  const ProcessOutcome killed = Fetch(GetParam().phase, GetParam().n);
  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  EXPECT_FALSE(LookupFindsIt());
  for (const std::string &name : EntryNames(ResourceDir()))
    EXPECT_TRUE(name == ".qxlock" || name == ".qxmanifest-1" || name.rfind(".qxstage-", 0) == 0)
        << name;

  const ProcessOutcome fetched = Fetch("none");
  ASSERT_EQ(fetched.status, 0) << fetched.err;
  EXPECT_EQ(fetched.out, ResourceDir() + "/1\n");
  EXPECT_EQ(ContentWithoutSdf(ResourceDir() + "/1"), ContentWithoutSdf(served_));
  EXPECT_THAT(EntryNames(ResourceDir()), ElementsAre(".qxlock", ".qxmanifest-1", "1"));
  EXPECT_TRUE(LookupFindsIt());
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, CacheCrash,
                         ::testing::Values(CrashCase{"body", "200000"}, CrashCase{"archive", ""},
                                           CrashCase{"unpack", "60"}, CrashCase{"sdf", ""},
                                           CrashCase{"record", ""}, CrashCase{"publish", ""}),
                         [](const ::testing::TestParamInfo<CrashCase> &info) {
                           return std::string(info.param.phase);
                         });

}  // namespace
