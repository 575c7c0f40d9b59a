#include "qx/quarn_tools/ModelIter.hh"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ListingRequest.hh"
#include "Routes.hh"
#include "support/EmptyRepository.hh"
#include "support/PagesAsked.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"
#include "support/Builders.hh"

namespace qx::quarn_tools {
namespace {

const qx::quarn_tools::ServerConfig kServer = qx::test::ServerAt("https://a.example");

using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::EmptyRepository;
using qx::test::IsolatedHome;
using qx::test::LogCapture;
using qx::test::AskedPages;
using qx::test::EndOfWindow;
using qx::test::ModelOn;
using qx::test::PagesAsked;
using qx::test::ServerAt;
using qx::test::TargetPath;

Model CachedModel(const std::string &name, const std::string &path) {
  auto record = std::make_shared<ModelPrivate>();
  record->identification = ModelOn(kServer, "o", name);
  record->pathOnDisk = path;
  return Model(record);
}

// The names the iterator yields, walking to the end.
std::vector<std::string> Walk(ModelIter &it) {
  std::vector<std::string> names;
  for (; it; ++it) names.push_back(it->Identification().Name());
  return names;
}

// ---- Model -----------------------------------------------------------------

TEST(Model, EmptyHandle) {
  const Model model;
  EXPECT_FALSE(model);
  EXPECT_EQ(model.Identification(), ModelIdentifier());
  EXPECT_EQ(model.PathToModel(), "");
  EXPECT_EQ(model.Fetch().Type(), RESULT_UNKNOWN);
}

TEST(Model, FetchTellsWhetherTheModelIsCached) {
  EXPECT_EQ(CachedModel("m", "/cache/o/models/m/1").Fetch().Type(), FETCH_CACHED);
  EXPECT_EQ(CachedModel("m", "").Fetch().Type(), FETCH_FAILED);
}

TEST(Model, CopiesShareTheRecord) {
  auto record = std::make_shared<ModelPrivate>();
  const Model a(record);
  const Model b = a;
  record->pathOnDisk = "/somewhere";
  record->identification.SetName("late");
  EXPECT_TRUE(b);
  EXPECT_EQ(b.PathToModel(), "/somewhere");
  EXPECT_EQ(a.Identification().Name(), "late");
}

// ---- List strategies ---------------------------------------------------------

TEST(ModelIter, EmptyFactoryIteratorIsAtItsEnd) {
  ModelIter it = ModelIterFactory::Create();
  EXPECT_FALSE(it);
  ++it;
  ++it;
  EXPECT_FALSE(it);
  EXPECT_FALSE(*it);
  EXPECT_EQ(it->Identification(), ModelIdentifier());
}

TEST(ModelIter, IdentifiersYieldNewUncachedModelsInOrder) {
  const std::vector<ModelIdentifier> ids{ModelOn(ServerAt("https://one.example"), "o", "a"),
                                         ModelOn(ServerAt("https://two.example"), "o", "b")};
  ModelIter it = ModelIterFactory::Create(ids);
  ASSERT_TRUE(it);
  EXPECT_EQ(it->Identification().Name(), "a");
  EXPECT_EQ(it->PathToModel(), "");
  EXPECT_EQ(it->Fetch().Type(), FETCH_FAILED);
  // Servers are left as they were.
  EXPECT_EQ(it->Identification().Server().Url().Str(), "https://one.example");
  const Model first = *it;
  ++it;
  ASSERT_TRUE(it);
  EXPECT_EQ(it->Identification().Server().Url().Str(), "https://two.example");
  ++it;
  EXPECT_FALSE(it);
  // After the end the last element stays; handles taken earlier stay valid.
  EXPECT_EQ(it->Identification().Name(), "b");
  ++it;
  EXPECT_EQ(it->Identification().Name(), "b");
  EXPECT_EQ(first.Identification().Name(), "a");
}

TEST(ModelIter, ModelsShareTheListedRecords) {
  const std::vector<Model> models{CachedModel("a", "/c/a"), CachedModel("b", "")};
  ModelIter it = ModelIterFactory::Create(models);
  ASSERT_TRUE(it);
  EXPECT_EQ(it->PathToModel(), "/c/a");
  EXPECT_EQ(it->Fetch().Type(), FETCH_CACHED);
  ++it;
  EXPECT_EQ(it->Fetch().Type(), FETCH_FAILED);
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"b"}));
  EXPECT_FALSE(it);
}

TEST(ModelIter, MovingLeavesTheSourceEmpty) {
  ModelIter source =
      ModelIterFactory::Create({ModelOn(kServer, "o", "a"), ModelOn(kServer, "o", "b")});
  ModelIter target(std::move(source));
  EXPECT_FALSE(source);  // NOLINT(bugprone-use-after-move): the documented state
  EXPECT_FALSE(*source);
  ++source;
  EXPECT_EQ(Walk(target), (std::vector<std::string>{"a", "b"}));

  ModelIter assigned = ModelIterFactory::Create();
  assigned = ModelIterFactory::Create({ModelOn(kServer, "o", "c")});
  EXPECT_EQ(Walk(assigned), (std::vector<std::string>{"c"}));
}

TEST(ModelIter, NullStrategyIsAnEmptyIterator) {
  ModelIter it{std::unique_ptr<ModelIterPrivate>()};
  EXPECT_FALSE(it);
  ++it;
  EXPECT_FALSE(*it);
}

// ---- Server listings -------------------------------------------------------

// Requests for page `page` of the listing `route` get `body` (JSON) with
// `status`. Pages are answered by their number, as a server does, whatever
// order the requests come in (pages are asked ahead, at once).
ResponseScript Page(std::size_t page, const std::string &body, int status = 200,
                    const std::string &route = "models") {
  ResponseScript script = qx::test::JsonAnswer(route, body, status);
  script.query = "page=" + std::to_string(page);
  return script;
}

class ModelIterServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Started()); }

  ServerConfig ListingServer() const { return ServerAt(server_.Url(), "sekret"); }

  ModelIter Listing(const std::string &api = "models") {
    Rest rest;
    rest.SetUserAgent("qx-tests/1.0");
    return ModelIterFactory::Create(rest, ListingServer(), api);
  }

  std::vector<std::size_t> Pages() const { return PagesAsked(server_.Requests()); }

  // Waits (a few seconds at most) until the server has seen page `page`.
  bool Asked(std::size_t page) const {
    for (int i = 0; i < 500; ++i) {
      for (const std::size_t asked : Pages())
        if (asked == page) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  IsolatedHome home_;
  EmptyRepository server_;
};

TEST_F(ModelIterServer, FirstPageRefusedEndsAtOnceAfterOneRequest) {
  server_.Script({Page(1, R"({"error": "none"})", 404)});
  ModelIter it = Listing();
  EXPECT_FALSE(it);
  EXPECT_FALSE(*it);
  ++it;
  EXPECT_EQ(Pages(), (std::vector<std::size_t>{1}));
}

// After the first page, the next ones are asked before the walk reaches
// them, a growing window at a time; the walk still yields every model in
// order, ends at the first page past the models, and asks for nothing
// past the window of the last page it took.
TEST_F(ModelIterServer, PagesAreAskedAheadOfTheWalk) {
  server_.Script({
      Page(1, R"([{"name": "a", "owner": "o"}, {"name": "b", "owner": "o"}])"),
      Page(2, R"([{"name": "c", "owner": "o"}, {"name": "d", "owner": "o"}])"),
      Page(3, "null\n"),
  });
  ModelIter it = Listing();
  ASSERT_TRUE(it);
  EXPECT_EQ(it->Identification().Name(), "a");
  // Pages 2 and 3 are asked while the walk is still on page 1.
  EXPECT_TRUE(Asked(2));
  EXPECT_TRUE(Asked(3));
  EXPECT_EQ(it->Identification().Name(), "a");
  ++it;
  EXPECT_EQ(it->Identification().Name(), "b");
  ++it;
  EXPECT_EQ(it->Identification().Name(), "c");
  ++it;
  EXPECT_EQ(it->Identification().Name(), "d");
  ++it;
  EXPECT_FALSE(it);
  // The last model stays after the end.
  EXPECT_EQ(it->Identification().Name(), "d");
  ++it;
  EXPECT_FALSE(it);
  EXPECT_TRUE(AskedPages(Pages(), 3, EndOfWindow(2)));
}

// A long listing: every model once, in order, whatever order the pages
// arrive in.
TEST_F(ModelIterServer, ALongListingYieldsEveryModelInOrder) {
  std::vector<std::string> expected;
  for (std::size_t page = 1; page <= 30; ++page) {
    std::string body = "[";
    for (int i = 0; i < 3; ++i) {
      const std::string name = "m" + std::to_string(page) + "-" + std::to_string(i);
      body += std::string(i == 0 ? "" : ", ") + R"({"name": ")" + name + R"(", "owner": "o"})";
      expected.push_back(name);
    }
    ResponseScript script = Page(page, body + "]");
    // Later pages come sooner.
    script.delay = std::chrono::milliseconds((30 - page) % 7 * 20);
    server_.Script({script});
  }
  server_.Script({Page(31, "[]")});
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), expected);
  EXPECT_TRUE(AskedPages(Pages(), 31, EndOfWindow(30)));
}

// A server that ignores page= answers every page with the first one: the
// listing ends at the first repeat, with a warning, instead of never.
TEST_F(ModelIterServer, APageThatRepeatsThePageBeforeEndsTheListing) {
  LogCapture log;
  server_.Script({qx::test::JsonAnswer("models", R"([{"name": "a", "owner": "o"}])")});
  ModelIter it = Listing();
  std::vector<std::string> names;
  for (; it; ++it) names.push_back(it->Identification().Name());
  EXPECT_EQ(names, (std::vector<std::string>{"a"}));
  EXPECT_TRUE(AskedPages(Pages(), 2, EndOfWindow(1)));
  EXPECT_TRUE(log.Contains("page 2 is the same as page 1 before it", qx::common::LOG_WARNING));
}

// Pages that come round again (A, B, A, ...) end the listing at the first
// page seen before.
TEST_F(ModelIterServer, APageThatRepeatsAnyEarlierPageEndsTheListing) {
  LogCapture log;
  const std::string a = R"([{"name": "a", "owner": "o"}])";
  const std::string b = R"([{"name": "b", "owner": "o"}])";
  for (std::size_t page = 1; page <= 12; ++page) server_.Script({Page(page, page % 2 ? a : b)});
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(AskedPages(Pages(), 3, EndOfWindow(2)));
  EXPECT_TRUE(log.Contains("page 3 is the same as page 1 before it", qx::common::LOG_WARNING));
}

TEST_F(ModelIterServer, RequestsCarryAcceptAndUserAgentButNoKey) {
  server_.Script({Page(1, R"([{"name": "a", "owner": "o"}])"), Page(2, "[]")});
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a"}));
  const auto requests = server_.Requests();
  EXPECT_TRUE(AskedPages(PagesAsked(requests), 2, EndOfWindow(1)));
  for (const RequestRecord &request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(TargetPath(request), "/1.0/models");
    EXPECT_EQ(request.Header("Accept"), "application/json");
    EXPECT_EQ(request.Header("User-Agent"), "qx-tests/1.0");
    EXPECT_FALSE(request.Header("Private-token"));
  }
}

TEST_F(ModelIterServer, ModelsCarryTheIteratorsServer) {
  server_.Script({Page(1, R"([{"name": "A", "owner": "O", "likes": 4}])")});
  ModelIter it = Listing();
  ASSERT_TRUE(it);
  const ModelIdentifier id = it->Identification();
  EXPECT_EQ(id.Name(), "a");
  EXPECT_EQ(id.LikeCount(), 4u);
  EXPECT_EQ(id.Server().Url().Str(), server_.Url());
  EXPECT_EQ(id.Server().ApiKey(), "sekret");
  EXPECT_EQ(it->Fetch().Type(), FETCH_FAILED);
}

// Whatever ends the listing at page 2, the page after it (asked ahead) is
// never yielded.
TEST_F(ModelIterServer, ListingEndsAtFailedOrEmptyPage) {
  for (const ResponseScript &second :
       {Page(2, "[]"), Page(2, "null\n"), Page(2, "[{\"name\": \"x\"}]", 500),
        Page(2, R"({"not": "an array"})")}) {
    EmptyRepository server;
    ASSERT_TRUE(server.Started());
    server.Script({Page(1, R"([{"name": "a"}])"), second, Page(3, R"([{"name": "never"}])")});
    LogCapture log;
    ModelIter it = ModelIterFactory::Create(Rest(), ServerAt(server.Url()), "models");
    EXPECT_EQ(Walk(it), (std::vector<std::string>{"a"})) << *second.body;
    EXPECT_TRUE(AskedPages(PagesAsked(server.Requests()), 2, EndOfWindow(1))) << *second.body;
  }
}

TEST_F(ModelIterServer, RejectedElementCutsThePageThenTheNextPageFollows) {
  server_.Script({
      Page(1, R"([{"name": "a"}, 7, {"name": "lost"}])"),
      Page(2, R"([{"name": "b"}])"),
      Page(3, "[]"),
  });
  LogCapture log;
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(AskedPages(Pages(), 3, EndOfWindow(2)));
  EXPECT_EQ(log.Count("Model isn't a json object!", qx::common::LOG_ERROR), 2);
}

TEST_F(ModelIterServer, BackslashRoutesGoOutWithSlashes) {
  server_.Script({Page(1, "[]", 200, "alice/collections/toys/models")});
  ModelIter it = Listing("alice\\collections\\toys\\models");
  EXPECT_FALSE(it);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(TargetPath(server_.Requests()[0]), "/1.0/alice%2Fcollections%2Ftoys%2Fmodels");
}

// Server, owner and collection listings are paged; the listing of one
// resource has one page, and nothing is asked ahead of it.
TEST(PagedListings, AreThoseWhoseRouteEndsInAKindWord) {
  const struct {
    const char *route;
    bool paged;
  } cases[] = {
      {"models", true},         {"worlds", true},
      {"alice/models", true},   {"alice\\worlds", true},
      {"alice/collections/toys/models", true},
      {"alice/models/box", false}, {"alice/worlds/garden", false},
      {"licenses", false},      {"", false},
  };
  for (const auto &c : cases) EXPECT_EQ(internal::routes::IsPagedListing(c.route), c.paged) << c.route;
}

// A listing takes at most kMaxPages pages, whichever order they arrived
// in: the page after the last one it may take ends it, with a warning, and
// a page repeated before the limit ends it there.
TEST(PagedListings, EndAfterTheMostPagesOneListingTakes) {
  LogCapture log;
  internal::ListingPages taken(kServer, "models");
  std::size_t page = 1;
  for (; page <= internal::ListingPages::kMaxPages; ++page) {
    if (taken.Ends(std::to_string(page), "[" + std::to_string(page) + "]")) break;
  }
  EXPECT_EQ(page, internal::ListingPages::kMaxPages + 1);
  EXPECT_FALSE(log.Contains("", qx::common::LOG_WARNING));
  EXPECT_TRUE(taken.Ends(std::to_string(page), "[" + std::to_string(page) + "]"));
  EXPECT_TRUE(log.Contains(
      "Listing [models] of https://a.example: ending the listing after 100000 pages",
      qx::common::LOG_WARNING));

  internal::ListingPages again(kServer, "models");
  EXPECT_FALSE(again.Ends("1", "[1]"));
  EXPECT_FALSE(again.Ends("2", "[2]"));
  EXPECT_TRUE(again.Ends("3", "[1]"));
  EXPECT_TRUE(log.Contains("page 3 is the same as page 1 before it", qx::common::LOG_WARNING));
}

TEST_F(ModelIterServer, TheListingOfOneResourceAsksNothingAhead) {
  server_.Script({Page(1, R"([{"name": "box", "owner": "alice"}])", 200, "alice/models/box")});
  ModelIter it = Listing("alice/models/box");
  EXPECT_EQ(it->Identification().Name(), "box");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Pages(), (std::vector<std::size_t>{1}));
}

// A listing given up part-way does not wait for the pages it asked ahead:
// they are cancelled.
TEST_F(ModelIterServer, DroppingAListingCancelsItsPagesAhead) {
  server_.Script({Page(1, R"([{"name": "a"}])")});
  for (std::size_t page = 2; page <= 3; ++page) {
    ResponseScript slow = Page(page, R"([{"name": "late"}])");
    slow.delay = std::chrono::seconds(60);
    server_.Script({slow});
  }
  std::chrono::steady_clock::duration dropping{};
  {
    ModelIter it = Listing();
    ASSERT_TRUE(Asked(2) && Asked(3));
    EXPECT_EQ(it->Identification().Name(), "a");
    const auto start = std::chrono::steady_clock::now();
    it = ModelIterFactory::Create();
    dropping = std::chrono::steady_clock::now() - start;
  }
  EXPECT_LT(dropping, std::chrono::seconds(5));
}

TEST(ModelIterUnreachable, EndsWithoutModels) {
  IsolatedHome home;
  LogCapture log;
  const std::string url = "http://127.0.0.1:" + std::to_string(qx::test::UnusedPort());
  ModelIter it = ModelIterFactory::Create(Rest(), ServerAt(url), "models");
  EXPECT_FALSE(it);
  EXPECT_TRUE(log.Contains("Error in REST request", qx::common::LOG_ERROR));
}

}  // namespace
}  // namespace qx::quarn_tools
