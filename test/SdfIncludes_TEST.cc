// What the SDF files of a world include: the parser as a table (nested
// includes, whitespace, model:// URIs, versioned and tip URLs, texts that
// are not XML), then the walk over a version directory, and which of the
// URIs name models of a repository.
#include "SdfIncludes.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ResourceUrls.hh"
#include "UrlGrammar.hh"
#include "WorldIncludes.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_tools::internal {
namespace {

using Uris = std::vector<std::string>;

TEST(SdfIncludesTest, ReadsEveryIncludeUriOfADocument) {
  struct Case {
    const char *what;
    std::string text;
    Uris uris;
    bool wellFormed;
  };
  const std::string box = "https://repo.example/1.0/alice/models/box";
  const std::vector<Case> cases = {
      {"a world's include", "<sdf><world name='w'><include><uri>" + box +
                                "</uri></include></world></sdf>",
       {box}, true},
      {"whitespace around the URI",
       "<sdf><world><include><uri>\n\t  " + box + "/3 \n</uri></include></world></sdf>",
       {box + "/3"}, true},
      {"nested in models, in document order",
       "<sdf><world><include><uri>a</uri></include><model name='m'><model name='n'>"
       "<include><uri>b</uri><name>x</name></include></model></model>"
       "<include><uri>c</uri></include></world></sdf>",
       {"a", "b", "c"}, true},
      {"model:// and tip URLs are read as written",
       "<sdf><world><include><uri>model://ground_plane</uri></include>"
       "<include><uri>" + box + "/tip</uri></include></world></sdf>",
       {"model://ground_plane", box + "/tip"}, true},
      {"a <uri> outside an include is no include",
       "<sdf><world><model><link><visual><geometry><mesh><uri>" + box +
           "</uri></mesh></geometry></visual></link></model></world></sdf>",
       {}, true},
      {"an empty include", "<sdf><world><include><uri>  </uri></include><include/></world></sdf>",
       {}, true},
      {"the same include twice is read twice",
       "<sdf><world><include><uri>a</uri></include><include><uri>a</uri></include></world></sdf>",
       {"a", "a"}, true},
      {"not XML", "this is no SDF <include><uri>a</uri>", {}, false},
      {"unclosed elements", "<sdf><world><include><uri>a</uri></include>", {}, false},
      {"an empty file", "", {}, false},
  };
  for (const Case &c : cases) {
    bool wellFormed = !c.wellFormed;
    EXPECT_EQ(IncludedUris(c.text, &wellFormed), c.uris) << c.what;
    EXPECT_EQ(wellFormed, c.wellFormed) << c.what;
  }
}

TEST(SdfIncludesTest, ADeeplyNestedDocumentDoesNotExhaustTheStack) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "<model>";
  text += "<include><uri>deep</uri></include>";
  for (int i = 0; i < 5000; ++i) text += "</model>";
  // tinyxml2 may refuse a document this deep; either way, no crash.
  const Uris uris = IncludedUris(text);
  EXPECT_TRUE(uris.empty() || uris == Uris{"deep"});
}

TEST(SdfIncludesTest, WalksTheSdfAndWorldFilesOfAVersionOnce) {
  qx::test::TempDir version;
  const auto include = [](const std::string &uri) {
    return "<include><uri>" + uri + "</uri></include>";
  };
  qx::test::WriteFile(version.Join("a.sdf"),
                      "<sdf><world>" + include("one") + include("two") + "</world></sdf>");
  qx::test::WriteFile(version.Join("b.world"),
                      "<sdf><world>" + include("two") + include("three") + "</world></sdf>");
  qx::test::WriteFile(version.Join("sub/deeper/c.SDF"), "<sdf>" + include("four") + "</sdf>");
  // Not SDF by name, or not XML: not read, or passed over.
  qx::test::WriteFile(version.Join("notes.txt"), "<sdf>" + include("five") + "</sdf>");
  qx::test::WriteFile(version.Join("broken.sdf"), "<sdf><include><uri>six</uri>");
  qx::test::LogCapture log;
  EXPECT_EQ(IncludedUrisIn(version.Path()), (Uris{"one", "two", "three", "four"}));
  EXPECT_TRUE(log.Contains("is not XML")) << log.Text();
  EXPECT_TRUE(IncludedUrisIn(version.Join("missing")).empty());
}

TEST(SdfIncludesTest, OnlyModelUrlsOfARepositoryAreModelsTheWorldNeeds) {
  qx::test::TempDir version;
  ClientConfig config;
  ServerConfig configured;
  configured.SetUrl(qx::common::URI("https://repo.example"));
  configured.SetVersion("1.0");
  config.AddServer(configured);
  UrlGrammar grammar;
  const ResourceUrls urls(grammar, config);
  std::string sdf = "<sdf><world>";
  for (const char *uri :
       {"https://repo.example/1.0/alice/models/box", "model://sun", "file:///tmp/x.sdf",
        "https://repo.example/1.0/alice/worlds/town", "https://other.example/1.0/bob/models/wheel/2",
        "https://repo.example/1.0/alice/models/box/tip/files/model.sdf",
        "https://repo.example/1.0/alice/models/box", "https://repo.example/1.0/alice/models/box/3",
        "https://repo.example/1.0/alice/models/box/tip", "not a url"})
    sdf += "<include><uri>" + std::string(uri) + "</uri></include>";
  qx::test::WriteFile(version.Join("w.sdf"), sdf + "</world></sdf>");
  qx::test::LogCapture log;
  const std::vector<ModelRequest> models = IncludedModels(version.Path(), urls);
  std::vector<std::string> seen;
  for (const ModelRequest &model : models)
    seen.push_back(model.url + " -> " + model.id.Server().Url().Str() + " " + model.id.Owner() +
                   "/" + model.id.Name() + "/" + model.id.VersionStr());
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "https://repo.example/1.0/alice/models/box -> https://repo.example "
                      "alice/box/tip",
                      "https://other.example/1.0/bob/models/wheel/2 -> https://other.example "
                      "bob/wheel/2",
                      "https://repo.example/1.0/alice/models/box/3 -> https://repo.example "
                      "alice/box/3",
                  }));
  EXPECT_TRUE(log.Contains("[model://sun]")) << log.Text();
  EXPECT_TRUE(log.Contains("names no model of a repository")) << log.Text();
}

}  // namespace
}  // namespace qx::quarn_tools::internal
