// Downloads of models and worlds against our repository server.
#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>

#include "support/ClientFixture.hh"
#include "support/Certificates.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::WriteFile;

class ClientDownloads : public qx::test::ClientFixture {};
// The same downloads from our server and from nginx over a mirror export.
class ClientDownloadsAnyServer : public qx::test::ServedClientFixture {};
QX_ON_BOTH_BACKENDS(ClientDownloadsAnyServer);

TEST_P(ClientDownloadsAnyServer, ModelWithDependenciesLandsInTheCache) {
  LogCapture log;
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "robot")).Type(), FETCH_DONE);
  // robot names bob/wheel (in metadata.pbtxt) and alice/box/1; wheel's
  // model.config names the newest alice/box.
  EXPECT_EQ(RoutesWith(".zip"),
            (std::vector<std::string>{"alice/models/robot/tip/robot.zip",
                                      "bob/models/wheel/tip/wheel.zip",
                                      "alice/models/box/tip/box.zip",
                                      "alice/models/box/1/box.zip"}));
  for (const char *dir : {"/alice/models/robot/1", "/bob/models/wheel/1", "/alice/models/box/2",
                          "/alice/models/box/1"}) {
    EXPECT_TRUE(qx::common::exists(ServerCache() + dir + "/model.config")) << dir;
  }
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/robot/1/robot.zip"));
  // The mesh reference of box is rewritten to the server's file URL.
  const std::string sdf = ReadFile(ServerCache() + "/alice/models/box/2/model.sdf");
  EXPECT_NE(sdf.find(Url() + "/1.0/alice/models/box/2/files/meshes/box.obj"), std::string::npos)
      << sdf;
  EXPECT_EQ(sdf.find("model://box"), std::string::npos);
  EXPECT_TRUE(log.Contains("Downloading model [" + ModelId("alice", "robot").UniqueName() + "]",
                           qx::common::LOG_MESSAGE));
}

TEST_P(ClientDownloadsAnyServer, CachedDependencyIsNotFetchedAgain) {
  ASSERT_TRUE(Client().DownloadModel(ModelId("bob", "wheel")));
  ClearSeen();
  ASSERT_TRUE(Client().DownloadModel(ModelId("alice", "robot")));
  EXPECT_EQ(RoutesWith(".zip"), (std::vector<std::string>{"alice/models/robot/tip/robot.zip",
                                                          "alice/models/box/1/box.zip"}));
}

TEST_P(ClientDownloadsAnyServer, DirectDependenciesOnlyWithTheListForm) {
  std::vector<ModelIdentifier> dependencies;
  ASSERT_EQ(Client().DownloadModel(ModelId("alice", "robot"), {}, dependencies).Type(),
            FETCH_DONE);
  ASSERT_EQ(dependencies.size(), 2u);
  EXPECT_EQ(dependencies[0].Owner(), "bob");
  EXPECT_EQ(dependencies[0].Name(), "wheel");
  EXPECT_EQ(dependencies[1].Version(), 1u);
  EXPECT_EQ(RoutesWith(".zip").size(), 1u);
}

// Two models naming each other: each is saved before its dependencies are
// looked at, so the walk ends.
void WriteCycle(const std::string &root, const std::string &url, bool withModelConfig) {
  for (const auto &[name, other] : {std::pair<std::string, std::string>{"a", "b"}, {"b", "a"}}) {
    const std::string dir = root + "/carol/models/" + name + "/1/";
    const std::string dependency = url + "/1.0/carol/models/" + other;
    WriteFile(dir + "model.sdf", "<sdf version='1.9'><model name='" + name + "'/></sdf>");
    if (withModelConfig) {
      WriteFile(dir + "model.config", "<model><name>" + name +
                                          "</name><sdf version='1.9'>model.sdf</sdf><depend><model><uri>" +
                                          dependency + "</uri></model></depend></model>");
    } else {
      WriteFile(dir + "model.config", "<model><name>" + name +
                                          "</name><sdf version='1.9'>model.sdf</sdf></model>");
      WriteFile(dir + "metadata.pbtxt", "name: \"" + name + "\"\ndependencies { uri: \"" +
                                            dependency + "\" }\n");
    }
  }
}

TEST_P(ClientDownloadsAnyServer, CycleOfTwoModelsMakesTwoRequests) {
  WriteCycle(Root(), Url(), true);
  Publish();
  EXPECT_EQ(Client().DownloadModel(ModelId("carol", "a")).Type(), FETCH_DONE);
  EXPECT_EQ(RoutesWith(".zip"), (std::vector<std::string>{"carol/models/a/tip/a.zip",
                                                          "carol/models/b/tip/b.zip"}));
  std::vector<ModelIdentifier> all;
  EXPECT_EQ(Client().ModelDependencies(std::vector<ModelIdentifier>{ModelId("carol", "a")}, all)
                .Type(),
            FETCH_DONE);

  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Name(), "b");
  EXPECT_EQ(all[1].Name(), "a");
}

TEST_P(ClientDownloadsAnyServer, FailedDependencyIsNamed) {
  WriteFile(Root() + "/carol/models/lonely/1/model.config",
            "<model><name>lonely</name><sdf version='1.9'>m.sdf</sdf><depend><model><uri>" + Url() +
                "/1.0/carol/models/missing</uri></model></depend></model>");
  Publish();
  LogCapture log;
  const auto lonely = ModelId("carol", "lonely");
  EXPECT_EQ(Client().DownloadModel(lonely).Type(), FETCH_FAILED);
  EXPECT_TRUE(log.Contains("Failed to download model.", qx::common::LOG_ERROR));
  EXPECT_TRUE(log.Contains("  REST response code: 404"));
  EXPECT_TRUE(log.Contains("Dependency [" + ModelId("carol", "missing").UniqueName() +
                               "] of model [" + lonely.UniqueName() +
                               "] failed to download: Fetch failed. Other errors",
                           qx::common::LOG_ERROR));
  // The model itself stays in the cache.
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/carol/models/lonely/1/model.config"));
}

TEST_F(ClientDownloads, ReferralWithCharsetUsesTheConfiguredAgentAndNoKey) {
  MakeClient("SECRET");
  auto box = ModelId("alice", "box");
  box.Server().SetApiKey("SECRET");
  ResponseScript referral;
  referral.route = "alice/models/box/tip/box.zip";
  referral.times = 1;
  referral.referralUrl = Server().RouteUrl("alice/models/box/2/box.zip");
  referral.referralContentType = "text/plain; charset=utf-8";
  Server().AddScript(referral);

  EXPECT_EQ(Client().DownloadModel(box).Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/box/2/model.config"));
  const auto requests = Server().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].query, "link=true");
  EXPECT_EQ(requests[0].Header("Private-token").value_or(""), "SECRET");
  EXPECT_EQ(requests[0].Header("User-Agent").value_or(""), "");
  EXPECT_EQ(requests[1].route, "alice/models/box/2/box.zip");
  EXPECT_FALSE(requests[1].Header("Private-token").has_value());
  EXPECT_EQ(requests[1].Header("User-Agent").value_or(""), "KovariQuarnTools-11.0.0");
}

TEST_F(ClientDownloads, ReferralBodies) {
  // A link followed by a line end is still a link.
  ResponseScript referral;
  referral.route = "alice/models/box/tip/box.zip";
  referral.times = 1;
  referral.body = Server().RouteUrl("alice/models/box/1/box.zip") + "\r\n";
  referral.contentType = "text/plain";
  Server().AddScript(referral);
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/box/2/model.config"));

  ResponseScript invalid = referral;
  invalid.body = "not a link";
  Server().AddScript(invalid);
  LogCapture log;
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_FAILED);
  EXPECT_TRUE(log.Contains("Invalid referral link URI [not a link]. Unable to download.",
                           qx::common::LOG_ERROR));
}

TEST_F(ClientDownloads, EndlessReferralsStopAfterFiveHops) {
  ResponseScript loop;
  loop.route = "alice/models/box/tip/box.zip";
  loop.referralUrl = Server().RouteUrl("alice/models/box/tip/box.zip");
  Server().AddScript(loop);
  LogCapture log;
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_FAILED);
  EXPECT_EQ(Server().Requests().size(), 6u);
  EXPECT_TRUE(log.Contains("Too many referral links: giving up after 5 hops at [" +
                               *loop.referralUrl + "]",
                           qx::common::LOG_ERROR));
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/box"));
}

TEST_F(ClientDownloads, ContentTypesDecideWhatTheBodyIs) {
  ResponseScript json;
  json.route = "alice/models/box/tip/box.zip";
  json.contentType = "application/json";
  const int id = Server().AddScript(json);
  LogCapture log;
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_FAILED);
  EXPECT_TRUE(log.Contains("Invalid content-type of [application/json]. Unable to download.",
                           qx::common::LOG_ERROR));
  EXPECT_FALSE(qx::common::exists(ServerCache() + "/alice/models/box"));
  Server().RemoveScript(id);

  ResponseScript none;
  none.route = "alice/models/box/tip/box.zip";
  none.removeHeaders = {"Content-Type"};
  Server().AddScript(none);
  EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/box/2/model.config"));
}

struct VersionHeaderCase {
  const char *name;
  bool drop;
  const char *value;
  unsigned int version;
  const char *warning;
};

TEST_F(ClientDownloads, VersionHeaderCases) {
  const VersionHeaderCase cases[] = {
      {"missing", true, "", 1,
       "Missing X-Qel-Resource-Version in REST response headers. Hardcoding version 1."},
      {"letters", false, "abc", 1,
       "Failed to convert X-Qel-Resource-Version header value [abc] to integer. Hardcoding "
       "version 1."},
      {"twelve digits", false, "123456789012", 1,
       "Failed to convert X-Qel-Resource-Version header value [123456789012] to integer."},
      {"number", false, "7", 7, ""},
  };
  for (const auto &c : cases) {
    Server().ClearScripts();
    ResponseScript script;
    script.route = "alice/models/box/tip/box.zip";
    script.dropVersionHeader = c.drop;
    if (!c.drop) script.headers = {{"X-Qel-Resource-Version", c.value}};
    Server().AddScript(script);
    LogCapture log;
    EXPECT_EQ(Client().DownloadModel(ModelId("alice", "box")).Type(), FETCH_DONE) << c.name;
    EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/box/" +
                                   std::to_string(c.version) + "/model.config"))
        << c.name;
    if (*c.warning) {
      EXPECT_TRUE(log.Contains(c.warning, qx::common::LOG_WARNING)) << c.name;
    }
  }
}

TEST_P(ClientDownloadsAnyServer, WorldLandsWithItsLocalPath) {
  WorldIdentifier world;
  world.SetServer(Config());
  world.SetOwner("bob");
  world.SetName("town");
  LogCapture log;
  EXPECT_EQ(Client().DownloadWorld(world).Type(), FETCH_DONE);
  EXPECT_EQ(world.Version(), 2u);
  EXPECT_EQ(world.LocalPath(), ServerCache() + "/bob/worlds/town/2");
  EXPECT_TRUE(qx::common::exists(world.LocalPath() + "/town.sdf"));
  EXPECT_TRUE(log.Contains("Downloading world [", qx::common::LOG_MESSAGE));

  std::string path;
  EXPECT_EQ(Client().DownloadWorld(qx::common::URI(ResourceUrl("alice/worlds/garden")), path)
                .Type(),
            FETCH_DONE);
  EXPECT_EQ(path, ServerCache() + "/alice/worlds/garden/1");
}

TEST_P(ClientDownloadsAnyServer, ByUrlGivesTheDeliveredVersionDirectory) {
  std::string path = "untouched";
  EXPECT_EQ(Client().DownloadModel(qx::common::URI(ResourceUrl("alice/models/box")), path).Type(),
            FETCH_DONE);
  EXPECT_EQ(path, ServerCache() + "/alice/models/box/2");
  path = "untouched";
  EXPECT_EQ(Client().DownloadModel(qx::common::URI(ResourceUrl("alice/models/nothing")), path)
                .Type(),
            FETCH_FAILED);
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(Client().DownloadModel(qx::common::URI("not a url"), path).Type(), FETCH_FAILED);
}

TEST_F(ClientDownloads, IncompleteServerIsRefusedWithoutARequest) {
  auto id = ModelId("alice", "box");
  id.Server().SetVersion("");
  LogCapture log;
  EXPECT_EQ(Client().DownloadModel(id).Type(), FETCH_FAILED);
  EXPECT_TRUE(log.Contains("Can't download model, server configuration incomplete: ",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_P(ClientDownloadsAnyServer, BadModelConfigReportsUploadFailed) {
  WriteFile(Root() + "/carol/models/broken/1/model.config", "<model><name>broken</name>");
  Publish();
  EXPECT_EQ(Client().DownloadModel(ModelId("carol", "broken")).Type(), UPLOAD_FAILED);
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/carol/models/broken/1/model.config"));
}

TEST_F(ClientDownloads, DependenciesOfAModelThatIsNotCached) {
  std::vector<ModelIdentifier> dependencies{ModelId("x", "y")};
  EXPECT_EQ(Client().ModelDependencies(ModelId("alice", "robot"), dependencies).Type(),
            FETCH_DONE);
  EXPECT_TRUE(dependencies.empty());
}

// An application's cache that overrides only SaveModel and SaveWorld still
// receives every download, as archive bytes.
class RecordingCache : public LocalCache {
 public:
  using LocalCache::LocalCache;
  bool SaveModel(const ModelIdentifier &id, const std::string &data, bool overwrite) override {
    models.push_back(id.Name() + "/" + id.VersionStr());
    sizes.push_back(data.size());
    return LocalCache::SaveModel(id, data, overwrite);
  }
  bool SaveWorld(WorldIdentifier &id, const std::string &data, bool overwrite) override {
    worlds.push_back(id.Name() + "/" + id.VersionStr());
    return LocalCache::SaveWorld(id, data, overwrite);
  }
  std::vector<std::string> models;
  std::vector<std::string> worlds;
  std::vector<std::size_t> sizes;
};

TEST_F(ClientDownloads, ACacheSubclassOverridingSaveModelReceivesEveryDownload) {
  const auto parts = Parts();
  auto cache = std::make_shared<RecordingCache>(&parts->config);
  parts->cache = cache;
  EXPECT_TRUE(parts->downloads.DownloadModel(ModelId("alice", "robot"), {}));
  WorldIdentifier world = WorldId("bob", "town");
  EXPECT_TRUE(parts->downloads.DownloadWorld(world, {}));
  // The robot, then depth first its dependencies: wheel with the newest box,
  // then box version 1.
  EXPECT_EQ(cache->models,
            (std::vector<std::string>{"robot/1", "wheel/1", "box/2", "box/1"}));
  EXPECT_EQ(cache->worlds, (std::vector<std::string>{"town/2"}));
  for (const std::size_t size : cache->sizes) EXPECT_GT(size, 100u);
  EXPECT_TRUE(qx::common::exists(ServerCache() + "/alice/models/robot/1/model.config"));
}

// A TLS instance of our server with a throw-away certificate: the download
// is refused until the client is told to trust the certificate's CA.
TEST(ClientDownloadsTls, CertificatesAreVerified) {
  qx::test::IsolatedHome home;
  qx::test::TempDir certificates;
  const auto made = qx::test::MakeTestCertificates(certificates.Path());
  ASSERT_TRUE(made.ok);
  qx::quarn_server::RepositoryServer::Options options;
  options.certFile = made.serverCert;
  options.keyFile = made.serverKey;
  qx::test::ExampleServer server(options);
  ASSERT_TRUE(server.Started());

  ClientConfig config;
  config.SetCacheLocation(home.Cache());
  config.AddServer(server.Config());
  QuarnClient client(config, Rest());
  const qx::common::URI url(server.Url() + "/1.0/alice/models/box");
  std::string path;
  {
    qx::test::ScopedEnv noBundle("QX_QUARN_CA_BUNDLE", std::nullopt);
    qx::test::ScopedEnv verify("QX_QUARN_INSECURE", std::nullopt);
    EXPECT_EQ(client.DownloadModel(url, path).Type(), FETCH_FAILED);
  }
  qx::test::ScopedEnv bundle("QX_QUARN_CA_BUNDLE", made.caCert);
  EXPECT_EQ(client.DownloadModel(url, path).Type(), FETCH_DONE);
  EXPECT_TRUE(qx::common::exists(path + "/model.config")) << path;
}

}  // namespace
}  // namespace qx::quarn_tools
