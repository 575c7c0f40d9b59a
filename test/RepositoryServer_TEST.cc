// The repository server, spoken to over HTTP with cpp-httplib's client.
#include <qx/quarn_server/RepositoryServer.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/Certificates.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

namespace {

namespace fs = std::filesystem;
using qx::quarn_server::RepositoryServer;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::ListedNames;
using qx::test::ParseJson;
using qx::test::ReadFile;
using qx::test::WriteFile;

using Names = std::vector<std::string>;
using Entries = std::vector<std::pair<std::string, std::string>>;

// The route escaped as one piece, the way the client sends it.
std::string EscapeWhole(const std::string &route) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : route) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string Target(const std::string &route, const std::string &query = "") {
  return "/1.0/" + EscapeWhole(route) + (query.empty() ? "" : "?" + query);
}

std::unique_ptr<httplib::Client> ClientFor(const std::string &url) {
  auto client = std::make_unique<httplib::Client>(url);
  client->set_url_encode(false);
  client->set_connection_timeout(30);
  client->set_read_timeout(30);
  return client;
}


// The entries of an archive held in memory: name and content, in index order.
Entries ArchiveEntries(const std::string &bytes) {
  Entries entries;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t *source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t *archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  zip_error_fini(&error);
  if (archive == nullptr) {
    if (source) zip_source_free(source);
    ADD_FAILURE() << "not a zip archive";
    return entries;
  }
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t stat;
    zip_stat_index(archive, i, 0, &stat);
    std::string content(stat.size, '\0');
    if (zip_file_t *file = zip_fopen_index(archive, i, 0)) {
      zip_fread(file, content.data(), stat.size);
      zip_fclose(file);
    }
    entries.emplace_back(stat.name, content);
  }
  zip_close(archive);
  return entries;
}

Names EntryNames(const Entries &entries) {
  Names names;
  for (const auto &entry : entries) names.push_back(entry.first);
  return names;
}

// Creates a minimal model OWNER/models/NAME/VERSION below `root`.
void AddModel(const std::string &root, const std::string &owner, const std::string &name,
              int version = 1) {
  const std::string dir = root + "/" + owner + "/models/" + name + "/" + std::to_string(version);
  WriteFile(dir + "/model.config", "<?xml version=\"1.0\"?><model><name>" + name +
                                       "</name><sdf version=\"1.9\">model.sdf</sdf></model>");
  WriteFile(dir + "/model.sdf", "<sdf version=\"1.9\"/>");
}

class RepositoryServerTest : public qx::test::RepositoryFixture {
 protected:
  static constexpr const char *kWriteKey = "write-key";

  // The server takes writes with kWriteKey.
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.writeKey = kWriteKey;
    return options;
  }
  // The header a write needs.
  httplib::Headers WriteKeyHeader() const { return {{"Private-token", kWriteKey}}; }
  httplib::Result Get(const std::string &route, const std::string &query = "",
                      const httplib::Headers &headers = {}) {
    return ClientFor(Url())->Get(Target(route, query).c_str(), headers);
  }
  std::string DiskFile(const std::string &relative) const {
    return ReadFile(Root() + "/" + relative);
  }
};

class SmallPagesTest : public RepositoryServerTest {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.pageSize = 2;
    return options;
  }
};

// ---------------------------------------------------------------- listings

struct ListingCase {
  std::string route;
  std::string query;
  Names expected;
  std::string nextPage;  // the page the Link header names; empty: no header
};

TEST_F(SmallPagesTest, ListingsArePagedAndAnnounceTheNextPage) {
  const std::vector<ListingCase> cases = {
      {"models", "", {"alice/box", "alice/robot"}, "2"},
      {"models", "page=1", {"alice/box", "alice/robot"}, "2"},
      {"models", "page=2", {"bob/wheel"}, ""},
      {"models", "page=3", {}, ""},
      {"models", "page=99999999999999999999999", {}, ""},
      {"worlds", "", {"alice/garden", "bob/town"}, ""},
      {"alice/models", "", {"alice/box", "alice/robot"}, ""},
      {"alice/worlds", "", {"alice/garden"}, ""},
      {"bob/models", "page=1", {"bob/wheel"}, ""},
      {"bob/worlds", "", {"bob/town"}, ""},
      {"alice/collections/favourites/models", "", {"alice/box", "bob/wheel"}, ""},
      {"alice/collections/favourites/worlds", "", {"bob/town"}, ""},
      {"alice/collections/favourites/models", "page=2", {}, ""},
  };
  for (const ListingCase &c : cases) {
    SCOPED_TRACE(c.route + "?" + c.query);
    auto result = Get(c.route, c.query);
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
    EXPECT_EQ("application/json", result->get_header_value("Content-Type"));
    EXPECT_EQ(c.expected, ListedNames(result->body));
    if (c.nextPage.empty()) {
      EXPECT_FALSE(result->has_header("Link"));
    } else {
      // A relative reference: nothing of the request's Host goes back out.
      EXPECT_EQ("</1.0/" + c.route + "?page=" + c.nextPage + ">; rel=\"next\"",
                result->get_header_value("Link"));
    }
  }
}

TEST_F(RepositoryServerTest, DefaultPagesHoldTwentyAndWorldsLinkUntilTheLastPage) {
  for (int i = 0; i < 45; ++i) {
    AddModel(Root(), "carol", "m" + std::to_string(100 + i));
    WriteFile(Root() + "/carol/worlds/w" + std::to_string(100 + i) + "/1/w.sdf", "<sdf/>");
  }
  const std::vector<std::pair<std::string, std::size_t>> pages = {
      {"page=1", 20}, {"page=2", 20}, {"page=3", 5}, {"page=4", 0}};
  for (const auto &page : pages) {
    SCOPED_TRACE(page.first);
    auto models = Get("carol/models", page.first);
    auto worlds = Get("carol/worlds", page.first);
    ASSERT_TRUE(models && worlds);
    EXPECT_EQ(page.second, ListedNames(models->body).size());
    EXPECT_EQ(page.second, ListedNames(worlds->body).size());
    EXPECT_EQ(page.second == 20, worlds->has_header("Link"));
  }
  EXPECT_EQ("carol/m120", ListedNames(Get("carol/models", "page=2")->body).front());
}

TEST_F(RepositoryServerTest, ListingsLeaveOutVersionsTheClientCannotUse) {
  WriteFile(Root() + "/dave/models/noconfig/1/model.sdf", "<sdf/>");   // no model.config
  AddModel(Root(), "dave", "oddversions", 3);
  AddModel(Root(), "dave", "oddversions", 1);
  WriteFile(Root() + "/dave/models/oddversions/tip/model.config", "<model/>");
  WriteFile(Root() + "/dave/models/oddversions/0/model.config", "<model/>");
  WriteFile(Root() + "/dave/models/oddversions/99999999999/model.config", "<model/>");
  auto result = Get("dave/models");
  ASSERT_TRUE(result);
  EXPECT_EQ(Names{"dave/oddversions"}, ListedNames(result->body));
  EXPECT_EQ(3u, ParseJson(result->body)[0]["version"].asUInt());
}

TEST_F(RepositoryServerTest, ListingsReadTheDirectoryAfresh) {
  AddModel(Root(), "alice", "late");
  EXPECT_EQ((Names{"alice/box", "alice/late", "alice/robot"}),
            ListedNames(Get("alice/models")->body));
}

TEST_F(RepositoryServerTest, ListingErrors) {
  WriteFile(Root() + "/alice/collections/broken.json", "{\"models\": \"alice/box\"}");
  const std::vector<std::tuple<std::string, std::string, int>> cases = {
      {"carol/models", "", 404},
      {"alice/collections/nothing/models", "", 404},
      {"alice/collections/broken/models", "", 500},
      {"models", "page=0", 400},
      {"models", "page=x", 400},
      {"models", "page=", 400},
  };
  for (const auto &[route, query, status] : cases) {
    SCOPED_TRACE(route + "?" + query);
    auto result = Get(route, query);
    ASSERT_TRUE(result);
    EXPECT_EQ(status, result->status);
  }
}

TEST_F(RepositoryServerTest, AnswersFollowEveryChangeMadeByHand) {
  // The server keeps its answers while nothing changes; any change, however
  // deep, is in the next answer.
  const std::string version = Root() + "/alice/models/box/2/";
  ASSERT_EQ("A unit box, version 2", ParseJson(Get("alice/models/box")->body)["description"].asString());
  const unsigned size = ParseJson(Get("alice/models/box")->body)["filesize"].asUInt();
  const std::string config = DiskFile("alice/models/box/2/model.config");
  WriteFile(version + "model.config",
            std::regex_replace(config, std::regex("A unit box, version 2"), "Edited by hand"));
  EXPECT_EQ("Edited by hand", ParseJson(Get("alice/models/box")->body)["description"].asString());
  WriteFile(version + "meshes/box.obj", DiskFile("alice/models/box/2/meshes/box.obj") + "v 9 9 9\n");
  EXPECT_EQ(size + 8 + std::string("Edited by hand").size() - std::string("A unit box, version 2").size(),
            ParseJson(Get("alice/models/box")->body)["filesize"].asUInt());
  EXPECT_EQ(DiskFile("alice/models/box/2/meshes/box.obj"),
            Get("alice/models/box/2/files/meshes/box.obj")->body);
  WriteFile(version + "meshes/box.obj", "v 0 0 0\n");
  EXPECT_EQ("v 0 0 0\n", Get("alice/models/box/2/files/meshes/box.obj")->body);
  EXPECT_EQ(3u, ListedNames(Get("models")->body).size());
  WriteFile(Root() + "/alice/models/box/private", "");
  EXPECT_EQ((Names{"alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
  fs::remove(Root() + "/alice/models/box/private");
  fs::remove_all(Root() + "/alice/models/robot");
  EXPECT_EQ((Names{"alice/box", "bob/wheel"}), ListedNames(Get("models")->body));
}

TEST_F(RepositoryServerTest, CollectionsLeaveOutMembersTheRepositoryLacks) {
  WriteFile(Root() + "/alice/collections/mixed.json",
            "{\"models\": [\"bob/wheel\", \"nobody/nothing\", \"no-slash\", \"alice/box\"]}");
  qx::test::LogCapture log;
  EXPECT_EQ((Names{"bob/wheel", "alice/box"}),
            ListedNames(Get("alice/collections/mixed/models")->body));
  EXPECT_TRUE(log.Contains("names [nobody/nothing], which the repository does not hold"));
}

// ----------------------------------------------------------------- details

TEST_F(RepositoryServerTest, ModelDetailsComeFromMetadataPbtxt) {
  auto result = Get("alice/models/robot");
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status);
  const Json::Value document = ParseJson(result->body);
  EXPECT_EQ("robot", document["name"].asString());
  EXPECT_EQ("alice", document["owner"].asString());
  EXPECT_EQ(1u, document["version"].asUInt());
  EXPECT_EQ("A robot on a wheel, carrying a box", document["description"].asString());
  EXPECT_EQ("Creative Commons - Attribution", document["license_name"].asString());
  EXPECT_EQ("https://creativecommons.org/licenses/by/4.0/", document["license_url"].asString());
  EXPECT_EQ("https://licensebuttons.net/l/by/4.0/88x31.png", document["license_image"].asString());
  ASSERT_TRUE(document["tags"].isArray());
  ASSERT_EQ(2u, document["tags"].size());
  EXPECT_EQ("robot", document["tags"][0].asString());
  EXPECT_EQ("demo", document["tags"][1].asString());
  EXPECT_EQ(0u, document["likes"].asUInt());
  EXPECT_EQ(0u, document["downloads"].asUInt());
  const std::string dir = "alice/models/robot/1/";
  EXPECT_EQ(DiskFile(dir + "model.config").size() + DiskFile(dir + "model.sdf").size() +
                DiskFile(dir + "metadata.pbtxt").size(),
            document["filesize"].asUInt());
  const std::regex date("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.000Z");
  EXPECT_TRUE(std::regex_match(document["createdAt"].asString(), date));
  EXPECT_TRUE(std::regex_match(document["updatedAt"].asString(), date));
}

TEST_F(RepositoryServerTest, DetailsOfTheNewestVersionFromModelConfig) {
  const std::vector<std::tuple<std::string, std::string, unsigned, std::string>> cases = {
      {"alice/models/box", "box", 2, "A unit box, version 2"},
      {"Alice/models/BOX", "box", 2, "A unit box, version 2"},
      {"bob/models/wheel", "wheel", 1, "A wheel that comes with a box"},
      {"bob/worlds/town", "town", 2, "A small town, version 2"},
      {"alice/worlds/garden", "garden", 1, ""},
  };
  for (const auto &[route, name, version, description] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    ASSERT_EQ(200, result->status);
    const Json::Value document = ParseJson(result->body);
    EXPECT_EQ(name, document["name"].asString());
    EXPECT_EQ(version, document["version"].asUInt());
    EXPECT_EQ(description, document["description"].asString());
    EXPECT_FALSE(document.isMember("license_name"));
  }
}

TEST_F(RepositoryServerTest, DetailsRouteAskedForPagesListsTheOneResource) {
  EXPECT_EQ(Names{"alice/box"}, ListedNames(Get("alice/models/box", "page=1")->body));
  EXPECT_EQ(Names{}, ListedNames(Get("alice/models/box", "page=2")->body));
  EXPECT_EQ(Names{"bob/town"}, ListedNames(Get("bob/worlds/town", "page=1")->body));
}

// --------------------------------------------------------------- downloads

TEST_F(RepositoryServerTest, ArchiveHoldsTheVersionDirectoryDirectoriesFirst) {
  auto result = Get("alice/models/box/1/box.zip", "link=true");
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status);
  EXPECT_EQ("application/zip", result->get_header_value("Content-Type"));
  EXPECT_EQ("1", result->get_header_value("X-Qel-Resource-Version"));
  const Entries entries = ArchiveEntries(result->body);
  EXPECT_EQ((Names{"meshes/", "meshes/box.obj", "model.config", "model.sdf"}), EntryNames(entries));
  for (const auto &entry : entries) {
    if (entry.first.back() != '/') {
      EXPECT_EQ(DiskFile("alice/models/box/1/" + entry.first), entry.second) << entry.first;
    }
  }
}

TEST_F(RepositoryServerTest, ArchiveOrderIsSortedAndReproducible) {
  const std::string dir = Root() + "/alice/models/nested/1/";
  AddModel(Root(), "alice", "nested");
  WriteFile(dir + "b/file.txt", "b");
  WriteFile(dir + "a/z/deep.txt", "deep");
  WriteFile(dir + "a/file.txt", "a");
  WriteFile(dir + "a-b/file.txt", "a-b");
  WriteFile(dir + "empty.txt", "");
  auto first = Get("alice/models/nested/1/nested.zip");
  auto second = Get("alice/models/nested/tip/nested.zip");
  ASSERT_TRUE(first && second);
  EXPECT_EQ((Names{"a-b/", "a/", "a/z/", "b/", "a-b/file.txt", "a/file.txt", "a/z/deep.txt",
                   "b/file.txt", "empty.txt", "model.config", "model.sdf"}),
            EntryNames(ArchiveEntries(first->body)));
  EXPECT_EQ(first->body, second->body);
}

TEST_F(RepositoryServerTest, TipAndNumberedVersions) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"alice/models/box/tip/box.zip", "2", "A unit box, version 2"},
      {"alice/models/box/2/box.zip", "2", "A unit box, version 2"},
      {"alice/models/box/01/box.zip", "1", "A unit box, version 1"},
      {"bob/worlds/town/tip/town.zip", "2", "A small town, version 2"},
      {"bob/worlds/town/1/town.zip", "1", "A small town, version 1"},
  };
  for (const auto &[route, version, description] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    ASSERT_EQ(200, result->status);
    EXPECT_EQ(version, result->get_header_value("X-Qel-Resource-Version"));
    std::string config;
    for (const auto &entry : ArchiveEntries(result->body))
      if (entry.first == "model.config") config = entry.second;
    EXPECT_NE(std::string::npos, config.find(description));
  }
}

TEST_F(RepositoryServerTest, WorldWithoutDirectoriesAndAnEmptyVersion) {
  EXPECT_EQ(Names{"garden.sdf"},
            EntryNames(ArchiveEntries(Get("alice/worlds/garden/1/garden.zip")->body)));
  fs::create_directories(Root() + "/alice/worlds/void/1");
  auto result = Get("alice/worlds/void/1/void.zip");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_TRUE(ArchiveEntries(result->body).empty());
}

TEST_F(RepositoryServerTest, SingleFiles) {
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      {"alice/models/box/2/files/meshes/box.obj", "alice/models/box/2/meshes/box.obj",
       "text/plain", "2"},
      {"alice/models/box/tip/files/model.config", "alice/models/box/2/model.config", "text/xml",
       "2"},
      {"alice/models/robot/1/files/metadata.pbtxt", "alice/models/robot/1/metadata.pbtxt",
       "text/plain", "1"},
      {"bob/worlds/town/1/files/town.sdf", "bob/worlds/town/1/town.sdf", "text/xml", "1"},
  };
  for (const auto &[route, file, type, version] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    ASSERT_EQ(200, result->status);
    EXPECT_EQ(DiskFile(file), result->body);
    EXPECT_EQ(type, result->get_header_value("Content-Type"));
    EXPECT_EQ(version, result->get_header_value("X-Qel-Resource-Version"));
  }
}

TEST_F(RepositoryServerTest, PagesOfAModelAreSavedNotRun) {
  WriteFile(Root() + "/alice/models/box/2/drawing.svg", "<svg><script/></svg>");
  WriteFile(Root() + "/alice/models/box/2/Page.HTML", "<script>alert(1)</script>");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"alice/models/box/2/files/drawing.svg", "image/svg+xml", "attachment"},
      {"alice/models/box/2/files/Page.HTML", "application/octet-stream", "attachment"},
      {"alice/models/box/2/files/meshes/box.obj", "text/plain", ""},
  };
  for (const auto &[route, type, disposition] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
    EXPECT_EQ(type, result->get_header_value("Content-Type"));
    EXPECT_EQ(disposition, result->get_header_value("Content-Disposition"));
    EXPECT_EQ("nosniff", result->get_header_value("X-Content-Type-Options"));
  }
}

TEST_F(RepositoryServerTest, FileTagsGiveNoDeviceOrInodeAway) {
  const std::string path = Root() + "/alice/models/box/2/model.sdf";
  struct stat info {};
  ASSERT_EQ(0, ::stat(path.c_str(), &info));
  auto result = Get("alice/models/box/2/files/model.sdf");
  ASSERT_TRUE(result);
  const std::string tag = result->get_header_value("ETag");
  EXPECT_TRUE(std::regex_match(tag, std::regex("\"[0-9a-f]{32}\"")));
  char inode[32];
  std::snprintf(inode, sizeof(inode), "%llx", static_cast<unsigned long long>(info.st_ino));
  EXPECT_EQ(std::string::npos, tag.find(inode));
  // The same file keeps its tag; a changed one gets another.
  EXPECT_EQ(tag, Get("alice/models/box/2/files/model.sdf")->get_header_value("ETag"));
  WriteFile(path, "<sdf version='1.9'/>\n");
  EXPECT_NE(tag, Get("alice/models/box/2/files/model.sdf")->get_header_value("ETag"));
}

TEST_F(RepositoryServerTest, Licenses) {
  auto result = Get("licenses");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("application/json", result->get_header_value("Content-Type"));
  EXPECT_EQ(DiskFile("licenses.json"), result->body);
  WriteFile(Root() + "/licenses.json", "{\"name\": \"not a list\"}");
  EXPECT_EQ(500, Get("licenses")->status);
  fs::remove(Root() + "/licenses.json");
  EXPECT_EQ(404, Get("licenses")->status);
}

TEST_F(RepositoryServerTest, UnknownRoutesAreNotFound) {
  const Names routes = {
      "",
      "alice",
      "alice/models/",
      "alice//models",
      "alice/models/nothing",
      "alice/models/box/1",
      "alice/models/box/3/box.zip",
      "alice/models/box/0/box.zip",
      "alice/models/box/latest/box.zip",
      "alice/models/box/1/robot.zip",
      "alice/models/box/1/box.zip/extra",
      "alice/models/box/1/files",
      "alice/models/box/1/files/meshes",
      "alice/models/box/1/files/missing.txt",
      "alice/worlds/box/1/box.zip",
      "alice/things",
      "alice/collections/favourites",
  };
  for (const std::string &route : routes) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    EXPECT_EQ(404, result->status);
  }
  auto client = ClientFor(Url());
  EXPECT_EQ(404, client->Get("/2.0/models")->status);
  EXPECT_EQ(404, client->Get("/models")->status);
  EXPECT_EQ(404, client->Get("/")->status);
}

TEST_F(RepositoryServerTest, PathsLeavingTheVersionAreNotFound) {
  qx::test::TempDir outside;
  WriteFile(outside.Join("secret.txt"), "secret");
  AddModel(outside.Path(), "mallory", "evil");
  // A private model whose files public ones link to, inside the root.
  AddModel(Root(), "alice", "hidden");
  WriteFile(Root() + "/alice/models/hidden/1/data.txt", "secret of a private model");
  WriteFile(Root() + "/alice/models/hidden/private", "");
  const std::string version = Root() + "/alice/models/box/1/";
  fs::create_symlink(outside.Join("secret.txt"), version + "leak.txt");
  fs::create_symlink(outside.Join("mallory"), Root() + "/mallory");
  fs::create_symlink(outside.Join("mallory/models/evil"), Root() + "/alice/models/evil");
  fs::create_symlink(outside.Path(), version + "outside");
  fs::create_symlink("../../hidden/1/data.txt", version + "private.txt");
  fs::create_symlink("../../hidden/1", version + "privdir");
  fs::create_symlink(Root() + "/licenses.json", version + "root.json");
  // A link to a file of the version itself is served.
  fs::create_symlink("model.sdf", version + "alias.sdf");

  const std::vector<std::string> targets = {
      Target("alice/models/box/1/files/leak.txt"),
      Target("alice/models/box/1/files/outside/secret.txt"),
      Target("alice/models/box/1/files/private.txt"),
      Target("alice/models/box/1/files/privdir/data.txt"),
      Target("alice/models/box/1/files/root.json"),
      Target("alice/models/box/1/files/../../../../licenses.json"),
      "/1.0/alice%2Fmodels%2Fbox%2F1%2Ffiles%2F%2e%2e%2F%2e%2e%2F%2e%2e%2F%2e%2e%2Flicenses.json",
      "/1.0/alice/models/box/1/files/%2E%2E/%2E%2E/%2E%2E/%2E%2E/licenses.json",
      "/1.0/alice/models/box/1/files/%252e%252e/%252e%252e/%252e%252e/%252e%252e/licenses.json",
      Target("alice/models/box/1/files//etc/passwd"),
      Target("/etc/passwd"),
      Target("../models"),
      Target("alice/models/box/1/files/model.config%00.txt"),
      Target("mallory/models"),
      Target("mallory/models/evil"),
      Target("alice/models/evil"),
      Target("alice/models/evil/1/evil.zip"),
  };
  auto client = ClientFor(Url());
  for (const std::string &target : targets) {
    SCOPED_TRACE(target);
    auto result = client->Get(target.c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(404, result->status);
    EXPECT_EQ(std::string::npos, result->body.find("secret"));
  }
  // A server without a read key serves private models to no one.
  EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
  const Entries entries = ArchiveEntries(Get("alice/models/box/1/box.zip")->body);
  EXPECT_EQ((Names{"meshes/", "alias.sdf", "meshes/box.obj", "model.config", "model.sdf"}),
            EntryNames(entries));
  for (const auto &entry : entries) EXPECT_EQ(std::string::npos, entry.second.find("secret"));
  EXPECT_EQ(DiskFile("alice/models/box/1/model.sdf"),
            Get("alice/models/box/1/files/alias.sdf")->body);
}

TEST_F(RepositoryServerTest, NamesThatAreNotUtf8AreLeftOutOfTheVersion) {
  const std::string version = Root() + "/alice/models/box/1/";
  WriteFile(version + "bad\xffname.txt", "x");
  WriteFile(version + "dir\xc3\x28/inner.txt", "x");
  WriteFile(version + "gr\xc3\xbc\xc3\x9f" "e.txt", "valid UTF-8");
  qx::test::LogCapture log;
  auto archive = Get("alice/models/box/1/box.zip");
  ASSERT_TRUE(archive);
  ASSERT_EQ(200, archive->status);
  EXPECT_EQ((Names{"meshes/", "gr\xc3\xbc\xc3\x9f" "e.txt", "meshes/box.obj", "model.config",
                   "model.sdf"}),
            EntryNames(ArchiveEntries(archive->body)));
  EXPECT_TRUE(log.Contains("its name is not valid UTF-8", qx::common::LOG_WARNING));
  EXPECT_EQ(404, Get("alice/models/box/1/files/bad\xffname.txt")->status);
  EXPECT_EQ(200, Get("alice/models/box/1/files/gr\xc3\xbc\xc3\x9f" "e.txt")->status);
}

TEST_F(RepositoryServerTest, RoutesAreDecodedOnce) {
  AddModel(Root(), "a+b", "two words");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/1.0/a%2Bb%2Fmodels", "a+b/models"},
      {"/1.0/a+b/models", "a+b/models"},
      {"/1.0/a%2Bb/models/two%20words", "a+b/models/two words"},
      {"/1.0/a%252Bb%2Fmodels", "a%2Bb/models"},
  };
  auto client = ClientFor(Url());
  for (const auto &[target, route] : cases) {
    SCOPED_TRACE(target);
    Server().ClearRequests();
    auto result = client->Get(target.c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(route == "a%2Bb/models" ? 404 : 200, result->status);
    ASSERT_EQ(1u, Server().Requests().size());
    EXPECT_EQ(route, Server().Requests()[0].route);
    EXPECT_EQ(target, Server().Requests()[0].target);
  }
}

TEST_F(RepositoryServerTest, OnlyReadingMethodsAreServed) {
  auto client = ClientFor(Url());
  auto head = client->Head(Target("alice/models/box/1/box.zip").c_str());
  ASSERT_TRUE(head);
  EXPECT_EQ(200, head->status);
  EXPECT_EQ("1", head->get_header_value("X-Qel-Resource-Version"));
  EXPECT_TRUE(head->body.empty());
  // Writes have routes of their own (RepositoryServerWrites_TEST.cc).
  for (const std::string method : {"POST", "PUT", "PATCH", "DELETE"}) {
    SCOPED_TRACE(method);
    httplib::Request request;
    request.method = method;
    request.path = Target("alice/models/box/1/box.zip");
    request.body = "x";
    auto result = client->send(request);
    ASSERT_TRUE(result);
    EXPECT_EQ(405, result->status);
    EXPECT_EQ("GET, HEAD", result->get_header_value("Allow"));
  }
}

// ------------------------------------------------------------------- API key

class ApiKeyTest : public RepositoryServerTest {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.apiKey = "secret";
    return options;
  }
};

TEST_F(ApiKeyTest, DetailsDownloadsAndFilesNeedTheKey) {
  const httplib::Headers right = {{"Private-token", "secret"}};
  const httplib::Headers wrong = {{"Private-token", "guess"}};
  const std::vector<std::tuple<std::string, httplib::Headers, int>> cases = {
      {"models", {}, 200},
      {"alice/collections/favourites/models", {}, 200},
      {"licenses", {}, 200},
      {"alice/models/box", {}, 401},
      {"alice/models/box", wrong, 401},
      {"alice/models/box", right, 200},
      {"alice/models/box/1/box.zip", {}, 401},
      {"alice/models/box/1/box.zip", right, 200},
      {"alice/models/box/1/files/model.config", {}, 401},
      {"alice/models/box/1/files/model.config", right, 200},
  };
  for (const auto &[route, headers, status] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route, "", headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(status, result->status);
  }
}

TEST_F(ApiKeyTest, TheListingOfOneResourceIsAListing) {
  // Listings never carry the key: the listing of one resource needs none,
  // and a private one is not there for it, as an absent one is not.
  EXPECT_EQ(Names{"alice/box"}, ListedNames(Get("alice/models/box", "page=1")->body));
  WriteFile(Root() + "/alice/models/box/private", "");
  auto hidden = Get("alice/models/box", "page=1");
  ASSERT_TRUE(hidden);
  EXPECT_EQ(404, hidden->status);
  EXPECT_EQ(Names{"alice/box"},
            ListedNames(Get("alice/models/box", "page=1", {{"Private-token", "secret"}})->body));
}

// ------------------------------------------------------------------ scripts

TEST_F(RepositoryServerTest, ScriptedStatusBodyAndContentType) {
  ResponseScript script;
  script.route = "alice/models/box";
  script.status = 503;
  script.body = "try later";
  script.contentType = "text/html";
  const int id = Server().AddScript(script);
  auto scripted = Get("alice/models/box");
  ASSERT_TRUE(scripted);
  EXPECT_EQ(503, scripted->status);
  EXPECT_EQ("try later", scripted->body);
  EXPECT_EQ("text/html", scripted->get_header_value("Content-Type"));
  EXPECT_EQ(200, Get("alice/models/robot")->status);
  Server().RemoveScript(id);
  EXPECT_EQ(200, Get("alice/models/box")->status);
}

TEST_F(RepositoryServerTest, ScriptedHeadersReplaceRepeatAndDisappear) {
  ResponseScript script;
  script.route = "alice/models/box/1/box.zip";
  script.headers = {{"X-Qel-Resource-Version", "7"},
                    {"X-Extra", "first"},
                    {"x-extra", "second"}};
  script.removeHeaders = {"Content-Type"};
  Server().AddScript(script);
  auto result = Get(script.route);
  ASSERT_TRUE(result);
  EXPECT_EQ(1u, result->get_header_value_count("X-Qel-Resource-Version"));
  EXPECT_EQ("7", result->get_header_value("X-Qel-Resource-Version"));
  ASSERT_EQ(2u, result->get_header_value_count("X-Extra"));
  EXPECT_EQ("first", result->get_header_value("X-Extra", 0));
  EXPECT_EQ("second", result->get_header_value("X-Extra", 1));
  EXPECT_FALSE(result->has_header("Content-Type"));
  EXPECT_EQ(4u, ArchiveEntries(result->body).size());
}

TEST_F(RepositoryServerTest, ScriptedDroppedVersionHeader) {
  ResponseScript script;
  script.route = "bob/worlds/town/tip/town.zip";
  script.dropVersionHeader = true;
  Server().AddScript(script);
  auto result = Get(script.route);
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_FALSE(result->has_header("X-Qel-Resource-Version"));
  EXPECT_EQ("application/zip", result->get_header_value("Content-Type"));
}

TEST_F(RepositoryServerTest, ScriptedReferralLink) {
  const std::string route = "alice/models/box/tip/box.zip";
  ResponseScript script;
  script.route = route;
  script.query = "link=true";
  script.referralUrl = Server().RouteUrl(route);
  script.referralContentType = "text/plain; charset=utf-8";
  Server().AddScript(script);
  EXPECT_EQ(Url() + "/1.0/alice/models/box/tip/box.zip", *script.referralUrl);

  auto referral = Get(route, "link=true");
  ASSERT_TRUE(referral);
  EXPECT_EQ(200, referral->status);
  EXPECT_EQ(*script.referralUrl, referral->body);
  EXPECT_EQ("text/plain; charset=utf-8", referral->get_header_value("Content-Type"));
  EXPECT_EQ("2", referral->get_header_value("X-Qel-Resource-Version"));

  auto archive = ClientFor(Url())->Get(script.referralUrl->substr(Url().size()).c_str());
  ASSERT_TRUE(archive);
  EXPECT_EQ("application/zip", archive->get_header_value("Content-Type"));
  EXPECT_EQ(4u, ArchiveEntries(archive->body).size());
}

TEST_F(RepositoryServerTest, ScriptedTruncationAnnouncesMoreThanItSends) {
  const std::string full = Get("alice/models/box/1/box.zip")->body;
  struct Case {
    std::size_t truncateAfter;
    std::size_t sent;
    std::size_t announced;
  };
  for (const Case &c : {Case{10, 10, full.size()}, Case{0, 0, full.size()},
                        Case{full.size(), full.size(), full.size() + 1}}) {
    SCOPED_TRACE(c.truncateAfter);
    Server().ClearScripts();
    ResponseScript script;
    script.route = "alice/models/box/1/box.zip";
    script.truncateAfter = c.truncateAfter;
    Server().AddScript(script);
    const std::string received =
        qx::test::RawExchange(Server().Port(),
                              "GET " + Target(script.route) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            .received;
    const std::size_t headEnd = received.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, headEnd);
    const std::string head = received.substr(0, headEnd);
    EXPECT_EQ(0u, head.find("HTTP/1.1 200 OK"));
    EXPECT_NE(std::string::npos, head.find("Content-Length: " + std::to_string(c.announced)));
    EXPECT_NE(std::string::npos, head.find("Content-Type: application/zip"));
    EXPECT_NE(std::string::npos, head.find("X-Qel-Resource-Version: 1"));
    EXPECT_EQ(full.substr(0, c.sent), received.substr(headEnd + 4));
  }
  auto result = Get("alice/models/box/1/box.zip");
  EXPECT_FALSE(result);
  EXPECT_EQ(httplib::Error::Read, result.error());
}

TEST_F(RepositoryServerTest, ScriptsMatchMethodRouteQueryAndCount) {
  ResponseScript onlyPage2;
  onlyPage2.route = "models";
  onlyPage2.query = "page=2";
  onlyPage2.body = "null\n";
  Server().AddScript(onlyPage2);
  ResponseScript twice;
  twice.route = "alice/models/box";
  twice.status = 500;
  twice.times = 2;
  Server().AddScript(twice);
  ResponseScript posts;
  posts.method = "POST";
  posts.route = "models";
  posts.status = 200;
  posts.body = "{}";
  Server().AddScript(posts);
  ResponseScript anyMethod;
  anyMethod.method = "";
  anyMethod.route = "bob/models/wheel";
  anyMethod.status = 418;
  Server().AddScript(anyMethod);

  EXPECT_EQ("null\n", Get("models", "page=2")->body);
  EXPECT_EQ(3u, ListedNames(Get("models", "page=1")->body).size());
  EXPECT_EQ(500, Get("alice/models/box")->status);
  EXPECT_EQ(500, Get("alice/models/box")->status);
  EXPECT_EQ(200, Get("alice/models/box")->status);
  auto client = ClientFor(Url());
  auto post = client->Post(Target("models").c_str(), WriteKeyHeader(), "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(200, post->status);
  EXPECT_EQ("{}", post->body);
  EXPECT_EQ(3u, ListedNames(Get("models")->body).size());  // GET is untouched
  EXPECT_EQ(418, Get("bob/models/wheel")->status);
  EXPECT_EQ(418, client->Delete(Target("bob/models/wheel").c_str())->status);
  Server().ClearScripts();
  EXPECT_EQ(200, Get("bob/models/wheel")->status);  // the scripted DELETE deleted nothing
  EXPECT_EQ(400,
            client->Post(Target("models").c_str(), WriteKeyHeader(), "x", "text/plain")->status);
}

TEST_F(RepositoryServerTest, ScriptedDelayEndsWhenTheServerStops) {
  ResponseScript script;
  script.route = "models";
  script.delay = std::chrono::milliseconds::max();  // bounded to a day by the server
  Server().AddScript(script);
  std::atomic<bool> answered{false};
  std::thread request([&] {
    Get("models");
    answered = true;
  });
  // Wait (bounded) until the server has the request.
  for (int i = 0; i < 30000 && Server().Requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(1u, Server().Requests().size());
  EXPECT_FALSE(answered);
  Server().Stop();
  request.join();
  EXPECT_TRUE(answered);
  EXPECT_FALSE(Server().Running());
}

// -------------------------------------------------------------- request log

TEST_F(RepositoryServerTest, RequestLogRecordsEveryRequest) {
  Get("models", "page=1", {{"Accept", "application/json"}});
  Get("alice/models/box/tip/box.zip", "link=true", {{"Private-token", "k"}});
  auto client = ClientFor(Url());
  httplib::MultipartFormDataItems form = {
      {"name", "box", "", ""},
      {"file", "<model/>", "model.config", "text/xml"},
  };
  client->Post(Target("models").c_str(), WriteKeyHeader(), form);

  const std::vector<RequestRecord> log = Server().Requests();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("GET", log[0].method);
  EXPECT_EQ("/1.0/models?page=1", log[0].target);
  EXPECT_EQ("models", log[0].route);
  EXPECT_EQ("page=1", log[0].query);
  EXPECT_EQ("application/json", log[0].Header("accept").value_or(""));
  EXPECT_FALSE(log[0].Header("Private-token"));
  EXPECT_FALSE(log[0].Header("REMOTE_ADDR"));
  EXPECT_EQ(200, log[0].status);
  EXPECT_EQ(0u, log[0].bodySize);

  EXPECT_EQ("alice/models/box/tip/box.zip", log[1].route);
  EXPECT_EQ("/1.0/alice%2Fmodels%2Fbox%2Ftip%2Fbox.zip?link=true", log[1].target);
  EXPECT_EQ("link=true", log[1].query);
  EXPECT_EQ("k", log[1].Header("Private-token").value_or(""));

  EXPECT_EQ("POST", log[2].method);
  EXPECT_EQ(400, log[2].status);  // an upload without owner
  EXPECT_LT(0u, log[2].bodySize);
  ASSERT_EQ(2u, log[2].form.size());
  EXPECT_EQ("file", log[2].form[0].name);
  EXPECT_EQ("model.config", log[2].form[0].filename);
  EXPECT_EQ("text/xml", log[2].form[0].contentType);
  EXPECT_EQ("<model/>", log[2].form[0].content);
  EXPECT_EQ("name", log[2].form[1].name);
  EXPECT_EQ("box", log[2].form[1].content);

  // A write that is no form is refused before its body is read: the record
  // has the length it declared, and no body.
  client->Post(Target("models").c_str(), WriteKeyHeader(), "plain body", "text/plain");
  EXPECT_EQ(400, Server().Requests().back().status);
  EXPECT_EQ("", Server().Requests().back().body);
  EXPECT_EQ(10u, Server().Requests().back().bodySize);

  EXPECT_EQ(3u, Server().Requests("models").size());
  Server().ClearRequests();
  EXPECT_TRUE(Server().Requests().empty());
}

// ---------------------------------------------------------------- lifecycle

TEST(RepositoryServerLifecycle, StartStopAndRestart) {
  qx::test::TempDir root;
  AddModel(root.Path(), "alice", "box");
  RepositoryServer server(root.Path());
  EXPECT_EQ(0, server.Port());
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(server.Running());
  EXPECT_LT(0, server.Port());
  EXPECT_EQ("http://127.0.0.1:" + std::to_string(server.Port()), server.Url());
  {
    qx::test::LogCapture log;
    EXPECT_FALSE(server.Start());
    EXPECT_TRUE(log.Contains("is running already", qx::common::LOG_ERROR));
  }
  ASSERT_EQ(Names{"alice/box"}, ListedNames(ClientFor(server.Url())->Get("/1.0/models")->body));
  server.Stop();
  server.Stop();
  EXPECT_FALSE(server.Running());
  // What changed while it was stopped is in its answers once it runs again.
  AddModel(root.Path(), "bob", "wheel");
  ASSERT_TRUE(server.Start());
  auto result = ClientFor(server.Url())->Get("/1.0/models");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ((Names{"alice/box", "bob/wheel"}), ListedNames(result->body));
}

TEST(RepositoryServerLifecycle, StartFailures) {
  qx::test::TempDir root;
  qx::test::LogCapture log;
  EXPECT_FALSE(RepositoryServer(root.Join("missing")).Start());
  EXPECT_TRUE(log.Contains("Repository directory does not exist [" + root.Join("missing") + "]"));

  RepositoryServer first(root.Path());
  ASSERT_TRUE(first.Start());
  RepositoryServer::Options busy;
  busy.port = first.Port();
  EXPECT_FALSE(RepositoryServer(root.Path(), busy).Start());
  EXPECT_TRUE(log.Contains("Unable to listen on [127.0.0.1:" + std::to_string(first.Port())));

  RepositoryServer::Options tls;
  tls.certFile = root.Join("none.pem");
  tls.keyFile = root.Join("none.key");
  EXPECT_FALSE(RepositoryServer(root.Path(), tls).Start());
  EXPECT_TRUE(log.Contains("Unable to load the certificate [" + tls.certFile + "]"));
  tls.keyFile.clear();
  EXPECT_FALSE(RepositoryServer(root.Path(), tls).Start());
  EXPECT_TRUE(log.Contains("HTTPS needs both a certificate and a key file"));
}

TEST(RepositoryServerLifecycle, ServesHttpsWithAThrowAwayCertificate) {
  qx::test::TempDir certificates;
  const qx::test::TestCertificates files = qx::test::MakeTestCertificates(certificates.Path());
  ASSERT_TRUE(files.ok);
  RepositoryServer::Options options;
  options.certFile = files.serverCert;
  options.keyFile = files.serverKey;
  options.pageSize = 1;
  qx::test::ExampleServer example(options);
  ASSERT_TRUE(example.Started());
  EXPECT_EQ("https://127.0.0.1:" + std::to_string(example.Server().Port()), example.Url());

  httplib::SSLClient trusting("127.0.0.1", example.Server().Port());
  trusting.set_ca_cert_path(files.caCert.c_str());
  trusting.enable_server_certificate_verification(true);
  trusting.set_read_timeout(30);
  auto result = trusting.Get("/1.0/worlds");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ(Names{"alice/garden"}, ListedNames(result->body));
  EXPECT_EQ("</1.0/worlds?page=2>; rel=\"next\"", result->get_header_value("Link"));
  auto archive = trusting.Get("/1.0/bob%2Fworlds%2Ftown%2Ftip%2Ftown.zip");
  ASSERT_TRUE(archive);
  EXPECT_EQ("2", archive->get_header_value("X-Qel-Resource-Version"));

  httplib::SSLClient doubting("127.0.0.1", example.Server().Port());
  doubting.enable_server_certificate_verification(true);
  doubting.set_read_timeout(30);
  auto refused = doubting.Get("/1.0/models");
  EXPECT_FALSE(refused);
  EXPECT_EQ(httplib::Error::SSLServerVerification, refused.error());
}

TEST(RepositoryServerLifecycle, ExampleDependencyUrlsNameTheServer) {
  qx::test::ExampleServer example;
  ASSERT_TRUE(example.Started());
  const std::string pbtxt = ReadFile(example.Root() + "/alice/models/robot/1/metadata.pbtxt");
  EXPECT_NE(std::string::npos, pbtxt.find("uri: \"" + example.Url() + "/1.0/bob/models/wheel\""));
  const std::string config = ReadFile(example.Root() + "/bob/models/wheel/1/model.config");
  EXPECT_NE(std::string::npos, config.find(example.Url() + "/1.0/alice/models/box<"));
  EXPECT_EQ(example.Url(), example.Config().Url().Str());
  EXPECT_EQ("1.0", example.Config().Version());
}

}  // namespace
