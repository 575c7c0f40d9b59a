#include "qx/quarn_tools/JSONParser.hh"

#include <json/json.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "support/TestSupport.hh"
#include "support/Builders.hh"

namespace qx::quarn_tools {
namespace {

using qx::common::LOG_ERROR;
using qx::test::LogCapture;
using qx::test::ScopedEnv;

// The server every parsed document is bound to.
const ServerConfig kServer = qx::test::ServerAt("https://models.example:8443", "secret");

Json::Value Parse(const std::string &text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
  return value;
}

const char *const kFullModel = R"({
  "name": "Big_Box", "owner": "ALICE",
  "updatedAt": "2021-03-04T05:06:07.890Z", "createdAt": "2019-12-31T23:59:59Z",
  "description": "A box", "likes": 7, "downloads": 42, "filesize": 1024,
  "license_name": "CC-BY", "license_url": "https://licenses.example/by",
  "license_image": "https://licenses.example/by.png",
  "tags": ["red", "box"], "version": 3, "private": true, "categories": ["x"]
})";

TEST(JSONParserModel, ReadsEveryField) {
  LogCapture log;
  const ModelIdentifier model = JSONParser::ParseModel(kFullModel, kServer);
  EXPECT_EQ(model.Name(), "big_box");
  EXPECT_EQ(model.Owner(), "alice");
  EXPECT_EQ(model.ModifyDate(), 1614834367);  // fraction dropped
  EXPECT_EQ(model.UploadDate(), 1577836799);
  EXPECT_EQ(model.Description(), "A box");
  EXPECT_EQ(model.LikeCount(), 7u);
  EXPECT_EQ(model.DownloadCount(), 42u);
  EXPECT_EQ(model.FileSize(), 1024u);
  EXPECT_EQ(model.LicenseName(), "CC-BY");
  EXPECT_EQ(model.LicenseUrl(), "https://licenses.example/by");
  EXPECT_EQ(model.LicenseImageUrl(), "https://licenses.example/by.png");
  EXPECT_EQ(model.Tags(), (std::vector<std::string>{"red", "box"}));
  EXPECT_EQ(model.Version(), 3u);
  // Keys outside the document table are not read.
  EXPECT_FALSE(model.Private());
  EXPECT_EQ(model.Server().Url().Str(), "https://models.example:8443");
  EXPECT_EQ(model.Server().ApiKey(), "secret");
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JSONParserModel, MissingKeysKeepDefaults) {
  LogCapture log;
  ModelIdentifier model;
  EXPECT_TRUE(JSONParser::ParseModelImpl(Parse(R"({"name": "only"})"), model));
  const ModelIdentifier defaults;
  EXPECT_EQ(model.Name(), "only");
  EXPECT_EQ(model.Owner(), defaults.Owner());
  EXPECT_EQ(model.ModifyDate(), defaults.ModifyDate());
  EXPECT_EQ(model.UploadDate(), defaults.UploadDate());
  EXPECT_EQ(model.LikeCount(), 0u);
  EXPECT_EQ(model.Tags(), defaults.Tags());
  EXPECT_EQ(model.Version(), 0u);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JSONParserModel, DatesAreUtcWhateverTheLocalZone) {
  std::time_t parsed = 0;
  {
    ScopedEnv zone("TZ", std::string("EST5EDT"));
    tzset();
    parsed = JSONParser::ParseModel(R"({"updatedAt": "2021-03-04T05:06:07.999Z"})", kServer)
                 .ModifyDate();
  }
  tzset();
  EXPECT_EQ(parsed, 1614834367);
}

struct DateCase {
  const char *text;
  std::time_t expected;
};

class JSONParserDates : public ::testing::TestWithParam<DateCase> {};

TEST_P(JSONParserDates, ConvertsOrStoresZero) {
  const std::string body = std::string(R"({"createdAt": ")") + GetParam().text + "\"}";
  EXPECT_EQ(JSONParser::ParseModel(body, kServer).UploadDate(), GetParam().expected)
      << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JSONParserDates,
    ::testing::Values(DateCase{"2021-03-04T05:06:07Z", 1614834367},
                      DateCase{"2021-03-04T05:06:07.5Z", 1614834367},
                      DateCase{"1970-01-01T00:00:00Z", 0},
                      // Texts that do not fit the pattern store 0.
                      DateCase{"2021-03-04", 0}, DateCase{"yesterday", 0},
                      DateCase{"", 0}, DateCase{"2021-03-04T05:06Z", 0},
                      DateCase{"2021-03-04T05:06:nanZ", 0},
                      DateCase{"-2147483648-03-04T05:06:07Z", 0}));

struct WrongTypeCase {
  const char *key;
  const char *value;
  // A field stored before the failing key, and one after it.
  bool descriptionKept;
  bool downloadsRead;
};

class JSONParserWrongTypes : public ::testing::TestWithParam<WrongTypeCase> {};

// The document: description, then the key under test in its place among
// likes / downloads / version.
TEST_P(JSONParserWrongTypes, StopsAtTheKeyAndLogs) {
  LogCapture log;
  const WrongTypeCase &c = GetParam();
  std::string body = R"({"name": "m", "description": "kept", "downloads": 5, )";
  body += std::string("\"") + c.key + "\": " + c.value + "}";
  ModelIdentifier model;
  EXPECT_FALSE(JSONParser::ParseModelImpl(Parse(body), model));
  EXPECT_EQ(model.Name(), "m");
  EXPECT_EQ(model.Description(), c.descriptionKept ? "kept" : "");
  EXPECT_EQ(model.DownloadCount(), c.downloadsRead ? 5u : 0u);
  ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
  EXPECT_TRUE(log.Contains("Bad response from server: [", LOG_ERROR)) << log.Text();
}

INSTANTIATE_TEST_SUITE_P(
    Table, JSONParserWrongTypes,
    ::testing::Values(WrongTypeCase{"likes", "-1", true, false},
                      WrongTypeCase{"likes", "\"7\"", true, false},
                      WrongTypeCase{"likes", "4294967296", true, false},
                      WrongTypeCase{"filesize", "[1]", true, true},
                      WrongTypeCase{"version", "-3", true, true},
                      WrongTypeCase{"version", "{}", true, true},
                      WrongTypeCase{"license_name", "[]", true, true},
                      WrongTypeCase{"owner", "{\"a\": 1}", false, false},
                      WrongTypeCase{"updatedAt", "[\"2021\"]", false, false}));

TEST(JSONParserModel, LenientConversionsAreNotErrors) {
  LogCapture log;
  ModelIdentifier model;
  EXPECT_TRUE(JSONParser::ParseModelImpl(
      Parse(R"({"name": 12, "owner": null, "likes": true, "downloads": 2.9,
                "filesize": null, "version": 4.0})"),
      model));
  EXPECT_EQ(model.Name(), "12");
  EXPECT_EQ(model.Owner(), "");
  EXPECT_EQ(model.LikeCount(), 1u);
  EXPECT_EQ(model.DownloadCount(), 2u);
  EXPECT_EQ(model.FileSize(), 0u);
  EXPECT_EQ(model.Version(), 4u);
  EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

TEST(JSONParserModel, NotAnObject) {
  LogCapture log;
  ModelIdentifier model;
  EXPECT_FALSE(JSONParser::ParseModelImpl(Parse("[1, 2]"), model));
  EXPECT_EQ(log.Count("Model isn't a json object!", LOG_ERROR), 1);
}

TEST(JSONParserModel, BodyThatIsNotJsonCarriesOnlyTheServer) {
  LogCapture log;
  const ModelIdentifier model = JSONParser::ParseModel("<html>oops</html>", kServer);
  EXPECT_EQ(model.Name(), "");
  EXPECT_EQ(model.Owner(), "");
  EXPECT_EQ(model.Server().Url().Str(), "https://models.example:8443");
  EXPECT_EQ(log.Count("Model isn't a json object!", LOG_ERROR), 1);
}

TEST(JSONParserModel, DeeplyNestedBodyDoesNotThrow) {
  LogCapture log;
  const std::string deep(100000, '[');
  EXPECT_TRUE(JSONParser::ParseModels(deep, kServer).empty());
  EXPECT_EQ(JSONParser::ParseModel(deep, kServer).Name(), "");
}

TEST(JSONParserTags, BadTagsGiveNoTagsAndReadingGoesOn) {
  struct Case {
    const char *tags;
    const char *line;
  };
  for (const Case &c : {Case{R"([{"a": 1}, "x", "y"])", "Exception parsing tags: ["},
                        Case{R"(["x", ["y"]])", "Exception parsing tags: ["},
                        Case{R"("red")", "JSON tags are not an array"},
                        Case{R"({"a": "b"})", "JSON tags are not an array"}}) {
    LogCapture log;
    ModelIdentifier model;
    const std::string body =
        std::string(R"({"tags": )") + c.tags + R"(, "version": 9})";
    EXPECT_TRUE(JSONParser::ParseModelImpl(Parse(body), model)) << c.tags;
    EXPECT_TRUE(model.Tags().empty()) << c.tags;
    EXPECT_EQ(model.Version(), 9u) << c.tags;
    EXPECT_EQ(log.Count(c.line, LOG_ERROR), 1) << c.tags << "\n" << log.Text();
  }
}

TEST(JSONParserTags, ConvertsScalarsToText) {
  EXPECT_EQ(JSONParser::ParseTags(Parse(R"(["a", 1, true, null])")),
            (std::vector<std::string>{"a", "1", "true", ""}));
}

TEST(JSONParserModels, ListingInOrderWithServer) {
  LogCapture log;
  const auto models = JSONParser::ParseModels(
      R"([{"name": "A", "owner": "o"}, {"name": "b", "owner": "o"}])", kServer);
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0].Name(), "a");
  EXPECT_EQ(models[1].Name(), "b");
  EXPECT_EQ(models[1].Server().Url().Str(), "https://models.example:8443");
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JSONParserModels, RejectedElementCutsThePageShort) {
  struct Case {
    const char *body;
    std::size_t kept;
    const char *firstLine;
  };
  for (const Case &c :
       {Case{R"([{"name": "a"}, {"name": "b"}, 3, {"name": "d"}])", 2,
             "Model isn't a json object!"},
        Case{R"([{"name": "a"}, {"name": "b", "likes": -1}, {"name": "c"}])", 1,
             "Bad response from server: ["},
        Case{R"([[], {"name": "b"}])", 0, "Model isn't a json object!"}}) {
    LogCapture log;
    const auto models = JSONParser::ParseModels(c.body, kServer);
    EXPECT_EQ(models.size(), c.kept) << c.body;
    // The element's own line, then the listing's.
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u) << log.Text();
    EXPECT_NE(lines[0].second.find(c.firstLine), std::string::npos) << log.Text();
    EXPECT_NE(lines[1].second.find("Model isn't a json object!"), std::string::npos);
  }
}

TEST(JSONParserModels, BodiesThatAreNotArrays) {
  for (const char *body : {"{}", "null\n", "", "not json", "42", R"({"name": "a"})"}) {
    LogCapture log;
    EXPECT_TRUE(JSONParser::ParseModels(body, kServer).empty()) << body;
    EXPECT_TRUE(JSONParser::ParseWorlds(body, kServer).empty()) << body;
    EXPECT_EQ(log.Count("JSON response is not an array\n", LOG_ERROR), 2) << log.Text();
  }
}

TEST(JSONParserModels, EmptyArrayIsAnEmptyListingWithoutLog) {
  LogCapture log;
  EXPECT_TRUE(JSONParser::ParseModels("[]", kServer).empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JSONParserWorlds, ReadsNameOwnerVersionOnly) {
  LogCapture log;
  const WorldIdentifier world = JSONParser::ParseWorld(
      R"({"name": "Shapes", "owner": "Bob", "version": 2, "private": true,
          "description": "ignored"})",
      kServer);
  EXPECT_EQ(world.Name(), "shapes");
  EXPECT_EQ(world.Owner(), "bob");
  EXPECT_EQ(world.Version(), 2u);
  EXPECT_FALSE(world.Private());
  EXPECT_EQ(world.Server().Url().Str(), "https://models.example:8443");
  EXPECT_TRUE(log.Lines().empty());
}

TEST(JSONParserWorlds, WrongTypeKeepsEarlierFields) {
  LogCapture log;
  WorldIdentifier world;
  EXPECT_FALSE(
      JSONParser::ParseWorldImpl(Parse(R"({"name": "w", "owner": "o", "version": "x"})"), world));
  EXPECT_EQ(world.Name(), "w");
  EXPECT_EQ(world.Owner(), "o");
  EXPECT_EQ(world.Version(), 0u);
  EXPECT_EQ(log.Count("Bad response from server: [", LOG_ERROR), 1);
}

TEST(JSONParserWorlds, ListingStopsAtRejectedElement) {
  LogCapture log;
  const auto worlds =
      JSONParser::ParseWorlds(R"([{"name": "a"}, "b", {"name": "c"}])", kServer);
  ASSERT_EQ(worlds.size(), 1u);
  EXPECT_EQ(worlds[0].Name(), "a");
  EXPECT_EQ(log.Count("World isn't a json object!", LOG_ERROR), 2);
}

TEST(JSONParserWorlds, NotJsonCarriesOnlyTheServer) {
  LogCapture log;
  const WorldIdentifier world = JSONParser::ParseWorld("", kServer);
  EXPECT_EQ(world.Name(), "");
  EXPECT_EQ(world.Server().Url().Str(), "https://models.example:8443");
  EXPECT_EQ(log.Count("World isn't a json object!", LOG_ERROR), 1);
}

TEST(JSONParserLicenses, FirstIdWinsAndBadElementsAreSkipped) {
  LogCapture log;
  std::map<std::string, std::uint32_t> licenses{{"Kept", 99}};
  EXPECT_TRUE(JSONParser::ParseLicenses(
      R"([{"name": "CC-BY", "ID": 1}, {"name": "CC-BY", "ID": 2},
          {"ID": 3}, 7, {"name": "Bad", "ID": -4}, {"name": "Kept", "ID": 5},
          {"name": "NoId"}])",
      licenses));
  const std::map<std::string, std::uint32_t> expected{
      {"CC-BY", 1}, {"", 3}, {"Kept", 99}, {"NoId", 0}};
  EXPECT_EQ(licenses, expected);
  // The number: its own line and the skip line; the negative id: the
  // conversion line and the skip line.
  EXPECT_EQ(log.Count("License isn't a json object!", LOG_ERROR), 3) << log.Text();
  EXPECT_EQ(log.Count("Bad response from server: [", LOG_ERROR), 1) << log.Text();
}

TEST(JSONParserLicenses, NotAnArrayLeavesTheMapAlone) {
  LogCapture log;
  std::map<std::string, std::uint32_t> licenses{{"a", 1}};
  EXPECT_FALSE(JSONParser::ParseLicenses(R"({"name": "b", "ID": 2})", licenses));
  EXPECT_EQ(licenses, (std::map<std::string, std::uint32_t>{{"a", 1}}));
  EXPECT_EQ(log.Count("JSON response is not an array.\n", LOG_ERROR), 1) << log.Text();
}

TEST(JSONParserBuild, WorldHasExactlyNameAndNumericVersion) {
  WorldIdentifier world;
  world.SetName("Shapes");
  world.SetVersion(3);
  const Json::Value built = Parse(JSONParser::BuildWorld(WorldIterFactory::Create({world})));
  ASSERT_TRUE(built.isObject());
  EXPECT_EQ(built.getMemberNames(), (std::vector<std::string>{"name", "version"}));
  EXPECT_EQ(built["name"].asString(), "shapes");
  ASSERT_TRUE(built["version"].isUInt());
  EXPECT_EQ(built["version"].asUInt(), 3u);
}

TEST(JSONParserBuild, ModelHasNameDescriptionVersion) {
  ModelIdentifier model;
  model.SetName("box");
  model.SetDescription("A box");
  model.SetVersion(2);
  const std::string text = JSONParser::BuildModel(ModelIterFactory::Create({model}));
  // Indented, members in key order.
  EXPECT_EQ(text, "{\n\t\"description\" : \"A box\",\n\t\"name\" : \"box\",\n"
                  "\t\"version\" : 2\n}");
}

TEST(JSONParserBuild, EmptyIteratorsGiveDefaults) {
  const Json::Value model = Parse(JSONParser::BuildModel(ModelIterFactory::Create()));
  EXPECT_EQ(model["name"].asString(), "");
  EXPECT_EQ(model["version"].asUInt(), 0u);
  const Json::Value world = Parse(JSONParser::BuildWorld(WorldIterFactory::Create()));
  EXPECT_EQ(world["name"].asString(), "");
}

}  // namespace
}  // namespace qx::quarn_tools
