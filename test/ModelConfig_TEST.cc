#include "qx/quarn_tools/ModelConfig.hh"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <qx/msgs/quarn_metadata.pb.h>

using qx::msgs::QuarnMetadata;
using qx::quarn_tools::metadataFromModelConfig;
using qx::quarn_tools::modelConfigFromMetadata;

namespace {

// Runs the reader with standard error captured.
struct ReadOutcome {
  bool ok;
  QuarnMetadata meta;
  std::string err;
};

ReadOutcome Read(const std::string &config) {
  ReadOutcome outcome;
  outcome.meta.set_name("untouched");
  testing::internal::CaptureStderr();
  outcome.ok = metadataFromModelConfig(config, outcome.meta);
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

struct WriteOutcome {
  bool ok;
  std::string text;
  std::string err;
};

WriteOutcome Write(const QuarnMetadata &meta) {
  WriteOutcome outcome;
  outcome.text = "untouched";
  testing::internal::CaptureStderr();
  outcome.ok = modelConfigFromMetadata(meta, outcome.text);
  outcome.err = testing::internal::GetCapturedStderr();
  return outcome;
}

std::string ModelWith(const std::string &inner) {
  return "<?xml version='1.0'?>\n<model>\n<name>box</name>\n" + inner + "</model>\n";
}

TEST(MetadataFromModelConfig, ReadsEveryField) {
  const ReadOutcome r = Read(R"(<?xml version="1.0"?>
<model>
  <name>  Box &amp; Co  </name>
  <version> 3 </version>
  <sdf version="1.7.3-rc1+b5">  model.sdf </sdf>
  <description>
    A box.
  </description>
  <author><name> Alice </name><email>alice@example.org </email></author>
  <author/>
  <depend><model><uri> model://other </uri></model></depend>
  <depend><world><uri>ignored</uri></world></depend>
  <depend><model><uri>https://server/1.0/bob/models/wheel</uri></model></depend>
  <unknown>ignored</unknown>
</model>)");
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.meta.name(), "Box & Co");
  EXPECT_EQ(r.meta.version(), 3);
  EXPECT_EQ(r.meta.description(), "A box.");
  ASSERT_EQ(r.meta.authors_size(), 2);
  EXPECT_EQ(r.meta.authors(0).name(), "Alice");
  EXPECT_EQ(r.meta.authors(0).email(), "alice@example.org");
  EXPECT_EQ(r.meta.authors(1).name(), "");
  EXPECT_EQ(r.meta.authors(1).email(), "");
  ASSERT_EQ(r.meta.dependencies_size(), 2);
  EXPECT_EQ(r.meta.dependencies(0).uri(), " model://other ");
  EXPECT_EQ(r.meta.dependencies(1).uri(), "https://server/1.0/bob/models/wheel");
  ASSERT_TRUE(r.meta.has_model());
  EXPECT_EQ(r.meta.model().file(), "model.sdf");
  EXPECT_EQ(r.meta.model().file_format().name(), "sdf");
  const qx::msgs::Version &v = r.meta.model().file_format().version();
  EXPECT_EQ(v.major(), 1);
  EXPECT_EQ(v.minor(), 7);
  EXPECT_EQ(v.patch(), 3);
  EXPECT_EQ(v.prerelease(), "rc1");
  EXPECT_EQ(v.build(), "b5");
}

TEST(MetadataFromModelConfig, AWorldRootFillsTheWorldMember) {
  const ReadOutcome r = Read(
      "<world><name>town</name><sdf version='1.6'>town.world</sdf></world>");
  ASSERT_TRUE(r.ok) << r.err;
  ASSERT_TRUE(r.meta.has_world());
  EXPECT_FALSE(r.meta.has_model());
  EXPECT_EQ(r.meta.world().file(), "town.world");

  const WriteOutcome w = Write(r.meta);
  ASSERT_TRUE(w.ok);
  EXPECT_NE(w.text.find("  <world>\n"), std::string::npos);
  EXPECT_NE(w.text.find("  </world>\n"), std::string::npos);
  EXPECT_EQ(w.text.find("<model>"), std::string::npos);
}

TEST(MetadataFromModelConfig, AModelRootWinsOverAnEarlierWorldRoot) {
  const ReadOutcome r = Read(
      "<world><name>w</name><sdf version='1.6'>w.sdf</sdf></world>"
      "<model><name>m</name><sdf version='1.6'>m.sdf</sdf></model>");
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_TRUE(r.meta.has_model());
  EXPECT_EQ(r.meta.name(), "m");
}

TEST(MetadataFromModelConfig, AModelNestedInAWorldIsNotARoot) {
  const ReadOutcome r = Read(
      "<world><name>w</name><sdf version='1.6'>w.sdf</sdf>"
      "<model><name>m</name></model></world>");
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.meta.has_world());
  EXPECT_EQ(r.meta.name(), "w");
}

struct SdfCase {
  const char *label;
  const char *sdfs;
  const char *file;  // nullptr: no usable sdf element
};

class SdfChoice : public ::testing::TestWithParam<SdfCase> {};

TEST_P(SdfChoice, PicksTheHighestVersionAboveZero) {
  const ReadOutcome r = Read(ModelWith(GetParam().sdfs));
  if (GetParam().file == nullptr) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "Model config string does not contain an <sdf> element\n");
    EXPECT_EQ(r.meta.name(), "untouched");
    return;
  }
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.meta.model().file(), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdfChoice,
    ::testing::Values(
        SdfCase{"LowThenHigh", "<sdf version='1.6'>a.sdf</sdf><sdf version='1.7'>b.sdf</sdf>",
                "b.sdf"},
        SdfCase{"HighThenLow", "<sdf version='1.7'>b.sdf</sdf><sdf version='1.6'>a.sdf</sdf>",
                "b.sdf"},
        SdfCase{"EqualKeepsEarliest",
                "<sdf version='1.7'>first.sdf</sdf><sdf version='1.7.0'>second.sdf</sdf>",
                "first.sdf"},
        SdfCase{"WithoutVersionNeverChosen",
                "<sdf>none.sdf</sdf><sdf version='1.5'>v.sdf</sdf>", "v.sdf"},
        SdfCase{"OnlyWithoutVersion", "<sdf>none.sdf</sdf>", nullptr},
        SdfCase{"ZeroNeverChosen", "<sdf version='0.0.0'>zero.sdf</sdf>", nullptr},
        SdfCase{"UnreadableVersion", "<sdf version='one'>x.sdf</sdf>", nullptr},
        SdfCase{"WithoutText", "<sdf version='1.7'></sdf>", nullptr},
        SdfCase{"OnlySpaces", "<sdf version='1.7'>   </sdf>", nullptr},
        SdfCase{"NoSdfAtAll", "", nullptr},
        SdfCase{"VersionTrimmed", "<sdf version=' 1.8 '> trimmed.sdf </sdf>", "trimmed.sdf"}),
    [](const ::testing::TestParamInfo<SdfCase> &info) { return info.param.label; });

struct VersionCase {
  const char *label;
  const char *text;
  int32_t version;  // 0 also when left unset
};

class VersionText : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionText, IsReadAsA32BitDecimalOrLeftUnset) {
  const ReadOutcome r = Read(ModelWith(std::string("<version>") + GetParam().text +
                                       "</version><sdf version='1.7'>m.sdf</sdf>"));
  ASSERT_TRUE(r.ok) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.meta.version(), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionText,
    ::testing::Values(VersionCase{"Plain", "7", 7}, VersionCase{"Trimmed", "  12\n", 12},
                      VersionCase{"TrailingTextIgnored", "4beta", 4},
                      VersionCase{"Negative", "-5", -5}, VersionCase{"Plus", "+6", 6},
                      VersionCase{"Lowest", "-2147483648", INT32_MIN},
                      VersionCase{"Highest", "2147483647", INT32_MAX},
                      VersionCase{"TooLarge", "2147483648", 0},
                      VersionCase{"FarTooLarge", "99999999999999999999999", 0},
                      VersionCase{"TooSmall", "-2147483649", 0},
                      VersionCase{"NoNumber", "tip", 0}, VersionCase{"OnlySign", "-", 0},
                      VersionCase{"Empty", "", 0}),
    [](const ::testing::TestParamInfo<VersionCase> &info) { return info.param.label; });

struct RefusedCase {
  const char *label;
  const char *config;
  const char *err;
};

class RefusedConfig : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedConfig, WritesTheReasonAndLeavesTheRecord) {
  const ReadOutcome r = Read(GetParam().config);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, GetParam().err);
  EXPECT_EQ(r.meta.name(), "untouched");
  EXPECT_FALSE(r.meta.has_model());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedConfig,
    ::testing::Values(
        RefusedCase{"NotXml", "<model><name>x</name>", "Unable to parse model config XML string.\n"},
        RefusedCase{"Empty", "", "Unable to parse model config XML string.\n"},
        RefusedCase{"OtherRoot", "<robot><name>r</name></robot>",
                    "Model config string does not contain a <model> or <world> element\n"},
        RefusedCase{"NoName", "<model><sdf version='1.7'>m.sdf</sdf></model>",
                    "Model config string does not contain a <name> element\n"},
        RefusedCase{"EmptyName", "<model><name/><sdf version='1.7'>m.sdf</sdf></model>",
                    "Model config string does not contain a <name> element\n"},
        RefusedCase{"NoSdf", "<model><name>m</name></model>",
                    "Model config string does not contain an <sdf> element\n"}),
    [](const ::testing::TestParamInfo<RefusedCase> &info) { return info.param.label; });

TEST(MetadataFromModelConfig, ANameOfOnlySpacesIsNoName) {
  // The XML reader keeps no text made only of white space, so such a name is
  // refused like a missing one rather than giving a model without a name.
  const ReadOutcome r = Read("<model><name>   </name><sdf version='1.7'>m.sdf</sdf></model>");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "Model config string does not contain a <name> element\n");
}

TEST(MetadataFromModelConfig, ADependencyUriWithoutTextIsEmpty) {
  const ReadOutcome r = Read(ModelWith(
      "<sdf version='1.7'>m.sdf</sdf><depend><model><uri/></model></depend>"));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.meta.dependencies_size(), 1);
  EXPECT_EQ(r.meta.dependencies(0).uri(), "");
}

QuarnMetadata SampleRecord() {
  QuarnMetadata meta;
  meta.set_name("box");
  meta.set_version(2);
  meta.set_description("A box");
  auto *author = meta.add_authors();
  author->set_name("Alice");
  author->set_email("alice@example.org");
  meta.add_authors();
  meta.add_dependencies()->set_uri("https://server/1.0/bob/models/wheel");
  auto *model = meta.mutable_model();
  model->set_file("model.sdf");
  model->mutable_file_format()->set_name("sdf");
  model->mutable_file_format()->mutable_version()->set_major(1);
  model->mutable_file_format()->mutable_version()->set_minor(7);
  model->mutable_file_format()->mutable_version()->set_patch(3);
  return meta;
}

TEST(ModelConfigFromMetadata, WritesTheExactText) {
  const WriteOutcome w = Write(SampleRecord());
  ASSERT_TRUE(w.ok) << w.err;
  EXPECT_EQ(w.text,
            "<?xml version='1.0'?>\n"
            "  <model>\n"
            "    <sdf version='1.7'>model.sdf</sdf>\n"
            "    <name>box</name>\n"
            "    <version>2</version>\n"
            "    <description>A box</description>\n"
            "    <author>\n"
            "      <name>Alice</name>\n"
            "      <email>alice@example.org</email>\n"
            "    </author>\n"
            "    <author>\n"
            "      <name></name>\n"
            "      <email></email>\n"
            "    </author>\n"
            "    <depend>\n"
            "      <model>\n"
            "        <uri>https://server/1.0/bob/models/wheel</uri>\n"
            "      </model>\n"
            "    </depend>\n"
            "  </model>\n");
}

TEST(ModelConfigFromMetadata, RefusesAFormatOtherThanSdf) {
  QuarnMetadata meta = SampleRecord();
  meta.mutable_model()->mutable_file_format()->set_name("SDF");
  const WriteOutcome w = Write(meta);
  EXPECT_FALSE(w.ok);
  EXPECT_EQ(w.err, "Model _metadata does not contain an SDF file.\n");
  EXPECT_EQ(w.text, "untouched");

  QuarnMetadata world;
  world.mutable_world()->set_file("w.sdf");
  EXPECT_EQ(Write(world).err, "World _metadata does not contain an SDF file.\n");
  const WriteOutcome none = Write(QuarnMetadata());
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.err, "World _metadata does not contain an SDF file.\n");
  EXPECT_EQ(none.text, "untouched");
}

TEST(ModelConfigRoundTrip, RecordToTextAndBack) {
  QuarnMetadata meta = SampleRecord();
  // Texts that need escaping survive the trip.
  meta.set_name("Tom & Jerry <b>");
  meta.set_description("a < b && c > d");
  meta.mutable_authors(0)->set_name("O'Brien \"Bob\"");
  meta.mutable_dependencies(0)->set_uri("https://server/m?x=1&y=2");
  const WriteOutcome w = Write(meta);
  ASSERT_TRUE(w.ok);
  const ReadOutcome r = Read(w.text);
  ASSERT_TRUE(r.ok) << r.err << w.text;

  QuarnMetadata expected = meta;
  // Only major and minor of the SDF version are written.
  expected.mutable_model()->mutable_file_format()->mutable_version()->set_patch(0);
  EXPECT_EQ(r.meta.DebugString(), expected.DebugString());
}

TEST(ModelConfigRoundTrip, TextToRecordAndBack) {
  const std::string config = Write(SampleRecord()).text;
  const ReadOutcome r = Read(config);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Write(r.meta).text, config);
}

}  // namespace
