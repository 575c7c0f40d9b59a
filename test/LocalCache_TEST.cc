#include "qx/quarn_tools/LocalCache.hh"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <qx/common/Console.hh>

#include "MatchingAtOnce.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/ServerConfig.hh"
#include "support/ArchiveBuilder.hh"
#include "support/TestSupport.hh"
#include "support/Builders.hh"

namespace fs = std::filesystem;
using namespace qx::quarn_tools;
using qx::common::LOG_DEBUG;
using qx::common::LOG_ERROR;
using qx::common::LOG_MESSAGE;
using qx::common::LOG_WARNING;
using qx::test::ArchiveBuilder;
using qx::test::ModelOn;
using qx::test::ServerAt;
using qx::test::WorldOn;
using qx::test::ReadFile;
using qx::test::WriteFile;

namespace {

const char *const kServerOne = "https://one.example.org";
const char *const kServerOneDir = "one.example.org";
const char *const kServerTwo = "http://two.example.org:8080";
const char *const kServerTwoDir = "two.example.org%3A8080";

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
    config_.AddServer(ServerAt(kServerOne));
    config_.AddServer(ServerAt(kServerTwo));
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
  const Model model = cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", GetParam().asked));
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
  EXPECT_FALSE(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0)));
  EXPECT_TRUE(cache_.MatchingModel(ModelOn(ServerAt(kServerTwo), "alice", "box", 0)));
  EXPECT_FALSE(cache_.MatchingModel(ModelOn(ServerAt(kServerTwo), "bob", "box", 0)));
}

TEST_F(LocalCacheTest, CapitalsInDirectoryNamesAreListedLowercased) {
  const std::string dir = AddModel(kServerOneDir, "Alice", "Big_Box", "1");
  const Model model = cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "ALICE", "big_box", 0));
  ASSERT_TRUE(model);
  EXPECT_EQ(model.Identification().Name(), "big_box");
  EXPECT_EQ(model.Identification().Owner(), "alice");
  EXPECT_EQ(model.PathToModel(), dir);
}

TEST_F(LocalCacheTest, AModelVersionWithoutModelConfigIsSkipped) {
  AddModel(kServerOneDir, "alice", "box", "1");
  AddModel(kServerOneDir, "alice", "box", "2", false);
  EXPECT_EQ(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0))
                .Identification()
                .Version(),
            1u);
  EXPECT_FALSE(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 2)));
  EXPECT_EQ(Names(cache_.AllModels()),
            std::vector<std::string>{std::string(kServerOne) + " alice/box/1"});
}

// Requests that resolve many URLs look them up at once, in one walk per
// server directory: each answer must be the one MatchingModel gives.
TEST_F(LocalCacheTest, ManyLookupsAtOnceAnswerAsOneByOne) {
  AddModel(kServerOneDir, "alice", "box", "1");
  AddModel(kServerOneDir, "alice", "box", "3");
  AddModel(kServerOneDir, "alice", "box", "4", false);
  AddModel(kServerOneDir, "Alice", "Big_Box", "2");
  AddModel(kServerOneDir, "bob", "wheel", "tip");
  AddModel(kServerOneDir, "bob", "wheel", "7");
  AddModel(kServerTwoDir, "alice", "box", "9");
  const std::vector<ModelIdentifier> ids = {
      ModelOn(ServerAt(kServerOne), "alice", "box", 0),
      ModelOn(ServerAt(kServerOne), "alice", "box", 1),
      ModelOn(ServerAt(kServerOne), "alice", "box", 2),
      ModelOn(ServerAt(kServerOne), "alice", "box", 4),
      ModelOn(ServerAt(kServerOne), "alice", "big_box", 0),
      ModelOn(ServerAt(kServerOne), "bob", "wheel", 0),
      ModelOn(ServerAt(kServerOne), "carol", "box", 0),
      ModelOn(ServerAt(kServerTwo), "alice", "box", 0),
      ModelOn(ServerAt(kServerTwo), "alice", "box", 3),
      ModelOn(ServerAt(kServerOne), "alice", "box", 0),
  };
  const std::vector<Model> atOnce = internal::cache::MatchingModelsAtOnce(config_, ids);
  ASSERT_EQ(atOnce.size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const Model one = cache_.MatchingModel(ids[i]);
    EXPECT_EQ(static_cast<bool>(atOnce[i]), static_cast<bool>(one)) << i;
    EXPECT_EQ(atOnce[i].PathToModel(), one.PathToModel()) << i;
    EXPECT_EQ(atOnce[i].Identification().Version(), one.Identification().Version()) << i;
  }
  EXPECT_EQ(atOnce[0].Identification().Version(), 3u);
  EXPECT_EQ(atOnce[5].Identification().Version(), 7u);
  EXPECT_EQ(atOnce[7].Identification().Version(), 9u);
}

TEST_F(LocalCacheTest, ADirectoryThatIsNoVersionNeverShadowsTheNewest) {
  AddModel(kServerOneDir, "alice", "box", "tip");
  AddModel(kServerOneDir, "alice", "box", "junk");
  EXPECT_FALSE(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0)));
  AddModel(kServerOneDir, "alice", "box", "2");
  EXPECT_EQ(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0))
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
  EXPECT_FALSE(cache.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0)));
  WorldIdentifier world = WorldOn(ServerAt(kServerOne), "alice", "town", 0);
  EXPECT_FALSE(cache.MatchingWorld(world));
  EXPECT_FALSE(cache.MatchingModels(ModelOn(ServerAt(kServerOne), "alice", "", 0)));
  EXPECT_FALSE(cache.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 1), "data", true));
  EXPECT_TRUE(log_.Contains("No client configuration, failed to save model.\n", LOG_ERROR));
}

// A configuration without a cache location (HOME unset, say) must not make
// the file-system root the cache.
TEST_F(LocalCacheTest, NoCacheLocationFindsAndSavesNothing) {
  config_.SetCacheLocation("");
  LocalCache cache(&config_);
  const std::string archive =
      ArchiveData(ArchiveBuilder().File("model.config", "<model><sdf>m.sdf</sdf></model>"));
  EXPECT_FALSE(cache.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 1), archive, true));
  WorldIdentifier world = WorldOn(ServerAt(kServerOne), "alice", "town", 1);
  EXPECT_FALSE(cache.SaveWorld(world, archive, true));
  EXPECT_EQ(log_.Count("No cache directory, failed to save ", LOG_ERROR), 2);
  EXPECT_FALSE(fs::exists(std::string("/") + kServerOneDir));
  EXPECT_FALSE(cache.AllModels());
  EXPECT_FALSE(cache.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0)));
}

TEST_F(LocalCacheTest, MatchingWorldTakesTheHighestVersionAndItsPath) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  const std::string newest = AddWorld(kServerOneDir, "alice", "town", "4");
  AddWorld(kServerOneDir, "alice", "town", "2");
  WorldIdentifier id = WorldOn(ServerAt(kServerOne), "alice", "town", 0);
  ASSERT_TRUE(cache_.MatchingWorld(id));
  EXPECT_EQ(id.Version(), 4u);
  EXPECT_EQ(id.LocalPath(), newest);

  WorldIdentifier exact = WorldOn(ServerAt(kServerOne), "alice", "town", 2);
  ASSERT_TRUE(cache_.MatchingWorld(exact));
  EXPECT_EQ(exact.LocalPath(), VersionDir("worlds", "town", "2"));
}

TEST_F(LocalCacheTest, MatchingWorldLeavesTheIdentifierWhenNothingMatches) {
  AddWorld(kServerOneDir, "alice", "town", "1");
  WorldIdentifier id = WorldOn(ServerAt(kServerOne), "alice", "town", 3);
  EXPECT_FALSE(cache_.MatchingWorld(id));
  EXPECT_EQ(id.Version(), 3u);
  EXPECT_EQ(id.LocalPath(), "");
  WorldIdentifier other = WorldOn(ServerAt(kServerTwo), "alice", "town", 0);
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
  EXPECT_EQ(Names(cache_.MatchingModels(ModelOn(ServerAt(kServerTwo), "", "box", 0))), serverExpected);
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
  EXPECT_EQ(Names(cache_.MatchingWorlds(WorldOn(ServerAt(kServerOne), "", "city", 0))),
            std::vector<std::string>{std::string(kServerOne) + " alice/city/1"});
}

// A cache whose listing comes from elsewhere: MatchingModels must use it.
class FixedCache : public LocalCache {
 public:
  using LocalCache::LocalCache;
  ModelIter AllModels() override {
    auto record = std::make_shared<ModelPrivate>();
    record->identification = ModelOn(ServerAt(kServerOne), "carol", "kite", 9);
    return ModelIterFactory::Create(std::vector<Model>{Model(record)});
  }
};

TEST_F(LocalCacheTest, MatchingModelsGoesThroughAnOverriddenAllModels) {
  FixedCache cache(&config_);
  EXPECT_EQ(Names(cache.MatchingModels(ModelOn(ServerAt(kServerOne), "carol", "", 0))),
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
  ASSERT_TRUE(cache_.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 2), data, true));
  const std::string dir = VersionDir("models", "box", "2");
  EXPECT_EQ(ReadFile(dir + "/meshes/box.dae"), "mesh");
  EXPECT_FALSE(fs::exists(dir + "/box.zip"));
  const Model model = cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0));
  ASSERT_TRUE(model);
  EXPECT_EQ(model.PathToModel(), dir);
}

TEST_F(LocalCacheTest, SavingTwiceNeedsOverwriteAndKeepsOldFiles) {
  const ModelIdentifier id = ModelOn(ServerAt(kServerOne), "alice", "box", 1);
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
  ModelIdentifier id = ModelOn(ServerAt(c.server), c.owner, c.name, c.version);
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

// A failed save leaves nothing in the cache: no version directory, no
// archive, no staging directory.
TEST_F(LocalCacheTest, ANonArchiveLeavesNothing) {
  EXPECT_FALSE(cache_.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 1), "<html/>", true));
  EXPECT_TRUE(log_.Contains("Unable to unzip [", LOG_ERROR));
  EXPECT_TRUE(log_.Contains("/box.zip]\n", LOG_ERROR));
  EXPECT_FALSE(fs::exists(home_.Cache() + "/" + kServerOneDir + "/alice"));
}

TEST_F(LocalCacheTest, ADamagedArchiveLeavesNoCachedVersion) {
  const std::string data = ArchiveData(ArchiveBuilder()
                                           .File("model.config", kModelConfig)
                                           .File("model.sdf", "DAMAGED-SDF-CONTENT", true));
  qx::test::TempDir tmp;
  WriteFile(tmp.Join("a.zip"), data);
  ASSERT_TRUE(qx::test::DamageArchive(tmp.Join("a.zip"), "DAMAGED-SDF-CONTENT", 1));

  EXPECT_FALSE(
      cache_.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 1), ReadFile(tmp.Join("a.zip")), true));
  EXPECT_FALSE(fs::exists(VersionDir("models", "box", "1")));
  EXPECT_FALSE(fs::exists(home_.Cache() + "/" + kServerOneDir + "/alice"));
  EXPECT_FALSE(cache_.MatchingModel(ModelOn(ServerAt(kServerOne), "alice", "box", 0)));
}

// A model version needs its model.config at the top: an archive that holds
// none (here it sits one directory down, as an archiver that packs the
// directory itself writes it) is refused, saying what it lacks, and nothing
// is published. A world needs no such file.
TEST_F(LocalCacheTest, AModelArchiveWithoutModelConfigAtItsTopIsRefused) {
  const std::string data = ArchiveData(ArchiveBuilder()
                                           .File("box/model.config", kModelConfig)
                                           .File("box/model.sdf", "<sdf version='1.9'/>"));
  EXPECT_FALSE(cache_.SaveModel(ModelOn(ServerAt(kServerOne), "alice", "box", 1), data, true));
  const std::string dir = VersionDir("models", "box", "1");
  EXPECT_TRUE(log_.Contains("model.config file does not exist in [" + dir + ".\n", LOG_ERROR));
  EXPECT_TRUE(log_.Contains("it holds no model.config at its top; nothing was saved", LOG_ERROR));
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_FALSE(fs::exists(home_.Cache() + "/" + kServerOneDir + "/alice"));

  WorldIdentifier world = WorldOn(ServerAt(kServerOne), "alice", "box", 1);
  EXPECT_TRUE(cache_.SaveWorld(world, data, true));
}

// -------------------------------------------------------------------------
// Worlds

TEST_F(LocalCacheTest, SaveWorldUnpacksWithoutRewriteAndSetsTheLocalPath) {
  WorldIdentifier id = WorldOn(ServerAt(kServerOne), "alice", "town", 3);
  const std::string world = "<sdf><world><include><uri>model://box</uri></include></world></sdf>";
  ASSERT_TRUE(cache_.SaveWorld(
      id, ArchiveData(ArchiveBuilder().File("model.config", kModelConfig).File("model.sdf", world)),
      true));
  const std::string dir = VersionDir("worlds", "town", "3");
  EXPECT_EQ(id.LocalPath(), dir);
  EXPECT_EQ(ReadFile(dir + "/model.sdf"), world);
  EXPECT_FALSE(fs::exists(dir + "/town.zip"));
  EXPECT_TRUE(log_.Contains("Saved world at:\n  " + dir + "\n", LOG_MESSAGE));

  WorldIdentifier found = WorldOn(ServerAt(kServerOne), "alice", "town", 0);
  ASSERT_TRUE(cache_.MatchingWorld(found));
  EXPECT_EQ(found.Version(), 3u);
}

// A world has no marker file: a failed save leaves nothing that could look
// like a cached world.
TEST_F(LocalCacheTest, AFailedWorldSaveIsNotACachedWorld) {
  WorldIdentifier id = WorldOn(ServerAt(kServerOne), "alice", "town", 4);
  EXPECT_FALSE(cache_.SaveWorld(id, "not an archive", true));
  EXPECT_FALSE(fs::exists(VersionDir("worlds", "town", "4")));
  WorldIdentifier found = WorldOn(ServerAt(kServerOne), "alice", "town", 0);
  EXPECT_FALSE(cache_.MatchingWorld(found));
  EXPECT_FALSE(cache_.AllWorlds());
}

TEST_F(LocalCacheTest, AnIncompleteWorldIsRefused) {
  WorldIdentifier id = WorldOn(ServerAt(kServerOne), "alice", "town", 0);
  EXPECT_FALSE(cache_.SaveWorld(id, "x", true));
  EXPECT_TRUE(log_.Contains(
      "Incomplete world identifier, failed to save world.\n" + id.AsString(), LOG_ERROR));
  EXPECT_EQ(id.LocalPath(), "");
}

}  // namespace
