#include "SdfRewrite.hh"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <qx/common/Console.hh>
#include <string>

#include "FileSystem.hh"
#include "qx/quarn_tools/Zip.hh"
#include "support/ArchiveBuilder.hh"
#include "support/Builders.hh"
#include "support/FaultyFileSystem.hh"
#include "support/Matchers.hh"
#include "support/TestSupport.hh"

namespace fs = std::filesystem;
using namespace qx::quarn_tools;
using namespace qx::quarn_tools::internal;
using qx::common::LOG_DEBUG;
using qx::common::LOG_ERROR;
using qx::common::LOG_WARNING;
using qx::test::ArchiveBuilder;
using qx::test::HasLogLine;
using qx::test::LogCapture;
using qx::test::ModelOn;
using qx::test::ReadFile;
using qx::test::ServerAt;
using qx::test::WriteFile;

namespace {

const char *const kServerOne = "https://one.example.org";
const char *const kModelConfig =
    "<?xml version='1.0'?>\n<model><name>box</name>"
    "<sdf version='1.9'>model.sdf</sdf></model>\n";

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

// A model unpacked in a directory of its own, rewritten as version 2 of
// alice/box on kServerOne.
class SdfRewriteTest : public ::testing::Test {
 protected:
  // Writes the files of `builder` into the model directory and rewrites it;
  // returns the directory.
  std::string Save(const ArchiveBuilder &builder) {
    builder.Write(tmp_.Join("a.zip"));
    EXPECT_TRUE(Zip::Extract(tmp_.Join("a.zip"), Dir()));
    RewriteModelSdf(Id(), Dir(), PosixFileSystem());
    return Dir();
  }

  ModelIdentifier Id() const { return ModelOn(ServerAt(kServerOne), "alice", "box", 2); }
  std::string Dir() const { return tmp_.Join("box"); }

  LogCapture log_;
  qx::test::TempDir tmp_;
};

TEST_F(SdfRewriteTest, PointsModelReferencesAtTheServerFiles) {
  const std::string dir =
      Save(ArchiveBuilder().File("model.config", kModelConfig).File("model.sdf", kSdf));
  const std::string sdf = ReadFile(dir + "/model.sdf");
  const std::string files = kServerOneFiles;
  for (const std::string &rewritten :
       {"<uri>" + files + "/meshes/collision.dae</uri>",
        // Another model's name is replaced by this model's.
        "<uri>" + files + "/meshes/a.dae</uri>", "<uri>" + files + "/materials/scripts</uri>",
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
  EXPECT_TRUE(
      log_.Contains("Element <uri> without text in SDF file [" + dir + "/model.sdf]\n", LOG_ERROR));
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
  const std::string dir = Save(ArchiveBuilder()
                                   .File("model.config", std::string("<model><name>box</name>") +
                                                             GetParam().sdfElements + "</model>")
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
  EXPECT_TRUE(log_.Contains("<sdf> element missing version attribute, assuming version [0.0.1]\n",
                            LOG_WARNING));
}

struct OpenPointCase {
  const char *label;
  const char *config;  // nullptr: no model.config at all
  const char *error;   // after the version directory's path where it has one
};

class RewriteSkipped : public SdfRewriteTest,
                       public ::testing::WithParamInterface<OpenPointCase> {};

TEST_P(RewriteSkipped, WithAnErrorLineAndTheSaveStillSucceeds) {
  // Five levels above the model directory.
  const std::string outsideSdf = tmp_.Join("outside.sdf");
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
}

INSTANTIATE_TEST_SUITE_P(
    Table, RewriteSkipped,
    ::testing::Values(
        OpenPointCase{"NoModelConfig", nullptr, "model.config file does not exist in [DIR.\n"},
        OpenPointCase{"ModelConfigNotXml", "<model>",
                      "Unable to load model.config file[DIR/model.config]\n"},
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
        OpenPointCase{"SdfOutside", "<model><sdf version='1.9'>../outside.sdf</sdf></model>",
                      "model.config file [DIR/model.config] names an SDF file outside [DIR]: "}),
    [](const ::testing::TestParamInfo<OpenPointCase> &info) { return info.param.label; });

// -------------------------------------------------------------------------
// One reference

struct ReferenceCase {
  const char *label;
  const char *text;
  std::optional<std::string> rewritten;
};

class Reference : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(Reference, BecomesTheFileUrlOfThisVersionOrStays) {
  LogCapture log;
  const ModelIdentifier id = ModelOn(ServerAt(kServerOne), "alice", "box", 2);
  EXPECT_EQ(ReferenceInVersion(id, GetParam().text, "s.sdf"), GetParam().rewritten);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Reference,
    ::testing::Values(ReferenceCase{"Own", "model://box/meshes/a.dae",
                                    std::string(kServerOneFiles) + "/meshes/a.dae"},
                      ReferenceCase{"Other", "model://other/a.dae",
                                    std::string(kServerOneFiles) + "/a.dae"},
                      ReferenceCase{"Nested", "model://box/a/b/c.png",
                                    std::string(kServerOneFiles) + "/a/b/c.png"},
                      ReferenceCase{"Relative", "meshes/a.dae", std::nullopt},
                      ReferenceCase{"Web", "https://example.org/a.dae", std::nullopt},
                      ReferenceCase{"NoFile", "model://box", std::nullopt},
                      ReferenceCase{"NoName", "model:///a.dae", std::nullopt},
                      ReferenceCase{"SchemeOnly", "model://", std::nullopt}),
    [](const ::testing::TestParamInfo<ReferenceCase> &info) { return info.param.label; });

// -------------------------------------------------------------------------
// What the rewrite writes through

TEST_F(SdfRewriteTest, LogLinesNameTheDirectoryTheVersionBecomes) {
  ArchiveBuilder()
      .File("model.config", "<model><sdf version='1.9'>gone.sdf</sdf></model>")
      .Write(tmp_.Join("a.zip"));
  ASSERT_TRUE(Zip::Extract(tmp_.Join("a.zip"), Dir()));
  RewriteModelSdf(Id(), Dir(), PosixFileSystem(), "/cache/alice/models/box/2");
  EXPECT_THAT(log_,
              HasLogLine(LOG_ERROR, "Unable to load SDF file[/cache/alice/models/box/2/gone.sdf]"));
}

// A main SDF file that is a link is not written through: what it points at
// stays as it was.
TEST_F(SdfRewriteTest, AMainSdfFileThatIsALinkIsRefused) {
  const std::string decoy = tmp_.Join("decoy.sdf");
  WriteFile(decoy, kSdf);
  WriteFile(Dir() + "/model.config", kModelConfig);
  fs::create_symlink(decoy, Dir() + "/model.sdf");
  RewriteModelSdf(Id(), Dir(), PosixFileSystem());
  EXPECT_EQ(ReadFile(decoy), kSdf);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Refusing to rewrite SDF file [" + Dir() +
                                              "/model.sdf]: it is a symbolic link"));
}

// The file is replaced, not written in place: a hard link to the old file
// (an older version sharing it) keeps the old text.
TEST_F(SdfRewriteTest, TheFileIsReplacedWholeNotWrittenInPlace) {
  WriteFile(Dir() + "/model.config", kModelConfig);
  WriteFile(Dir() + "/model.sdf", kSdf);
  ASSERT_EQ(::link((Dir() + "/model.sdf").c_str(), tmp_.Join("shared.sdf").c_str()), 0);
  RewriteModelSdf(Id(), Dir(), PosixFileSystem());
  EXPECT_EQ(ReadFile(tmp_.Join("shared.sdf")), kSdf);
  EXPECT_NE(ReadFile(Dir() + "/model.sdf").find(kServerOneFiles), std::string::npos);
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(Dir())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"model.config", "model.sdf"}));
}

// What the rewrite reports: the file it replaced, nothing to do (the model's
// own problems, logged), or a failed write, which fails the save.
TEST_F(SdfRewriteTest, ReportsTheFileItReplaced) {
  WriteFile(Dir() + "/model.config",
            "<model><sdf version='1.9'>sub/model.sdf</sdf></model>");
  WriteFile(Dir() + "/sub/model.sdf", kSdf);
  const RewrittenSdf rewritten = RewriteModelSdf(Id(), Dir(), PosixFileSystem());
  EXPECT_EQ(rewritten.outcome, RewrittenSdf::Outcome::kRewritten);
  EXPECT_EQ(rewritten.file, "sub/model.sdf");
}

TEST_F(SdfRewriteTest, AModelWithoutItsFilesIsSkipped) {
  WriteFile(Dir() + "/model.config", kModelConfig);
  EXPECT_EQ(RewriteModelSdf(Id(), Dir(), PosixFileSystem()).outcome,
            RewrittenSdf::Outcome::kSkipped);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Unable to load SDF file[" + Dir() + "/model.sdf]"));
}

// A directory on the way to the main SDF file that is a link is not gone
// through either.
TEST_F(SdfRewriteTest, ADirectoryLinkOnTheWayIsNotFollowed) {
  const std::string decoy = tmp_.Join("decoy");
  WriteFile(decoy + "/model.sdf", kSdf);
  WriteFile(Dir() + "/model.config",
            "<model><sdf version='1.9'>sub/model.sdf</sdf></model>");
  fs::create_directory_symlink(decoy, Dir() + "/sub");
  EXPECT_EQ(RewriteModelSdf(Id(), Dir(), PosixFileSystem()).outcome,
            RewrittenSdf::Outcome::kSkipped);
  EXPECT_EQ(ReadFile(decoy + "/model.sdf"), kSdf);
}

TEST_F(SdfRewriteTest, AFailedWriteFailsTheRewriteAndLeavesTheFile) {
  WriteFile(Dir() + "/model.config", kModelConfig);
  WriteFile(Dir() + "/model.sdf", kSdf);
  qx::test::FaultyFileSystem faults;
  faults.FailWritesAfter(100, ENOSPC);
  EXPECT_EQ(RewriteModelSdf(Id(), Dir(), faults).outcome, RewrittenSdf::Outcome::kFailed);
  EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "Unable to save SDF file[" + Dir() +
                                              "/model.sdf]: No space left on device"));
  EXPECT_EQ(ReadFile(Dir() + "/model.sdf"), kSdf);
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(Dir())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"model.config", "model.sdf"}));
}

}  // namespace

