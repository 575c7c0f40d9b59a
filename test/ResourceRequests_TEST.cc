// Resources by URL: what ResourceRequests makes of each kind of URL, when
// the cache answers and when the server is asked (the server's request log
// is the witness), what the outcome says (the version delivered, where it
// lies, every dependency once), and why a request failed, one case per
// reason: a scripted server, a file system that fails, archives crafted to
// be wrong.
#include "qx/quarn_tools/ResourceRequests.hh"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <functional>
#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/Cancellation.hh>
#include <qx/quarn_tools/LocalCache.hh>
#include <string>
#include <thread>
#include <vector>

#include "support/ArchiveBuilder.hh"
#include "support/ClientFixture.hh"
#include "support/CraftedArchive.hh"
#include "support/FaultyFileSystem.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::ResponseScript;
using qx::test::CraftedArchive;
using qx::test::CraftedEntry;
using qx::test::LogCapture;
using qx::test::WriteFile;

class ResourceRequestsTest : public qx::test::ClientFixture {
 protected:
  ResourceRequests Requests() { return ResourceRequests(Client()); }

  // Answers the archive request of `route` once with `body` as `type`.
  void Answer(const std::string &route, const std::string &body,
              const std::string &type = "application/zip", int status = 200) {
    ResponseScript script;
    script.route = route;
    script.status = status;
    script.body = body;
    script.contentType = type;
    Server().AddScript(script);
  }

  std::vector<std::string> Versions(const std::vector<DownloadOutcome> &outcomes) {
    std::vector<std::string> versions;
    for (const DownloadOutcome &o : outcomes)
      versions.push_back(o.owner + "/" + o.name + "/" + std::to_string(o.version));
    return versions;
  }

  // Failures are the point here: no retries, which would only make them wait.
  qx::test::ScopedEnv noRetries_{"QX_QUARN_RETRIES", std::string("0")};
};

// ---- What a URL names ------------------------------------------------------

TEST_F(ResourceRequestsTest, ClassifiesEveryKindOfUrl) {
  const std::vector<std::pair<std::string, ResourceKind>> cases = {
      {ResourceUrl("alice/models/box"), ResourceKind::kModel},
      {ResourceUrl("bob/worlds/town/2"), ResourceKind::kWorld},
      {ResourceUrl("alice/models/box/tip/files/meshes/box.obj"), ResourceKind::kModelFile},
      {ResourceUrl("bob/worlds/town/1/files/town.sdf"), ResourceKind::kWorldFile},
      {ResourceUrl("alice/collections/favourites"), ResourceKind::kCollection},
      {ResourceUrl("alice/things/x"), ResourceKind::kUnknown},
      {"not a url", ResourceKind::kUnknown},
  };
  for (const auto &[url, kind] : cases) EXPECT_EQ(Requests().Classify(url).kind, kind) << url;
  const ResourceTarget file = Requests().Classify(ResourceUrl("alice/models/box/2/files/a/b.dae"));
  EXPECT_EQ(file.model.Name(), "box");
  EXPECT_EQ(file.model.Version(), 2u);
  EXPECT_EQ(file.file, "a/b.dae");
  EXPECT_TRUE(Server().Requests().empty());
}

// ---- The outcome -----------------------------------------------------------

TEST_F(ResourceRequestsTest, AModelsOutcomeNamesWhatWasDeliveredAndEveryDependencyOnce) {
  const DownloadOutcome robot = Requests().Download(ResourceUrl("alice/models/robot"));
  ASSERT_TRUE(robot) << robot.failure.text;
  EXPECT_EQ(robot.result.Type(), FETCH_DONE);
  EXPECT_EQ(robot.kind, ResourceKind::kModel);
  EXPECT_EQ(robot.url, ResourceUrl("alice/models/robot"));
  EXPECT_EQ(robot.server, Url());
  EXPECT_EQ(robot.apiVersion, "1.0");
  EXPECT_EQ(robot.owner, "alice");
  EXPECT_EQ(robot.version, 1u);
  EXPECT_EQ(robot.path, ServerCache() + "/alice/models/robot/1");
  EXPECT_FALSE(robot.fromCache);
  EXPECT_GT(robot.bytes, 100u);
  EXPECT_EQ(robot.failure.reason, FailureReason::kNone);
  // The wheel and box 1 it names, then the newest box the wheel names.
  EXPECT_EQ(Versions(robot.dependencies),
            (std::vector<std::string>{"bob/wheel/1", "alice/box/1", "alice/box/2"}));
  for (const DownloadOutcome &dependency : robot.dependencies) {
    EXPECT_EQ(dependency.result.Type(), FETCH_DONE) << dependency.name;
    EXPECT_TRUE(qx::common::isDirectory(dependency.path)) << dependency.path;
    EXPECT_GT(dependency.bytes, 0u);
    EXPECT_TRUE(dependency.dependencies.empty());
  }
  EXPECT_EQ(robot.dependencies[0].url, Url() + "/1.0/bob/models/wheel");

  // Asked again by its version, the cache answers, with the same tree.
  ClearSeen();
  const DownloadOutcome again = Requests().Download(ResourceUrl("alice/models/robot/1"));
  EXPECT_EQ(again.result.Type(), FETCH_CACHED);
  EXPECT_TRUE(again.fromCache);
  EXPECT_EQ(again.bytes, 0u);
  EXPECT_EQ(Versions(again.dependencies), Versions(robot.dependencies));
  EXPECT_TRUE(SeenRoutes().empty());
}

// ---- When the cache answers ------------------------------------------------

TEST_F(ResourceRequestsTest, TheCacheAnswersAsTheRulesSay) {
  const ResourceRequests requests = Requests();
  ASSERT_TRUE(requests.Download(ResourceUrl("alice/models/box/1")));
  struct Case {
    const char *what;
    bool fetch;
    std::string route;
    bool force;
    bool requested;
  };
  const std::vector<Case> cases = {
      {"fetch takes any cached version", true, "alice/models/box", false, false},
      {"download of a cached version", false, "alice/models/box/1", false, false},
      {"download of a cached version, forced", false, "alice/models/box/1", true, true},
      {"download without a version asks the server", false, "alice/models/box", false, true},
  };
  for (const Case &c : cases) {
    ClearSeen();
    RequestOptions options;
    options.force = c.force;
    const DownloadOutcome outcome = c.fetch ? requests.Fetch(ResourceUrl(c.route), options)
                                            : requests.Download(ResourceUrl(c.route), options);
    EXPECT_TRUE(outcome) << c.what;
    EXPECT_EQ(!SeenRoutes().empty(), c.requested) << c.what;
    EXPECT_EQ(outcome.fromCache, !c.requested) << c.what;
  }
}

TEST_F(ResourceRequestsTest, ACachedModelWithoutAllItNeedsIsDownloadedAgainOrFailsOffline) {
  ASSERT_TRUE(Requests().Download(ResourceUrl("alice/models/robot")));
  qx::common::removeAll(ServerCache() + "/bob/models/wheel");

  ClearSeen();
  Client().Config().SetOffline(true);
  const DownloadOutcome offline = Requests().Fetch(ResourceUrl("alice/models/robot"));
  EXPECT_EQ(offline.failure.reason, FailureReason::kOffline);
  EXPECT_EQ(offline.failure.text,
            "offline: dependency bob/wheel of alice/robot is not in the cache");
  ASSERT_FALSE(offline.dependencies.empty());
  EXPECT_EQ(offline.dependencies[0].result.Type(), FETCH_MISSING);
  EXPECT_EQ(offline.path, ServerCache() + "/alice/models/robot/1");
  // fetchResource's rule: the cached model is the answer.
  RequestOptions whatever;
  whatever.requireCachedDependencies = false;
  EXPECT_EQ(Requests().Fetch(ResourceUrl("alice/models/robot"), whatever).result.Type(),
            FETCH_CACHED);
  EXPECT_TRUE(SeenRoutes().empty());

  Client().Config().SetOffline(false);
  ClearSeen();
  const DownloadOutcome online = Requests().Fetch(ResourceUrl("alice/models/robot"));
  EXPECT_EQ(online.result.Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::isDirectory(ServerCache() + "/bob/models/wheel/1"));
  EXPECT_FALSE(SeenRoutes().empty());
}

TEST_F(ResourceRequestsTest, AFileIsFoundInItsVersionOrTheVersionIsFetchedAgain) {
  const DownloadOutcome file =
      Requests().Fetch(ResourceUrl("alice/models/box/tip/files/meshes//box.obj"));
  ASSERT_TRUE(file) << file.failure.text;
  EXPECT_EQ(file.kind, ResourceKind::kModelFile);
  EXPECT_EQ(file.path, ServerCache() + "/alice/models/box/2/meshes/box.obj");
  EXPECT_EQ(file.resourcePath, ServerCache() + "/alice/models/box/2");
  EXPECT_EQ(file.file, "meshes//box.obj");

  // Removed by hand: the version is fetched again, and has it.
  qx::common::removeAll(file.path);
  ClearSeen();
  const DownloadOutcome restored =
      Requests().Fetch(ResourceUrl("alice/models/box/tip/files/meshes/box.obj"));
  EXPECT_TRUE(restored) << restored.failure.text;
  EXPECT_EQ(SeenRoutes(), std::vector<std::string>{"alice/models/box/tip/box.zip"});

  // A file the version does not have.
  const DownloadOutcome missing = Requests().Fetch(ResourceUrl("bob/worlds/town/1/files/x.sdf"));
  EXPECT_EQ(missing.failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(missing.failure.text, "the file [x.sdf] is not part of version 1 of bob/town");
  EXPECT_EQ(missing.resourcePath, ServerCache() + "/bob/worlds/town/1");
  EXPECT_TRUE(missing.path.empty());

  // A file path that climbs out is refused before any request.
  ClearSeen();
  const DownloadOutcome out = Requests().Fetch(ResourceUrl("alice/models/box/tip/files/../../x"));
  EXPECT_EQ(out.failure.reason, FailureReason::kInvalidUrl);
  EXPECT_TRUE(SeenRoutes().empty());
}

TEST_F(ResourceRequestsTest, ACollectionHasAnOutcomePerMember) {
  RequestOptions options;
  options.jobs = 2;
  ResponseScript refuse;
  refuse.status = 503;
  refuse.body = "{\"message\": \"later\"}";
  for (const char *route : {"bob/worlds/town/tip/town.zip", "bob/worlds/town/2/town.zip"}) {
    refuse.route = route;
    Server().AddScript(refuse);
  }
  const DownloadOutcome collection =
      Requests().Download(ResourceUrl("alice/collections/favourites"), options);
  EXPECT_EQ(collection.kind, ResourceKind::kCollection);
  EXPECT_EQ(collection.name, "favourites");
  ASSERT_EQ(collection.members.size(), 3u);
  EXPECT_EQ(collection.members[0].name, "box");
  EXPECT_EQ(collection.members[1].name, "wheel");
  EXPECT_TRUE(collection.members[0]) << collection.members[0].failure.text;
  EXPECT_TRUE(collection.members[1]) << collection.members[1].failure.text;
  // The wheel's dependency, the newest box, downloaded as a member.
  EXPECT_EQ(Versions(collection.members[1].dependencies), std::vector<std::string>{"alice/box/2"});
  const DownloadOutcome &town = collection.members[2];
  EXPECT_EQ(town.kind, ResourceKind::kWorld);
  EXPECT_EQ(town.failure.reason, FailureReason::kServer);
  EXPECT_EQ(town.failure.serverText, "later");
  EXPECT_FALSE(collection);
  EXPECT_EQ(collection.failure.text, "1 of 3 downloads of collection [favourites] did not succeed");

  // Offline nothing is asked.
  Client().Config().SetOffline(true);
  ClearSeen();
  const DownloadOutcome offline = Requests().Download(ResourceUrl("alice/collections/favourites"));
  EXPECT_EQ(offline.failure.reason, FailureReason::kOffline);
  EXPECT_TRUE(SeenRoutes().empty());
}

// ---- Why a request failed: one case per reason -------------------------------

// A label, the reason expected and part of its words.
struct ReasonCase {
  const char *label;
  FailureReason reason;
  const char *text;
};

class Reasons : public ResourceRequestsTest {};

TEST_F(Reasons, EachReasonWithItsParts) {
  const std::string zipRoute = "carol/models/odd/tip/odd.zip";
  const std::string url = ResourceUrl("carol/models/odd");
  struct Case {
    ReasonCase expected;
    std::function<void()> arrange;
    std::string url;
  };
  const std::string unsupported =
      CraftedArchive()
          .Add(CraftedEntry{"model.config", "<model/>", true, std::nullopt, false, 6})
          .Bytes();
  const std::vector<Case> cases = {
      {{"InvalidUrl", FailureReason::kInvalidUrl, "fetch takes the URL of a model, world or file"},
       [] {},
       ResourceUrl("alice/collections/favourites")},
      {{"NotFound", FailureReason::kNotFound, "model carol/odd was not found on"}, [] {}, url},
      {{"Unauthorized", FailureReason::kUnauthorized, "refused access to model carol/odd (401)"},
       [&] { Answer(zipRoute, "{\"message\": \"token\"}", "application/json", 401); },
       url},
      {{"Server", FailureReason::kServer, "answered 500 for model carol/odd: disk on fire"},
       [&] { Answer(zipRoute, "disk on fire", "text/plain", 500); },
       url},
      {{"ContentType", FailureReason::kServer,
        "answered model carol/odd with the content type [application/json], not an archive"},
       [&] { Answer(zipRoute, "{}", "application/json"); },
       url},
      {{"NotAZip", FailureReason::kArchive, "the archive is not a valid zip (Not a zip archive)"},
       [&] { Answer(zipRoute, "these bytes are no archive"); },
       url},
      {{"CompressionMethod", FailureReason::kArchive,
        "the archive is not a valid zip (Compression method not supported)"},
       [&] { Answer(zipRoute, unsupported); },
       url},
      {{"Backslash", FailureReason::kArchive,
        "the archive holds an entry whose name has a backslash [..\\x5cevil.txt]"},
       [&] { Answer(zipRoute, CraftedArchive().File("..\\evil.txt", "x").Bytes()); },
       url},
      {{"NoModelConfig", FailureReason::kArchive, "the archive holds no model.config at its top"},
       [&] { Answer(zipRoute, CraftedArchive().File("odd/model.config", "<model/>").Bytes()); },
       url},
      {{"IncompleteServer", FailureReason::kOther, "is incomplete"},
       [] {},
       "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort()) + "/carol/models/odd"},
      {{"Network", FailureReason::kNetwork, "no answer from http://127.0.0.1:"},
       [] {},
       "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort()) + "/1.0/carol/models/odd"},
  };
  for (const Case &c : cases) {
    Server().ClearScripts();
    c.arrange();
    LogCapture log;
    const DownloadOutcome outcome = Requests().Fetch(c.url);
    EXPECT_FALSE(outcome) << c.expected.label;
    EXPECT_EQ(outcome.failure.reason, c.expected.reason)
        << c.expected.label << ": " << outcome.failure.text;
    EXPECT_NE(outcome.failure.text.find(c.expected.text), std::string::npos)
        << c.expected.label << ": " << outcome.failure.text;
    EXPECT_EQ(outcome.failure.text.find('\n'), std::string::npos) << c.expected.label;
    // Nothing of a failed download is left in the cache.
    EXPECT_FALSE(qx::common::exists(ServerCache() + "/carol/models/odd")) << c.expected.label;
  }
}

TEST_F(Reasons, TheServersPartsAndTheTransportsWords) {
  const DownloadOutcome ghost = Requests().Fetch(ResourceUrl("alice/models/ghost"));
  EXPECT_EQ(ghost.failure.status, 404);
  EXPECT_EQ(ghost.failure.server, Url());
  EXPECT_EQ(ghost.failure.resource, "model alice/ghost");
  ASSERT_NE(ghost.result.Reply(), nullptr);
  EXPECT_EQ(ghost.result.Reply()->status, 404);

  const std::string nowhere = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  const DownloadOutcome network = Requests().Fetch(nowhere + "/1.0/carol/models/odd");
  EXPECT_EQ(network.failure.status, 0);
  EXPECT_NE(network.failure.detail.find("onnect"), std::string::npos) << network.failure.detail;
  EXPECT_EQ(network.failure.text,
            "no answer from " + nowhere + " (" + network.failure.detail + ")");
}

TEST_F(Reasons, ADiskThatFillsIsTheCachesReasonWithTheSystemsWords) {
  qx::test::FaultyFileSystem disk;
  disk.FailWritesAfter(100, ENOSPC);
  const DownloadOutcome outcome = Requests().Fetch(ResourceUrl("alice/models/box"));
  EXPECT_EQ(outcome.failure.reason, FailureReason::kCache);
  EXPECT_EQ(outcome.failure.detail, "No space left on device");
  EXPECT_NE(outcome.failure.path.find(Cache()), std::string::npos) << outcome.failure.path;
  EXPECT_NE(outcome.failure.text.find("No space left on device"), std::string::npos);
}

// A call given a Cancellation ends alone when the handle is cancelled: its
// download fails as interrupted within a second, with nothing published and
// no staging directory left, while another thread's download through the
// same client goes on to its end.
TEST_F(ResourceRequestsTest, ACancelledCallEndsAloneAndTheOthersGoOn) {
  const std::vector<std::pair<std::string, std::chrono::milliseconds>> delays = {
      {"bob/models/wheel/tip/wheel.zip", std::chrono::seconds(30)},
      {"alice/models/box/tip/box.zip", std::chrono::milliseconds(1500)}};
  for (const auto &[route, delay] : delays) {
    ResponseScript slow;
    slow.route = route;
    slow.delay = delay;
    Server().AddScript(slow);
  }
  RequestOptions cancellable;
  cancellable.cancellation = Cancellation();
  DownloadOutcome cancelled;
  DownloadOutcome other;
  std::chrono::steady_clock::time_point ended;
  std::thread first([&] {
    cancelled = Requests().Fetch(ResourceUrl("bob/models/wheel"), cancellable);
    ended = std::chrono::steady_clock::now();
  });
  std::thread second([&] { other = Requests().Fetch(ResourceUrl("alice/models/box")); });
  while (RoutesWith(".zip").size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto cancelledAt = std::chrono::steady_clock::now();
  // A copy cancels the call as well as the handle it was given.
  const Cancellation copy = *cancellable.cancellation;
  copy.Cancel();
  first.join();
  second.join();
  EXPECT_LT(ended - cancelledAt, std::chrono::seconds(1));
  EXPECT_EQ(cancelled.failure.reason, FailureReason::kInterrupted) << cancelled.failure.text;
  EXPECT_TRUE(cancellable.cancellation->Cancelled());
  EXPECT_TRUE(other) << other.failure.text;
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/box/2"));
  for (const std::string &entry : qx::test::EntryNames(ServerCache() + "/bob/models/wheel"))
    EXPECT_EQ(entry.rfind(".qxstage", 0), std::string::npos) << entry;
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/bob/models/wheel/1"));
}

// A handle cancelled before the call: whatever needs the server fails as
// interrupted at once, in every call of the road; the cache still answers.
TEST_F(ResourceRequestsTest, ACancelledHandleStillLetsTheCacheAnswer) {
  ASSERT_TRUE(Requests().Download(ResourceUrl("alice/models/box/1")));
  RequestOptions options;
  options.cancellation = Cancellation();
  options.cancellation->Cancel();
  EXPECT_TRUE(Requests().Fetch(ResourceUrl("alice/models/box/1"), options));
  EXPECT_EQ(Requests().Fetch(ResourceUrl("alice/models/robot"), options).failure.reason,
            FailureReason::kInterrupted);
  EXPECT_EQ(Requests().Download(ResourceUrl("bob/models/wheel"), options).failure.reason,
            FailureReason::kInterrupted);
  const std::vector<DownloadOutcome> batch = Requests().FetchResources(
      {ResourceUrl("alice/models/box/1"), ResourceUrl("alice/models/robot")}, 2, options);
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_TRUE(batch[0]);
  EXPECT_EQ(batch[1].failure.reason, FailureReason::kInterrupted);
}

// An interrupt abandons the saves under way (as quarn does before it ends
// on a signal): the download that fails then was interrupted, whatever its
// steps say about the directory that went away under them.
TEST_F(Reasons, AnAbandonedSaveWasInterrupted) {
  qx::test::FaultyFileSystem disk;
  std::atomic<bool> abandoned{false};
  disk.SetHook([&](qx::test::FaultyFileSystem::Op op, const std::string &, const std::string &) {
    if (op == qx::test::FaultyFileSystem::Op::kAppend && !abandoned.exchange(true))
      abandonUnfinishedSaves();
  });
  const DownloadOutcome outcome = Requests().Fetch(ResourceUrl("alice/models/box"));
  EXPECT_TRUE(abandoned);
  EXPECT_EQ(outcome.failure.reason, FailureReason::kInterrupted) << outcome.failure.text;
  EXPECT_EQ(outcome.failure.text, "the download was interrupted");
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/box/2"));
  // What comes after the interrupt is no longer interrupted.
  disk.SetHook(nullptr);
  EXPECT_TRUE(Requests().Fetch(ResourceUrl("alice/models/box")));
}

TEST_F(Reasons, OfflineAndADependencyThatFailed) {
  Client().Config().SetOffline(true);
  const DownloadOutcome offline = Requests().Fetch(ResourceUrl("alice/models/box"));
  EXPECT_EQ(offline.failure.reason, FailureReason::kOffline);
  EXPECT_TRUE(Server().Requests().empty());
  Client().Config().SetOffline(false);

  WriteFile(Root() + "/carol/models/lonely/1/model.config",
            "<model><name>lonely</name><sdf version='1.9'>m.sdf</sdf><depend><model><uri>" + Url() +
                "/1.0/carol/models/missing</uri></model></depend></model>");
  const DownloadOutcome lonely = Requests().Download(ResourceUrl("carol/models/lonely"));
  EXPECT_EQ(lonely.failure.reason, FailureReason::kNotFound);
  EXPECT_EQ(
      lonely.failure.text.rfind(
          "its dependency " + Url() + "/1.0/carol/models/missing failed: model carol/missing", 0),
      0u)
      << lonely.failure.text;
  // The model itself was saved, and says where.
  EXPECT_EQ(lonely.path, ServerCache() + "/carol/models/lonely/1");
}

// ---- One object, many threads ------------------------------------------------

TEST_F(ResourceRequestsTest, ManyThreadsMayAskOneObject) {
  const ResourceRequests requests = Requests();
  const std::vector<std::string> routes = {"alice/models/robot", "alice/models/box",
                                           "bob/worlds/town", "alice/models/box/1/files/model.sdf"};
  std::vector<DownloadOutcome> outcomes(routes.size() * 2);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    threads.emplace_back(
        [&, i] { outcomes[i] = requests.Fetch(ResourceUrl(routes[i % routes.size()])); });
  }
  for (std::thread &thread : threads) thread.join();
  for (const DownloadOutcome &outcome : outcomes) {
    EXPECT_TRUE(outcome) << outcome.url << ": " << outcome.failure.text;
    EXPECT_TRUE(qx::common::exists(outcome.path)) << outcome.path;
  }
}

}  // namespace
}  // namespace qx::quarn_tools
