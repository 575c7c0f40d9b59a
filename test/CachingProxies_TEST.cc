// The client, quarn serve and a real caching proxy between them, as a lab
// runs one: Debian's squid as the machines' http_proxy, and nginx as a
// pull-through mirror (quarn mirror proxy-config nginx) that the machines
// name as their server or as their http_proxy. Versions are fetched from the origin once, the
// newest is never stale, and nothing a key unlocked reaches a machine
// without the key. The proxies and origins start once for the suite; each
// test works on models of its own.
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/URI.hh>
#include <qx/quarn_tools/ModelIdentifier.hh>
#include <qx/quarn_tools/QuarnClient.hh>
#include <qx/quarn_tools/ResourceFetching.hh>

#include "support/Builders.hh"
#include "support/PullThroughMirror.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/SquidProxy.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools {
namespace {

namespace fs = std::filesystem;
using qx::test::ReadFile;
using qx::test::RequestRecord;
using qx::test::ScopedEnv;
using qx::test::TempDir;
using qx::test::WriteFile;

const char kKey[] = "lab-key";

// Version `version` of the model OWNER/models/NAME below `root`, whose
// model.sdf names the version. Its files were written a month ago, as on a
// server that has run for a while: a stock squid would take such an answer
// without a caching policy as fresh for six days.
void AddVersion(const std::string &root, const std::string &owner, const std::string &name,
                int version, const std::string &extra = "") {
  const std::string dir =
      root + "/" + owner + "/models/" + name + "/" + std::to_string(version) + "/";
  WriteFile(dir + "model.config", "<?xml version=\"1.0\"?><model><name>" + name +
                                      "</name><version>1.0</version><sdf version=\"1.9\">"
                                      "model.sdf</sdf></model>");
  WriteFile(dir + "model.sdf", "<sdf version=\"1.9\"><!-- version " + std::to_string(version) +
                                   " --></sdf>\n");
  if (!extra.empty()) WriteFile(dir + "meshes/big.bin", extra);
  const auto monthAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  for (const auto &entry : fs::recursive_directory_iterator(dir))
    fs::last_write_time(entry.path(), monthAgo);
  fs::last_write_time(dir, monthAgo);
}

// Squid as the machines' http_proxy; the pull-through mirror as their
// server, or as their http_proxy.
enum class Proxy { kSquid, kNginx, kNginxAsProxy };

std::string ProxyName(const ::testing::TestParamInfo<Proxy> &info) {
  switch (info.param) {
    case Proxy::kSquid: return "Squid";
    case Proxy::kNginx: return "NginxMirror";
    case Proxy::kNginxAsProxy: return "NginxMirrorAsProxy";
  }
  return "";
}

// The origins and the proxies, shared by the suite.
struct Lab {
  qx::test::ExampleServer origin;
  qx::test::ExampleServer keyedOrigin{[] {
    qx::quarn_server::RepositoryServer::Options options;
    options.apiKey = kKey;
    return options;
  }()};
  qx::test::SquidProxy squid;
  qx::test::PullThroughMirror mirror{origin.Url()};
  qx::test::PullThroughMirror keyedMirror{keyedOrigin.Url()};
};

class CachingProxies : public ::testing::TestWithParam<Proxy> {
 protected:
  static void SetUpTestSuite() { lab_ = new Lab(); }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(lab_->origin.Started() && lab_->keyedOrigin.Started());
    if (GetParam() == Proxy::kSquid) {
      if (!lab_->squid.Started()) GTEST_SKIP() << "squid does not start: " << lab_->squid.Failure();
    } else {
      ASSERT_TRUE(lab_->mirror.Started()) << lab_->mirror.Failure();
      ASSERT_TRUE(lab_->keyedMirror.Started()) << lab_->keyedMirror.Failure();
    }
  }

  // A model of this test's own, OWNER/models/NAME, at version 1.
  std::string NewModel(qx::test::ExampleServer &origin, const std::string &extra = "") {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name;
    for (char c : std::string(test->name()))
      name += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
    AddVersion(origin.Root(), "lab", name, 1, extra);
    return name;
  }

  const qx::test::PullThroughMirror &MirrorOf(qx::test::ExampleServer &origin) const {
    return &origin == &lab_->origin ? lab_->mirror : lab_->keyedMirror;
  }
  // The URL the machines name `origin` by: the mirror's when it is their
  // server, else the origin's own.
  std::string ServerUrl(qx::test::ExampleServer &origin) const {
    return GetParam() == Proxy::kNginx ? MirrorOf(origin).Url() : origin.Url();
  }
  // The port of the machines' http_proxy for `origin`; 0 for none.
  int ProxyPort(qx::test::ExampleServer &origin) const {
    if (GetParam() == Proxy::kSquid) return lab_->squid.Port();
    return GetParam() == Proxy::kNginxAsProxy ? MirrorOf(origin).Port() : 0;
  }

  // A machine of the lab: a fresh cache, the server named as ServerUrl,
  // with `key` configured for it.
  struct Machine {
    TempDir cache;
    std::unique_ptr<QuarnClient> client;
    ServerConfig server;
  };
  std::unique_ptr<Machine> NewMachine(qx::test::ExampleServer &origin,
                                      const std::string &key = "") {
    auto machine = std::make_unique<Machine>();
    // The machines reach `origin` through their http_proxy (each test
    // works with one origin).
    proxy_.reset();
    if (const int port = ProxyPort(origin))
      proxy_.emplace("http_proxy", "http://127.0.0.1:" + std::to_string(port));
    machine->server = qx::test::ServerAt(ServerUrl(origin), key);
    ClientConfig config;
    config.SetCacheLocation(machine->cache.Path());
    config.AddServer(machine->server);
    machine->client = std::make_unique<QuarnClient>(config, Rest());
    return machine;
  }

  std::string ModelUrl(qx::test::ExampleServer &origin, const std::string &name,
                       const std::string &version = "") const {
    return ServerUrl(origin) + "/1.0/lab/models/" + name + (version.empty() ? "" : "/" + version);
  }

  // The requests the origin received for `route`.
  static std::vector<RequestRecord> AtOrigin(qx::test::ExampleServer &origin,
                                             const std::string &route) {
    return origin.Server().Requests(route);
  }

  static Lab *lab_;
  std::optional<ScopedEnv> proxy_;
  // Nothing on loopback bypasses the proxy.
  ScopedEnv noProxy_{"no_proxy", std::nullopt};
  ScopedEnv noProxyUpper_{"NO_PROXY", std::nullopt};
};

Lab *CachingProxies::lab_ = nullptr;

TEST_P(CachingProxies, ANumberedVersionReachesTheOriginOnce) {
  const std::string name = NewModel(lab_->origin);
  const std::string archive = "lab/models/" + name + "/1/" + name + ".zip";
  for (int machine = 0; machine < 5; ++machine) {
    SCOPED_TRACE(machine);
    auto lab = NewMachine(lab_->origin);
    std::string path;
    ASSERT_EQ(FETCH_DONE,
              lab->client->DownloadModel(qx::common::URI(ModelUrl(lab_->origin, name, "1")), path)
                  .Type());
    EXPECT_NE(std::string::npos, ReadFile(path + "/model.sdf").find("version 1 ")) << path;
  }
  const std::vector<RequestRecord> asked = AtOrigin(lab_->origin, archive);
  ASSERT_EQ(1u, asked.size());
  // A numbered version asks no cache to ask the origin again (squid adds a
  // max-age of its own to what it passes on).
  EXPECT_EQ(std::string::npos, asked[0].Header("Cache-Control").value_or("").find("no-cache"));
}

TEST_P(CachingProxies, TheNewestVersionIsNeverStale) {
  const std::string name = NewModel(lab_->origin);
  const std::string sdf = ModelUrl(lab_->origin, name, "tip") + "/files/model.sdf";
  const auto newest = [&](int expected) {
    SCOPED_TRACE(expected);
    auto lab = NewMachine(lab_->origin);
    std::string path;
    ASSERT_EQ(FETCH_DONE,
              lab->client->DownloadModel(qx::common::URI(ModelUrl(lab_->origin, name)), path)
                  .Type());
    EXPECT_EQ(std::to_string(expected), fs::path(path).filename().string());
    // A file of tip, on another machine.
    auto other = NewMachine(lab_->origin);
    const std::string file = fetchResourceWithClient(sdf, *other->client);
    EXPECT_NE(std::string::npos,
              ReadFile(file).find("version " + std::to_string(expected) + " "))
        << file;
    // What an update looks at.
    ModelIdentifier details;
    ASSERT_EQ(FETCH_DONE, lab->client
                              ->ModelDetails(qx::test::ModelOn(lab->server, "lab", name), details)
                              .Type());
    EXPECT_EQ(static_cast<unsigned int>(expected), details.Version());
  };
  newest(1);
  newest(1);
  AddVersion(lab_->origin.Root(), "lab", name, 2);
  newest(2);
  newest(2);
  // Each of the four machines asked for tip, and each request was put to
  // the origin (answered whole, or 304 to the cache's revalidation).
  const std::string tip = "lab/models/" + name + "/tip/" + name + ".zip";
  const std::vector<RequestRecord> asked = AtOrigin(lab_->origin, tip);
  EXPECT_GE(asked.size(), 4u);
  for (const RequestRecord &request : asked)
    EXPECT_EQ("no-cache", request.Header("Cache-Control").value_or(""));
}

TEST_P(CachingProxies, WithAKeyedOriginNoMachineWithoutTheKeyGetsTheModel) {
  qx::test::ExampleServer &origin = lab_->keyedOrigin;
  const std::string name = NewModel(origin);
  const std::string file = ModelUrl(origin, name, "1") + "/files/model.sdf";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto keyed = NewMachine(origin, kKey);
    std::string path;
    ASSERT_EQ(FETCH_DONE,
              keyed->client->DownloadModel(qx::common::URI(ModelUrl(origin, name, "1")), path)
                  .Type());
    auto other = NewMachine(origin, kKey);
    EXPECT_FALSE(fetchResourceWithClient(file, *other->client).empty());

    auto keyless = NewMachine(origin);
    EXPECT_EQ(FETCH_FAILED,
              keyless->client->DownloadModel(qx::common::URI(ModelUrl(origin, name, "1")), path)
                  .Type());
    EXPECT_EQ(FETCH_FAILED,
              keyless->client->DownloadModel(qx::common::URI(ModelUrl(origin, name)), path)
                  .Type());
    EXPECT_EQ("", fetchResourceWithClient(file, *keyless->client));
    for (const auto &[file, content] : qx::test::TreeFiles(keyless->cache.Path()))
      EXPECT_EQ(std::string::npos, file.find("model.sdf")) << file;
  }
  // Every request reached the origin, which answered the keyless ones 401.
  const std::vector<RequestRecord> asked =
      AtOrigin(origin, "lab/models/" + name + "/1/" + name + ".zip");
  int keyed = 0, refused = 0;
  for (const RequestRecord &request : asked) {
    if (request.Header("Private-token")) {
      ++keyed;
      // The nginx mirror asks for numbered versions in slices.
      EXPECT_TRUE(request.status == 200 || request.status == 206) << request.status;
    } else {
      ++refused;
      EXPECT_EQ(401, request.status);
    }
  }
  // Per round, the keyless machine's download and its file fetch (which
  // downloads the archive).
  EXPECT_GE(keyed, 2);
  EXPECT_EQ(4, refused);
}

// Without the client's own request headers: what a plain HTTP client (curl,
// a browser) gets through the proxy rests on the origin's answers alone.
TEST_P(CachingProxies, TheOriginsAnswersAloneKeepEveryMachineRight) {
  const auto get = [&](qx::test::ExampleServer &origin, const std::string &route,
                       const httplib::Headers &headers = {}) {
    httplib::Client client(ServerUrl(origin));
    if (const int port = ProxyPort(origin)) client.set_proxy("127.0.0.1", port);
    client.set_url_encode(false);
    return client.Get(("/1.0/" + route).c_str(), headers);
  };
  const std::string name = NewModel(lab_->origin);
  const std::string numbered = "lab/models/" + name + "/1/" + name + ".zip";
  const std::string tip = "lab/models/" + name + "/tip/" + name + ".zip";
  const std::string tipFile = "lab/models/" + name + "/tip/files/model.sdf";
  for (int machine = 0; machine < 3; ++machine) {
    SCOPED_TRACE(machine);
    auto archive = get(lab_->origin, numbered);
    ASSERT_TRUE(archive);
    EXPECT_EQ(200, archive->status);
    for (const std::string &route : {tip, tipFile}) {
      auto newest = get(lab_->origin, route);
      ASSERT_TRUE(newest);
      EXPECT_EQ("1", newest->get_header_value("X-Qel-Resource-Version")) << route;
    }
  }
  EXPECT_EQ(1u, AtOrigin(lab_->origin, numbered).size());
  AddVersion(lab_->origin.Root(), "lab", name, 2);
  for (const std::string &route : {tip, tipFile}) {
    auto newest = get(lab_->origin, route);
    ASSERT_TRUE(newest);
    EXPECT_EQ("2", newest->get_header_value("X-Qel-Resource-Version")) << route;
    EXPECT_NE(std::string::npos, newest->body.find(route == tip ? "model.sdf" : "version 2 "));
  }

  // What a key unlocked is answered to the key only.
  const std::string keyed = NewModel(lab_->keyedOrigin);
  const std::string keyedArchive = "lab/models/" + keyed + "/1/" + keyed + ".zip";
  for (const std::string &route : {keyedArchive, "lab/models/" + keyed + "/tip/files/model.sdf",
                                   "lab/models/" + keyed}) {
    SCOPED_TRACE(route);
    auto unlocked = get(lab_->keyedOrigin, route, {{"Private-token", kKey}});
    ASSERT_TRUE(unlocked);
    EXPECT_EQ(200, unlocked->status);
    for (const httplib::Headers &other :
         {httplib::Headers{}, httplib::Headers{{"Private-token", "guess"}}}) {
      auto refused = get(lab_->keyedOrigin, route, other);
      ASSERT_TRUE(refused);
      EXPECT_EQ(401, refused->status);
      EXPECT_EQ(std::string::npos, refused->body.find(keyed + "/1")) << refused->body;
    }
  }
  EXPECT_EQ(3u, AtOrigin(lab_->keyedOrigin, keyedArchive).size());
}

INSTANTIATE_TEST_SUITE_P(Proxies, CachingProxies,
                         ::testing::Values(Proxy::kSquid, Proxy::kNginx, Proxy::kNginxAsProxy),
                         ProxyName);

}  // namespace
}  // namespace qx::quarn_tools
