// Downloads on a network that breaks, with servers that are not ours, over
// HTTP/1.1 and over HTTP/2 (through nginx, where a body cut short is a reset
// stream): archives that break off resume with a range request (or start
// over where the server ignores ranges), a caller's token stays with the
// server it was meant for in a dependency walk, a batch keeps to a
// connection per worker (HTTP/1.1) or to one connection (HTTP/2), and bodies
// past the cache's limits are refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/Progress.hh>
#include <set>
#include <string>
#include <vector>

#include "support/ClientFixture.hh"
#include "support/GeneratedModels.hh"
#include "support/Matchers.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::ContentWithoutSdf;
using qx::test::HasLogLine;
using qx::test::IsResult;
using qx::test::LogCapture;
using qx::test::Protocol;

constexpr const char *kArchiveRoute = "alice/models/crowd/tip/crowd.zip";

class DownloadResilience : public qx::test::ProtocolClientFixture {
 protected:
  void SetUp() override {
    qx::test::ProtocolClientFixture::SetUp();
    if (HasFatalFailure()) return;
    served_ = qx::test::WriteModel(Root(), "alice", "crowd", 1, 40, 16 * 1024);
    // The archive as the server sends it.
    archive_ = Rest().Request(HttpMethod::GET, Url(), "1.0", kArchiveRoute, {"link=true"}, {}).data;
    ASSERT_GT(archive_.size(), 500000u);
    Server().ClearRequests();
  }

  // The archive request, cut once after `fraction` of the archive.
  ResponseScript CutOnce(double fraction) const {
    ResponseScript cut;
    cut.route = kArchiveRoute;
    cut.times = 1;
    cut.truncateAfter = static_cast<std::size_t>(archive_.size() * fraction);
    return cut;
  }

  std::string Cached() const { return ServerCache() + "/alice/models/crowd/1"; }

  LogCapture log_;
  std::string served_;
  std::string archive_;
};

QX_ON_BOTH_PROTOCOLS(DownloadResilience);

// Over HTTP/2, nginx resets the stream when the body from behind it breaks
// off; what it forwarded before is kept and resumed from.
TEST_P(DownloadResilience, AnArchiveCutAt60PercentResumesWithARange) {
  const ResponseScript cut = CutOnce(0.6);
  Server().AddScript(cut);
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "crowd")), IsResult(FETCH_DONE));
  const std::vector<RequestRecord> requests = Server().Requests(kArchiveRoute);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].Header("Range"));
  const std::optional<std::string> range = requests[1].Header("Range");
  ASSERT_TRUE(range);
  const std::size_t from = std::stoul(range->substr(range->find('=') + 1));
  if (GetParam() == Protocol::kHttp1) {
    EXPECT_EQ(from, *cut.truncateAfter);
  }
  EXPECT_GT(from, 0u);
  EXPECT_LE(from, *cut.truncateAfter);
  EXPECT_EQ(*range, "bytes=" + std::to_string(from) + "-");
  EXPECT_THAT(log_, HasLogLine(LOG_WARNING, "resuming at byte " + std::to_string(from)));
  EXPECT_EQ(ContentWithoutSdf(Cached()), ContentWithoutSdf(served_));
}

// A server that announces ranges but answers the range request with the
// whole archive: the download starts over from that answer.
TEST_P(DownloadResilience, AServerThatIgnoresTheRangeRestartsCleanly) {
  Server().AddScript(CutOnce(0.6));
  ResponseScript whole;
  whole.route = kArchiveRoute;
  whole.times = 1;
  whole.status = 200;
  whole.body = archive_;
  whole.contentType = "application/zip";
  whole.removeHeaders = {"Content-Range"};
  Server().AddScript(whole);
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "crowd")), IsResult(FETCH_DONE));
  EXPECT_EQ(Server().Requests(kArchiveRoute).size(), 2u);
  EXPECT_EQ(ContentWithoutSdf(Cached()), ContentWithoutSdf(served_));
}

// Without Accept-Ranges a broken archive is fetched again from its start.
TEST_P(DownloadResilience, WithoutRangesABrokenArchiveStartsOver) {
  ResponseScript cut = CutOnce(0.6);
  cut.removeHeaders = {"Accept-Ranges"};
  Server().AddScript(cut);
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "crowd")), IsResult(FETCH_DONE));
  const std::vector<RequestRecord> requests = Server().Requests(kArchiveRoute);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[1].Header("Range"));
  EXPECT_EQ(ContentWithoutSdf(Cached()), ContentWithoutSdf(served_));
}

TEST_P(DownloadResilience, AnArchiveOverTheUnpackLimitIsRefusedWhileItArrives) {
  Client().Config().SetMaxUnpackedSize(100 * 1024);
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "crowd")), IsResult(FETCH_FAILED));
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "is larger than the limit of 102400 bytes"));
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/crowd"));
}

TEST_P(DownloadResilience, ProgressKnowsWhatTheArchiveAnnounced) {
  const TransferProgress before = currentTransferProgress();
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "crowd")));
  const TransferProgress after = currentTransferProgress();
  EXPECT_GE(after.bytesExpected - before.bytesExpected, archive_.size());
  EXPECT_GE(after.bytesReceived - before.bytesReceived, archive_.size());
}

// A batch of downloads from one server keeps to a connection per worker
// (and one more for whatever else asks meanwhile) over HTTP/1.1, and to one
// connection over HTTP/2.
TEST_P(DownloadResilience, ABatchOpensAtMostAConnectionPerWorkerAndOneMore) {
  std::vector<ModelIdentifier> ids;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "m" + std::to_string(i);
    qx::test::WriteModel(Root(), "lab", name, 1, 2, 1024);
    ids.push_back(ModelId("lab", name));
  }
  constexpr std::size_t kJobs = 3;
  const auto results = Client().DownloadModels(ids, kJobs);
  ASSERT_EQ(results.size(), ids.size());
  EXPECT_LE(ClientConnections(), GetParam() == Protocol::kHttp2 ? 1u : kJobs + 1);
}

// -------------------------------------------------------------------------
// Tokens in a dependency walk

class DependencyTokens : public qx::test::ProtocolClientFixture {
 protected:
  void SetUp() override {
    qx::test::ProtocolClientFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(other_.Started()) << other_.Failure();
    // alice/desk here depends on alice/box of the other server.
    const std::string desk = Root() + "/alice/models/desk/1";
    qx::test::WriteFile(desk + "/model.config",
                        "<model><name>desk</name><sdf version='1.9'>model.sdf</sdf></model>");
    qx::test::WriteFile(desk + "/model.sdf", "<sdf version='1.9'/>");
    qx::test::WriteFile(desk + "/metadata.pbtxt",
                        "name: \"desk\"\nmodel { file: \"model.sdf\" }\n"
                        "dependencies { uri: \"" +
                            other_.Url() + "/1.0/alice/models/box\" }\n");
  }

  const RequestRecord &OtherArchiveRequest() {
    otherRequests_ = other_.Server().Requests("alice/models/box/tip/box.zip");
    EXPECT_EQ(otherRequests_.size(), 1u);
    static const RequestRecord none;
    return otherRequests_.empty() ? none : otherRequests_.front();
  }

  qx::test::ExampleServerOver other_{GetParam()};
  std::vector<RequestRecord> otherRequests_;
};

QX_ON_BOTH_PROTOCOLS(DependencyTokens);

TEST_P(DependencyTokens, ACallersTokenGoesOnlyToTheServerItWasGivenFor) {
  LogCapture log;
  const std::vector<std::string> headers{"Private-token: for-this-server", "X-Trace: 7"};
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "desk"), headers), IsResult(FETCH_DONE));
  const auto here = Server().Requests("alice/models/desk/tip/desk.zip");
  ASSERT_EQ(here.size(), 1u);
  EXPECT_EQ(here[0].Header("Private-token"), std::optional<std::string>("for-this-server"));
  const RequestRecord &there = OtherArchiveRequest();
  EXPECT_FALSE(there.Header("Private-token"));
  // Other header lines still go with every dependency request.
  EXPECT_EQ(there.Header("X-Trace"), std::optional<std::string>("7"));
}

TEST_P(DependencyTokens, ADependencyOnAnotherServerGetsThatServersOwnKey) {
  ServerConfig otherServer = other_.Config();
  otherServer.SetApiKey("key-of-the-other");
  Client().Config().AddServer(otherServer);
  EXPECT_THAT(Client().DownloadModel(ModelId("alice", "desk"), {"Private-token: mine"}),
              IsResult(FETCH_DONE));
  EXPECT_EQ(OtherArchiveRequest().Header("Private-token"),
            std::optional<std::string>("key-of-the-other"));
}

}  // namespace
}  // namespace qx::quarn_tools
