#include "qx/quarn_tools/WorldIter.hh"

#include <gtest/gtest.h>

#include "support/ScriptedServer.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::IsolatedHome;
using qx::test::JsonResponse;
using qx::test::LogCapture;
using qx::test::RecordedRequest;
using qx::test::ScriptedResponse;
using qx::test::ScriptedServer;

ServerConfig Server(const std::string &url, const std::string &key = "") {
  ServerConfig server;
  server.SetUrl(qx::common::URI(url, true));
  server.SetApiKey(key);
  return server;
}

WorldIdentifier World(const std::string &name, const std::string &server = "https://a.example") {
  WorldIdentifier id;
  id.SetServer(Server(server));
  id.SetOwner("o");
  id.SetName(name);
  return id;
}

std::vector<std::string> Walk(WorldIter &it) {
  std::vector<std::string> names;
  for (; it; ++it) names.push_back(it->Name());
  return names;
}

// A page of worlds with an optional "Link" header.
ScriptedResponse Page(const std::string &body, const std::string &link = "") {
  ScriptedResponse response = JsonResponse(body);
  if (!link.empty()) response.headers.emplace_back("Link", link);
  return response;
}

// ---- List strategy -----------------------------------------------------------

TEST(WorldIter, EmptyFactoryIteratorIsAtItsEnd) {
  WorldIter it = WorldIterFactory::Create();
  EXPECT_FALSE(it);
  ++it;
  EXPECT_FALSE(it);
  EXPECT_EQ(it->Name(), "");
  const WorldIdentifier copy = it;
  EXPECT_EQ(copy, WorldIdentifier());
}

TEST(WorldIter, ListYieldsCopiesInOrderAndKeepsTheLast) {
  WorldIter it = WorldIterFactory::Create({World("a", "https://one.example"), World("b")});
  ASSERT_TRUE(it);
  EXPECT_EQ(it->Server().Url().Str(), "https://one.example");
  const WorldIdentifier first = it;
  EXPECT_EQ(first.Name(), "a");
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(it);
  EXPECT_EQ((*it).Name(), "b");
  ++it;
  EXPECT_EQ(it->Name(), "b");
}

TEST(WorldIter, MovingLeavesTheSourceEmpty) {
  WorldIter source = WorldIterFactory::Create({World("a")});
  WorldIter target(std::move(source));
  EXPECT_FALSE(source);  // NOLINT(bugprone-use-after-move): the documented state
  EXPECT_EQ(source->Name(), "");
  ++source;
  EXPECT_EQ(Walk(target), (std::vector<std::string>{"a"}));
  WorldIter assigned = WorldIterFactory::Create();
  assigned = WorldIterFactory::Create({World("c")});
  EXPECT_EQ(Walk(assigned), (std::vector<std::string>{"c"}));
}

// ---- Server listings -------------------------------------------------------

class WorldIterServer : public ::testing::Test {
 protected:
  WorldIter Listing(const std::string &api = "worlds") {
    Rest rest;
    rest.SetUserAgent("qx-tests/1.0");
    return WorldIterFactory::Create(rest, Server(server_.Url(), "sekret"), api);
  }

  std::vector<std::string> Queries() const {
    std::vector<std::string> queries;
    for (const RecordedRequest &request : server_.Requests()) {
      queries.push_back(request.hasQuery ? request.rawQuery : "(none)");
    }
    return queries;
  }

  std::string NextLink(const std::string &query) const {
    return "<" + server_.Url() + "/1.0/worlds?" + query + ">; rel=\"next\"";
  }

  IsolatedHome home_;
  ScriptedServer server_;
};

TEST_F(WorldIterServer, NoLinkMeansOneRequestWithoutQuery) {
  server_.SetResponses({Page(R"([{"name": "a"}, {"name": "b"}])")});
  WorldIter it = Listing();
  EXPECT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Queries(), (std::vector<std::string>{"(none)"}));
}

TEST_F(WorldIterServer, FollowsNextLinksAtConstruction) {
  server_.SetResponses({
      Page(R"([{"name": "a"}])", NextLink("page=2")),
      Page(R"([{"name": "b"}])", NextLink("page=3")),
      Page(R"([{"name": "c"}])"),
  });
  WorldIter it = Listing();
  EXPECT_EQ(server_.RequestCount(), 3u);
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(server_.RequestCount(), 3u);
  EXPECT_EQ(Queries(), (std::vector<std::string>{"(none)", "page=2", "page=3"}));
}

TEST_F(WorldIterServer, RequestsCarryAcceptAndUserAgentButNoKey) {
  server_.SetResponses({Page(R"([{"name": "a"}])", NextLink("page=2")), Page("[]")});
  WorldIter it = Listing();
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const RecordedRequest &request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.rawPath, "/1.0/worlds");
    EXPECT_EQ(request.Header("Accept"), "application/json");
    EXPECT_EQ(request.Header("User-Agent"), "qx-tests/1.0");
    EXPECT_FALSE(request.HasHeader("Private-token"));
  }
}

TEST_F(WorldIterServer, PrevPieceBeforeNextIsSkipped) {
  const std::string link = "<" + server_.Url() + "/1.0/worlds?page=1>; rel=\"prev\", " +
                           NextLink("page=3");
  server_.SetResponses({Page(R"([{"name": "a"}])", link), Page(R"([{"name": "b"}])")});
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Queries(), (std::vector<std::string>{"(none)", "page=3"}));
}

TEST_F(WorldIterServer, WorldsCarryTheIteratorsServer) {
  LogCapture log;
  server_.SetResponses({Page(R"([{"name": "W", "owner": "O", "version": 2}])")});
  WorldIter it = Listing();
  ASSERT_TRUE(it);
  EXPECT_EQ(it->Name(), "w");
  EXPECT_EQ(it->Owner(), "o");
  EXPECT_EQ(it->Version(), 2u);
  EXPECT_EQ(it->Server().Url().Str(), server_.Url());
  EXPECT_EQ(it->Server().ApiKey(), "sekret");
  EXPECT_TRUE(log.Contains("Got response [[{\"name\": \"W\"", qx::common::LOG_DEBUG))
      << log.Text();
}

// Each case: the responses, the worlds listed, the queries sent.
struct PagingCase {
  const char *label;
  std::vector<ScriptedResponse> responses;
  std::vector<std::string> worlds;
  std::vector<std::string> queries;
};

TEST_F(WorldIterServer, ListingEnds) {
  const auto next = [this](const std::string &query) { return NextLink(query); };
  const std::vector<PagingCase> cases{
      {"first page refused", {JsonResponse("[]", 404)}, {}, {"(none)"}},
      {"refused later page keeps earlier ones",
       {Page(R"([{"name": "a"}])", next("page=2")), JsonResponse(R"([{"name": "x"}])", 503)},
       {"a"},
       {"(none)", "page=2"}},
      {"null page", {Page("null\n", next("page=2"))}, {}, {"(none)"}},
      {"empty page despite a next link",
       {Page("[]", next("page=2")), Page(R"([{"name": "never"}])")},
       {},
       {"(none)"}},
      {"not an array", {Page(R"({"name": "a"})", next("page=2"))}, {}, {"(none)"}},
      {"rejected element ends the page, the link is still followed",
       {Page(R"([{"name": "a"}, 3, {"name": "lost"}])", next("page=2")),
        Page(R"([{"name": "b"}])")},
       {"a", "b"},
       {"(none)", "page=2"}},
      {"next piece without page=",
       {Page(R"([{"name": "a"}])", "<" + server_.Url() + "/1.0/worlds?cursor=9>; rel=\"next\""),
        Page(R"([{"name": "never"}])")},
       {"a"},
       {"(none)"}},
      {"next names the first page",
       {Page(R"([{"name": "a"}])", next("page=1")), Page(R"([{"name": "again"}])")},
       {"a"},
       {"(none)"}},
      {"next names a page already fetched",
       {Page(R"([{"name": "a"}])", next("page=2")), Page(R"([{"name": "b"}])", next("page=02")),
        Page(R"([{"name": "again"}])")},
       {"a", "b"},
       {"(none)", "page=2"}},
      {"link without next",
       {Page(R"([{"name": "a"}])", "<" + server_.Url() + "/1.0/worlds?page=2>; rel=\"last\"")},
       {"a"},
       {"(none)"}},
      {"next link without closing bracket",
       {Page(R"([{"name": "a"}])", "rel=next; page=2"), Page(R"([{"name": "b"}])")},
       {"a", "b"},
       {"(none)", "page=2"}},
  };
  for (const PagingCase &c : cases) {
    ScriptedServer server;
    server.SetResponses(c.responses);
    LogCapture log;
    // Links in the cases point at server_; only the query is taken from them.
    WorldIter it = WorldIterFactory::Create(Rest(), Server(server.Url()), "worlds");
    EXPECT_EQ(Walk(it), c.worlds) << c.label;
    std::vector<std::string> queries;
    for (const RecordedRequest &request : server.Requests()) {
      queries.push_back(request.hasQuery ? request.rawQuery : "(none)");
    }
    EXPECT_EQ(queries, c.queries) << c.label;
  }
}

TEST_F(WorldIterServer, BackslashRoutesGoOutWithSlashes) {
  server_.SetResponses({Page(R"([{"name": "a"}])")});
  WorldIter it = Listing("bob\\worlds");
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(server_.Requests()[0].rawPath, "/1.0/bob%2Fworlds");
}

}  // namespace
}  // namespace qx::quarn_tools
