// The repository server's write side (uploads, edits, deletions) and the
// request log's count of concurrent requests, spoken to with cpp-httplib.
#include <qx/quarn_server/RepositoryServer.hh>

#include <httplib.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/FormBodies.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

namespace {

namespace fs = std::filesystem;
using qx::quarn_server::RepositoryServer;
using qx::test::ResponseScript;
using qx::test::ListedNames;
using qx::test::ParseJson;
using qx::test::ReadFile;
using qx::test::WriteFile;

using Names = std::vector<std::string>;

using Part = qx::test::FormField;
using qx::test::LampParts;
using qx::test::MultipartBody;
const char *const kModelConfig = qx::test::kLampModelConfig;

// Every file and directory below `root`, relative to it, sorted.
Names Tree(const std::string &root) {
  Names names;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

// The names in directory `dir`, sorted.
Names Entries(const std::string &dir) {
  Names names;
  for (const auto &entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ServerWritesTest : public qx::test::RepositoryFixture {
 protected:
  static constexpr const char *kWriteKey = "write-key";

  // The server takes writes with kWriteKey.
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.writeKey = kWriteKey;
    return options;
  }

  // Sends `method` to the route; a form when `parts` is given. Without
  // `headers`, the request carries the write key.
  httplib::Result Send(const std::string &method, const std::string &route,
                       const std::vector<Part> &parts = {},
                       const std::optional<httplib::Headers> &headers = std::nullopt,
                       bool multipart = true) {
    httplib::Client client(Url());
    client.set_read_timeout(30);
    httplib::Request request;
    request.method = method;
    request.path = "/1.0/" + route;
    request.headers = headers ? *headers : httplib::Headers{{"Private-token", kWriteKey}};
    if (multipart && method != "DELETE") {
      request.body = MultipartBody(parts);
      request.set_header("Content-Type", qx::test::FormContentType());
    } else if (!multipart) {
      request.body = "name=lamp";
      request.set_header("Content-Type", "application/x-www-form-urlencoded");
    }
    return client.send(request);
  }

  httplib::Result Get(const std::string &route, const httplib::Headers &headers = {}) {
    httplib::Client client(Url());
    client.set_read_timeout(30);
    return client.Get(("/1.0/" + route).c_str(), headers);
  }

  std::string Disk(const std::string &relative) const { return ReadFile(Root() + "/" + relative); }
  bool OnDisk(const std::string &relative) const { return fs::exists(Root() + "/" + relative); }
};

class ServerWritesWithKeyTest : public ServerWritesTest {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.apiKey = "secret";
    return options;
  }
  const httplib::Headers key_ = {{"Private-token", "secret"}};
};

// ------------------------------------------------------------------ uploads

TEST_F(ServerWritesTest, UploadStoresVersionOneThenTheNext) {
  auto first = Send("POST", "models", LampParts("carol", "Lamp"));
  ASSERT_TRUE(first);
  ASSERT_EQ(200, first->status) << first->body;
  const Json::Value document = ParseJson(first->body);
  EXPECT_EQ("carol", document["owner"].asString());
  EXPECT_EQ("Lamp", document["name"].asString());
  EXPECT_EQ(1u, document["version"].asUInt());
  EXPECT_EQ(kModelConfig, Disk("carol/models/Lamp/1/model.config"));
  EXPECT_EQ("mesh bytes", Disk("carol/models/Lamp/1/meshes/lamp.dae"));
  EXPECT_FALSE(OnDisk("carol/models/Lamp/private"));

  // The same name in another case is the same model: its next version.
  auto second = Send("POST", "models", LampParts("carol", "lamp"));
  ASSERT_TRUE(second);
  ASSERT_EQ(200, second->status) << second->body;
  EXPECT_EQ(2u, ParseJson(second->body)["version"].asUInt());
  EXPECT_TRUE(OnDisk("carol/models/Lamp/2/meshes/lamp.dae"));
  EXPECT_FALSE(OnDisk("carol/models/lamp"));
  // Nothing of the work in progress stays behind.
  EXPECT_EQ((Names{"1", "2"}), Entries(Root() + "/carol/models/Lamp"));

  EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel", "carol/Lamp"}),
            ListedNames(Get("models")->body));
  auto archive = Get("carol/models/lamp/tip/lamp.zip");
  ASSERT_TRUE(archive);
  EXPECT_EQ(200, archive->status);
  EXPECT_EQ("2", archive->get_header_value("X-Qel-Resource-Version"));
}

TEST_F(ServerWritesTest, UploadNamesInUtf8AreTakenAsTheyAre) {
  std::vector<Part> parts = LampParts("carol", "L\xc3\xa4mpchen");
  parts.push_back({"file", "text", "gr\xc3\xbc\xc3\x9f" "e.txt"});
  auto result = Send("POST", "models", parts);
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status) << result->body;
  EXPECT_EQ("text", Disk("carol/models/L\xc3\xa4mpchen/1/gr\xc3\xbc\xc3\x9f" "e.txt"));
}

TEST_F(ServerWritesTest, UploadOfAnExistingModelAddsAVersionAboveEveryNumberedEntry) {
  // A numbered directory that is no valid version still takes its number.
  WriteFile(Root() + "/alice/models/box/5/notes.txt", "not a version");
  auto result = Send("POST", "models", LampParts("alice", "box"));
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status) << result->body;
  EXPECT_EQ(6u, ParseJson(result->body)["version"].asUInt());
  EXPECT_EQ("mesh bytes", Disk("alice/models/box/6/meshes/lamp.dae"));
  EXPECT_EQ("not a version", Disk("alice/models/box/5/notes.txt"));
}

TEST_F(ServerWritesTest, UploadWithOnlyMetadataPbtxtGetsAModelConfig) {
  const std::string pbtxt =
      "name: \"shelf\"\nmodel { file: \"shelf.sdf\" file_format { name: \"sdf\" version { major: "
      "1 minor: 9 } } }\n";
  auto result = Send("POST", "models",
                     {{"name", "shelf", ""},
                      {"owner", "carol", ""},
                      {"file", pbtxt, "metadata.pbtxt"},
                      {"file", "<sdf version='1.9'/>", "shelf.sdf"}});
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status) << result->body;
  EXPECT_EQ(pbtxt, Disk("carol/models/shelf/1/metadata.pbtxt"));
  EXPECT_NE(std::string::npos,
            Disk("carol/models/shelf/1/model.config").find("<sdf version='1.9'>shelf.sdf</sdf>"));
}

struct RefusedUpload {
  const char *what;
  std::vector<Part> parts;
  int status;
  std::string body;
};

TEST_F(ServerWritesTest, UploadsThatWouldNotMakeASafeVersionAreRefusedWhole) {
  auto with = [](std::vector<Part> parts, const Part &extra) {
    parts.push_back(extra);
    return parts;
  };
  const std::vector<Part> lamp = LampParts("carol", "lamp");
  const std::vector<RefusedUpload> cases = {
      {"no owner", LampParts("", "lamp"), 400, "owner required\n"},
      {"empty owner", with(LampParts("", "lamp"), {"owner", "", ""}), 400, "owner required\n"},
      {"no name", with({{"owner", "carol", ""}, {"file", kModelConfig, "model.config"}}, {}), 400,
       "name required\n"},
      {"owner climbing", LampParts("..", "lamp"), 400, "Invalid owner [..]\n"},
      {"hidden owner", LampParts(".carol", "lamp"), 400, "Invalid owner [.carol]\n"},
      {"name with slash", LampParts("carol", "a/b"), 400, "Invalid name [a/b]\n"},
      {"file climbing out", with(lamp, {"file", "x", "../evil"}), 400,
       "Invalid file name [../evil]\n"},
      {"file climbing out deeper", with(lamp, {"file", "x", "meshes/../../../evil"}), 400,
       "Invalid file name [meshes/../../../evil]\n"},
      {"absolute file", with(lamp, {"file", "x", "/tmp/evil"}), 400,
       "Invalid file name [/tmp/evil]\n"},
      {"empty component", with(lamp, {"file", "x", "meshes//x"}), 400,
       "Invalid file name [meshes//x]\n"},
      {"dot component", with(lamp, {"file", "x", "./x"}), 400, "Invalid file name [./x]\n"},
      {"twice", with(lamp, {"file", "x", "model.sdf"}), 400, "Duplicate file name [model.sdf]\n"},
      {"file and directory", with(lamp, {"file", "x", "meshes"}), 400,
       "File name [meshes] is also a directory in the upload\n"},
      {"no model.config",
       {{"owner", "carol", ""}, {"name", "lamp", ""}, {"file", "<sdf/>", "model.sdf"}},
       400,
       "A model version needs a model.config file, or a metadata.pbtxt that names an SDF "
       "file\n"},
      {"owner is a file", LampParts("licenses.json", "lamp"), 409,
       "Unable to store the model [licenses.json/models/lamp]\n"},
      // Names another system would read otherwise, or that no one can show:
      // refused, and shown escaped.
      {"backslash in a file name", with(lamp, {"file", "x", "meshes\\..\\..\\evil"}), 400,
       "Invalid file name [meshes\\x5c..\\x5c..\\x5cevil]\n"},
      {"control character in a file name", with(lamp, {"file", "x", "a\x1b[2Jb.txt"}), 400,
       "Invalid file name [a\\x1b[2Jb.txt]\n"},
      {"file name that is not UTF-8", with(lamp, {"file", "x", "bad\xff\xfename.txt"}), 400,
       "Invalid file name [bad\\xff\\xfename.txt]\n"},
      {"backslash in an owner", LampParts("car\\ol", "lamp"), 400, "Invalid owner [car\\x5col]\n"},
      {"line end in a name", LampParts("carol", "la\nmp"), 400, "Invalid name [la\\x0amp]\n"},
      {"name that is not UTF-8", LampParts("carol", "l\xc3\x28mp"), 400,
       "Invalid name [l\\xc3(mp]\n"},
  };
  const Names before = Tree(Root());
  for (const RefusedUpload &c : cases) {
    SCOPED_TRACE(c.what);
    auto result = Send("POST", "models", c.parts);
    ASSERT_TRUE(result);
    EXPECT_EQ(c.status, result->status);
    EXPECT_EQ(c.body, result->body);
    EXPECT_EQ(before, Tree(Root()));
  }
  EXPECT_FALSE(fs::exists(fs::path(Root()).parent_path() / "evil"));

  auto plain = Send("POST", "models", {}, std::nullopt, false);
  ASSERT_TRUE(plain);
  EXPECT_EQ(400, plain->status);
  EXPECT_EQ("Expected a multipart form\n", plain->body);
}

// -------------------------------------------------------------------- edits

TEST_F(ServerWritesWithKeyTest, PrivateModelsAreListedOnlyForRequestsWithTheKey) {
  auto patched = Send("PATCH", "alice/models/box", {{"private", "1", ""}}, key_);
  ASSERT_TRUE(patched);
  ASSERT_EQ(200, patched->status) << patched->body;
  EXPECT_EQ("box", ParseJson(patched->body)["name"].asString());
  EXPECT_TRUE(OnDisk("alice/models/box/private"));

  const std::vector<std::tuple<std::string, Names, Names>> listings = {
      {"models", {"alice/robot", "bob/wheel"}, {"alice/box", "alice/robot", "bob/wheel"}},
      {"alice/models", {"alice/robot"}, {"alice/box", "alice/robot"}},
      {"alice/collections/favourites/models", {"bob/wheel"}, {"alice/box", "bob/wheel"}},
  };
  for (const auto &[route, withoutKey, withKey] : listings) {
    SCOPED_TRACE(route);
    EXPECT_EQ(withoutKey, ListedNames(Get(route)->body));
    EXPECT_EQ(withoutKey, ListedNames(Get(route, {{"Private-token", "guess"}})->body));
    EXPECT_EQ(withKey, ListedNames(Get(route, key_)->body));
  }
  EXPECT_EQ(401, Get("alice/models/box/tip/box.zip")->status);
  EXPECT_EQ(200, Get("alice/models/box/tip/box.zip", key_)->status);

  auto published = Send("PATCH", "alice/models/box", {{"private", "0", ""}}, key_);
  ASSERT_TRUE(published);
  EXPECT_EQ(200, published->status);
  EXPECT_FALSE(OnDisk("alice/models/box/private"));
  EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
}

TEST_F(ServerWritesTest, PrivateModelsOfAServerWithoutAReadKeyAreServedToNoOne) {
  std::vector<Part> parts = LampParts("carol", "lamp");
  parts[1].content = "1";
  ASSERT_EQ(200, Send("POST", "models", parts)->status);
  EXPECT_TRUE(OnDisk("carol/models/lamp/private"));
  EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
  for (const std::string route : {"carol/models/lamp", "carol/models/lamp/tip/lamp.zip",
                                  "carol/models/lamp/1/files/model.config", "carol/models"}) {
    SCOPED_TRACE(route);
    EXPECT_EQ(404, Get(route)->status);
    EXPECT_EQ(404, Get(route, {{"Private-token", kWriteKey}})->status);
  }
}

TEST_F(ServerWritesTest, PatchWithFilesAddsAVersion) {
  // As the client sends it with a directory: "private" twice, same value.
  std::vector<Part> parts = LampParts("", "ignored");
  parts[1].content = "1";
  parts.push_back({"private", "1", ""});
  auto result = Send("PATCH", "alice/models/box", parts);
  ASSERT_TRUE(result);
  ASSERT_EQ(200, result->status) << result->body;
  EXPECT_EQ(3u, ParseJson(result->body)["version"].asUInt());
  EXPECT_EQ("mesh bytes", Disk("alice/models/box/3/meshes/lamp.dae"));
  EXPECT_TRUE(OnDisk("alice/models/box/private"));
  EXPECT_FALSE(OnDisk("alice/models/ignored"));
}

TEST_F(ServerWritesTest, PatchRefusals) {
  const Names before = Tree(Root());
  const std::vector<std::tuple<std::string, std::vector<Part>, int, std::string>> cases = {
      {"carol/models/none", {{"private", "1", ""}}, 404, "Not found: carol/models/none\n"},
      {"alice/models/box", {{"file", "x", "../x"}}, 400, "Invalid file name [../x]\n"},
      {"alice/models/box",
       {{"file", "<sdf/>", "model.sdf"}},
       400,
       "A model version needs a model.config file, or a metadata.pbtxt that names an SDF "
       "file\n"},
  };
  for (const auto &[route, parts, status, body] : cases) {
    SCOPED_TRACE(route + " " + body);
    auto result = Send("PATCH", route, parts);
    ASSERT_TRUE(result);
    EXPECT_EQ(status, result->status);
    EXPECT_EQ(body, result->body);
  }
  EXPECT_EQ(before, Tree(Root()));
}

// ---------------------------------------------------------------- deletions

TEST_F(ServerWritesTest, DeleteRemovesAModelOrAWorld) {
  for (const std::string route : {"alice/models/box", "bob/worlds/town"}) {
    SCOPED_TRACE(route);
    auto result = Send("DELETE", route);
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
    EXPECT_EQ("Deleted " + route + "\n", result->body);
    EXPECT_FALSE(OnDisk(route));
    EXPECT_EQ(404, Get(route)->status);
    auto again = Send("DELETE", route);
    ASSERT_TRUE(again);
    EXPECT_EQ(404, again->status);
  }
  EXPECT_EQ((Names{"alice/robot", "bob/wheel"}), ListedNames(Get("models")->body));
  EXPECT_EQ((Names{"alice/garden"}), ListedNames(Get("worlds")->body));
  // Nothing hidden is left in the owners' directories.
  EXPECT_EQ((Names{"collections", "models", "worlds"}), Entries(Root() + "/alice"));
  EXPECT_EQ((Names{"models", "worlds"}), Entries(Root() + "/bob"));
  EXPECT_EQ((Names{"robot"}), Entries(Root() + "/alice/models"));
}

TEST_F(ServerWritesTest, ScriptedAnswersStandInForWrites) {
  ResponseScript refuse;
  refuse.method = "DELETE";
  refuse.route = "alice/models/box";
  refuse.status = 503;
  refuse.times = 1;
  Server().AddScript(refuse);
  ResponseScript slow;
  slow.method = "POST";
  slow.route = "models";
  slow.delay = std::chrono::milliseconds(1);
  Server().AddScript(slow);

  auto refused = Send("DELETE", "alice/models/box");
  ASSERT_TRUE(refused);
  EXPECT_EQ(503, refused->status);
  EXPECT_TRUE(OnDisk("alice/models/box/2/model.config"));
  // A script that only delays lets the write happen.
  EXPECT_EQ(200, Send("POST", "models", LampParts("carol", "lamp"))->status);
  EXPECT_TRUE(OnDisk("carol/models/lamp/1/model.config"));
  EXPECT_EQ(200, Send("DELETE", "alice/models/box")->status);
  EXPECT_FALSE(OnDisk("alice/models/box"));
}

// ------------------------------------------------------------------ the key

TEST_F(ServerWritesWithKeyTest, EveryWriteNeedsTheKey) {
  const Names before = Tree(Root());
  const httplib::Headers wrong = {{"Private-token", "guess"}};
  for (const httplib::Headers &headers : {httplib::Headers{}, wrong}) {
    EXPECT_EQ(401, Send("POST", "models", LampParts("carol", "lamp"), headers)->status);
    EXPECT_EQ(401, Send("PATCH", "alice/models/box", {{"private", "1", ""}}, headers)->status);
    EXPECT_EQ(401, Send("DELETE", "alice/models/box", {}, headers)->status);
    EXPECT_EQ(401, Send("DELETE", "bob/worlds/town", {}, headers)->status);
  }
  EXPECT_EQ(before, Tree(Root()));
  EXPECT_EQ(200, Send("POST", "models", LampParts("carol", "lamp"), key_)->status);
  EXPECT_EQ(200, Send("DELETE", "bob/worlds/town", {}, key_)->status);
  EXPECT_TRUE(OnDisk("carol/models/lamp/1/model.config"));
  EXPECT_FALSE(OnDisk("bob/worlds/town"));
}

TEST_F(ServerWritesTest, MethodsARouteDoesNotTakeListWhatItTakes) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"PUT", "models", "GET, HEAD, POST"},
      {"DELETE", "models", "GET, HEAD, POST"},
      {"POST", "alice/models", "GET, HEAD"},
      {"POST", "alice/models/box", "GET, HEAD, PATCH, DELETE"},
      {"PUT", "alice/models/box", "GET, HEAD, PATCH, DELETE"},
      {"PATCH", "bob/worlds/town", "GET, HEAD, DELETE"},
      {"POST", "worlds", "GET, HEAD"},
      {"DELETE", "alice/models/box/1/box.zip", "GET, HEAD"},
      {"DELETE", "alice/collections/favourites/models", "GET, HEAD"},
  };
  const Names before = Tree(Root());
  for (const auto &[method, route, allowed] : cases) {
    SCOPED_TRACE(method + " " + route);
    auto result = Send(method, route, LampParts("carol", "lamp"));
    ASSERT_TRUE(result);
    EXPECT_EQ(405, result->status);
    EXPECT_EQ(allowed, result->get_header_value("Allow"));
  }
  EXPECT_EQ(before, Tree(Root()));
}

// ------------------------------------------------------------- request log

TEST_F(ServerWritesTest, RequestLogCountsTheRequestsBeingAnswered) {
  ResponseScript slow;
  slow.route = "alice/models/box";
  slow.times = 1;
  slow.delay = std::chrono::hours(1);  // ends when the server stops
  Server().AddScript(slow);
  std::thread waiting([&] { Get("alice/models/box"); });
  for (int i = 0; i < 30000 && Server().Requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(1u, Server().Requests().size());
  Get("alice/models/robot");
  Server().Stop();
  waiting.join();

  const auto log = Server().Requests();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(1u, log[0].concurrent);
  EXPECT_EQ("alice/models/robot", log[1].route);
  EXPECT_EQ(2u, log[1].concurrent);
}

}  // namespace
