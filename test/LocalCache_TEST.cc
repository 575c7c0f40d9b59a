#include "qx/quarn_tools/LocalCache.hh"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <qx/common/Console.hh>

#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "support/ArchiveBuilder.hh"
#include "support/TestSupport.hh"

namespace fs = std::filesystem;
using namespace qx::quarn_tools;
using qx::common::LOG_DEBUG;
using qx::common::LOG_ERROR;
using qx::common::LOG_MESSAGE;
using qx::common::LOG_WARNING;
using qx::test::ArchiveBuilder;
using qx::test::ReadFile;
using qx::test::WriteFile;

namespace {

const char *const kServerOne = "https://one.example.org";
const char *const kServerOneDir = "one.example.org";
const char *const kServerTwo = "http://two.example.org:8080";
const char *const kServerTwoDir = "two.example.org%3A8080";

ServerConfig Server(const std::string &url) {
  ServerConfig server;
  server.SetUrl(qx::common::URI(url));
  return server;
}

ModelIdentifier ModelId(const std::string &server, const std::string &owner,
                        const std::string &name, unsigned int version) {
  ModelIdentifier id;
  id.SetServer(Server(server));
  id.SetOwner(owner);
  id.SetName(name);
  id.SetVersion(version);
  return id;
}

WorldIdentifier WorldId(const std::string &server, const std::string &owner,
                        const std::string &name, unsigned int version) {
  WorldIdentifier id;
  id.SetServer(Server(server));
  id.SetOwner(owner);
  id.SetName(name);
  id.SetVersion(version);
  return id;
}

// The bytes of an archive made by `builder`.
std::string ArchiveData(const ArchiveBuilder &builder) {
  qx::test::TempDir tmp;
  builder.Write(tmp.Join("a.zip"));
  return ReadFile(tmp.Join("a.zip"));
}

std::vector<std::string> Names(ModelIter it) {
  std::vector<std::string> names;
  for (; it; ++it) {
    const ModelIdentifier id = it->Identification();
    names.push_back(id.Server().Url().Str() + " " + id.Owner() + "/" + id.Name() + "/" +
                    id.VersionStr());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Names(WorldIter it) {
  std::vector<std::string> names;
  for (; it; ++it) {
    names.push_back(it->Server().Url().Str() + " " + it->Owner() + "/" + it->Name() + "/" +
                    it->VersionStr());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A cache in a temporary directory that knows two servers.
class LocalCacheTest : public ::testing::Test {
 protected:
  LocalCacheTest() {
    config_.Clear();
    config_.SetCacheLocation(home_.Cache());
    config_.AddServer(Server(kServerOne));
    config_.AddServer(Server(kServerTwo));
  }

  // A model version directory, with a model.config unless told otherwise.
  std::string AddModel(const std::string &serverDir, const std::string &owner,
                       const std::string &name, const std::string &version,
                       bool withConfig = true) {
    const std::string dir =
        home_.Cache() + "/" + serverDir + "/" + owner + "/models/" + name + "/" + version;
    fs::create_directories(dir);
    if (withConfig) WriteFile(dir + "/model.config", "<model/>");
    return dir;
  }

  std::string AddWorld(const std::string &serverDir, const std::string &owner,
                       const std::string &name, const std::string &version) {
    const std::string dir =
        home_.Cache() + "/" + serverDir + "/" + owner + "/worlds/" + name + "/" + version;
    fs::create_directories(dir);
    return dir;
  }

  std::string VersionDir(const std::string &kind, const std::string &name,
                         const std::string &version) const {
    return home_.Cache() + "/" + kServerOneDir + "/alice/" + kind + "/" + name + "/" + version;
  }

  qx::test::IsolatedHome home_{true};
  ClientConfig config_;
  LocalCache cache_{&config_};
  qx::test::LogCapture log_;
};

// -------------------------------------------------------------------------
// Lookups

struct VersionCase {
  unsigned int asked;
  const char *found;  // version directory, or "" for an empty Model
};

class MatchingModelVersion : public LocalCacheTest,
                             public ::testing::WithParamInterface<VersionCase> {};

TEST_P(MatchingModelVersion, FindsTheHighestForZeroAndExactlyTheOthers) {
  for (const char *v : {"1", "3", "2"}) AddModel(kServerOneDir, "alice", "box", v);
  const Model model = cache_.MatchingModel(ModelId(kServerOne, "alice", "box", GetParam().asked));
  if (std::string(GetParam().found).empty()) {
    EXPECT_FALSE(model);
    return;
  }
  ASSERT_TRUE(model);
  EXPECT_EQ(model.Identification().VersionStr(), GetParam().found);
  EXPECT_EQ(model.PathToModel(), VersionDir("models", "box", GetParam().found));
  EXPECT_EQ(model.Identification().Server().Url().Str(), kServerOne);
  EXPECT_EQ(model.Fetch().Type(), FETCH_CACHED);
}

INSTANTIATE_TEST_SUITE_P(Table, MatchingModelVersion,
                         ::testing::Values(VersionCase{0, "3"}, VersionCase{2, "2"},
                                           VersionCase{1, "1"}, VersionCase{4, ""}));

TEST_F(LocalCacheTest, AModelOfAnotherServerIsNotMatched) {
  AddModel(kServerTwoDir, "alice", "box", "1");
  EXPECT_FALSE(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0)));
  EXPECT_TRUE(cache_.MatchingModel(ModelId(kServerTwo, "alice", "box", 0)));
  EXPECT_FALSE(cache_.MatchingModel(ModelId(kServerTwo, "bob", "box", 0)));
}

TEST_F(LocalCacheTest, CapitalsInDirectoryNamesAreListedLowercased) {
  const std::string dir = AddModel(kServerOneDir, "Alice", "Big_Box", "1");
  const Model model = cache_.MatchingModel(ModelId(kServerOne, "ALICE", "big_box", 0));
  ASSERT_TRUE(model);
  EXPECT_EQ(model.Identification().Name(), "big_box");
  EXPECT_EQ(model.Identification().Owner(), "alice");
  EXPECT_EQ(model.PathToModel(), dir);
}

TEST_F(LocalCacheTest, AModelVersionWithoutModelConfigIsSkipped) {
  AddModel(kServerOneDir, "alice", "box", "1");
  AddModel(kServerOneDir, "alice", "box", "2", false);
  EXPECT_EQ(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0))
                .Identification()
                .Version(),
            1u);
  EXPECT_FALSE(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 2)));
  EXPECT_EQ(Names(cache_.AllModels()),
            std::vector<std::string>{std::string(kServerOne) + " alice/box/1"});
}

TEST_F(LocalCacheTest, ADirectoryThatIsNoVersionNeverShadowsTheNewest) {
  AddModel(kServerOneDir, "alice", "box", "tip");
  AddModel(kServerOneDir, "alice", "box", "junk");
  EXPECT_FALSE(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0)));
  AddModel(kServerOneDir, "alice", "box", "2");
  EXPECT_EQ(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0))
                .Identification()
                .Version(),
            2u);
}

TEST_F(LocalCacheTest, FilesAmongTheDirectoriesAreIgnored) {
  AddModel(kServerOneDir, "alice", "box", "1");
  WriteFile(home_.Cache() + "/" + kServerOneDir + "/stray.txt", "x");
  WriteFile(home_.Cache() + "/" + kServerOneDir + "/alice/models/stray.txt", "x");
  WriteFile(home_.Cache() + "/" + kServerOneDir + "/alice/models/box/7", "x");
  EXPECT_EQ(Names(cache_.AllModels()),
            std::vector<std::string>{std::string(kServerOne) + " alice/box/1"});
}

TEST_F(LocalCacheTest, AllModelsListsEveryServerAndVersion) {
  AddModel(kServerOneDir, "alice", "box", "1");
  AddModel(kServerOneDir, "alice", "box", "2");
  AddModel(kServerTwoDir, "bob", "wheel", "5");
  const std::vector<std::string> expected{
      std::string(kServerTwo) + " bob/wheel/5", std::string(kServerOne) + " alice/box/1",
      std::string(kServerOne) + " alice/box/2"};
  EXPECT_EQ(Names(cache_.AllModels()), expected);
}

TEST_F(LocalCacheTest, MissingServerDirectoriesGiveOneWarningEach) {
  EXPECT_FALSE(cache_.AllModels());
  EXPECT_EQ(log_.Count("Server directory does not exist [", LOG_WARNING), 2);
  EXPECT_TRUE(log_.Contains("Server directory does not exist [" + home_.Cache() + "/" +
                                kServerTwoDir + "]\n",
                            LOG_WARNING));
  log_.Clear();
  EXPECT_FALSE(cache_.AllWorlds());
  EXPECT_EQ(log_.Count("Server directory does not exist [", LOG_WARNING), 2);
}

TEST_F(LocalCacheTest, ANullConfigurationGivesEmptyResults) {
  LocalCache cache(nullptr);
  EXPECT_FALSE(cache.AllModels());
  EXPECT_FALSE(cache.AllWorlds());
  EXPECT_FALSE(cache.MatchingModel(ModelId(kServerOne, "alice", "box", 0)));
  WorldIdentifier world = WorldId(kServerOne, "alice", "town", 0);
  EXPECT_FALSE(cache.MatchingWorld(world));
  EXPECT_FALSE(cache.MatchingModels(ModelId(kServerOne, "alice", "", 0)));
  EXPECT_FALSE(cache.SaveModel(ModelId(kServerOne, "alice", "box", 1), "data", true));
  EXPECT_TRUE(log_.Contains("No client configuration, failed to save model.\n", LOG_ERROR));
}

// A configuration without a cache location (HOME unset, say) must not make
// the file-system root the cache.
TEST_F(LocalCacheTest, NoCacheLocationFindsAndSavesNothing) {
  config_.SetCacheLocation("");
  LocalCache cache(&config_);
  const std::string archive =
      ArchiveData(ArchiveBuilder().File("model.config", "<model><sdf>m.sdf</sdf></model>"));
  EXPECT_FALSE(cache.SaveModel(ModelId(kServerOne, "alice", "box", 1), archive, true));
  WorldIdentifier world = WorldId(kServerOne, "alice", "town", 1);
  EXPECT_FALSE(cache.SaveWorld(world, archive, true));
  EXPECT_EQ(log_.Count("No cache directory, failed to save ", LOG_ERROR), 2);
  EXPECT_FALSE(fs::exists(std::string("/") + kServerOneDir));
  EXPECT_FALSE(cache.AllModels());
  EXPECT_FALSE(cache.MatchingModel(ModelId(kServerOne, "alice", "box", 0)));
}

TEST_F(LocalCacheTest, MatchingWorldTakesTheHighestVersionAndItsPath) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  const std::string newest = AddWorld(kServerOneDir, "alice", "town", "4");
  AddWorld(kServerOneDir, "alice", "town", "2");
  WorldIdentifier id = WorldId(kServerOne, "alice", "town", 0);
  ASSERT_TRUE(cache_.MatchingWorld(id));
  EXPECT_EQ(id.Version(), 4u);
  EXPECT_EQ(id.LocalPath(), newest);

  WorldIdentifier exact = WorldId(kServerOne, "alice", "town", 2);
  ASSERT_TRUE(cache_.MatchingWorld(exact));
  EXPECT_EQ(exact.LocalPath(), VersionDir("worlds", "town", "2"));
}

TEST_F(LocalCacheTest, MatchingWorldLeavesTheIdentifierWhenNothingMatches) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  WorldIdentifier id = WorldId(kServerOne, "alice", "town", 3);
  EXPECT_FALSE(cache_.MatchingWorld(id));
  EXPECT_EQ(id.Version(), 3u);
  EXPECT_EQ(id.LocalPath(), "");
  WorldIdentifier other = WorldId(kServerTwo, "alice", "town", 0);
  EXPECT_FALSE(cache_.MatchingWorld(other));
}

TEST_F(LocalCacheTest, AWorldVersionIsListedWhateverItHolds) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  EXPECT_EQ(Names(cache_.AllWorlds()),
            std::vector<std::string>{std::string(kServerOne) + " alice/town/1"});
}

TEST_F(LocalCacheTest, MatchingModelsFiltersByOwnerNameAndServer) {
  AddModel(kServerOneDir, "alice", "box", "1");
  AddModel(kServerOneDir, "alice", "box", "2");
  AddModel(kServerOneDir, "alice", "wheel", "1");
  AddModel(kServerTwoDir, "alice", "box", "3");
  AddModel(kServerTwoDir, "bob", "box", "1");

  ModelIdentifier byOwner;
  byOwner.Server().SetUrl(qx::common::URI());
  byOwner.SetOwner("alice");
  const std::vector<std::string> ownerExpected{
      std::string(kServerTwo) + " alice/box/3", std::string(kServerOne) + " alice/box/1",
      std::string(kServerOne) + " alice/box/2", std::string(kServerOne) + " alice/wheel/1"};
  EXPECT_EQ(Names(cache_.MatchingModels(byOwner)), ownerExpected);

  const std::vector<std::string> serverExpected{std::string(kServerTwo) + " alice/box/3",
                                                std::string(kServerTwo) + " bob/box/1"};
  EXPECT_EQ(Names(cache_.MatchingModels(ModelId(kServerTwo, "", "box", 0))), serverExpected);
}

TEST_F(LocalCacheTest, MatchingModelsWithoutAnyFilterTouchesNothing) {
  ModelIdentifier none;
  none.Server().SetUrl(qx::common::URI());
  EXPECT_FALSE(cache_.MatchingModels(none));
  EXPECT_FALSE(log_.Contains("Server directory does not exist"));
  WorldIdentifier noWorld;
  noWorld.Server().SetUrl(qx::common::URI());
  EXPECT_FALSE(cache_.MatchingWorlds(noWorld));
  EXPECT_FALSE(log_.Contains("Server directory does not exist"));
}

TEST_F(LocalCacheTest, MatchingWorldsFiltersByName) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  AddWorld(kServerOneDir, "alice", "city", "1");
  EXPECT_EQ(Names(cache_.MatchingWorlds(WorldId(kServerOne, "", "city", 0))),
            std::vector<std::string>{std::string(kServerOne) + " alice/city/1"});
}

// A cache whose listing comes from elsewhere: MatchingModels must use it.
class FixedCache : public LocalCache {
 public:
  using LocalCache::LocalCache;
  ModelIter AllModels() override {
    auto record = std::make_shared<ModelPrivate>();
    record->identification = ModelId(kServerOne, "carol", "kite", 9);
    return ModelIterFactory::Create(std::vector<Model>{Model(record)});
  }
};

TEST_F(LocalCacheTest, MatchingModelsGoesThroughAnOverriddenAllModels) {
  FixedCache cache(&config_);
  EXPECT_EQ(Names(cache.MatchingModels(ModelId(kServerOne, "carol", "", 0))),
            std::vector<std::string>{std::string(kServerOne) + " carol/kite/9"});
}

// -------------------------------------------------------------------------
// Saving

const char *const kModelConfig =
    "<?xml version='1.0'?>\n<model><name>box</name>"
    "<sdf version='1.9'>model.sdf</sdf></model>\n";

TEST_F(LocalCacheTest, SaveModelUnpacksIntoTheVersionDirectory) {
  const std::string data =
      ArchiveData(ArchiveBuilder()
                      .File("model.config", kModelConfig)
                      .File("model.sdf", "<sdf version='1.9'/>")
                      .File("meshes/box.dae", "mesh"));
  ASSERT_TRUE(cache_.SaveModel(ModelId(kServerOne, "alice", "box", 2), data, true));
  const std::string dir = VersionDir("models", "box", "2");
  EXPECT_EQ(ReadFile(dir + "/meshes/box.dae"), "mesh");
  EXPECT_FALSE(fs::exists(dir + "/box.zip"));
  const Model model = cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0));
  ASSERT_TRUE(model);
  EXPECT_EQ(model.PathToModel(), dir);
}

TEST_F(LocalCacheTest, SavingTwiceNeedsOverwriteAndKeepsOldFiles) {
  const ModelIdentifier id = ModelId(kServerOne, "alice", "box", 1);
  ASSERT_TRUE(cache_.SaveModel(
      id,
      ArchiveData(ArchiveBuilder().File("model.config", kModelConfig).File("old.txt", "old")),
      false));
  const std::string dir = VersionDir("models", "box", "1");

  const std::string second =
      ArchiveData(ArchiveBuilder().File("model.config", kModelConfig).File("new.txt", "new"));
  EXPECT_FALSE(cache_.SaveModel(id, second, false));
  EXPECT_TRUE(log_.Contains("Directory [" + dir + "] already exists\n", LOG_ERROR));
  EXPECT_FALSE(fs::exists(dir + "/new.txt"));

  EXPECT_TRUE(cache_.SaveModel(id, second, true));
  EXPECT_EQ(ReadFile(dir + "/new.txt"), "new");
  EXPECT_EQ(ReadFile(dir + "/old.txt"), "old");
}

struct IncompleteCase {
  const char *label;
  const char *server;
  const char *owner;
  const char *name;
  unsigned int version;
  const char *error;
};

class IncompleteModel : public LocalCacheTest,
                        public ::testing::WithParamInterface<IncompleteCase> {};

TEST_P(IncompleteModel, IsRefusedWithoutTouchingTheDisk) {
  const IncompleteCase &c = GetParam();
  ModelIdentifier id = ModelId(c.server, c.owner, c.name, c.version);
  if (std::string(c.server).empty()) id.Server().SetUrl(qx::common::URI());
  EXPECT_FALSE(cache_.SaveModel(id, ArchiveData(ArchiveBuilder().File("a", "a")), true));
  EXPECT_TRUE(log_.Contains(std::string(c.error) + "\n" + id.AsString(), LOG_ERROR))
      << log_.Text();
  EXPECT_FALSE(fs::exists(home_.Cache() + "/" + kServerOneDir));
}

INSTANTIATE_TEST_SUITE_P(
    Table, IncompleteModel,
    ::testing::Values(
        IncompleteCase{"VersionZero", kServerOne, "alice", "box", 0,
                       "Incomplete model identifier, failed to save model."},
        IncompleteCase{"NoOwner", kServerOne, "", "box", 1,
                       "Incomplete model identifier, failed to save model."},
        IncompleteCase{"NoName", kServerOne, "alice", "", 1,
                       "Incomplete model identifier, failed to save model."},
        IncompleteCase{"NoServer", "", "alice", "box", 1,
                       "Incomplete model identifier, failed to save model."},
        IncompleteCase{"OwnerClimbs", kServerOne, "..", "box", 1,
                       "Owner or name is no directory name, failed to save model."},
        IncompleteCase{"NameNests", kServerOne, "alice", "../../../escape", 1,
                       "Owner or name is no directory name, failed to save model."}),
    [](const ::testing::TestParamInfo<IncompleteCase> &info) { return info.param.label; });

TEST_F(LocalCacheTest, ANonArchiveLeavesTheZipInPlace) {
  EXPECT_FALSE(cache_.SaveModel(ModelId(kServerOne, "alice", "box", 1), "<html/>", true));
  const std::string archive = VersionDir("models", "box", "1") + "/box.zip";
  EXPECT_TRUE(log_.Contains("Unable to unzip [" + archive + "]\n", LOG_ERROR));
  EXPECT_EQ(ReadFile(archive), "<html/>");
}

TEST_F(LocalCacheTest, ADamagedArchiveLeavesNoCachedVersion) {
  const std::string data = ArchiveData(ArchiveBuilder()
                                           .File("model.config", kModelConfig)
                                           .File("model.sdf", "DAMAGED-SDF-CONTENT", true));
  qx::test::TempDir tmp;
  WriteFile(tmp.Join("a.zip"), data);
  ASSERT_TRUE(qx::test::DamageArchive(tmp.Join("a.zip"), "DAMAGED-SDF-CONTENT", 1));

  EXPECT_FALSE(
      cache_.SaveModel(ModelId(kServerOne, "alice", "box", 1), ReadFile(tmp.Join("a.zip")), true));
  const std::string dir = VersionDir("models", "box", "1");
  EXPECT_TRUE(fs::exists(dir + "/box.zip"));
  EXPECT_FALSE(fs::exists(dir + "/model.config"));
  EXPECT_FALSE(cache_.MatchingModel(ModelId(kServerOne, "alice", "box", 0)));
}

// -------------------------------------------------------------------------
// The SDF reference rewrite

const char *const kServerOneFiles = "https://one.example.org/1.0/alice/models/box/2/files";

const char *const kSdf = R"(<?xml version="1.0"?>
<sdf version="1.9">
  <model name="box">
    <link name="body">
      <collision name="c"><geometry><mesh><uri>model://box/meshes/collision.dae</uri></mesh></geometry></collision>
      <visual name="v">
        <geometry><mesh><uri>model://other/meshes/a.dae</uri></mesh></geometry>
        <material>
          <script><uri>model://box/materials/scripts</uri><uri>model://box/materials/textures</uri></script>
          <pbr>
            <metal><albedo_map>model://box/t/albedo.png</albedo_map><roughness_map>model://box/t/rough.png</roughness_map></metal>
            <specular><specular_map>model://box/t/shine.png</specular_map><light_map>model://box/t/light.png</light_map></specular>
          </pbr>
        </material>
      </visual>
      <visual name="relative"><geometry><mesh><uri>meshes/relative.dae</uri></mesh></geometry></visual>
      <visual name="web"><geometry><mesh><uri>https://example.org/web.dae</uri></mesh></geometry></visual>
      <visual name="noslash"><geometry><mesh><uri>model://box</uri></mesh></geometry></visual>
      <visual name="empty"><geometry><mesh><uri/></mesh></geometry></visual>
    </link>
  </model>
  <actor name="walker">
    <skin><filename>model://box/skins/walk.dae</filename></skin>
    <animation name="a"><filename>model://box/anims/run.dae</filename></animation>
  </actor>
</sdf>
)";

class SdfRewriteTest : public LocalCacheTest {
 protected:
  // Saves version 2 of alice/box with the given files; returns the
  // version directory.
  std::string Save(const ArchiveBuilder &builder) {
    EXPECT_TRUE(cache_.SaveModel(ModelId(kServerOne, "alice", "box", 2), ArchiveData(builder),
                                 true));
    return VersionDir("models", "box", "2");
  }
};

TEST_F(SdfRewriteTest, PointsModelReferencesAtTheServerFiles) {
  const std::string dir =
      Save(ArchiveBuilder().File("model.config", kModelConfig).File("model.sdf", kSdf));
  const std::string sdf = ReadFile(dir + "/model.sdf");
  const std::string files = kServerOneFiles;
  for (const std::string &rewritten :
       {"<uri>" + files + "/meshes/collision.dae</uri>",
        // Another model's name is replaced by this model's.
        "<uri>" + files + "/meshes/a.dae</uri>",
        "<uri>" + files + "/materials/scripts</uri>",
        "<uri>" + files + "/materials/textures</uri>",
        "<albedo_map>" + files + "/t/albedo.png</albedo_map>",
        "<roughness_map>" + files + "/t/rough.png</roughness_map>",
        "<specular_map>" + files + "/t/shine.png</specular_map>",
        "<light_map>" + files + "/t/light.png</light_map>",
        "<filename>" + files + "/skins/walk.dae</filename>",
        "<filename>" + files + "/anims/run.dae</filename>",
        // Left alone.
        std::string("<uri>meshes/relative.dae</uri>"),
        std::string("<uri>https://example.org/web.dae</uri>"),
        std::string("<uri>model://box</uri>")}) {
    EXPECT_NE(sdf.find(rewritten), std::string::npos) << rewritten << "\n" << sdf;
  }
  EXPECT_EQ(sdf.find("model://box/"), std::string::npos) << sdf;
  EXPECT_TRUE(log_.Contains(
      "Model [box] loading resource from another model, named [other]. On Varnel "
      "(qx-quarn-tools 3) and Osprin (qx-quarn-tools 4), [other] is ignored. From Tarsk "
      "(qx-quarn-tools 5), [box] will be used. If [other] is not a model belonging to owner "
      "[alice], fix your SDF file!\n",
      LOG_DEBUG));
  EXPECT_TRUE(log_.Contains("Unable to rewrite [model://box] in SDF file [" + dir +
                                "/model.sdf]: no file path after the model name\n",
                            LOG_ERROR));
  EXPECT_TRUE(log_.Contains("Element <uri> without text in SDF file [" + dir + "/model.sdf]\n",
                            LOG_ERROR));
}

struct SdfChoiceCase {
  const char *label;
  const char *sdfElements;
  const char *rewritten;  // the file that must be rewritten; the other stays
  const char *untouched;
};

class SdfChoice : public SdfRewriteTest, public ::testing::WithParamInterface<SdfChoiceCase> {};

TEST_P(SdfChoice, RewritesTheFileOfTheHighestVersion) {
  const std::string sdf =
      "<sdf><model><link><visual><geometry><mesh><uri>model://box/m.dae</uri>"
      "</mesh></geometry></visual></link></model></sdf>";
  const std::string dir = Save(
      ArchiveBuilder()
          .File("model.config",
                std::string("<model><name>box</name>") + GetParam().sdfElements + "</model>")
          .File("a.sdf", sdf)
          .File("b.sdf", sdf));
  EXPECT_NE(ReadFile(dir + "/" + GetParam().rewritten).find(kServerOneFiles), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/" + GetParam().untouched), sdf);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdfChoice,
    ::testing::Values(
        SdfChoiceCase{"LowFirst", "<sdf version='1.6'>a.sdf</sdf><sdf version='1.9'>b.sdf</sdf>",
                      "b.sdf", "a.sdf"},
        SdfChoiceCase{"HighFirst", "<sdf version='1.9'>b.sdf</sdf><sdf version='1.6'>a.sdf</sdf>",
                      "b.sdf", "a.sdf"},
        SdfChoiceCase{"EqualKeepsEarlier",
                      "<sdf version='1.9'>a.sdf</sdf><sdf version='1.9'>b.sdf</sdf>", "a.sdf",
                      "b.sdf"},
        SdfChoiceCase{"NoVersionCountsAsZeroZeroOne",
                      "<sdf>a.sdf</sdf><sdf version='0.0.0'>b.sdf</sdf>", "a.sdf", "b.sdf"},
        SdfChoiceCase{"TextTrimmed", "<sdf version='1.9'>\n  b.sdf\n</sdf>", "b.sdf", "a.sdf"}),
    [](const ::testing::TestParamInfo<SdfChoiceCase> &info) { return info.param.label; });

TEST_F(SdfRewriteTest, AnSdfElementWithoutVersionIsAssumedZeroZeroOne) {
  Save(ArchiveBuilder()
           .File("model.config", "<model><sdf>model.sdf</sdf></model>")
           .File("model.sdf", kSdf));
  EXPECT_TRUE(log_.Contains(
      "<sdf> element missing version attribute, assuming version [0.0.1]\n", LOG_WARNING));
}

struct OpenPointCase {
  const char *label;
  const char *config;  // nullptr: no model.config at all
  const char *error;   // after the version directory's path where it has one
};

class RewriteSkipped : public SdfRewriteTest,
                       public ::testing::WithParamInterface<OpenPointCase> {};

TEST_P(RewriteSkipped, WithAnErrorLineAndTheSaveStillSucceeds) {
  // Beside the server directories, five levels above the version directory.
  const std::string outsideSdf = home_.Cache() + "/outside.sdf";
  WriteFile(outsideSdf, kSdf);
  ArchiveBuilder builder;
  builder.File("model.sdf", kSdf).File("broken.sdf", "<sdf><unclosed></sdf>");
  if (GetParam().config != nullptr) builder.File("model.config", GetParam().config);
  builder.File("keep.txt", "k");

  const std::string dir = Save(builder);
  std::string error = GetParam().error;
  for (size_t at = error.find("DIR"); at != std::string::npos; at = error.find("DIR", at))
    error.replace(at, 3, dir);
  EXPECT_TRUE(log_.Contains(error, LOG_ERROR)) << log_.Text();
  EXPECT_EQ(ReadFile(dir + "/model.sdf"), kSdf);
  EXPECT_EQ(ReadFile(outsideSdf), kSdf);
  EXPECT_FALSE(fs::exists(dir + "/box.zip"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RewriteSkipped,
    ::testing::Values(
        OpenPointCase{"NoModelConfig", nullptr, "model.config file does not exist in [DIR.\n"},
        OpenPointCase{"ModelConfigNotXml", "<model>", "Unable to load model.config file[DIR/model.config]\n"},
        OpenPointCase{"NoModelElement", "<world><sdf version='1.9'>model.sdf</sdf></world>",
                      "model.config file [DIR/model.config] has no <model> element\n"},
        OpenPointCase{"NoSdfChildren", "<model><name>box</name></model>",
                      "model.config file [DIR/model.config] names no SDF file\n"},
        OpenPointCase{"OnlyZeroVersions", "<model><sdf version='0.0'>model.sdf</sdf></model>",
                      "model.config file [DIR/model.config] names no SDF file\n"},
        OpenPointCase{"SdfWithoutText", "<model><sdf version='1.9'></sdf></model>",
                      "model.config file [DIR/model.config] names no SDF file\n"},
        OpenPointCase{"SdfDoesNotLoad", "<model><sdf version='1.9'>broken.sdf</sdf></model>",
                      "Unable to load SDF file[DIR/broken.sdf]\n"},
        OpenPointCase{"SdfMissing", "<model><sdf version='1.9'>missing.sdf</sdf></model>",
                      "Unable to load SDF file[DIR/missing.sdf]\n"},
        OpenPointCase{"SdfOutside",
                      "<model><sdf version='1.9'>../../../../../outside.sdf</sdf></model>",
                      "model.config file [DIR/model.config] names an SDF file outside [DIR]: "}),
    [](const ::testing::TestParamInfo<OpenPointCase> &info) { return info.param.label; });

// -------------------------------------------------------------------------
// Worlds

TEST_F(LocalCacheTest, SaveWorldUnpacksWithoutRewriteAndSetsTheLocalPath) {
  WorldIdentifier id = WorldId(kServerOne, "alice", "town", 3);
  const std::string world = "<sdf><world><include><uri>model://box</uri></include></world></sdf>";
  ASSERT_TRUE(cache_.SaveWorld(
      id, ArchiveData(ArchiveBuilder().File("model.config", kModelConfig).File("model.sdf", world)),
      true));
  const std::string dir = VersionDir("worlds", "town", "3");
  EXPECT_EQ(id.LocalPath(), dir);
  EXPECT_EQ(ReadFile(dir + "/model.sdf"), world);
  EXPECT_FALSE(fs::exists(dir + "/town.zip"));
  EXPECT_TRUE(log_.Contains("Saved world at:\n  " + dir + "\n", LOG_MESSAGE));

  WorldIdentifier found = WorldId(kServerOne, "alice", "town", 0);
  ASSERT_TRUE(cache_.MatchingWorld(found));
  EXPECT_EQ(found.Version(), 3u);
}

// A world has no marker file: the archive left behind by a failed save must
// not make its version directory look like a cached world.
TEST_F(LocalCacheTest, AFailedWorldSaveIsNotACachedWorld) {
  WorldIdentifier id = WorldId(kServerOne, "alice", "town", 4);
  EXPECT_FALSE(cache_.SaveWorld(id, "not an archive", true));
  const std::string dir = VersionDir("worlds", "town", "4");
  EXPECT_TRUE(fs::exists(dir + "/town.zip"));
  WorldIdentifier found = WorldId(kServerOne, "alice", "town", 0);
  EXPECT_FALSE(cache_.MatchingWorld(found));
  EXPECT_FALSE(cache_.AllWorlds());
}

TEST_F(LocalCacheTest, AnIncompleteWorldIsRefused) {
  WorldIdentifier id = WorldId(kServerOne, "alice", "town", 0);
  EXPECT_FALSE(cache_.SaveWorld(id, "x", true));
  EXPECT_TRUE(log_.Contains(
      "Incomplete world identifier, failed to save world.\n" + id.AsString(), LOG_ERROR));
  EXPECT_EQ(id.LocalPath(), "");
}

}  // namespace
