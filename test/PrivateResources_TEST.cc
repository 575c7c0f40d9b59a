// Private models stay private and the server fails closed: without the read
// key a private resource, an owner with nothing else and a collection with
// no other member answer byte for byte as absent ones; a mark of any file
// type makes a resource private; links into a private model serve nothing
// of it; the archive store keeps its archives to its owner and drops those
// of what is gone; what a crashed server left is swept.
#include <qx/quarn_server/RepositoryServer.hh>

#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

namespace {

namespace fs = std::filesystem;
using qx::quarn_server::RepositoryServer;
using qx::test::ListedNames;
using qx::test::WriteFile;

using Names = std::vector<std::string>;

const char kReadKey[] = "read-key";

// A minimal model OWNER/models/NAME/1 below `root`, private when asked.
void AddModel(const std::string &root, const std::string &owner, const std::string &name,
              bool isPrivate) {
  const std::string dir = root + "/" + owner + "/models/" + name;
  WriteFile(dir + "/1/model.config", "<?xml version=\"1.0\"?><model><name>" + name +
                                         "</name><sdf version=\"1.9\">model.sdf</sdf></model>");
  WriteFile(dir + "/1/model.sdf", "<sdf version=\"1.9\"/>");
  WriteFile(dir + "/1/secret.txt", "PRIVATE-" + name);
  if (isPrivate) WriteFile(dir + "/private", "");
}

int ModeOf(const fs::path &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

class PrivateResources : public ::testing::Test {
 protected:
  void Start(const RepositoryServer::Options &options) {
    ASSERT_TRUE(qx::test::CopyExampleRepository(root_.Path()));
    RepositoryServer::Options withStore = options;
    withStore.archiveStore = store_.Join("archives");
    server_ = std::make_unique<RepositoryServer>(root_.Path(), withStore);
    ASSERT_TRUE(server_->Start());
  }
  // The whole answer to GET (or HEAD) of `route`, Date line left out.
  std::string Answer(const std::string &route, const std::string &method = "GET",
                     const std::string &key = "") const {
    std::string received =
        qx::test::RawExchange(server_->Port(),
                              method + " /1.0/" + route + " HTTP/1.1\r\nHost: x\r\n" +
                                  (key.empty() ? "" : "Private-token: " + key + "\r\n") +
                                  "Connection: close\r\n\r\n",
                              10)
            .received;
    return std::regex_replace(received, std::regex("\r\nDate: [^\r]*"), "");
  }
  httplib::Result Get(const std::string &route, const std::string &key = "") {
    httplib::Client client(server_->Url());
    client.set_read_timeout(30);
    httplib::Headers headers;
    if (!key.empty()) headers.emplace("Private-token", key);
    return client.Get(("/1.0/" + route).c_str(), headers);
  }
  const std::string &Root() const { return root_.Path(); }
  // Private things asked for, then made absent and asked for again: the two
  // answers are the same bytes.
  void ExpectAnsweredAsAbsent(const std::vector<std::string> &routes,
                              const std::vector<std::string> &gone) {
    std::vector<std::string> before;
    for (const std::string &route : routes) {
      before.push_back(Answer(route));
      before.push_back(Answer(route, "HEAD"));
    }
    for (const std::string &path : gone) fs::remove_all(Root() + "/" + path);
    for (std::size_t i = 0; i < routes.size(); ++i) {
      SCOPED_TRACE(routes[i]);
      EXPECT_EQ(before[2 * i], Answer(routes[i]));
      EXPECT_EQ(before[2 * i + 1], Answer(routes[i], "HEAD"));
      EXPECT_EQ(404, qx::test::RawStatus(before[2 * i]));
    }
  }

  qx::test::TempDir root_;
  qx::test::TempDir store_;
  std::unique_ptr<RepositoryServer> server_;
};

TEST_F(PrivateResources, WithoutTheKeyPrivateThingsAnswerAsAbsentOnes) {
  RepositoryServer::Options options;
  options.readKey = kReadKey;
  Start(options);
  // carol holds only private models; her collection and one of alice's
  // name only those; alice/secret is private beside public ones.
  AddModel(Root(), "carol", "lamp", true);
  AddModel(Root(), "carol", "desk", true);
  AddModel(Root(), "alice", "secret", true);
  WriteFile(Root() + "/carol/collections/office.json", "{\"models\": [\"carol/lamp\"]}");
  WriteFile(Root() + "/alice/collections/hidden.json", "{\"models\": [\"carol/desk\"]}");
  // With the key they are there.
  EXPECT_EQ((Names{"carol/desk", "carol/lamp"}), ListedNames(Get("carol/models", kReadKey)->body));
  EXPECT_EQ(Names{"carol/lamp"}, ListedNames(Get("carol/collections/office/models", kReadKey)->body));
  EXPECT_EQ(Names{"alice/secret"}, ListedNames(Get("alice/models/secret?page=1", kReadKey)->body));
  EXPECT_EQ(200, Get("alice/models/secret/1/files/secret.txt", kReadKey)->status);
  ExpectAnsweredAsAbsent({"alice/models/secret?page=1", "carol/models", "carol/worlds",
                          "carol/models?page=2", "carol/collections/office/models",
                          "carol/collections/office/worlds", "alice/collections/hidden/models"},
                         {"alice/models/secret", "carol", "alice/collections/hidden.json"});
}

TEST_F(PrivateResources, WithoutAReadKeyNoOneGetsThem) {
  RepositoryServer::Options options;
  options.writeKey = "write-key";
  Start(options);
  AddModel(Root(), "carol", "lamp", true);
  EXPECT_EQ(404, Get("carol/models/lamp", "write-key")->status);
  ExpectAnsweredAsAbsent({"carol/models/lamp", "carol/models/lamp/1/lamp.zip",
                          "carol/models/lamp/tip/lamp.zip", "carol/models/lamp/1/files/secret.txt",
                          "carol/models/lamp?page=1", "carol/models"},
                         {"carol"});
}

TEST_F(PrivateResources, AMarkOfAnyTypeMakesAResourcePrivate) {
  RepositoryServer::Options options;
  options.readKey = kReadKey;
  Start(options);
  const std::string box = Root() + "/alice/models/box/";
  struct Case {
    const char *what;
    void (*make)(const std::string &mark);
  };
  const Case cases[] = {
      {"an empty file", [](const std::string &mark) { WriteFile(mark, ""); }},
      {"a directory", [](const std::string &mark) { fs::create_directory(mark); }},
      {"a link to a file", [](const std::string &mark) { fs::create_symlink("1/model.config", mark); }},
      {"a link to a directory", [](const std::string &mark) { fs::create_symlink("1", mark); }},
      {"a link that leads nowhere", [](const std::string &mark) { fs::create_symlink("missing", mark); }},
      {"a link out of the repository", [](const std::string &mark) { fs::create_symlink("/etc/passwd", mark); }},
      {"a pipe", [](const std::string &mark) { ::mkfifo(mark.c_str(), 0600); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(box + "private");
    c.make(box + "private");
    EXPECT_EQ((Names{"alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
    EXPECT_EQ(404, Get("alice/models/box?page=1")->status);
    EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel"}),
              ListedNames(Get("models", kReadKey)->body));
  }
}

TEST_F(PrivateResources, LinksIntoAPrivateModelServeNothingOfIt) {
  RepositoryServer::Options options;
  options.readKey = kReadKey;
  Start(options);
  AddModel(Root(), "carol", "lamp", true);
  // alice/box/3 is carol's private version; dave/models/copy is her model;
  // alice/box/5 is alice's own version 2 under another number.
  fs::create_directory_symlink("../../../carol/models/lamp/1", Root() + "/alice/models/box/3");
  fs::create_directories(Root() + "/dave/models");
  fs::create_directory_symlink("../../carol/models/lamp", Root() + "/dave/models/copy");
  fs::create_directory_symlink("2", Root() + "/alice/models/box/5");
  // With the read key the links lead nowhere; without it, details and
  // files ask for the key first.
  const std::vector<std::tuple<std::string, int, int>> cases = {
      {"alice/models/box/3/box.zip", 401, 404},
      {"alice/models/box/3/files/secret.txt", 401, 404},
      {"dave/models/copy", 401, 404},
      {"dave/models/copy/1/files/secret.txt", 401, 404},
      {"dave/models/copy?page=1", 404, 404},
      {"dave/models", 404, 404},
  };
  for (const auto &[route, withoutKey, withKey] : cases) {
    SCOPED_TRACE(route);
    auto without = Get(route);
    auto with = Get(route, kReadKey);
    ASSERT_TRUE(without && with);
    EXPECT_EQ(withoutKey, without->status);
    EXPECT_EQ(withKey, with->status);
    EXPECT_EQ(std::string::npos, with->body.find("PRIVATE"));
  }
  auto box = Get("alice/models/box", kReadKey);
  ASSERT_TRUE(box);
  EXPECT_EQ(5u, qx::test::ParseJson(box->body)["version"].asUInt());
  EXPECT_EQ("5", Get("alice/models/box/tip/box.zip", kReadKey)->get_header_value("X-Qel-Resource-Version"));
}

TEST_F(PrivateResources, TheArchiveStoreIsItsOwnersAloneAndForgetsWhatIsGone) {
  RepositoryServer::Options options;
  options.apiKey = kReadKey;
  Start(options);
  AddModel(Root(), "carol", "lamp", true);
  ASSERT_EQ(200, Get("carol/models/lamp/1/lamp.zip", kReadKey)->status);
  ASSERT_EQ(200, Get("alice/models/box/1/box.zip", kReadKey)->status);
  ASSERT_EQ(200, Get("alice/models/box/2/box.zip", kReadKey)->status);
  const fs::path store = store_.Join("archives");
  EXPECT_EQ(0700, ModeOf(store));
  std::size_t archives = 0;
  for (const auto &entry : fs::recursive_directory_iterator(store)) {
    if (entry.is_directory()) {
      EXPECT_EQ(0700, ModeOf(entry.path())) << entry.path();
    } else if (entry.path().extension() == ".zip") {
      EXPECT_EQ(0600, ModeOf(entry.path())) << entry.path();
      ++archives;
    }
  }
  EXPECT_EQ(3u, archives);
  // A deletion takes the resource's archives with it.
  httplib::Client client(server_->Url());
  auto deleted = client.Delete("/1.0/carol/models/lamp", {{"Private-token", kReadKey}});
  ASSERT_TRUE(deleted);
  EXPECT_EQ(200, deleted->status);
  EXPECT_FALSE(fs::exists(store / "carol"));
  // A version removed while the server was down: its archives go when the
  // store opens again; the others stay.
  server_->Stop();
  fs::remove_all(Root() + "/alice/models/box/1");
  ASSERT_TRUE(server_->Start());
  EXPECT_FALSE(fs::exists(store / "alice/models/box/1"));
  EXPECT_TRUE(fs::exists(store / "alice/models/box/2"));
}

TEST_F(PrivateResources, WorkACrashedServerLeftIsSweptByTheNextThatWrites) {
  ASSERT_TRUE(qx::test::CopyExampleRepository(root_.Path()));
  const std::vector<std::string> leftovers = {".quarn-work/request-AbC123/part-0",
                                              "alice/models/box/.upload-7/model.config",
                                              "bob/.deleted-3/town/1/town.sdf"};
  for (const std::string &path : leftovers) WriteFile(Root() + "/" + path, "half");
  WriteFile(Root() + "/alice/models/box/.notes", "kept");
  // A server that takes no writes leaves the repository alone.
  {
    RepositoryServer reading(Root());
    ASSERT_TRUE(reading.Start());
    for (const std::string &path : leftovers) EXPECT_TRUE(fs::exists(Root() + "/" + path)) << path;
  }
  RepositoryServer::Options options;
  options.writeKey = "write-key";
  RepositoryServer writing(Root(), options);
  ASSERT_TRUE(writing.Start());
  EXPECT_FALSE(fs::exists(Root() + "/.quarn-work/request-AbC123"));
  EXPECT_FALSE(fs::exists(Root() + "/alice/models/box/.upload-7"));
  EXPECT_FALSE(fs::exists(Root() + "/bob/.deleted-3"));
  EXPECT_TRUE(fs::exists(Root() + "/alice/models/box/.notes"));
  EXPECT_TRUE(fs::exists(Root() + "/alice/models/box/2/model.config"));
}

}  // namespace
