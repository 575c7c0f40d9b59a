// What the client asks of caches between it and a server: requests for
// names that change (a download without a version or of tip, details,
// listing pages, collections, licences, the checks of an update) carry
// "Cache-Control: no-cache", so that a cache asks the server whatever the
// server's answers say; requests for a numbered version carry none, so
// that a cache may answer them itself.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <qx/common/URI.hh>
#include <qx/quarn_tools/CollectionIdentifier.hh>
#include <qx/quarn_tools/ResourceFetching.hh>

#include "Routes.hh"
#include "support/ClientFixture.hh"

namespace qx::quarn_tools {
namespace {

namespace fs = std::filesystem;
using qx::test::RequestRecord;

TEST(FixedVersionRoutes, OnlyANumberedVersionsArchiveNeverChanges) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"alice/models/box/2/box.zip", true},
      {"alice/worlds/town/10/town.zip", true},
      {"alice/models/box/tip/box.zip", false},
      {"alice/models/box/2/other.zip", false},
      {"alice/models/box/2x/box.zip", false},
      {"alice/models/box//box.zip", false},
      {"alice/collections/box/2/box.zip", false},
      {"alice/models/box/2/box.zip/more", false},
      {"alice/models/box", false},
      {"alice/models", false},
      {"models", false},
      {"alice/collections/favourites/models", false},
      {"licenses", false},
      {"", false},
  };
  for (const auto &[route, fixed] : cases)
    EXPECT_EQ(fixed, internal::routes::NamesFixedVersion(route)) << route;
}

class ClientRevalidation : public qx::test::ClientFixture {
 protected:
  // What `action` sent: every request names one of `changing` (and carries
  // "Cache-Control: no-cache") or one of `fixed` (and carries no
  // Cache-Control), and each of them was asked for.
  void ExpectRequests(const std::function<void()> &action,
                      const std::vector<std::string> &changing,
                      const std::vector<std::string> &fixed) {
    Server().ClearRequests();
    action();
    const std::set<std::string> changes(changing.begin(), changing.end());
    const std::set<std::string> stays(fixed.begin(), fixed.end());
    std::set<std::string> asked;
    for (const RequestRecord &request : Server().Requests()) {
      SCOPED_TRACE(request.method + " " + request.route);
      asked.insert(request.route);
      if (changes.count(request.route) != 0) {
        EXPECT_EQ("no-cache", request.Header("Cache-Control").value_or("(none)"));
      } else {
        EXPECT_EQ(1u, stays.count(request.route)) << "not expected";
        EXPECT_FALSE(request.Header("Cache-Control")) << *request.Header("Cache-Control");
      }
    }
    for (const std::string &route : changing) EXPECT_EQ(1u, asked.count(route)) << route;
    for (const std::string &route : fixed) EXPECT_EQ(1u, asked.count(route)) << route;
  }
};

TEST_F(ClientRevalidation, DownloadsOfTheNewestAskTheServerAndNumberedVersionsDoNot) {
  std::string path;
  {
    SCOPED_TRACE("without a version");
    ExpectRequests([&] { EXPECT_TRUE(Client().DownloadModel(ModelId("alice", "box"))); },
                   {"alice/models/box/tip/box.zip"}, {});
  }
  {
    SCOPED_TRACE("tip, by URL");
    fs::remove_all(Cache());
    ExpectRequests(
        [&] {
          EXPECT_TRUE(Client().DownloadModel(
              qx::common::URI(ResourceUrl("alice/models/box/tip")), path));
        },
        {"alice/models/box/tip/box.zip"}, {});
  }
  {
    SCOPED_TRACE("a numbered version, with its dependencies' newest");
    // robot names bob/wheel (newest), which names alice/box (newest), and
    // alice/box/1.
    fs::remove_all(Cache());
    ExpectRequests([&] { EXPECT_TRUE(Client().DownloadModel(ModelId("alice", "robot", 1))); },
                   {"alice/models/box/tip/box.zip", "bob/models/wheel/tip/wheel.zip"},
                   {"alice/models/robot/1/robot.zip", "alice/models/box/1/box.zip"});
  }
}

TEST_F(ClientRevalidation, FileFetchesAskAsTheirVersionsDo) {
  ExpectRequests(
      [&] {
        EXPECT_NE("", fetchResourceWithClient(
                          ResourceUrl("alice/models/box/2/files/model.sdf"), Client()));
      },
      {}, {"alice/models/box/2/box.zip"});
  ExpectRequests(
      [&] {
        EXPECT_NE("", fetchResourceWithClient(
                          ResourceUrl("bob/worlds/town/tip/files/town.sdf"), Client()));
      },
      {"bob/worlds/town/tip/town.zip"}, {});
}

TEST_F(ClientRevalidation, DetailsListingsCollectionsAndLicencesAskTheServer) {
  ExpectRequests(
      [&] {
        ModelIdentifier details;
        EXPECT_TRUE(Client().ModelDetails(ModelId("alice", "box"), details));
      },
      {"alice/models/box"}, {});
  ExpectRequests(
      [&] {
        std::vector<ModelIdentifier> models;
        EXPECT_TRUE(Client().ListModels(Config(), "", models));
        EXPECT_TRUE(Client().ListModels(Config(), "alice", models));
      },
      {"models", "alice/models"}, {});
  ExpectRequests(
      [&] {
        CollectionIdentifier collection;
        collection.SetOwner("alice");
        collection.SetName("favourites");
        collection.SetServer(Config());
        std::vector<WorldIdentifier> worlds;
        EXPECT_TRUE(Client().ListWorlds(collection, worlds));
        EXPECT_EQ(1u, worlds.size());
      },
      {"alice/collections/favourites/worlds"}, {});
  ExpectRequests([&] { Client().PopulateLicenses(Config()); }, {"licenses"}, {});
}

TEST_F(ClientRevalidation, AnUpdateAsksForTheNewestAndFetchesItsNumber) {
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "box", 1)));
  fs::remove_all(ServerCache() + "/alice/models/box/2");
  ExpectRequests([&] { EXPECT_TRUE(Client().UpdateModels({})); }, {"alice/models/box"},
                 {"alice/models/box/2/box.zip"});
}

TEST_F(ClientRevalidation, ACallersOwnCacheControlStandsAndWritesAskNothing) {
  Server().ClearRequests();
  EXPECT_TRUE(Client().DownloadModel(ModelId("alice", "box"), {"Cache-Control: max-age=0"}));
  ModelIdentifier details;
  EXPECT_TRUE(Client().ModelDetails(ModelId("alice", "box"), details, {"cache-control: no-store"}));
  std::vector<std::string> seen;
  for (const RequestRecord &request : Server().Requests()) {
    std::string lines;
    for (const auto &[name, value] : request.headers) {
      if (name == "Cache-Control" || name == "cache-control") lines += value + ";";
    }
    seen.push_back(request.route + " " + lines);
  }
  EXPECT_EQ((std::vector<std::string>{"alice/models/box/tip/box.zip max-age=0;",
                                      "alice/models/box no-store;"}),
            seen);

  Server().ClearRequests();
  Client().DeleteUrl(qx::common::URI(ResourceUrl("alice/models/box")), {});
  const std::vector<RequestRecord> asked = Server().Requests();
  ASSERT_EQ(1u, asked.size());
  EXPECT_EQ("DELETE", asked[0].method);
  EXPECT_FALSE(asked[0].Header("Cache-Control"));
}

}  // namespace
}  // namespace qx::quarn_tools
