// Guards the metadata record's schema: metadata.pbtxt files written by any tool
// of the family must keep parsing, so the field names below must not change.
#include "qx/msgs/quarn_metadata.pb.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

using google::protobuf::TextFormat;
using google::protobuf::util::MessageDifferencer;
using qx::msgs::QuarnMetadata;

namespace {

// A full metadata.pbtxt, in the form TextFormat prints it (field-number order).
const char kMetadataText[] = R"(model {
  file_format {
    name: "sdf"
    version {
      major: 1
      minor: 6
      patch: 2
      prerelease: "rc.1"
      build: "b7"
    }
  }
  file: "model.sdf"
}
name: "Quarn Box"
description: "A box"
version: 3
authors {
  name: "Ada"
  email: "ada@example.org"
}
authors {
  name: "Bob"
}
legal {
  copyright: "(c) Ada"
  license: "CC-BY-4.0"
}
tags: "box"
tags: "simple"
annotations {
  key: "colour"
  value: "red"
}
annotations {
  key: "size"
  value: "1m"
}
dependencies {
  uri: "https://quarn.example.org/1.0/ada/models/base"
}
categories {
  first: "Furniture"
  second: "Tables"
}
)";

TEST(QuarnMetadataTest, TextFormatParsesEveryField) {
  QuarnMetadata meta;
  ASSERT_TRUE(TextFormat::ParseFromString(kMetadataText, &meta));

  ASSERT_EQ(QuarnMetadata::kModel, meta.resource_type_case());
  EXPECT_EQ("model.sdf", meta.model().file());
  EXPECT_EQ("sdf", meta.model().file_format().name());
  const qx::msgs::Version &v = meta.model().file_format().version();
  EXPECT_EQ(1, v.major());
  EXPECT_EQ(6, v.minor());
  EXPECT_EQ(2, v.patch());
  EXPECT_EQ("rc.1", v.prerelease());
  EXPECT_EQ("b7", v.build());
  EXPECT_EQ("Quarn Box", meta.name());
  EXPECT_EQ("A box", meta.description());
  EXPECT_EQ(3, meta.version());
  ASSERT_EQ(2, meta.authors_size());
  EXPECT_EQ("Ada", meta.authors(0).name());
  EXPECT_EQ("ada@example.org", meta.authors(0).email());
  EXPECT_EQ("Bob", meta.authors(1).name());
  EXPECT_EQ("", meta.authors(1).email());
  EXPECT_EQ("CC-BY-4.0", meta.legal().license());
  ASSERT_EQ(2, meta.tags_size());
  EXPECT_EQ("simple", meta.tags(1));
  ASSERT_EQ(1, meta.dependencies_size());
  EXPECT_EQ("https://quarn.example.org/1.0/ada/models/base", meta.dependencies(0).uri());
  EXPECT_EQ("Furniture", meta.categories().first());
  EXPECT_EQ("Tables", meta.categories().second());

  std::map<std::string, std::string> annotations;
  for (const auto &entry : meta.annotations()) annotations[entry.first] = entry.second;
  const std::map<std::string, std::string> expected = {{"colour", "red"}, {"size", "1m"}};
  EXPECT_EQ(expected, annotations);
}

TEST(QuarnMetadataTest, PrintsBackTheSameText) {
  QuarnMetadata meta;
  ASSERT_TRUE(TextFormat::ParseFromString(kMetadataText, &meta));

  std::string printed;
  ASSERT_TRUE(TextFormat::PrintToString(meta, &printed));
  EXPECT_EQ(kMetadataText, printed);

  // What the metadata command writes (DebugString) reads back unchanged.
  QuarnMetadata again;
  ASSERT_TRUE(TextFormat::ParseFromString(meta.DebugString(), &again));
  EXPECT_TRUE(MessageDifferencer::Equals(meta, again));

  QuarnMetadata copy;
  copy.CopyFrom(meta);
  EXPECT_TRUE(MessageDifferencer::Equals(meta, copy));
}

TEST(QuarnMetadataTest, UnknownFieldNameIsRefused) {
  QuarnMetadata meta;
  EXPECT_FALSE(TextFormat::ParseFromString("license_name: \"MIT\"\n", &meta));
}

TEST(QuarnMetadataTest, OneofSwitchesFromModelToWorld) {
  static_assert(QuarnMetadata::kModel == 1, "resource case 1 is model");
  static_assert(QuarnMetadata::kWorld == 2, "resource case 2 is world");

  QuarnMetadata meta;
  EXPECT_EQ(QuarnMetadata::RESOURCE_TYPE_NOT_SET, meta.resource_type_case());
  meta.mutable_model()->set_file("model.sdf");
  ASSERT_EQ(QuarnMetadata::kModel, meta.resource_type_case());

  meta.clear_resource_type();
  EXPECT_EQ(QuarnMetadata::RESOURCE_TYPE_NOT_SET, meta.resource_type_case());
  EXPECT_FALSE(meta.has_model());

  meta.mutable_world()->set_file("world.sdf");
  meta.mutable_world()->mutable_file_format()->set_name("sdf");
  EXPECT_EQ(QuarnMetadata::kWorld, meta.resource_type_case());
  EXPECT_FALSE(meta.has_model());
  EXPECT_EQ("world.sdf", meta.world().file());
  // The model getter falls back to the empty default once the world is set.
  EXPECT_EQ("", meta.model().file());

  std::string printed;
  ASSERT_TRUE(TextFormat::PrintToString(meta, &printed));
  EXPECT_EQ("world {\n  file_format {\n    name: \"sdf\"\n  }\n  file: \"world.sdf\"\n}\n",
            printed);
}

TEST(QuarnMetadataTest, LegalAndCategoriesPresence) {
  QuarnMetadata meta;
  EXPECT_FALSE(meta.has_legal());
  EXPECT_FALSE(meta.has_categories());

  // An empty block in the text still marks the member present.
  ASSERT_TRUE(TextFormat::ParseFromString("legal {\n}\ncategories {\n}\n", &meta));
  EXPECT_TRUE(meta.has_legal());
  EXPECT_TRUE(meta.has_categories());
  EXPECT_EQ("", meta.legal().license());

  meta.clear_legal();
  EXPECT_FALSE(meta.has_legal());
  EXPECT_TRUE(meta.has_categories());

  QuarnMetadata other;
  other.mutable_legal()->set_license("MIT");
  EXPECT_TRUE(other.has_legal());
  EXPECT_FALSE(other.has_categories());
}

}  // namespace
