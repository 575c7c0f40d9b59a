// Parallel downloads against our repository server: the model queue that
// grows with dependencies and the window of world downloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <system_error>

#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/Progress.hh>

#include "Cancellation.hh"
#include "ClientBatchDownloads.hh"
#include "support/ClientFixture.hh"
#include "support/GeneratedModels.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::WriteFile;

std::system_error NoThread() {
  return std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                           "no thread");
}

// "owner/name" of each result, with " failed" after those that failed.
std::vector<std::string> Names(const std::vector<std::tuple<ModelIdentifier, Result>> &results) {
  std::vector<std::string> names;
  for (const auto &[id, result] : results)
    names.push_back(id.Owner() + "/" + id.Name() + (result ? "" : " failed"));
  return names;
}
std::vector<std::string> Names(const std::vector<internal::BatchDownload> &results) {
  std::vector<std::string> names;
  for (const internal::BatchDownload &download : results)
    names.push_back(download.id.Owner() + "/" + download.id.Name() +
                    (download.made.outcome ? "" : " failed"));
  return names;
}

class ClientBatchDownloads : public qx::test::ClientFixture {
 protected:
  // A model OWNER/models/NAME/1 on the server whose model.config names the
  // models `dependencies` ("owner/name") of the same server.
  void ServeModel(const std::string &owner, const std::string &name,
                  const std::vector<std::string> &dependencies = {}) {
    std::string depends;
    for (const std::string &dependency : dependencies) {
      const std::size_t slash = dependency.find('/');
      depends +=
          "<depend><model><uri>" +
          ResourceUrl(dependency.substr(0, slash) + "/models/" + dependency.substr(slash + 1)) +
          "</uri></model></depend>";
    }
    const std::string dir = Root() + "/" + owner + "/models/" + name + "/1/";
    WriteFile(dir + "model.config", "<?xml version='1.0'?><model><name>" + name +
                                        "</name><sdf version='1.9'>model.sdf</sdf>" + depends +
                                        "</model>");
    WriteFile(dir + "model.sdf", "<sdf version='1.9'><model name='" + name + "'/></sdf>");
  }

  void ServeWorld(const std::string &owner, const std::string &name) {
    WriteFile(Root() + "/" + owner + "/worlds/" + name + "/1/" + name + ".sdf", "<sdf/>");
  }

  // Makes every archive request of `route` wait a little, so that downloads
  // that may overlap do.
  void SlowDown(const std::string &route) {
    ResponseScript slow;
    slow.route = route;
    slow.delay = std::chrono::milliseconds(150);
    Server().AddScript(slow);
  }

  // The archive requests the server saw.
  std::vector<RequestRecord> ArchiveRequests() {
    std::vector<RequestRecord> archives;
    for (const RequestRecord &record : Server().Requests())
      if (record.route.size() > 4 && record.route.substr(record.route.size() - 4) == ".zip")
        archives.push_back(record);
    return archives;
  }

  // The most requests the server was answering at once.
  std::size_t PeakConcurrency() {
    std::size_t peak = 0;
    for (const RequestRecord &record : Server().Requests())
      peak = std::max(peak, record.concurrent);
    return peak;
  }

  // How many archive requests each route got.
  std::map<std::string, int> ArchiveCounts() {
    std::map<std::string, int> counts;
    for (const RequestRecord &record : ArchiveRequests()) ++counts[record.route];
    return counts;
  }

  // Thread starts for a model batch of which those numbered `failFrom` to
  // `failTo` (counting from 1) fail as a system out of threads would;
  // starts_ counts them all, running_ the threads that have not ended.
  internal::BatchThreads StartsFailing(int failFrom, int failTo) {
    internal::BatchThreads threads;
    threads.startWorker = [this, failFrom, failTo](internal::BatchThreads::Work work) {
      ++starts_;
      if (starts_ >= failFrom && starts_ <= failTo) throw NoThread();
      return std::thread([this, work] {
        ++running_;
        work();
        --running_;
      });
    };
    return threads;
  }
  int starts_ = 0;
  std::atomic<int> running_{0};

  // The text of the last progress line of the world window.
  static std::string LastProgress(const LogCapture &log) {
    std::string last;
    for (const auto &[level, line] : log.Lines()) {
      const std::size_t at = line.find("Downloaded: ");
      if (at != std::string::npos && level == qx::common::LOG_MESSAGE) last = line.substr(at);
    }
    return last;
  }
};

// ------------------------------------------------------------------ models

TEST_F(ClientBatchDownloads, SharedDependencyIsFetchedOnce) {
  ServeModel("carol", "shared");
  ServeModel("carol", "x", {"carol/shared"});
  ServeModel("carol", "y", {"carol/shared"});
  LogCapture log;
  const auto results = Client().DownloadModels({ModelId("carol", "x"), ModelId("carol", "y")}, 2);

  std::vector<std::string> names = Names(results);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"carol/shared", "carol/x", "carol/y"}));
  EXPECT_EQ(ArchiveCounts(), (std::map<std::string, int>{{"carol/models/shared/tip/shared.zip", 1},
                                                         {"carol/models/x/tip/x.zip", 1},
                                                         {"carol/models/y/tip/y.zip", 1}}));
  // Both downloads report the dependency; it is queued once.
  EXPECT_EQ(log.Count("Adding 1 model dependencies to queue from x", qx::common::LOG_DEBUG), 1);
  EXPECT_EQ(log.Count("Adding 1 model dependencies to queue from y", qx::common::LOG_DEBUG), 1);
  EXPECT_TRUE(log.Contains("Preparing to download 2 models with 2 worker threads",
                           qx::common::LOG_MESSAGE));
  EXPECT_TRUE(log.Contains("Finished, downloaded 3 models in total", qx::common::LOG_MESSAGE));
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/carol/models/shared/1/model.config"));
}

TEST_F(ClientBatchDownloads, ModelNamedTwiceIsFetchedTwiceNeverAtOnce) {
  SlowDown("alice/models/box/tip/box.zip");
  const auto results =
      Client().DownloadModels({ModelId("alice", "box"), ModelId("alice", "box")}, 2);
  EXPECT_EQ(Names(results), (std::vector<std::string>{"alice/box", "alice/box"}));
  const auto archives = ArchiveRequests();
  ASSERT_EQ(archives.size(), 2u);
  // Two downloads of one model would unpack into the same directory: the
  // second waits for the first.
  EXPECT_EQ(archives[0].concurrent, 1u);
  EXPECT_EQ(archives[1].concurrent, 1u);
  const std::string sdf = ReadFile(ServerCache() + "/alice/models/box/2/model.sdf");
  EXPECT_NE(sdf.find(Url() + "/1.0/alice/models/box/2/files/meshes/box.obj"), std::string::npos)
      << sdf;
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/box/2/box.zip"));
}

TEST_F(ClientBatchDownloads, DependenciesFoundByTheLastDownloadAreFetchedToo) {
  ServeModel("carol", "c");
  ServeModel("carol", "b", {"carol/c"});
  ServeModel("carol", "a", {"carol/b"});
  // While a is downloading, the queue is empty, but the batch is not over.
  SlowDown("carol/models/a/tip/a.zip");
  SlowDown("carol/models/b/tip/b.zip");
  const auto results = Client().DownloadModels({ModelId("carol", "a")}, 2);
  EXPECT_EQ(Names(results), (std::vector<std::string>{"carol/a", "carol/b", "carol/c"}));
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/carol/models/c/1/model.config"));
}

TEST_F(ClientBatchDownloads, DependencyKeysOnTheUniqueName) {
  // robot names bob/wheel and alice/box/1; wheel names alice/box (newest),
  // which differs from the queued alice/box/1 only in its version.
  const auto results = Client().DownloadModels({ModelId("alice", "robot")}, 3);
  std::vector<std::string> names = Names(results);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alice/box", "alice/robot", "bob/wheel"}));
  EXPECT_EQ(ArchiveCounts().count("alice/models/box/1/box.zip"), 1u);
  EXPECT_EQ(ArchiveCounts().count("alice/models/box/tip/box.zip"), 0u);
}

TEST_F(ClientBatchDownloads, FailuresAreRecordedAndTheBatchGoesOn) {
  const auto results =
      Client().DownloadModels({ModelId("carol", "missing"), ModelId("alice", "box")}, 1);
  EXPECT_EQ(Names(results), (std::vector<std::string>{"carol/missing failed", "alice/box"}));
  EXPECT_EQ(std::get<1>(results[0]).Type(), FETCH_FAILED);
  EXPECT_EQ(std::get<1>(results[1]).Type(), FETCH_DONE);
}

TEST_F(ClientBatchDownloads, NoJobsMeansOneAndNoModelsMeansNothing) {
  LogCapture log;
  EXPECT_EQ(Names(Client().DownloadModels({ModelId("alice", "box")}, 0)),
            std::vector<std::string>{"alice/box"});
  EXPECT_TRUE(log.Contains("Preparing to download 1 models with 1 worker threads"));
  EXPECT_TRUE(Client().DownloadModels({}, 4).empty());
  EXPECT_TRUE(log.Contains("Finished, downloaded 0 models in total", qx::common::LOG_MESSAGE));
  EXPECT_EQ(ArchiveRequests().size(), 1u);
}

TEST_F(ClientBatchDownloads, WorkerThatCannotStartStopsTheBatch) {
  const auto parts = Parts();
  LogCapture log;
  internal::ClientBatchDownloads batches(parts->downloads, StartsFailing(2, 2));
  const auto results = batches.Models({ModelId("alice", "box"), ModelId("bob", "wheel")}, 3);
  EXPECT_EQ(starts_, 2);
  EXPECT_EQ(running_, 0);
  EXPECT_TRUE(log.Contains("Unable to start download worker thread 2 of 3: no thread",
                           qx::common::LOG_ERROR));
  EXPECT_FALSE(log.Contains("Preparing to download"));
  // The started worker may have taken a model before the batch stopped: what
  // it took it finished, and what it finished is reported.
  EXPECT_EQ(ArchiveRequests().size(), results.size());
  EXPECT_TRUE(
      log.Contains("Finished, downloaded " + std::to_string(results.size()) + " models in total"));
}

// The first fetch thread cannot start: nothing is fetched, the workers
// started end, and the batch says why.
TEST_F(ClientBatchDownloads, FetchThreadThatCannotStartStopsTheBatch) {
  const auto parts = Parts();
  LogCapture log;
  // Two workers start, then the first fetch thread does not.
  internal::ClientBatchDownloads batches(parts->downloads, StartsFailing(3, 3));
  const auto results = batches.Models({ModelId("alice", "box"), ModelId("bob", "wheel")}, 2);
  EXPECT_EQ(starts_, 3);
  EXPECT_EQ(running_, 0);
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(log.Contains("Unable to start a download fetch thread: no thread",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(ArchiveRequests().empty());
}

// Fetch threads beyond the first that cannot start leave the batch to the
// ones that did.
TEST_F(ClientBatchDownloads, FewerFetchThreadsStillFetchEverything) {
  const auto parts = Parts();
  // Two workers and one fetch thread start, and no thread after them.
  internal::ClientBatchDownloads batches(parts->downloads, StartsFailing(4, 1000));
  std::vector<std::string> names = Names(batches.Models(
      {ModelId("alice", "box"), ModelId("bob", "wheel"), ModelId("alice", "robot")}, 2));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(running_, 0);
  // robot names box/1 too: box (newest) and box/1 are one resource.
  EXPECT_EQ(names, (std::vector<std::string>{"alice/box", "alice/robot", "bob/wheel"}));
}

// A batch whose caller gives up ends at once: every download is reported,
// failed as interrupted, without an error line; nothing is published and
// nothing is left half-saved.
TEST_F(ClientBatchDownloads, ACancelledBatchEndsAtOnceAndSavesNothing) {
  for (const char *route : {"alice/models/box/tip/box.zip", "bob/models/wheel/tip/wheel.zip",
                            "alice/models/robot/tip/robot.zip"}) {
    ResponseScript slow;
    slow.route = route;
    slow.delay = std::chrono::seconds(30);
    Server().AddScript(slow);
  }
  const auto parts = Parts();
  internal::ClientBatchDownloads batches(parts->downloads);
  LogCapture log;
  const internal::CancelToken token;
  std::vector<internal::BatchDownload> results;
  std::chrono::steady_clock::time_point ended;
  std::thread batch([&] {
    const internal::CancelScope scope(token);
    results = batches.Models(
        {ModelId("alice", "box"), ModelId("bob", "wheel"), ModelId("alice", "robot")}, 2);
    ended = std::chrono::steady_clock::now();
  });
  while (ArchiveRequests().size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto cancelled = std::chrono::steady_clock::now();
  token.Cancel();
  batch.join();
  EXPECT_LT(ended - cancelled, std::chrono::seconds(2));
  for (const internal::BatchDownload &download : results) {
    EXPECT_EQ(download.made.outcome.failure.reason, FailureReason::kInterrupted)
        << download.id.UniqueName() << ": " << download.made.outcome.failure.text;
  }
  std::vector<std::string> names = Names(results);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alice/box failed", "alice/robot failed",
                                             "bob/wheel failed"}));
  // Nothing failed: the caller gave up, and nothing alarming is logged.
  EXPECT_EQ(log.Count("", qx::common::LOG_ERROR) + log.Count("", qx::common::LOG_WARNING), 0)
      << log.Text();
  for (const char *resource : {"/alice/models/box", "/bob/models/wheel", "/alice/models/robot"}) {
    const std::vector<std::string> left = qx::test::EntryNames(ServerCache() + resource);
    for (const std::string &entry : left)
      EXPECT_EQ(entry.rfind(".qxstage", 0), std::string::npos) << entry;
    EXPECT_FALSE(qx::common::exists(ServerCache() + resource + "/1"));
    EXPECT_FALSE(qx::common::exists(ServerCache() + resource + "/2"));
  }
}

// ------------------------------------------------------------------ worlds

class ClientBatchWorlds : public ClientBatchDownloads {
 protected:
  void SetUp() override {
    ClientBatchDownloads::SetUp();
    for (const char *name : {"w1", "w2", "w3"}) ServeWorld("carol", name);
    for (const char *route :
         {"alice/worlds/garden/tip/garden.zip", "bob/worlds/town/tip/town.zip",
          "carol/worlds/w1/tip/w1.zip", "carol/worlds/w2/tip/w2.zip", "carol/worlds/w3/tip/w3.zip"})
      SlowDown(route);
  }

  std::vector<WorldIdentifier> Five(const std::string &last = "w3") const {
    return {WorldId("alice", "garden"), WorldId("bob", "town"), WorldId("carol", "w1"),
            WorldId("carol", "w2"), WorldId("carol", last)};
  }
};

TEST_F(ClientBatchWorlds, FiveWorldsWithTwoJobsNeverHaveMoreThanTwoInFlight) {
  LogCapture log;
  EXPECT_EQ(Client().DownloadWorlds(Five(), 2).Type(), FETCH_DONE);
  EXPECT_EQ(ArchiveRequests().size(), 5u);
  EXPECT_LE(PeakConcurrency(), 2u);
  EXPECT_TRUE(
      log.Contains("Using 2 jobs to download collection of 5 items", qx::common::LOG_MESSAGE));
  EXPECT_EQ(LastProgress(log), "Downloaded: 5 / 5\n");
  EXPECT_FALSE(log.Contains("", qx::common::LOG_ERROR));
  for (const char *dir : {"/alice/worlds/garden/1/garden.sdf", "/bob/worlds/town/2/town.sdf",
                          "/carol/worlds/w3/1/w3.sdf"})
    EXPECT_TRUE(qx::common::exists(ServerCache() + dir)) << dir;
}

TEST_F(ClientBatchWorlds, OneFailingWorldIsLoggedAndNotCounted) {
  LogCapture log;
  EXPECT_EQ(Client().DownloadWorlds(Five("none"), 2).Type(), FETCH_DONE);
  EXPECT_EQ(log.Count("Fetch failed. Other errors", qx::common::LOG_ERROR), 1);
  EXPECT_EQ(LastProgress(log), "Downloaded: 4 / 5\n");
  EXPECT_LE(PeakConcurrency(), 2u);
}

TEST_F(ClientBatchWorlds, WorldNamedTwiceIsNeverFetchedTwiceAtOnce) {
  LogCapture log;
  EXPECT_EQ(
      Client().DownloadWorlds({WorldId("alice", "garden"), WorldId("alice", "garden")}, 2).Type(),
      FETCH_DONE);
  const auto archives = ArchiveRequests();
  ASSERT_EQ(archives.size(), 2u);
  EXPECT_EQ(archives[0].concurrent, 1u);
  EXPECT_EQ(archives[1].concurrent, 1u);
  EXPECT_EQ(LastProgress(log), "Downloaded: 2 / 2\n");
}

TEST_F(ClientBatchWorlds, NoJobsMeansOneAndNoWorldsMeansNothing) {
  LogCapture log;
  EXPECT_EQ(Client().DownloadWorlds({WorldId("carol", "w1"), WorldId("carol", "w2")}, 0).Type(),
            FETCH_DONE);
  EXPECT_TRUE(log.Contains("Using 1 jobs to download collection of 2 items"));
  EXPECT_EQ(PeakConcurrency(), 1u);
  EXPECT_EQ(LastProgress(log), "Downloaded: 2 / 2\n");
  log.Clear();
  EXPECT_EQ(Client().DownloadWorlds({}, 2).Type(), FETCH_DONE);
  EXPECT_TRUE(log.Contains("Using 2 jobs to download collection of 0 items"));
  EXPECT_EQ(LastProgress(log), "");
}

TEST_F(ClientBatchWorlds, TaskThatCannotStartEndsTheLaunchesAndTheRestIsCollected) {
  const auto parts = Parts();
  int starts = 0;
  std::atomic<int> running{0};
  internal::BatchThreads threads;
  threads.startTask = [&](internal::BatchThreads::Task task) {
    if (++starts == 3) throw NoThread();
    return std::async(std::launch::async, [&running, task] {
      ++running;
      Result result = task();
      --running;
      return result;
    });
  };
  LogCapture log;
  internal::ClientBatchDownloads batches(parts->downloads, threads);
  // One outcome per world asked for, whether its download started or not.
  EXPECT_EQ(batches.Worlds(Five(), 2).size(), 5u);
  EXPECT_EQ(starts, 3);
  EXPECT_EQ(running, 0);
  EXPECT_TRUE(log.Contains("Unable to start the download of world [" +
                               WorldId("carol", "w1").UniqueName() + "]: no thread",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(log.Contains("3 of 5 downloads not started.", qx::common::LOG_ERROR));
  EXPECT_EQ(LastProgress(log), "Downloaded: 2 / 5\n");
  EXPECT_EQ(ArchiveRequests().size(), 2u);
}

// ---------------------------------------------- our server and the mirror

// A collection as quarn download fetches one: its listings, then its models
// (with their dependencies) and worlds in parallel, from our server and from
// nginx over a mirror export.
class CollectionDownloads : public qx::test::ServedClientFixture {};
QX_ON_BOTH_BACKENDS(CollectionDownloads);

TEST_P(CollectionDownloads, ModelsWithDependenciesAndWorldsOfACollection) {
  CollectionIdentifier collection;
  collection.SetServer(Config());
  collection.SetOwner("alice");
  collection.SetName("favourites");
  std::vector<ModelIdentifier> models;
  for (ModelIter it = Client().Models(collection); it; ++it) models.push_back(it->Identification());
  std::vector<WorldIdentifier> worlds;
  for (WorldIter it = Client().Worlds(collection); it; ++it) worlds.push_back(*it);
  ASSERT_EQ(models.size(), 2u);
  ASSERT_EQ(worlds.size(), 1u);

  for (const auto &[id, result] : Client().DownloadModels(models, 2))
    EXPECT_TRUE(result) << id.UniqueName();
  EXPECT_EQ(Client().DownloadWorlds(worlds, 2).Type(), FETCH_DONE);
  for (const char *file : {"/alice/models/box/2/model.config", "/bob/models/wheel/1/model.config",
                           "/bob/worlds/town/2/town.sdf"})
    EXPECT_TRUE(qx::common::exists(ServerCache() + file)) << file;
  std::vector<std::string> archives = RoutesWith(".zip");
  std::sort(archives.begin(), archives.end());
  // The listings name the versions they hold.
  EXPECT_EQ(archives, (std::vector<std::string>{"alice/models/box/2/box.zip",
                                                "bob/models/wheel/1/wheel.zip",
                                                "bob/worlds/town/2/town.zip"}));
}

// ---------------------------------------------- over both protocols

// A batch whose jobs bound the saves running at once, while its fetches run
// as many at once as the transport carries to the server: the streams of
// one connection over HTTP/2, one connection per job over HTTP/1.1.
class BatchFetches : public qx::test::ProtocolClientFixture {
 protected:
  static constexpr std::size_t kModels = 16;
  static constexpr std::size_t kJobs = 2;

  // Models lab/m0 ... of 24 files of 32 KiB each, whose archives take a
  // while to come, so that fetches that may overlap do.
  std::vector<ModelIdentifier> ServeModels(std::size_t count) {
    std::vector<ModelIdentifier> ids;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string name = "m" + std::to_string(i);
      qx::test::WriteModel(Root(), "lab", name, 1, 24, 32 * 1024);
      ids.push_back(ModelId("lab", name));
      ResponseScript slow;
      slow.route = "lab/models/" + name + "/tip/" + name + ".zip";
      slow.delay = std::chrono::milliseconds(300);
      Server().AddScript(slow);
    }
    return ids;
  }

  std::size_t MostArchivesAtOnce() {
    std::size_t most = 0;
    for (const RequestRecord &record : Server().Requests())
      if (record.route.find(".zip") != std::string::npos) most = std::max(most, record.concurrent);
    return most;
  }

  // The batch of `ids` with `jobs`, and the most saves that were unpacking
  // at once meanwhile, as the progress counters showed them every 200
  // microseconds.
  std::vector<std::tuple<ModelIdentifier, Result>> Batch(const std::vector<ModelIdentifier> &ids,
                                                         std::size_t jobs) {
    std::atomic<bool> done{false};
    std::uint64_t most = 0;
    std::thread watch([&] {
      while (!done) {
        most = std::max(most, currentTransferProgress().resourcesUnpacking);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    auto results = Client().DownloadModels(ids, jobs);
    done = true;
    watch.join();
    mostSavesAtOnce_ = most;
    return results;
  }

  std::uint64_t mostSavesAtOnce_ = 0;
};
QX_ON_BOTH_PROTOCOLS(BatchFetches);

TEST_P(BatchFetches, JobsBoundTheSavesAndTheTransportBoundsTheFetches) {
  const auto results = Batch(ServeModels(kModels), kJobs);
  ASSERT_EQ(results.size(), kModels);
  for (const auto &[id, result] : results) EXPECT_TRUE(result) << id.UniqueName();
  EXPECT_LE(mostSavesAtOnce_, kJobs);
  if (GetParam() == qx::test::Protocol::kHttp2) {
    EXPECT_GE(MostArchivesAtOnce(), 4 * kJobs);
    EXPECT_EQ(ClientConnections(), 1u);
  } else {
    EXPECT_LE(MostArchivesAtOnce(), kJobs);
    EXPECT_LE(ClientConnections(), kJobs + 1);
  }
}

// However many fetches the transport would carry, one model named many
// times is fetched and saved by one download at a time (two would unpack
// into the same directory), and each naming is reported.
TEST_P(BatchFetches, AModelNamedManyTimesIsNeverFetchedNorSavedTwiceAtOnce) {
  const std::vector<ModelIdentifier> same(4, ServeModels(1)[0]);
  const auto results = Batch(same, 4);
  EXPECT_EQ(Names(results), std::vector<std::string>(4, "lab/m0"));
  EXPECT_EQ(Server().Requests("lab/models/m0/tip/m0.zip").size(), 4u);
  EXPECT_EQ(MostArchivesAtOnce(), 1u);
  EXPECT_LE(mostSavesAtOnce_, 1u);
}

// Fetches running far ahead of the saves lose no model: every one named is
// reported once for each time it was named, those that could not be
// fetched as failed, and the batch goes on past them.
TEST_P(BatchFetches, EveryModelNamedIsReportedOnceForEachNaming) {
  std::vector<ModelIdentifier> ids = ServeModels(10);
  ids.insert(ids.begin() + 3, ModelId("lab", "missing"));
  ids.push_back(ids[5]);
  ids.push_back(ModelId("lab", "gone"));
  std::multiset<std::string> named;
  for (const ModelIdentifier &id : ids) {
    const bool missing = id.Name() == "missing" || id.Name() == "gone";
    named.insert(id.Owner() + "/" + id.Name() + (missing ? " failed" : ""));
  }
  const auto results = Batch(ids, kJobs);
  const std::vector<std::string> names = Names(results);
  EXPECT_EQ(std::multiset<std::string>(names.begin(), names.end()), named);
  EXPECT_LE(mostSavesAtOnce_, kJobs);
}

}  // namespace
}  // namespace qx::quarn_tools
