// A server's listing taken page by page, with how it ended.
#include <gtest/gtest.h>

#include <thread>

#include "qx/quarn_tools/ResourcePages.hh"
#include "support/ClientFixture.hh"
#include "support/PagesAsked.hh"

namespace qx::quarn_tools {
namespace {

using qx::quarn_server::RepositoryServer;
using qx::test::ResponseScript;
using qx::test::LogCapture;

// One resource a page: alice/box, alice/robot, bob/wheel; alice/garden,
// bob/town.
class ResourcePagesTest : public qx::test::ClientFixture {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.pageSize = 1;
    return options;
  }

  ResourcePages Pages(const std::string &kind, const std::string &owner = "") {
    return ResourcePages(Client().Config(), Rest(), Config(), kind, owner);
  }

  std::vector<std::size_t> Asked() { return qx::test::PagesAsked(Server().Requests()); }
};

TEST_F(ResourcePagesTest, ModelsComePageByPageAskedOnlyWhenReached) {
  ResourcePages pages = Pages("models");
  EXPECT_TRUE(Server().Requests().empty());
  std::vector<ModelIdentifier> page;
  std::vector<std::string> names;
  ASSERT_TRUE(pages.NextPage(page));
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].Owner() + "/" + page[0].Name(), "alice/box");
  EXPECT_EQ(page[0].Server().Url().Str(), Config().Url().Str());
  // Page 1, and the pages asked ahead of it: nothing past the window.
  EXPECT_TRUE(qx::test::AskedPages(Asked(), 1, qx::test::EndOfWindow(1)));
  names.push_back(page[0].Name());
  while (pages.NextPage(page)) {
    ASSERT_EQ(page.size(), 1u);
    names.push_back(page[0].Name());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"box", "robot", "wheel"}));
  EXPECT_EQ(pages.Outcome().Type(), FETCH_DONE);
  EXPECT_TRUE(qx::test::AskedPages(Asked(), 4, qx::test::EndOfWindow(3)));
  // The end stays the end, asking nothing more.
  const std::size_t requests = Server().Requests().size();
  EXPECT_FALSE(pages.NextPage(page));
  EXPECT_TRUE(page.empty());
  EXPECT_EQ(Server().Requests().size(), requests);
  // A models listing has no worlds.
  std::vector<WorldIdentifier> worlds;
  EXPECT_FALSE(pages.NextPage(worlds));
}

TEST_F(ResourcePagesTest, WorldsComePageByPageFollowingTheNextLinks) {
  ResourcePages pages = Pages("worlds");
  std::vector<WorldIdentifier> page;
  ASSERT_TRUE(pages.NextPage(page));
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].Owner() + "/" + page[0].Name(), "alice/garden");
  EXPECT_TRUE(qx::test::AskedPages(Asked(), 1, qx::test::EndOfWindow(1)));
  ASSERT_TRUE(pages.NextPage(page));
  EXPECT_EQ(page.at(0).Owner() + "/" + page.at(0).Name(), "bob/town");
  EXPECT_FALSE(pages.NextPage(page));
  EXPECT_EQ(pages.Outcome().Type(), FETCH_DONE);
  std::vector<ModelIdentifier> models;
  EXPECT_FALSE(pages.NextPage(models));

  // One owner's.
  ResourcePages bobs = Pages("worlds", "bob");
  ASSERT_TRUE(bobs.NextPage(page));
  EXPECT_EQ(page.at(0).Name(), "town");
  EXPECT_FALSE(bobs.NextPage(page));
  EXPECT_EQ(bobs.Outcome().Type(), FETCH_DONE);
}

TEST_F(ResourcePagesTest, AFailedPageEndsTheWalkWithTheServersAnswer) {
  for (const std::string kind : {"models", "worlds"}) {
    ResponseScript broken;
    broken.route = kind;
    broken.query = "page=2";
    broken.status = 500;
    broken.body = "database on fire";
    Server().AddScript(broken);
    ResourcePages pages = Pages(kind);
    std::size_t taken = 0;
    std::vector<ModelIdentifier> models;
    std::vector<WorldIdentifier> worlds;
    const auto next = [&] {
      return kind == "models" ? pages.NextPage(models) : pages.NextPage(worlds);
    };
    // The first page on this thread, the failing one on another: each page
    // is watched on the thread that takes it.
    ASSERT_TRUE(next());
    ++taken;
    EXPECT_EQ(pages.Outcome().Type(), FETCH_DONE);
    bool more = true;
    std::thread([&] { more = next(); }).join();
    EXPECT_FALSE(more) << kind;
    EXPECT_EQ(taken, 1u);
    const Result outcome = pages.Outcome();
    EXPECT_EQ(outcome.Type(), FETCH_FAILED) << kind;
    ASSERT_NE(outcome.Reply(), nullptr) << kind;
    EXPECT_EQ(outcome.Reply()->status, 500);
    EXPECT_EQ(outcome.Reply()->text, "database on fire");
    EXPECT_EQ(outcome.Reply()->resource, kind);
    EXPECT_FALSE(next());
    EXPECT_EQ(pages.Outcome().Type(), FETCH_FAILED);
    Server().ClearScripts();
  }
}

TEST_F(ResourcePagesTest, APageThatIsNoListingIsAFailure) {
  ResponseScript html;
  html.route = "models";
  html.status = 200;
  html.body = "<html>sign in first</html>";
  Server().AddScript(html);
  LogCapture log;
  ResourcePages pages = Pages("models");
  std::vector<ModelIdentifier> page;
  EXPECT_FALSE(pages.NextPage(page));
  EXPECT_EQ(pages.Outcome().Type(), FETCH_FAILED);
}

TEST_F(ResourcePagesTest, OfflineOrAnUnknownKindAsksNothing) {
  ResourcePages unknown = Pages("collections");
  std::vector<ModelIdentifier> page;
  EXPECT_FALSE(unknown.NextPage(page));
  EXPECT_EQ(unknown.Outcome().Type(), FETCH_FAILED);
  Client().Config().SetOffline(true);
  LogCapture log;
  ResourcePages offline = Pages("models");
  EXPECT_FALSE(offline.NextPage(page));
  EXPECT_EQ(offline.Outcome().Type(), FETCH_FAILED);
  EXPECT_TRUE(Server().Requests().empty());
}

}  // namespace
}  // namespace qx::quarn_tools
