#include "qx/quarn_tools/ModelIter.hh"

#include <gtest/gtest.h>

#include "support/EmptyRepository.hh"
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
using qx::test::ModelOn;
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

// The next request for the listing `route` gets `body` (JSON) with `status`.
ResponseScript Page(const std::string &body, int status = 200,
                    const std::string &route = "models") {
  return qx::test::JsonAnswer(route, body, status, 1);
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

  std::vector<std::string> Queries() const {
    std::vector<std::string> queries;
    for (const RequestRecord &request : server_.Requests()) queries.push_back(request.query);
    return queries;
  }

  IsolatedHome home_;
  EmptyRepository server_;
};

TEST_F(ModelIterServer, FirstPageRefusedEndsAtOnceAfterOneRequest) {
  server_.Script({Page(R"({"error": "none"})", 404)});
  ModelIter it = Listing();
  EXPECT_FALSE(it);
  EXPECT_FALSE(*it);
  ++it;
  EXPECT_EQ(Queries(), (std::vector<std::string>{"page=1"}));
}

TEST_F(ModelIterServer, PagesAreRequestedAsTheWalkCrossesThem) {
  server_.Script({
      Page(R"([{"name": "a", "owner": "o"}, {"name": "b", "owner": "o"}])"),
      Page(R"([{"name": "c", "owner": "o"}, {"name": "d", "owner": "o"}])"),
      Page("null\n"),
  });
  ModelIter it = Listing();
  ASSERT_TRUE(it);
  EXPECT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(it->Identification().Name(), "a");
  ++it;
  EXPECT_EQ(it->Identification().Name(), "b");
  EXPECT_EQ(server_.Requests().size(), 1u);
  ++it;
  EXPECT_EQ(it->Identification().Name(), "c");
  EXPECT_EQ(server_.Requests().size(), 2u);
  ++it;
  EXPECT_EQ(it->Identification().Name(), "d");
  EXPECT_EQ(server_.Requests().size(), 2u);
  ++it;
  EXPECT_FALSE(it);
  EXPECT_EQ(server_.Requests().size(), 3u);
  // The last model stays after the end.
  EXPECT_EQ(it->Identification().Name(), "d");
  ++it;
  EXPECT_EQ(server_.Requests().size(), 3u);
  EXPECT_EQ(Queries(), (std::vector<std::string>{"page=1", "page=2", "page=3"}));
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
  EXPECT_EQ(Queries(), (std::vector<std::string>{"page=1", "page=2"}));
  EXPECT_TRUE(log.Contains("page 2 is the same as page 1 before it", qx::common::LOG_WARNING));
}

// Pages that come round again (A, B, A, ...) end the listing at the first
// page seen before.
TEST_F(ModelIterServer, APageThatRepeatsAnyEarlierPageEndsTheListing) {
  LogCapture log;
  const std::string a = R"([{"name": "a", "owner": "o"}])";
  const std::string b = R"([{"name": "b", "owner": "o"}])";
  server_.Script({Page(a), Page(b), Page(a), Page(b), Page(a)});
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Queries(), (std::vector<std::string>{"page=1", "page=2", "page=3"}));
  EXPECT_TRUE(log.Contains("page 3 is the same as page 1 before it", qx::common::LOG_WARNING));
}

TEST_F(ModelIterServer, RequestsCarryAcceptAndUserAgentButNoKey) {
  server_.Script({Page(R"([{"name": "a", "owner": "o"}])"), Page("[]")});
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a"}));
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const RequestRecord &request : requests) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(TargetPath(request), "/1.0/models");
    EXPECT_EQ(request.Header("Accept"), "application/json");
    EXPECT_EQ(request.Header("User-Agent"), "qx-tests/1.0");
    EXPECT_FALSE(request.Header("Private-token"));
  }
}

TEST_F(ModelIterServer, ModelsCarryTheIteratorsServer) {
  server_.Script({Page(R"([{"name": "A", "owner": "O", "likes": 4}])")});
  ModelIter it = Listing();
  ASSERT_TRUE(it);
  const ModelIdentifier id = it->Identification();
  EXPECT_EQ(id.Name(), "a");
  EXPECT_EQ(id.LikeCount(), 4u);
  EXPECT_EQ(id.Server().Url().Str(), server_.Url());
  EXPECT_EQ(id.Server().ApiKey(), "sekret");
  EXPECT_EQ(it->Fetch().Type(), FETCH_FAILED);
}

TEST_F(ModelIterServer, ListingEndsAtFailedOrEmptyPage) {
  struct Case {
    ResponseScript second;
    std::size_t requestsAfterWalk;
  };
  for (const Case &c : {Case{Page("[]"), 2}, Case{Page("null\n"), 2},
                        Case{Page("[{\"name\": \"x\"}]", 500), 2},
                        Case{Page(R"({"not": "an array"})"), 2}}) {
    EmptyRepository server;
    ASSERT_TRUE(server.Started());
    server.Script({Page(R"([{"name": "a"}])"), c.second, Page(R"([{"name": "never"}])")});
    LogCapture log;
    ModelIter it = ModelIterFactory::Create(Rest(), ServerAt(server.Url()), "models");
    EXPECT_EQ(Walk(it), (std::vector<std::string>{"a"})) << *c.second.body;
    EXPECT_EQ(server.Requests().size(), c.requestsAfterWalk);
  }
}

TEST_F(ModelIterServer, RejectedElementCutsThePageThenTheNextPageFollows) {
  server_.Script({
      Page(R"([{"name": "a"}, 7, {"name": "lost"}])"),
      Page(R"([{"name": "b"}])"),
      Page("[]"),
  });
  LogCapture log;
  ModelIter it = Listing();
  EXPECT_EQ(Walk(it), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Queries(), (std::vector<std::string>{"page=1", "page=2", "page=3"}));
  EXPECT_EQ(log.Count("Model isn't a json object!", qx::common::LOG_ERROR), 2);
}

TEST_F(ModelIterServer, BackslashRoutesGoOutWithSlashes) {
  server_.Script({Page("[]", 200, "alice/collections/toys/models")});
  ModelIter it = Listing("alice\\collections\\toys\\models");
  EXPECT_FALSE(it);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(TargetPath(server_.Requests()[0]), "/1.0/alice%2Fcollections%2Ftoys%2Fmodels");
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
