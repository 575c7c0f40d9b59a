#include "qx/quarn_tools/WorldIter.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "support/EmptyRepository.hh"
#include "support/PagesAsked.hh"
#include "support/TestSupport.hh"
#include "support/Builders.hh"

namespace qx::quarn_tools {
namespace {

const qx::quarn_tools::ServerConfig kServer = qx::test::ServerAt("https://a.example");

using qx::test::AskedPages;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::EmptyRepository;
using qx::test::EndOfWindow;
using qx::test::PagesAsked;
using qx::test::IsolatedHome;
using qx::test::LogCapture;
using qx::test::ServerAt;
using qx::test::WorldOn;
using qx::test::TargetPath;
using qx::test::TargetQuery;

std::vector<std::string> Walk(WorldIter &it) {
  std::vector<std::string> names;
  for (; it; ++it) names.push_back(it->Name());
  return names;
}

// Requests for the world listing with `query` (the first page has none)
// get `body` (JSON) with `status` and, when `link` is not empty, that
// "Link" header (none otherwise). Pages are answered by their query, as a
// server does, whatever order the requests come in (pages are asked
// ahead, at once).
ResponseScript Page(const std::string &query, const std::string &body,
                    const std::string &link = "", int status = 200) {
  ResponseScript page = qx::test::JsonAnswer("worlds", body, status);
  page.query = query;
  if (link.empty()) {
    page.removeHeaders.push_back("Link");
  } else {
    page.headers.emplace_back("Link", link);
  }
  return page;
}

// The query of each request, "(none)" for a target without "?".
std::vector<std::string> QueriesOf(const std::vector<RequestRecord> &requests) {
  std::vector<std::string> queries;
  for (const RequestRecord &request : requests)
    queries.push_back(TargetQuery(request).value_or("(none)"));
  return queries;
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
  WorldIter it = WorldIterFactory::Create(
      {WorldOn(ServerAt("https://one.example"), "o", "a"), WorldOn(kServer, "o", "b")});
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
  WorldIter source = WorldIterFactory::Create({WorldOn(kServer, "o", "a")});
  WorldIter target(std::move(source));
  EXPECT_FALSE(source);  // NOLINT(bugprone-use-after-move): the documented state
  EXPECT_EQ(source->Name(), "");
  ++source;
  EXPECT_EQ(Walk(target), (std::vector<std::string>{"a"}));
  WorldIter assigned = WorldIterFactory::Create();
  assigned = WorldIterFactory::Create({WorldOn(kServer, "o", "c")});
  EXPECT_EQ(Walk(assigned), (std::vector<std::string>{"c"}));
}

// ---- Server listings -------------------------------------------------------

class WorldIterServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Started()); }

  WorldIter Listing(const std::string &api = "worlds") {
    Rest rest;
    rest.SetUserAgent("qx-tests/1.0");
    return WorldIterFactory::Create(rest, ServerAt(server_.Url(), "sekret"), api);
  }

  std::vector<std::string> Queries() const { return QueriesOf(server_.Requests()); }

  std::string NextLink(const std::string &query) const {
    return "<" + server_.Url() + "/1.0/worlds?" + query + ">; rel=\"next\"";
  }

  IsolatedHome home_;
  EmptyRepository server_;
};

TEST_F(WorldIterServer, NoLinkMeansOneRequestWithoutQuery) {
  server_.Script({Page("", R"([{"name": "a"}, {"name": "b"}])")});
  WorldIter it = Listing();
  EXPECT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Queries(), (std::vector<std::string>{"(none)"}));
}

// The pages after the first are asked ahead by the number in the next link;
// the listing still follows the links, in order, and asks nothing past the
// window of the last page it took.
TEST_F(WorldIterServer, FollowsNextLinksAtConstruction) {
  server_.Script({
      Page("", R"([{"name": "a"}])", NextLink("page=2")),
      Page("page=2", R"([{"name": "b"}])", NextLink("page=3")),
      Page("page=3", R"([{"name": "c"}])"),
  });
  WorldIter it = Listing();
  const std::size_t asked = server_.Requests().size();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(server_.Requests().size(), asked);
  EXPECT_TRUE(AskedPages(PagesAsked(server_.Requests()), 3, EndOfWindow(2)));
}

// A long listing arrives whole and in order, however its pages are timed.
TEST_F(WorldIterServer, ALongListingArrivesWholeAndInOrder) {
  std::vector<std::string> expected;
  for (int page = 1; page <= 25; ++page) {
    const std::string name = "w" + std::to_string(page);
    ResponseScript script =
        Page(page == 1 ? "" : "page=" + std::to_string(page), R"([{"name": ")" + name + R"("}])",
             page < 25 ? NextLink("page=" + std::to_string(page + 1)) : "");
    script.delay = std::chrono::milliseconds((25 - page) % 5 * 20);
    server_.Script({script});
    expected.push_back(name);
  }
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), expected);
  EXPECT_TRUE(AskedPages(PagesAsked(server_.Requests()), 25, EndOfWindow(24)));
}

// A next link that does not count up is followed as it stands: what was
// asked ahead by the number is dropped, never listed.
TEST_F(WorldIterServer, ANextLinkThatJumpsIsFollowedAndPagesAskedAheadAreDropped) {
  server_.Script({
      Page("", R"([{"name": "a"}])", NextLink("page=2")),
      Page("page=2", R"([{"name": "b"}])", NextLink("page=10")),
      Page("page=3", R"([{"name": "wrong"}])", NextLink("page=4")),
      Page("page=10", R"([{"name": "c"}])", NextLink("cursor=x&page=next")),
      Page("page=next", R"([{"name": "d"}])"),
  });
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b", "c", "d"}));
  const std::vector<std::string> queries = Queries();
  for (const char *page : {"(none)", "page=2", "page=10", "page=next"})
    EXPECT_EQ(std::count(queries.begin(), queries.end(), page), 1) << page;
}

TEST_F(WorldIterServer, RequestsCarryAcceptAndUserAgentButNoKey) {
  server_.Script({Page("", R"([{"name": "a"}])", NextLink("page=2")), Page("page=2", "[]")});
  WorldIter it = Listing();
  const auto requests = server_.Requests();
  EXPECT_TRUE(AskedPages(PagesAsked(requests), 2, EndOfWindow(1)));
  for (const RequestRecord &request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(TargetPath(request), "/1.0/worlds");
    EXPECT_EQ(request.Header("Accept"), "application/json");
    EXPECT_EQ(request.Header("User-Agent"), "qx-tests/1.0");
    EXPECT_FALSE(request.Header("Private-token"));
  }
}

// A page size written before the page number is not taken for it.
TEST_F(WorldIterServer, PerPageIsNotThePage) {
  server_.Script({
      Page("", R"([{"name": "a"}])", NextLink("per_page=1&page=2")),
      Page("page=2", R"([{"name": "b"}])", NextLink("per_page=1&page=3")),
      Page("page=3", R"([{"name": "c"}])"),
  });
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(AskedPages(PagesAsked(server_.Requests()), 3, EndOfWindow(2)));
}

// Ever new next links over the same page: the first repeat ends it.
TEST_F(WorldIterServer, APageThatRepeatsThePageBeforeEndsTheListing) {
  LogCapture log;
  server_.Script({Page("", R"([{"name": "a"}])", NextLink("page=2"))});
  for (int page = 2; page < 12; ++page) {
    server_.Script({Page("page=" + std::to_string(page), R"([{"name": "a"}])",
                         NextLink("page=" + std::to_string(page + 1)))});
  }
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(AskedPages(PagesAsked(server_.Requests()), 2, EndOfWindow(1)));
  EXPECT_TRUE(log.Contains("page 2 is the same as page 1 before it", qx::common::LOG_WARNING));
}

// Ever new next links over pages that come round again (A, B, A, ...).
TEST_F(WorldIterServer, APageThatRepeatsAnyEarlierPageEndsTheListing) {
  LogCapture log;
  const std::string a = R"([{"name": "a"}])";
  const std::string b = R"([{"name": "b"}])";
  server_.Script({Page("", a, NextLink("page=2"))});
  for (int page = 2; page < 12; ++page) {
    server_.Script({Page("page=" + std::to_string(page), page % 2 == 0 ? b : a,
                         NextLink("page=" + std::to_string(page + 1)))});
  }
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(AskedPages(PagesAsked(server_.Requests()), 3, EndOfWindow(2)));
  EXPECT_TRUE(log.Contains("page 3 is the same as page 1 before it", qx::common::LOG_WARNING));
}

TEST_F(WorldIterServer, PrevPieceBeforeNextIsSkipped) {
  const std::string link = "<" + server_.Url() + "/1.0/worlds?page=1>; rel=\"prev\", " +
                           NextLink("page=3");
  server_.Script({Page("", R"([{"name": "a"}])", link), Page("page=3", R"([{"name": "b"}])")});
  WorldIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  const std::vector<std::string> queries = Queries();
  EXPECT_EQ(std::count(queries.begin(), queries.end(), "(none)"), 1);
  EXPECT_EQ(std::count(queries.begin(), queries.end(), "page=3"), 1);
  EXPECT_EQ(std::count(queries.begin(), queries.end(), "page=2"), 0);
}

TEST_F(WorldIterServer, WorldsCarryTheIteratorsServer) {
  LogCapture log;
  server_.Script({Page("", R"([{"name": "W", "owner": "O", "version": 2}])")});
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

// Each case: the responses, the worlds listed, the pages the listing needed
// (asked once each) and the last page it may have asked ahead.
struct PagingCase {
  const char *label;
  std::vector<ResponseScript> responses;
  std::vector<std::string> worlds;
  std::size_t needed;
  std::size_t most;
};

TEST_F(WorldIterServer, ListingEnds) {
  const auto next = [this](const std::string &query) { return NextLink(query); };
  const std::vector<PagingCase> cases{
      {"first page refused", {Page("", "[]", "", 404)}, {}, 1, 1},
      {"refused later page keeps earlier ones",
       {Page("", R"([{"name": "a"}])", next("page=2")),
        Page("page=2", R"([{"name": "x"}])", "", 500), Page("page=3", R"([{"name": "never"}])")},
       {"a"},
       2,
       EndOfWindow(1)},
      {"null page", {Page("", "null\n", next("page=2"))}, {}, 1, 1},
      {"empty page despite a next link",
       {Page("", "[]", next("page=2")), Page("page=2", R"([{"name": "never"}])")},
       {},
       1,
       1},
      {"not an array", {Page("", R"({"name": "a"})", next("page=2"))}, {}, 1, 1},
      {"rejected element ends the page, the link is still followed",
       {Page("", R"([{"name": "a"}, 3, {"name": "lost"}])", next("page=2")),
        Page("page=2", R"([{"name": "b"}])")},
       {"a", "b"},
       2,
       EndOfWindow(1)},
      {"next piece without page=",
       {Page("", R"([{"name": "a"}])",
             "<" + server_.Url() + "/1.0/worlds?cursor=9>; rel=\"next\""),
        Page("page=2", R"([{"name": "never"}])")},
       {"a"},
       1,
       1},
      {"next names the first page",
       {Page("", R"([{"name": "a"}])", next("page=1")),
        Page("page=1", R"([{"name": "again"}])")},
       {"a"},
       1,
       1},
      {"next names a page already fetched",
       {Page("", R"([{"name": "a"}])", next("page=2")),
        Page("page=2", R"([{"name": "b"}])", next("page=02")),
        Page("page=02", R"([{"name": "again"}])")},
       {"a", "b"},
       2,
       EndOfWindow(1)},
      {"link without next",
       {Page("", R"([{"name": "a"}])",
             "<" + server_.Url() + "/1.0/worlds?page=2>; rel=\"last\"")},
       {"a"},
       1,
       1},
      {"next link without closing bracket",
       {Page("", R"([{"name": "a"}])", "rel=next; page=2"), Page("page=2", R"([{"name": "b"}])")},
       {"a", "b"},
       2,
       EndOfWindow(1)},
  };
  for (const PagingCase &c : cases) {
    EmptyRepository server;
    ASSERT_TRUE(server.Started());
    server.Script(c.responses);
    LogCapture log;
    // Links in the cases point at server_; only the query is taken from them.
    WorldIter it = WorldIterFactory::Create(Rest(), ServerAt(server.Url()), "worlds");
    EXPECT_EQ(Walk(it), c.worlds) << c.label;
    EXPECT_TRUE(AskedPages(PagesAsked(server.Requests()), c.needed, c.most)) << c.label;
  }
}

TEST_F(WorldIterServer, BackslashRoutesGoOutWithSlashes) {
  ResponseScript page = Page("", R"([{"name": "a"}])");
  page.route = "bob/worlds";
  server_.Script({page});
  WorldIter it = Listing("bob\\worlds");
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(TargetPath(server_.Requests()[0]), "/1.0/bob%2Fworlds");
}

}  // namespace
}  // namespace qx::quarn_tools
