// How much of the cache `quarn download` reads: the tool's own download
// command, run in this process, over the model bob/wheel, which depends on
// one other model (alice/box), into a fresh cache. The library counts its
// walks over the cache and its reads of metadata files (WorkCounters.hh).
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.hh"
#include "Tool.hh"
#include "WorkCounters.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace {

using qx::quarn_tools::internal::currentWorkCounts;
using qx::quarn_tools::internal::WorkCounts;

// What one command read of the cache, and what it printed.
struct CommandRun {
  int status = -1;
  std::string out;
  WorkCounts work;
};

class DownloadBudget : public qx::test::RepositoryFixture {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    if (HasFatalFailure()) return;
    qx::test::WriteFile(home_.Cache() + "/config.yaml", "servers:\n  - url: " + Url() + "\n");
    qx::quarn_cli::showStatus(false);
  }

  // `quarn ARGS` through the tool's own command, in this process.
  CommandRun Quarn(std::vector<std::string> args) {
    CLI::App app("quarn", "quarn");
    qx::quarn_cli::Action action;
    qx::quarn_cli::addDownloadCommand(app, action);
    args.insert(args.begin(), "quarn");
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    app.parse(static_cast<int>(argv.size()), argv.data());
    CommandRun run;
    std::ostringstream out;
    std::streambuf *const previous = std::cout.rdbuf(out.rdbuf());
    const WorkCounts before = currentWorkCounts();
    run.status = action(qx::quarn_cli::ToolOptions());
    const WorkCounts after = currentWorkCounts();
    std::cout.rdbuf(previous);
    run.out = out.str();
    run.work.cacheWalks = after.cacheWalks - before.cacheWalks;
    run.work.modelConfigReads = after.modelConfigReads - before.modelConfigReads;
    run.work.metadataPbtxtReads = after.metadataPbtxtReads - before.metadataPbtxtReads;
    return run;
  }

  // Empties the cache, keeping the configuration file.
  void EmptyCache() {
    for (qx::common::DirIter it(home_.Cache()), end; it != end; ++it) {
      if (qx::common::basename(*it) != "config.yaml") qx::common::removeAll(*it);
    }
  }

  std::string WheelUrl() const { return Url() + "/1.0/bob/models/wheel"; }

 private:
  qx::test::IsolatedHome home_{true};
};

void Report(const std::string &what, const CommandRun &run) {
  std::cout << what << ": " << run.work.cacheWalks << " cache walks, " << run.work.modelConfigReads
            << " model.config reads, " << run.work.metadataPbtxtReads << " metadata.pbtxt reads\n";
}

// At most 3 walks over the cache, and each model's model.config read once
// (two models: the wheel and the box), with and without --json.
TEST_F(DownloadBudget, AModelWithOneDependency) {
  const CommandRun plain = Quarn({"download", WheelUrl()});
  ASSERT_EQ(plain.status, 0);
  Report("quarn download", plain);
  EXPECT_LE(plain.work.cacheWalks, 3u);
  EXPECT_EQ(plain.work.modelConfigReads, 2u);

  EmptyCache();
  const CommandRun json = Quarn({"download", WheelUrl(), "--json"});
  ASSERT_EQ(json.status, 0);
  Report("quarn download --json", json);
  EXPECT_LE(json.work.cacheWalks, 3u);
  EXPECT_EQ(json.work.modelConfigReads, 2u);
  EXPECT_NE(json.out.find("\"dependencies\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("alice/models/box/2"), std::string::npos) << json.out;
}

}  // namespace
