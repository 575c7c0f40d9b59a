// What caches between a client and a server may keep of each answer: the
// route table's rule, the headers quarn serve and a mirror export's nginx
// send for every route, and the validators that make revalidation cheap
// (304s and 206s with the headers of their 200, ETags that follow the bytes).
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RouteTable.hh"
#include "support/NginxMirror.hh"
#include "support/PullThroughMirror.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

namespace fs = std::filesystem;
using qx::test::WriteFile;

const std::string kForever = "public, max-age=31536000, immutable";
const std::string kRevalidate = "no-cache";
const std::string kPrivate = "private, no-store";
const std::string kNothing = "no-store";

TEST(CacheControl, ByRouteStatusAndKey) {
  struct Case {
    std::string route;
    int status;
    bool keyed;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"alice/models/box/2/box.zip", 200, false, kForever},
      {"alice/models/box/02/box.zip", 206, false, kForever},
      {"alice/models/box/2/box.zip", 304, false, kForever},
      {"alice/worlds/town/1/files/town.sdf", 200, false, kForever},
      {"alice/models/box/tip/box.zip", 200, false, kRevalidate},
      {"alice/models/box/tip/files/a/b.obj", 304, false, kRevalidate},
      {"alice/models/box", 200, false, kRevalidate},
      {"alice/models", 200, false, kRevalidate},
      {"models", 200, false, kRevalidate},
      {"alice/collections/favourites/worlds", 200, false, kRevalidate},
      {"licenses", 200, false, kRevalidate},
      {"alice/models/box/2/box.zip", 404, false, kNothing},
      {"alice/models/box/2/box.zip", 416, false, kNothing},
      {"alice/models/box/2/box.zip", 503, false, kNothing},
      {"models", 400, false, kNothing},
      {"a/b/c/d/e/f/g", 404, false, kNothing},
      {"alice/models/box/2/box.zip", 200, true, kPrivate},
      {"models", 200, true, kPrivate},
      {"alice/models/box", 401, true, kPrivate},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.route + " " + std::to_string(c.status) + (c.keyed ? " keyed" : ""));
    EXPECT_EQ(c.expected, cacheControl(parseRoute(c.route), c.status, c.keyed));
  }
  EXPECT_TRUE(fixedAnswer(parseRoute("alice/models/box/7/files/model.sdf")));
  EXPECT_FALSE(fixedAnswer(parseRoute("alice/models/box/tip/files/model.sdf")));
  EXPECT_FALSE(fixedAnswer(parseRoute("alice/models/box", "page=1")));
}

// ------------------------------------------------------------ quarn serve

// What a server is started with.
enum class Keys { kNone, kWriteOnly, kRead };

std::string KeysName(const ::testing::TestParamInfo<Keys> &info) {
  switch (info.param) {
    case Keys::kNone: return "NoKey";
    case Keys::kWriteOnly: return "WriteKeyOnly";
    case Keys::kRead: return "ReadKey";
  }
  return "";
}

class ServerCachePolicy : public qx::test::RepositoryFixture,
                          public ::testing::WithParamInterface<Keys> {
 protected:
  static constexpr const char *kKey = "the-key";

  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    if (GetParam() == Keys::kWriteOnly) options.writeKey = kKey;
    if (GetParam() == Keys::kRead) options.apiKey = kKey;  // both keys
    return options;
  }
  httplib::Result Get(const std::string &target, const httplib::Headers &headers) {
    httplib::Client client(Url());
    client.set_url_encode(false);
    return client.Get(target.c_str(), headers);
  }
};

// The routes a server answers, one of each form, with the policy of an
// unkeyed request to a server without a read key.
struct RouteCase {
  std::string target;
  httplib::Headers headers;
  int status;          // unkeyed, without a read key
  std::string policy;  // the same
  bool guarded;        // details, archives and files: 401 without the read key
};

std::vector<RouteCase> RouteCases() {
  return {
      {"/1.0/licenses", {}, 200, kRevalidate, false},
      {"/1.0/models", {}, 200, kRevalidate, false},
      {"/1.0/worlds?page=2", {}, 200, kRevalidate, false},
      {"/1.0/alice/models", {}, 200, kRevalidate, false},
      {"/1.0/alice%2Fcollections%2Ffavourites%2Fmodels", {}, 200, kRevalidate, false},
      {"/1.0/alice/models/box?page=1", {}, 200, kRevalidate, false},
      {"/1.0/alice/models/box", {}, 200, kRevalidate, true},
      {"/1.0/bob/worlds/town", {}, 200, kRevalidate, true},
      {"/1.0/alice/models/box/tip/box.zip?link=true", {}, 200, kRevalidate, true},
      {"/1.0/alice%2Fmodels%2Fbox%2F1%2Fbox.zip?link=true", {}, 200, kForever, true},
      {"/1.0/bob/worlds/town/2/town.zip", {}, 200, kForever, true},
      {"/1.0/alice/models/box/tip/files/meshes/box.obj", {}, 200, kRevalidate, true},
      {"/1.0/alice/models/box/2/files/meshes/box.obj", {}, 200, kForever, true},
      {"/1.0/alice/models/box/2/box.zip", {{"Range", "bytes=0-9"}}, 206, kForever, true},
      {"/1.0/alice/models/box/tip/box.zip", {{"Range", "bytes=0-9"}}, 206, kRevalidate, true},
      {"/1.0/alice/models/box/2/box.zip", {{"Range", "bytes=99999999-"}}, 416, kNothing, true},
      {"/1.0/alice/models/box/9/box.zip", {}, 404, kNothing, true},
      {"/1.0/alice/models/nothing", {}, 404, kNothing, true},
      {"/1.0/nobody/models", {}, 404, kNothing, false},
      {"/1.0/models?page=x", {}, 400, kNothing, false},
      {"/1.0/a/b/c/d/e/f/g/h", {}, 404, kNothing, false},
      {"/2.0/models", {}, 404, kNothing, false},
  };
}

TEST_P(ServerCachePolicy, EveryRouteSaysWhatCachesMayKeep) {
  const bool readKey = GetParam() == Keys::kRead;
  for (const RouteCase &c : RouteCases()) {
    for (const bool keyed : {false, true}) {
      SCOPED_TRACE(c.target + (keyed ? " with the key" : ""));
      httplib::Headers headers = c.headers;
      if (keyed) headers.emplace("Private-token", kKey);
      auto result = Get(c.target, headers);
      ASSERT_TRUE(result);
      EXPECT_EQ(readKey && !keyed && c.guarded ? 401 : c.status, result->status);
      if (keyed || readKey) {
        EXPECT_EQ(kPrivate, result->get_header_value("Cache-Control"));
        EXPECT_EQ("Private-token", result->get_header_value("Vary"));
      } else {
        EXPECT_EQ(c.policy, result->get_header_value("Cache-Control"));
        EXPECT_FALSE(result->has_header("Vary"));
      }
    }
  }
}

TEST_P(ServerCachePolicy, RevalidationsAndRangesCarryTheHeadersOfTheirAnswer) {
  const httplib::Headers key = GetParam() == Keys::kRead
                                   ? httplib::Headers{{"Private-token", kKey}}
                                   : httplib::Headers{};
  for (const std::string target :
       {"/1.0/alice/models/box/2/box.zip", "/1.0/alice/models/box/tip/box.zip",
        "/1.0/alice/models/box/1/files/model.sdf", "/1.0/alice/models/box/tip/files/model.sdf"}) {
    SCOPED_TRACE(target);
    auto whole = Get(target, key);
    ASSERT_TRUE(whole);
    ASSERT_EQ(200, whole->status);
    httplib::Headers conditional = key;
    conditional.emplace("If-None-Match", whole->get_header_value("ETag"));
    httplib::Headers since = key;
    since.emplace("If-Modified-Since", whole->get_header_value("Last-Modified"));
    httplib::Headers range = key;
    range.emplace("Range", "bytes=1-5");
    httplib::Headers ifRange = range;
    ifRange.emplace("If-Range", whole->get_header_value("ETag"));
    for (const auto &[headers, status] :
         std::vector<std::pair<httplib::Headers, int>>{
             {conditional, 304}, {since, 304}, {range, 206}, {ifRange, 206}}) {
      auto answer = Get(target, headers);
      ASSERT_TRUE(answer);
      EXPECT_EQ(status, answer->status);
      for (const char *name : {"ETag", "Last-Modified", "Cache-Control", "Vary",
                               "X-Qel-Resource-Version", "X-Content-Type-Options"})
        EXPECT_EQ(whole->get_header_value(name), answer->get_header_value(name)) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, ServerCachePolicy,
                         ::testing::Values(Keys::kNone, Keys::kWriteOnly, Keys::kRead), KeysName);

class WriteKeyServer : public qx::test::RepositoryFixture {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.writeKey = "writer";
    return options;
  }
};

TEST_F(WriteKeyServer, WritesAndTheirRefusalsAreKeptByNoOne) {
  httplib::Client client(Url());
  httplib::MultipartFormDataItems form = {{"owner", "alice", "", ""},
                                          {"name", "cup", "", ""},
                                          {"file", "<model/>", "model.config", "text/xml"}};
  auto refused = client.Post("/1.0/models", form);
  ASSERT_TRUE(refused);
  EXPECT_EQ(401, refused->status);
  EXPECT_EQ(kNothing, refused->get_header_value("Cache-Control"));
  auto taken = client.Post("/1.0/models", {{"Private-token", "writer"}}, form);
  ASSERT_TRUE(taken);
  EXPECT_EQ(200, taken->status);
  EXPECT_EQ(kPrivate, taken->get_header_value("Cache-Control"));
  EXPECT_EQ("Private-token", taken->get_header_value("Vary"));
}

// The server keeps its answers while the tree does not change: what a key
// unlocked is kept apart, and the policy is that of each request.
class KeptAnswers : public qx::test::RepositoryFixture {
 protected:
  RepositoryServer::Options ServerOptions() const override {
    RepositoryServer::Options options;
    options.readKey = "reader";
    return options;
  }
};

TEST_F(KeptAnswers, AKeyedAnswerIsNeverReplayedWithoutTheKey) {
  WriteFile(Root() + "/alice/models/box/private", "");
  httplib::Client client(Url());
  const httplib::Headers key = {{"Private-token", "reader"}};
  const httplib::Headers wrong = {{"Private-token", "guess"}};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    for (const std::string route :
         {"/1.0/alice/models/box/1/box.zip", "/1.0/alice/models/box", "/1.0/alice/models/box/1/files/model.sdf"}) {
      SCOPED_TRACE(route);
      auto keyed = client.Get(route.c_str(), key);
      ASSERT_TRUE(keyed);
      EXPECT_EQ(200, keyed->status);
      EXPECT_EQ(kPrivate, keyed->get_header_value("Cache-Control"));
      for (const httplib::Headers &other : {httplib::Headers{}, wrong}) {
        auto refused = client.Get(route.c_str(), other);
        ASSERT_TRUE(refused);
        EXPECT_EQ(401, refused->status);
        EXPECT_NE(keyed->body, refused->body);
        EXPECT_FALSE(refused->has_header("ETag"));
        EXPECT_EQ(kPrivate, refused->get_header_value("Cache-Control"));
      }
    }
    // A listing, which takes no key: the private model only with it.
    auto listed = client.Get("/1.0/alice/models", key);
    auto unlisted = client.Get("/1.0/alice/models");
    ASSERT_TRUE(listed && unlisted);
    EXPECT_NE(std::string::npos, listed->body.find("\"box\""));
    EXPECT_EQ(std::string::npos, unlisted->body.find("\"box\""));
    EXPECT_NE(listed->get_header_value("ETag"), unlisted->get_header_value("ETag"));
  }
}

// --------------------------------------------------- a mirror under nginx

class MirrorCachePolicy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mirror_ = new qx::test::NginxMirror(2); }
  static void TearDownTestSuite() {
    delete mirror_;
    mirror_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(mirror_->Started()) << mirror_->Failure(); }

  httplib::Result Get(const std::string &target, const httplib::Headers &headers = {}) {
    httplib::Client client(mirror_->Url());
    client.set_url_encode(false);
    return client.Get(target.c_str(), headers);
  }

  static qx::test::NginxMirror *mirror_;
};

qx::test::NginxMirror *MirrorCachePolicy::mirror_ = nullptr;

TEST_F(MirrorCachePolicy, EveryRouteSaysWhatCachesMayKeepAsTheServerSaysIt) {
  // The mirror serves no private model and checks no key: only the routes'
  // rules, the status and whether a key came decide, as at quarn serve.
  for (const RouteCase &c : RouteCases()) {
    if (c.status == 416 || c.target.rfind("/2.0/", 0) == 0) continue;  // see below
    for (const bool keyed : {false, true}) {
      SCOPED_TRACE(c.target + (keyed ? " with a key" : ""));
      httplib::Headers headers = c.headers;
      if (keyed) headers.emplace("Private-token", "any");
      auto result = Get(c.target, headers);
      ASSERT_TRUE(result);
      EXPECT_EQ(c.status, result->status);
      EXPECT_EQ(keyed ? kPrivate : c.policy, result->get_header_value("Cache-Control"));
      EXPECT_EQ(keyed ? "Private-token" : "", result->get_header_value("Vary"));
    }
  }
  for (const std::string target : {"/2.0/models", "/", "/listing/server/models/1.json"}) {
    SCOPED_TRACE(target);
    auto result = Get(target);
    ASSERT_TRUE(result);
    EXPECT_EQ(404, result->status);
    EXPECT_EQ(kNothing, result->get_header_value("Cache-Control"));
  }
  // A range past the end: nginx adds the headers again for its 416, so the
  // answer says no-store too (beside the 200's own line).
  auto unsatisfiable =
      Get("/1.0/alice/models/box/2/box.zip", {{"Range", "bytes=99999999-"}});
  ASSERT_TRUE(unsatisfiable);
  EXPECT_EQ(416, unsatisfiable->status);
  std::vector<std::string> lines;
  for (auto [it, end] = unsatisfiable->headers.equal_range("Cache-Control"); it != end; ++it)
    lines.push_back(it->second);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), kNothing));
}

TEST_F(MirrorCachePolicy, RevalidationsAndRangesCarryTheHeadersOfTheirAnswer) {
  for (const std::string target :
       {"/1.0/alice/models/box/2/box.zip", "/1.0/alice/models/box/tip/box.zip",
        "/1.0/alice/models/box/1/files/model.sdf", "/1.0/alice/models/box/tip/files/model.sdf",
        "/1.0/models", "/1.0/alice/models/box"}) {
    SCOPED_TRACE(target);
    auto whole = Get(target);
    ASSERT_TRUE(whole);
    ASSERT_EQ(200, whole->status);
    const bool file = whole->has_header("X-Qel-Resource-Version");
    std::vector<std::pair<httplib::Headers, int>> cases = {
        {{{"If-None-Match", whole->get_header_value("ETag")}}, 304},
        {{{"If-Modified-Since", whole->get_header_value("Last-Modified")}}, 304}};
    if (file) cases.push_back({{{"Range", "bytes=1-5"}}, 206});
    for (const auto &[headers, status] : cases) {
      auto answer = Get(target, headers);
      ASSERT_TRUE(answer);
      EXPECT_EQ(status, answer->status);
      for (const char *name : {"ETag", "Last-Modified", "Cache-Control", "Vary",
                               "X-Qel-Resource-Version", "X-Content-Type-Options", "Link"})
        EXPECT_EQ(whole->get_header_value(name), answer->get_header_value(name)) << name;
    }
  }
}

// ------------------------------------- a pull-through mirror in front

// nginx with the configuration of quarn mirror proxy-config, in front of
// quarn serve: each answer, from the upstream or from the mirror's cache,
// says what the upstream's says, with its content type and version header.
class PullThroughCachePolicy : public ::testing::Test {
 protected:
  struct Lab {
    qx::test::ExampleServer origin;
    qx::test::PullThroughMirror mirror{origin.Url()};
  };
  static void SetUpTestSuite() { lab_ = new Lab(); }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(lab_->origin.Started());
    ASSERT_TRUE(lab_->mirror.Started()) << lab_->mirror.Failure();
  }
  static httplib::Result Get(const std::string &url, const std::string &target,
                             const httplib::Headers &headers) {
    httplib::Client client(url);
    client.set_url_encode(false);
    return client.Get(target.c_str(), headers);
  }

  static Lab *lab_;
};

PullThroughCachePolicy::Lab *PullThroughCachePolicy::lab_ = nullptr;

TEST_F(PullThroughCachePolicy, EveryRouteSaysWhatTheUpstreamSays) {
  for (const RouteCase &c : RouteCases()) {
    for (const bool keyed : {false, true}) {
      httplib::Headers headers = c.headers;
      if (keyed) headers.emplace("Private-token", "any");
      auto upstream = Get(lab_->origin.Url(), c.target, headers);
      ASSERT_TRUE(upstream);
      // Twice: the second may come from the mirror's cache.
      for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(c.target + (keyed ? " with a key" : "") + " #" + std::to_string(round));
        auto result = Get(lab_->mirror.Url(), c.target, headers);
        ASSERT_TRUE(result);
        EXPECT_EQ(c.status, result->status);
        EXPECT_EQ(keyed ? kPrivate : c.policy, result->get_header_value("Cache-Control"));
        EXPECT_EQ(keyed ? "Private-token" : "", result->get_header_value("Vary"));
        if (c.status != 200 && c.status != 206) continue;
        for (const char *name :
             {"Content-Type", "X-Qel-Resource-Version", "ETag", "Last-Modified", "Link"})
          EXPECT_EQ(upstream->get_header_value(name), result->get_header_value(name)) << name;
        EXPECT_EQ(upstream->body, result->body);
      }
    }
  }
}

TEST_F(PullThroughCachePolicy, RevalidationsAndRangesCarryTheHeadersOfTheirAnswer) {
  for (const std::string target :
       {"/1.0/alice/models/box/2/box.zip", "/1.0/alice/models/box/tip/box.zip",
        "/1.0/alice/models/box/1/files/model.sdf", "/1.0/alice/models/box/tip/files/model.sdf",
        "/1.0/models", "/1.0/alice/models/box"}) {
    SCOPED_TRACE(target);
    auto whole = Get(lab_->mirror.Url(), target, {});
    ASSERT_TRUE(whole);
    ASSERT_EQ(200, whole->status);
    // Documents (listings, details) carry a tag only, and are sent whole.
    std::vector<std::pair<httplib::Headers, int>> cases = {
        {{{"If-None-Match", whole->get_header_value("ETag")}}, 304}};
    if (whole->has_header("X-Qel-Resource-Version")) {
      cases.push_back({{{"If-Modified-Since", whole->get_header_value("Last-Modified")}}, 304});
      cases.push_back({{{"Range", "bytes=1-5"}}, 206});
      cases.push_back(
          {{{"Range", "bytes=1-5"}, {"If-Range", whole->get_header_value("ETag")}}, 206});
    }
    for (const auto &[headers, status] : cases) {
      auto answer = Get(lab_->mirror.Url(), target, headers);
      ASSERT_TRUE(answer);
      EXPECT_EQ(status, answer->status) << headers.begin()->first;
      for (const char *name : {"ETag", "Last-Modified", "Cache-Control", "Vary",
                               "X-Qel-Resource-Version", "X-Content-Type-Options"})
        EXPECT_EQ(whole->get_header_value(name), answer->get_header_value(name)) << name;
    }
  }
}

// ------------------------------------------------------------ validators

class Validators : public qx::test::RepositoryFixture {
 protected:
  httplib::Result Get(const std::string &route, const httplib::Headers &headers = {}) {
    httplib::Client client(Url());
    return client.Get(("/1.0/" + route).c_str(), headers);
  }
};

TEST_F(Validators, AnArchiveBuiltAgainWithTheSameBytesKeepsItsTag) {
  qx::test::LogCapture log;
  auto first = Get("alice/models/box/2/box.zip");
  ASSERT_TRUE(first);
  const std::string tag = first->get_header_value("ETag");
  // Only the change time moves: the archive is built again (the store
  // cannot tell without building), and its bytes are the same.
  const std::string config = Root() + "/alice/models/box/2/model.config";
  struct stat info {};
  ASSERT_EQ(0, ::stat(config.c_str(), &info));
  ASSERT_EQ(0, ::chmod(config.c_str(), info.st_mode & 07777));
  auto again = Get("alice/models/box/2/box.zip", {{"If-None-Match", tag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(304, again->status);
  EXPECT_EQ(2, log.Count("Built the archive of [alice/models/box/2]"));
  EXPECT_EQ(tag, Get("alice/models/box/2/box.zip")->get_header_value("ETag"));
  // Other bytes, another tag.
  WriteFile(config, qx::test::ReadFile(config) + "\n");
  auto changed = Get("alice/models/box/2/box.zip", {{"If-None-Match", tag}});
  ASSERT_TRUE(changed);
  EXPECT_EQ(200, changed->status);
  EXPECT_NE(tag, changed->get_header_value("ETag"));
}

TEST_F(Validators, ASecondServerOfACopyNamesTheSameArchiveAlike) {
  // A copy of the tree (times kept), served by another server with its own
  // archive store: every inode and change time differs, the bytes do not.
  qx::test::TempDir copy;
  fs::copy(Root(), copy.Path(), fs::copy_options::recursive);
  for (const auto &entry : fs::recursive_directory_iterator(Root())) {
    const fs::path twin = copy.Path() / fs::relative(entry.path(), Root());
    fs::last_write_time(twin, fs::last_write_time(entry.path()));
  }
  qx::test::InstrumentedServer other(copy.Path());
  ASSERT_TRUE(other.Start());
  httplib::Client client(other.Url());
  for (const std::string route :
       {"alice/models/box/2/box.zip", "bob/worlds/town/tip/town.zip",
        "alice/models/box/2/files/meshes/box.obj", "bob/worlds/town/tip/files/town.sdf"}) {
    SCOPED_TRACE(route);
    auto here = Get(route);
    auto there = client.Get(("/1.0/" + route).c_str());
    ASSERT_TRUE(here && there);
    EXPECT_EQ(here->body, there->body);
    EXPECT_EQ(here->get_header_value("ETag"), there->get_header_value("ETag"));
  }
}

TEST_F(Validators, AFileTouchedKeepsItsTag) {
  const std::string route = "alice/models/box/2/files/meshes/box.obj";
  const std::string path = Root() + "/alice/models/box/2/meshes/box.obj";
  auto first = Get(route);
  ASSERT_TRUE(first);
  const std::string tag = first->get_header_value("ETag");
  // A new modification time (and with it a change time), the same bytes:
  // as after a restore from a backup, or a copy that did not keep times.
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(1));
  auto again = Get(route, {{"If-None-Match", tag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(304, again->status);
  EXPECT_EQ(tag, again->get_header_value("ETag"));
  // A resumed download goes on where it stopped.
  auto resumed = Get(route, {{"Range", "bytes=1-"}, {"If-Range", tag}});
  ASSERT_TRUE(resumed);
  EXPECT_EQ(206, resumed->status);
  EXPECT_EQ(first->body.substr(1), resumed->body);
}

TEST_F(Validators, AFileRewrittenInPlaceWithItsTimeSetBackGetsAnotherTag) {
  const std::string path = Root() + "/alice/models/box/2/meshes/box.obj";
  auto first = Get("alice/models/box/tip/files/meshes/box.obj");
  ASSERT_TRUE(first);
  const std::string tag = first->get_header_value("ETag");
  struct stat before {};
  ASSERT_EQ(0, ::stat(path.c_str(), &before));
  std::string text = qx::test::ReadFile(path);
  ASSERT_FALSE(text.empty());
  text[0] = text[0] == 'v' ? 'w' : 'v';
  WriteFile(path, text);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
  auto again = Get("alice/models/box/tip/files/meshes/box.obj", {{"If-None-Match", tag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(200, again->status);
  EXPECT_EQ(text, again->body);
  EXPECT_NE(tag, again->get_header_value("ETag"));
  // Nor does a resumed download splice the new bytes onto the old.
  auto resumed = Get("alice/models/box/tip/files/meshes/box.obj",
                     {{"Range", "bytes=1-"}, {"If-Range", tag}});
  ASSERT_TRUE(resumed);
  EXPECT_EQ(200, resumed->status);
}

}  // namespace
}  // namespace qx::quarn_server
