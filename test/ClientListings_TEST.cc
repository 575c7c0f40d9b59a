// Listings and details against our repository server.
#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>

#include "support/ClientFixture.hh"
#include "support/PagesAsked.hh"

namespace qx::quarn_tools {
namespace {

using qx::quarn_server::RepositoryServer;
using qx::test::ResponseScript;
using qx::test::LogCapture;

class ClientListings : public qx::test::ClientFixture {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.pageSize = 2;
    return options;
  }
};

std::vector<std::string> Names(ModelIter iter) {
  std::vector<std::string> names;
  for (; iter; ++iter) names.push_back(iter->Identification().Owner() + "/" + iter->Identification().Name());
  return names;
}

std::vector<std::string> Names(WorldIter iter) {
  std::vector<std::string> names;
  for (; iter; ++iter) names.push_back(iter->Owner() + "/" + iter->Name());
  return names;
}

// Two models a page: pages 1 and 2 hold the three models, page 3 ends the
// listing; the pages after it asked ahead are dropped.
TEST_F(ClientListings, ServerModelsArePagedWithTheConfiguredAgent) {
  EXPECT_EQ(Names(Client().Models(Config())),
            (std::vector<std::string>{"alice/box", "alice/robot", "bob/wheel"}));
  const auto requests = Server().Requests();
  EXPECT_TRUE(qx::test::AskedPages(qx::test::PagesAsked(requests), 3, qx::test::EndOfWindow(2)));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].route, "models");
    EXPECT_EQ(requests[i].Header("User-Agent").value_or(""), "KovariQuarnTools-11.0.0");
    EXPECT_EQ(requests[i].Header("Accept").value_or(""), "application/json");
    EXPECT_FALSE(requests[i].Header("Private-token").has_value());
  }
}

TEST_F(ClientListings, ServerWorldsFollowTheNextLinks) {
  EXPECT_EQ(Names(Client().Worlds(Config())),
            (std::vector<std::string>{"alice/garden", "bob/town"}));
  EXPECT_EQ(Server().Requests().front().route, "worlds");
}

TEST_F(ClientListings, OwnerAndCollectionRoutes) {
  ModelIdentifier owner;
  owner.SetServer(Config());
  owner.SetOwner("alice");
  EXPECT_EQ(Names(Client().Models(owner)), (std::vector<std::string>{"alice/box", "alice/robot"}));
  EXPECT_EQ(Server().Requests().front().route, "alice/models");

  CollectionIdentifier collection;
  collection.SetServer(Config());
  collection.SetOwner("alice");
  collection.SetName("favourites");
  Server().ClearRequests();
  EXPECT_EQ(Names(Client().Models(collection)),
            (std::vector<std::string>{"alice/box", "bob/wheel"}));
  EXPECT_EQ(Server().Requests().front().route, "alice/collections/favourites/models");
  EXPECT_EQ(Names(Client().Worlds(collection)), (std::vector<std::string>{"bob/town"}));
}

TEST_F(ClientListings, ModelIdentifierUsesTheCacheFlag) {
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box")));
  Server().ClearRequests();
  LogCapture log;
  ModelIter cached = Client().Models(ModelId("alice", "box"));
  ASSERT_TRUE(cached);
  EXPECT_FALSE(cached->PathToModel().empty());
  EXPECT_TRUE(Server().Requests().empty());

  ModelIter remote = Client().Models(ModelId("alice", "box"), false);
  EXPECT_TRUE(log.Contains(ModelId("alice", "box").UniqueName() +
                               " not found in cache, attempting download",
                           qx::common::LOG_MESSAGE));
  ASSERT_EQ(Server().Requests().size(), 1u);
  EXPECT_EQ(Server().Requests().front().route, "alice/models/box");
}

TEST_F(ClientListings, NameWithoutOwnerListsNothing) {
  ModelIdentifier id;
  id.SetServer(Config());
  id.SetName("box");
  EXPECT_FALSE(Client().Models(id));
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(ClientListings, UnreachableServerFallsBackToTheCache) {
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box")));
  ServerConfig down = Config();
  const std::string url = Url();
  // Same server directory in the cache, but nothing listens there any more.
  Server().Stop();
  LogCapture log;
  EXPECT_EQ(Names(Client().Models(down)), (std::vector<std::string>{"alice/box"}));
  EXPECT_TRUE(log.Contains("Failed to fetch models from server, returning cached models.",
                           qx::common::LOG_WARNING));
  EXPECT_TRUE(log.Contains("URL: " + url));
  EXPECT_FALSE(Client().Worlds(down));
  EXPECT_TRUE(log.Contains("Failed to fetch worlds from server, returning cached worlds.",
                           qx::common::LOG_WARNING));
}

// Listings with their outcome walk every page and say how the server
// answered; they never answer from the cache.
TEST_F(ClientListings, ListingsTellHowTheServerAnswered) {
  std::vector<ModelIdentifier> models;
  Result listed = Client().ListModels(Config(), "", models);
  EXPECT_EQ(listed.Type(), FETCH_DONE);
  EXPECT_EQ(models.size(), 3u);
  std::vector<WorldIdentifier> worlds;
  EXPECT_EQ(Client().ListWorlds(Config(), "bob", worlds).Type(), FETCH_DONE);
  ASSERT_EQ(worlds.size(), 1u);
  EXPECT_EQ(worlds[0].Name(), "town");

  // The second page fails: what came before it stays, with the answer.
  ResponseScript broken;
  broken.route = "models";
  broken.query = "page=2";
  broken.status = 500;
  broken.body = "database on fire";
  Server().AddScript(broken);
  listed = Client().ListModels(Config(), "", models);
  EXPECT_EQ(listed.Type(), FETCH_FAILED);
  EXPECT_EQ(models.size(), 2u);
  ASSERT_NE(listed.Reply(), nullptr);
  EXPECT_EQ(listed.Reply()->status, 500);
  EXPECT_EQ(listed.Reply()->text, "database on fire");
  EXPECT_EQ(listed.Reply()->resource, "models");
  EXPECT_EQ(listed.Reply()->server, Url());

  // Collections too.
  CollectionIdentifier favourites;
  favourites.SetServer(Config());
  favourites.SetOwner("alice");
  favourites.SetName("favourites");
  EXPECT_EQ(Client().ListModels(favourites, models).Type(), FETCH_DONE);
  EXPECT_EQ(models.size(), 2u);
  favourites.SetName("nothing");
  listed = Client().ListWorlds(favourites, worlds);
  EXPECT_EQ(listed.Type(), FETCH_FAILED);
  EXPECT_EQ(listed.Reply()->status, 404);

  // Nobody answers, and the cache is not asked.
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box")));
  Server().Stop();
  LogCapture log;
  listed = Client().ListModels(Config(), "alice", models);
  EXPECT_EQ(listed.Type(), FETCH_FAILED);
  EXPECT_TRUE(models.empty());
  EXPECT_EQ(listed.Reply()->status, 0);
  EXPECT_EQ(listed.Reply()->resource, "alice/models");
}

TEST_F(ClientListings, FallBackWarningHidesTheApiKey) {
  MakeClient("secret-key");
  ServerConfig keyed = Config();
  keyed.SetApiKey("secret-key");
  Server().Stop();
  LogCapture log;
  EXPECT_FALSE(Client().Models(keyed));
  EXPECT_TRUE(log.Contains("Failed to fetch models from server", qx::common::LOG_WARNING));
  EXPECT_TRUE(log.Contains("API key: (set, not shown)"));
  EXPECT_FALSE(log.Contains("secret-key")) << log.Text();
}

TEST_F(ClientListings, ModelDetails) {
  ModelIdentifier out;
  out.SetName("untouched");
  const Result missing = Client().ModelDetails(ModelId("alice", "nothing"), out);
  EXPECT_EQ(missing.Type(), FETCH_FAILED);
  EXPECT_EQ(out.Name(), "untouched");
  ASSERT_NE(missing.Reply(), nullptr);
  EXPECT_EQ(missing.Reply()->status, 404);
  EXPECT_EQ(missing.Reply()->resource, "alice/models/nothing");

  EXPECT_EQ(Client().ModelDetails(ModelId("Alice", "Robot"), out).Type(), FETCH_DONE);
  EXPECT_EQ(out.Name(), "robot");
  EXPECT_EQ(out.Owner(), "alice");
  EXPECT_EQ(out.Version(), 1u);
  EXPECT_EQ(out.Description(), "A robot on a wheel, carrying a box");
  EXPECT_EQ(out.Tags(), (std::vector<std::string>{"robot", "demo"}));
  EXPECT_EQ(out.Server().Url().Str(), Url());
  const auto request = Server().Requests().back();
  EXPECT_EQ(request.route, "alice/models/robot");
  EXPECT_EQ(request.Header("User-Agent").value_or(""), "");
}

TEST_F(ClientListings, WorldDetails) {
  WorldIdentifier id;
  id.SetServer(Config());
  id.SetOwner("bob");
  WorldIdentifier out;
  EXPECT_EQ(Client().WorldDetails(id, out).Type(), FETCH_FAILED);
  EXPECT_TRUE(Server().Requests().empty());
  id.SetName("town");
  EXPECT_EQ(Client().WorldDetails(id, out, {"X-Extra: 1"}).Type(), FETCH_DONE);
  EXPECT_EQ(out.Name(), "town");
  EXPECT_EQ(out.Version(), 2u);
  EXPECT_EQ(Server().Requests().back().Header("X-Extra").value_or(""), "1");
}

TEST_F(ClientListings, ApiKeyHeaderRules) {
  MakeClient("k");
  ServerConfig keyed = Config();
  keyed.SetApiKey("k");
  std::vector<std::string> headers;
  Client().AddServerConfigParametersToHeaders(keyed, headers);
  EXPECT_EQ(headers, std::vector<std::string>{"Private-token: k"});
  std::vector<std::string> already{"X-Private-token: other"};
  Client().AddServerConfigParametersToHeaders(keyed, already);
  EXPECT_EQ(already, std::vector<std::string>{"X-Private-token: other"});
  std::vector<std::string> none;
  Client().AddServerConfigParametersToHeaders(Config(), none);
  EXPECT_TRUE(none.empty());

  // Details carry the key; listings never do.
  ModelIdentifier id = ModelId("alice", "box");
  id.SetServer(keyed);
  ModelIdentifier out;
  Client().ModelDetails(id, out);
  EXPECT_EQ(Server().Requests().back().Header("Private-token").value_or(""), "k");
  Names(Client().Models(keyed));
  EXPECT_FALSE(Server().Requests().back().Header("Private-token").has_value());
}

TEST_F(ClientListings, ConfiguredAgentWinsOverTheTransportsOwn) {
  ClientConfig config;
  config.SetCacheLocation(Cache());
  config.AddServer(Config());
  Rest rest;
  rest.SetUserAgent("mine");
  QuarnClient client(config, rest);
  Names(client.Models(Config()));
  EXPECT_EQ(Server().Requests().front().Header("User-Agent").value_or(""),
            "KovariQuarnTools-11.0.0");
}

// ---------------------------------------------- our server and the mirror

// Listings and details as the client walks them, from our server and from
// nginx over a mirror export, two entries per page.
class ListingsAnyServer : public qx::test::ServedClientFixture {
 protected:
  std::size_t PageSize() const override { return 2; }
};
QX_ON_BOTH_BACKENDS(ListingsAnyServer);

// Pages 1 and 2 hold the models, page 3 ends the listing; pages asked
// ahead of the walk add at most a window of them.
TEST_P(ListingsAnyServer, ModelPagesEndAtAnEmptyPage) {
  EXPECT_EQ(Names(Client().Models(Config())),
            (std::vector<std::string>{"alice/box", "alice/robot", "bob/wheel"}));
  const std::vector<std::string> routes = SeenRoutes();
  EXPECT_GE(routes.size(), 3u);
  EXPECT_LE(routes.size(), qx::test::EndOfWindow(2));
  for (const std::string &route : routes) EXPECT_EQ(route, "models");
}

TEST_P(ListingsAnyServer, WorldPagesFollowTheNextLinks) {
  EXPECT_EQ(Names(Client().Worlds(Config())),
            (std::vector<std::string>{"alice/garden", "bob/town"}));
  EXPECT_EQ(SeenRoutes().size(), 1u);  // two worlds fill one page: no next link
  for (const char *name : {"w1", "w2", "w3"})
    qx::test::WriteFile(Root() + "/carol/worlds/" + name + "/1/" + name + ".sdf", "<sdf/>");
  Publish();
  ClearSeen();
  EXPECT_EQ(Names(Client().Worlds(Config())),
            (std::vector<std::string>{"alice/garden", "bob/town", "carol/w1", "carol/w2",
                                      "carol/w3"}));
  // Three pages, and those asked ahead by the next links' page numbers.
  const std::vector<std::string> routes = SeenRoutes();
  EXPECT_GE(routes.size(), 3u);
  EXPECT_LE(routes.size(), qx::test::EndOfWindow(2));
  for (const std::string &route : routes) EXPECT_EQ(route, "worlds");
}

TEST_P(ListingsAnyServer, OwnerCollectionAndOneResource) {
  ModelIdentifier owner;
  owner.SetServer(Config());
  owner.SetOwner("alice");
  EXPECT_EQ(Names(Client().Models(owner)), (std::vector<std::string>{"alice/box", "alice/robot"}));
  CollectionIdentifier collection;
  collection.SetServer(Config());
  collection.SetOwner("alice");
  collection.SetName("favourites");
  EXPECT_EQ(Names(Client().Models(collection)),
            (std::vector<std::string>{"alice/box", "bob/wheel"}));
  EXPECT_EQ(Names(Client().Worlds(collection)), (std::vector<std::string>{"bob/town"}));
  EXPECT_EQ(Names(Client().Models(ModelId("alice", "robot"), false)),
            (std::vector<std::string>{"alice/robot"}));
  collection.SetName("nothing");
  EXPECT_FALSE(Client().Models(collection));
}

TEST_P(ListingsAnyServer, DetailsOfModelsAndWorlds) {
  ModelIdentifier out;
  EXPECT_EQ(Client().ModelDetails(ModelId("alice", "robot"), out).Type(), FETCH_DONE);
  EXPECT_EQ(out.Description(), "A robot on a wheel, carrying a box");
  EXPECT_EQ(out.Tags(), (std::vector<std::string>{"robot", "demo"}));
  EXPECT_EQ(Client().ModelDetails(ModelId("alice", "nothing"), out).Type(), FETCH_FAILED);
  WorldIdentifier world;
  world.SetServer(Config());
  world.SetOwner("bob");
  world.SetName("town");
  WorldIdentifier found;
  EXPECT_EQ(Client().WorldDetails(world, found).Type(), FETCH_DONE);
  EXPECT_EQ(found.Version(), 2u);
}

}  // namespace
}  // namespace qx::quarn_tools
