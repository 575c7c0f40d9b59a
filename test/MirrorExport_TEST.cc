// The mirror export: the tree it writes, how it updates, and nginx serving
// it with the protocol's routes, queries and headers.
#include <qx/quarn_server/MirrorExport.hh>

#include <fcntl.h>
#include <sys/stat.h>

#include <httplib.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/NginxMirror.hh"
#include "support/RepositoryFixture.hh"
#include "support/ServerDocuments.hh"
#include "support/TestSupport.hh"

namespace qx::quarn_server {
namespace {

namespace fs = std::filesystem;
using qx::test::ListedNames;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

using Names = std::vector<std::string>;

class MirrorExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qx::test::CopyExampleRepository(root_.Path()));
    qx::test::FillServerUrl(root_.Path(), "http://127.0.0.1:8080");
  }

  bool Export(MirrorSummary *summary = nullptr) {
    return exportMirror(root_.Path(), Out(), MirrorOptions(), summary);
  }
  std::string Out() const { return out_.Join("mirror"); }
  std::string Site(const std::string &relative) const { return Out() + "/site/" + relative; }

  TempDir root_;
  TempDir out_;
};

TEST_F(MirrorExportTest, LaysOutEveryAnswerOfTheRouteTable) {
  MirrorSummary summary;
  ASSERT_TRUE(Export(&summary));
  EXPECT_EQ(7u, summary.versionsWritten);  // box 1 and 2, robot, wheel, garden, town 1 and 2
  for (const char *file :
       {"licenses.json", "listing/server/models/1.json", "listing/server/models/end.json",
        "listing/owner/alice/worlds/1.json", "listing/collection/alice/favourites/models/1.json",
        "listing/resource/bob/worlds/town/1.json", "resources/alice/models/box/details.json",
        "resources/alice/models/box/1/archive.zip",
        "resources/alice/models/box/tip/files/meshes/box.obj",
        "resources/bob/worlds/town/tip/files/town.sdf"}) {
    EXPECT_TRUE(fs::is_regular_file(Site(file))) << file;
  }
  EXPECT_EQ("2", fs::read_symlink(Site("resources/alice/models/box/tip")).string());
  EXPECT_EQ(ReadFile(root_.Path() + "/alice/models/box/2/meshes/box.obj"),
            ReadFile(Site("resources/alice/models/box/2/files/meshes/box.obj")));
  EXPECT_EQ("[]", ReadFile(Site("listing/server/models/end.json")));
  EXPECT_EQ((Names{"alice/box", "alice/robot", "bob/wheel"}),
            ListedNames(ReadFile(Site("listing/server/models/1.json"))));
  for (const char *file : {"nginx.conf", "quarn-http.conf", "quarn-server.conf"})
    EXPECT_TRUE(fs::is_regular_file(Out() + "/" + file)) << file;
}

TEST_F(MirrorExportTest, ExportsAgainOnlyWhatChanged) {
  ASSERT_TRUE(Export());
  MirrorSummary again;
  ASSERT_TRUE(Export(&again));
  EXPECT_EQ(0u, again.versionsWritten);
  EXPECT_EQ(7u, again.versionsKept);
  EXPECT_EQ(0u, again.documentsWritten);
  EXPECT_EQ(0u, again.removed);

  const fs::path before = fs::read_symlink(Site("resources/alice/models/box/2"));
  WriteFile(root_.Path() + "/alice/models/box/2/meshes/box.obj", "v 5 5 5\n");
  MirrorSummary changed;
  ASSERT_TRUE(Export(&changed));
  EXPECT_EQ(1u, changed.versionsWritten);
  EXPECT_EQ(6u, changed.versionsKept);
  EXPECT_NE(before, fs::read_symlink(Site("resources/alice/models/box/2")));
  EXPECT_FALSE(fs::exists(Site("resources/alice/models/box/" + before.string())));
  EXPECT_EQ("v 5 5 5\n", ReadFile(Site("resources/alice/models/box/2/files/meshes/box.obj")));

  // Rewritten in place with its size kept and its time set back.
  const std::string mesh = root_.Path() + "/alice/models/box/2/meshes/box.obj";
  struct stat old {};
  ASSERT_EQ(0, ::stat(mesh.c_str(), &old));
  WriteFile(mesh, "v 6 6 6\n");
  const struct timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, mesh.c_str(), times, 0));
  MirrorSummary same;
  ASSERT_TRUE(Export(&same));
  EXPECT_EQ(1u, same.versionsWritten);
  EXPECT_EQ("v 6 6 6\n", ReadFile(Site("resources/alice/models/box/2/files/meshes/box.obj")));

  fs::remove_all(root_.Path() + "/bob/models/wheel");
  fs::remove_all(root_.Path() + "/alice/models/box/2");
  MirrorSummary removed;
  ASSERT_TRUE(Export(&removed));
  EXPECT_GT(removed.removed, 0u);
  EXPECT_FALSE(fs::exists(Site("resources/bob/models/wheel")));
  EXPECT_FALSE(fs::exists(Site("listing/resource/bob/models/wheel")));
  EXPECT_FALSE(fs::exists(Site("resources/alice/models/box/2")));
  EXPECT_EQ("1", fs::read_symlink(Site("resources/alice/models/box/tip")).string());
  EXPECT_EQ((Names{"alice/box", "alice/robot"}),
            ListedNames(ReadFile(Site("listing/server/models/1.json"))));
}

TEST_F(MirrorExportTest, PagesWithANextPageAreNamedSo) {
  MirrorOptions options;
  options.pageSize = 2;
  ASSERT_TRUE(exportMirror(root_.Path(), Out(), options));
  EXPECT_TRUE(fs::exists(Site("listing/server/models/1.next.json")));
  EXPECT_TRUE(fs::exists(Site("listing/server/models/2.json")));
  EXPECT_FALSE(fs::exists(Site("listing/server/models/1.json")));
  // Back to one page: the old pages go.
  ASSERT_TRUE(Export());
  EXPECT_TRUE(fs::exists(Site("listing/server/models/1.json")));
  EXPECT_FALSE(fs::exists(Site("listing/server/models/1.next.json")));
  EXPECT_FALSE(fs::exists(Site("listing/server/models/2.json")));
}

TEST_F(MirrorExportTest, PrivateResourcesStayOutAndNamesAreLowerCase) {
  WriteFile(root_.Path() + "/alice/models/secret/1/model.config", "<model><name>s</name></model>");
  WriteFile(root_.Path() + "/alice/models/secret/private", "");
  WriteFile(root_.Path() + "/Carol/models/Crate/1/model.config", "<model><name>c</name></model>");
  LogCapture log;
  ASSERT_TRUE(Export());
  EXPECT_FALSE(fs::exists(Site("resources/alice/models/secret")));
  EXPECT_EQ((Names{"alice/box", "alice/robot"}),
            ListedNames(ReadFile(Site("listing/owner/alice/models/1.json"))));
  EXPECT_TRUE(log.Contains("Leaving out the private [alice/models/secret]"));
  EXPECT_TRUE(fs::exists(Site("resources/carol/models/crate/1/archive.zip")));
  EXPECT_EQ((Names{"Carol/Crate"}), ListedNames(ReadFile(Site("listing/owner/carol/models/1.json"))));
}

TEST_F(MirrorExportTest, AVersionPublishesOnlyWhatLiesInsideIt) {
  WriteFile(root_.Path() + "/alice/models/secret/1/model.config", "<model><name>s</name></model>");
  WriteFile(root_.Path() + "/alice/models/secret/1/data.txt", "PRIVATE-DATA");
  WriteFile(root_.Path() + "/alice/models/secret/private", "");
  const std::string version = root_.Path() + "/alice/models/box/2/";
  fs::create_symlink("../../secret/1/data.txt", version + "notes.txt");
  fs::create_symlink("../../secret/1", version + "secretdir");
  fs::create_symlink("model.sdf", version + "alias.sdf");
  WriteFile(version + "bad\xffname.txt", "unnamable");
  ASSERT_TRUE(Export());
  for (const auto &[path, content] : qx::test::TreeFiles(Out() + "/site"))
    EXPECT_EQ(std::string::npos, content.find("PRIVATE-DATA")) << path;
  const std::string files = "resources/alice/models/box/2/files/";
  EXPECT_FALSE(fs::exists(Site(files + "notes.txt")));
  EXPECT_FALSE(fs::exists(Site(files + "secretdir")));
  EXPECT_FALSE(fs::exists(Site(files + "bad\xffname.txt")));
  EXPECT_EQ(ReadFile(version + "model.sdf"), ReadFile(Site(files + "alias.sdf")));
}

TEST_F(MirrorExportTest, AVersionThatLinksIntoAPrivateModelIsNotExported) {
  WriteFile(root_.Path() + "/alice/models/secret/1/model.config", "<model><name>s</name></model>");
  WriteFile(root_.Path() + "/alice/models/secret/1/data.txt", "PRIVATE-DATA");
  WriteFile(root_.Path() + "/alice/models/secret/private", "");
  // A version of a public model, and a whole resource of another owner,
  // that are links to the private model.
  fs::create_directory_symlink("../secret/1", root_.Path() + "/alice/models/box/3");
  fs::create_directories(root_.Path() + "/dave/models");
  fs::create_directory_symlink("../../alice/models/secret", root_.Path() + "/dave/models/copy");
  ASSERT_TRUE(Export());
  for (const auto &[path, content] : qx::test::TreeFiles(Out() + "/site"))
    EXPECT_EQ(std::string::npos, content.find("PRIVATE-DATA")) << path;
  EXPECT_FALSE(fs::exists(Site("resources/alice/models/box/3")));
  EXPECT_EQ("2", fs::read_symlink(Site("resources/alice/models/box/tip")).string());
  EXPECT_FALSE(fs::exists(Site("resources/dave")));
}

TEST_F(MirrorExportTest, NamesNoOwnerOrCollectionWithoutAPublicMemberAndNothingHidden) {
  // carol holds only a private model; her collection names only it; bob's
  // second collection names only private members; .git is no owner.
  WriteFile(root_.Path() + "/carol/models/secret/1/model.config", "<model><name>s</name></model>");
  WriteFile(root_.Path() + "/carol/models/secret/private", "");
  WriteFile(root_.Path() + "/carol/collections/hidden.json", "{\"models\": [\"carol/secret\"]}");
  WriteFile(root_.Path() + "/bob/collections/secrets.json", "{\"models\": [\"carol/secret\"]}");
  WriteFile(root_.Path() + "/bob/collections/mixed.json",
            "{\"models\": [\"carol/secret\"], \"worlds\": [\"bob/town\"]}");
  WriteFile(root_.Path() + "/.git/models/config/1/model.config", "<model><name>g</name></model>");
  WriteFile(root_.Path() + "/alice/collections/.draft.json", "{\"models\": [\"alice/box\"]}");
  ASSERT_TRUE(Export());
  for (const char *gone : {"listing/owner/carol", "listing/collection/carol", "listing/owner/.git",
                           "resources/.git", "listing/collection/bob/secrets",
                           "listing/collection/alice/.draft"}) {
    EXPECT_FALSE(fs::exists(Site(gone))) << gone;
  }
  EXPECT_TRUE(fs::exists(Site("listing/collection/bob/mixed/worlds/1.json")));
  EXPECT_EQ("[]", ReadFile(Site("listing/collection/bob/mixed/models/1.json")));
  const std::string maps = ReadFile(Out() + "/quarn-http.conf");
  for (const char *name : {"carol", "secrets", ".git", "draft"})
    EXPECT_EQ(std::string::npos, maps.find(name)) << name;
}

TEST_F(MirrorExportTest, WhatFailsKeepsItsExportAndTheRestIsBroughtUpToDate) {
  ASSERT_TRUE(Export());
  // The details of alice/robot cannot be written (a directory stands where
  // they go), and bob/wheel is deleted.
  const std::string details = Site("resources/alice/models/robot/details.json");
  fs::remove(details);
  fs::create_directory(details);
  fs::remove_all(root_.Path() + "/bob/models/wheel");
  LogCapture log;
  EXPECT_FALSE(Export());
  EXPECT_FALSE(fs::exists(Site("resources/bob/models/wheel")));
  EXPECT_FALSE(fs::exists(Site("listing/resource/bob/models/wheel")));
  EXPECT_EQ((Names{"alice/box", "alice/robot"}),
            ListedNames(ReadFile(Site("listing/server/models/1.json"))));
  EXPECT_TRUE(fs::is_regular_file(Site("resources/alice/models/robot/1/archive.zip")));
  EXPECT_TRUE(fs::is_regular_file(Site("listing/resource/alice/models/robot/1.json")));
}

TEST_F(MirrorExportTest, RefusesPlacesThatHoldSomethingElse) {
  TempDir busy;
  WriteFile(busy.Join("notes.txt"), "mine");
  struct Case {
    const char *what;
    std::string root;
    std::string out;
    const char *reason;
  };
  const Case cases[] = {
      {"a directory of other things", root_.Path(), busy.Path(), "holds no mirror export"},
      {"inside the repository", root_.Path(), root_.Join("alice/mirror"), "inside the repository"},
      {"around the repository", root_.Path(), fs::path(root_.Path()).parent_path().string(),
       "the repository directory lies inside it"},
      {"a file", root_.Path(), busy.Join("notes.txt"), "no directory"},
      {"a path nginx cannot take", root_.Path(), out_.Join("a$b"), "dollar sign"},
      {"no repository", root_.Join("missing"), Out(), "Repository directory does not exist"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    EXPECT_FALSE(exportMirror(c.root, c.out, MirrorOptions()));
    EXPECT_TRUE(log.Contains(c.reason, qx::common::LOG_ERROR)) << log.Text();
  }
  EXPECT_EQ("mine", ReadFile(busy.Join("notes.txt")));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(busy.Path()), fs::directory_iterator()));
  EXPECT_FALSE(fs::exists(root_.Join("alice/mirror")));
}

TEST_F(MirrorExportTest, TheListenAddressIsAnAddress) {
  const struct {
    std::string listen;
    bool taken;
  } cases[] = {
      {"8080", true},
      {"127.0.0.1:8080", true},
      {"[::1]:8080", true},
      {"*:80", true},
      {"mirror.lab-1.example:8080", true},
      {"127.0.0.1:1; include /etc/passwd", false},
      {"127.0.0.1:1;", false},
      {"", false},
      {"host", false},
      {"127.0.0.1:0", false},
      {"127.0.0.1:65536", false},
      {"[::1:80", false},
      {"a b:80", false},
      {"127.0.0.1:80\n", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.listen);
    MirrorOptions options;
    options.listen = c.listen;
    TempDir out;
    LogCapture log;
    EXPECT_EQ(c.taken, exportMirror(root_.Path(), out.Join("mirror"), options));
    if (c.taken) {
      EXPECT_NE(std::string::npos,
                ReadFile(out.Join("mirror/nginx.conf")).find("listen " + c.listen + ";\n"));
    } else {
      EXPECT_TRUE(log.Contains("the listen address", qx::common::LOG_ERROR));
      EXPECT_FALSE(fs::exists(out.Join("mirror")));
    }
  }
}

// ------------------------------------------------------------ under nginx

class NginxMirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mirror_.Started()) << mirror_.Failure();
    client_ = std::make_unique<httplib::Client>(mirror_.Url());
    client_->set_url_encode(false);
  }
  // GET of `route` escaped as one piece, the way the client sends it.
  httplib::Result Get(const std::string &route, const std::string &query = "",
                      const httplib::Headers &headers = {}) {
    std::string escaped;
    for (char c : route) escaped += c == '/' ? std::string("%2F") : std::string(1, c);
    return client_->Get(("/1.0/" + escaped + (query.empty() ? "" : "?" + query)).c_str(),
                        headers);
  }

  qx::test::NginxMirror mirror_{2};
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(NginxMirrorTest, ArchivesCarryVersionValidatorsAndRanges) {
  auto whole = Get("alice/models/box/tip/box.zip", "link=true");
  ASSERT_TRUE(whole);
  EXPECT_EQ(200, whole->status);
  EXPECT_EQ("application/zip", whole->get_header_value("Content-Type"));
  EXPECT_EQ("2", whole->get_header_value("X-Qel-Resource-Version"));
  EXPECT_EQ("bytes", whole->get_header_value("Accept-Ranges"));
  const std::string tag = whole->get_header_value("ETag");
  ASSERT_FALSE(tag.empty());

  auto part = Get("alice/models/box/tip/box.zip", "", {{"Range", "bytes=-10"}});
  ASSERT_TRUE(part);
  EXPECT_EQ(206, part->status);
  EXPECT_EQ(whole->body.substr(whole->body.size() - 10), part->body);
  EXPECT_EQ("2", part->get_header_value("X-Qel-Resource-Version"));
  EXPECT_EQ(416, Get("alice/models/box/tip/box.zip", "", {{"Range", "bytes=999999-"}})->status);

  auto cached = Get("alice/models/box/tip/box.zip", "", {{"If-None-Match", tag}});
  ASSERT_TRUE(cached);
  EXPECT_EQ(304, cached->status);
  EXPECT_EQ("2", cached->get_header_value("X-Qel-Resource-Version"));
  auto since = Get("alice/models/box/tip/box.zip", "",
                   {{"If-Modified-Since", whole->get_header_value("Last-Modified")}});
  EXPECT_EQ(304, since->status);

  EXPECT_EQ("1", Get("alice/models/box/01/box.zip")->get_header_value("X-Qel-Resource-Version"));
  EXPECT_EQ(404, Get("alice/models/box/tip/other.zip")->status);
  EXPECT_EQ(404, Get("alice/models/box/3/box.zip")->status);
}

TEST_F(NginxMirrorTest, ANewTipNeedsNoReload) {
  const std::string root = mirror_.Root() + "/alice/models/box/";
  fs::copy(root + "2", root + "3", fs::copy_options::recursive);
  ASSERT_TRUE(mirror_.Export());
  EXPECT_EQ("3", Get("alice/models/box/tip/box.zip")->get_header_value("X-Qel-Resource-Version"));
  EXPECT_EQ("3", Get("alice/models/box/tip/files/model.sdf")->get_header_value(
                     "X-Qel-Resource-Version"));
}

TEST_F(NginxMirrorTest, FilesGoByTheirExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"alice/models/box/2/files/meshes/box.obj", "text/plain"},
      {"alice/models/box/tip/files/model.config", "text/xml"},
      {"bob/worlds/town/1/files/town.sdf", "text/xml"},
  };
  for (const auto &[route, type] : cases) {
    SCOPED_TRACE(route);
    auto result = Get(route);
    ASSERT_TRUE(result);
    EXPECT_EQ(200, result->status);
    EXPECT_EQ(type, result->get_header_value("Content-Type"));
  }
  WriteFile(mirror_.Root() + "/alice/models/box/2/README", "no extension");
  ASSERT_TRUE(mirror_.Export());
  EXPECT_EQ("application/octet-stream",
            Get("alice/models/box/2/files/README")->get_header_value("Content-Type"));
  EXPECT_EQ(404, Get("alice/models/box/2/files/meshes")->status);  // a directory
}

TEST_F(NginxMirrorTest, PagesOfAModelAreSavedNotRunAndNothingIsSniffed) {
  WriteFile(mirror_.Root() + "/alice/models/box/2/drawing.svg", "<svg><script/></svg>");
  WriteFile(mirror_.Root() + "/alice/models/box/2/Page.HTML", "<script>alert(1)</script>");
  ASSERT_TRUE(mirror_.Export());
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"alice/models/box/2/files/drawing.svg", "", 200, "attachment"},
      {"alice/models/box/2/files/Page.HTML", "", 200, "attachment"},
      {"alice/models/box/2/files/meshes/box.obj", "", 200, ""},
      {"alice/models/box/tip/box.zip", "", 200, ""},
      {"models", "page=2", 200, ""},
      {"models", "page=x", 400, ""},
      {"alice/models/nothing", "", 404, ""},
  };
  for (const auto &[route, query, status, disposition] : cases) {
    SCOPED_TRACE(route + "?" + query);
    auto result = Get(route, query);
    ASSERT_TRUE(result);
    EXPECT_EQ(status, result->status);
    EXPECT_EQ(disposition, result->get_header_value("Content-Disposition"));
    EXPECT_EQ("nosniff", result->get_header_value("X-Content-Type-Options"));
    EXPECT_EQ("nginx", result->get_header_value("Server"));  // no version
  }
}

TEST_F(NginxMirrorTest, ListingPagesQueriesAndLinks) {
  struct Case {
    std::string query;
    int status;
    Names names;
    std::string nextPage;  // the page the Link header names, or empty
  };
  const std::vector<Case> cases = {
      {"", 200, {"alice/box", "alice/robot"}, "2"},
      {"page=1", 200, {"alice/box", "alice/robot"}, "2"},
      {"page=2", 200, {"bob/wheel"}, ""},
      {"page=02", 200, {"bob/wheel"}, ""},
      {"page=3", 200, {}, ""},
      {"page=99999999999999999999999", 200, {}, ""},
      {"x=1&page=2&page=1", 200, {"bob/wheel"}, ""},
      {"page", 200, {"alice/box", "alice/robot"}, "2"},
      {"page=0", 400, {}, ""},
      {"page=abc", 400, {}, ""},
      {"page=", 400, {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.query);
    auto result = Get("models", c.query);
    ASSERT_TRUE(result);
    EXPECT_EQ(c.status, result->status);
    if (c.status != 200) {
      // As the repository server answers it.
      EXPECT_EQ("text/plain", result->get_header_value("Content-Type"));
      EXPECT_EQ("Invalid page in query: " + c.query + "\n", result->body);
      continue;
    }
    EXPECT_EQ("application/json", result->get_header_value("Content-Type"));
    EXPECT_EQ(c.names, ListedNames(result->body));
    const std::string link = result->get_header_value("Link");
    if (c.nextPage.empty()) {
      EXPECT_EQ("", link);
    } else {
      // A relative reference, as the repository server sends it.
      EXPECT_EQ("</1.0/models?page=" + c.nextPage + ">; rel=\"next\"", link);
    }
  }
  // The details route asked for pages lists the one resource.
  EXPECT_EQ((Names{"bob/wheel"}), ListedNames(Get("bob/models/wheel", "page=1")->body));
  EXPECT_EQ(Names{}, ListedNames(Get("bob/models/wheel", "page=2")->body));
  EXPECT_EQ("wheel", qx::test::ParseJson(Get("bob/models/wheel")->body)["name"].asString());
}

TEST_F(NginxMirrorTest, OwnersAndCollectionsInAnyLetterCaseAsTheServerFindsThem) {
  // The client sends collection names, and owners of listings, as the user
  // wrote them; model and world names it sends in lower case.
  const std::string root = mirror_.Root();
  WriteFile(root + "/Studio/models/Table/1/model.config", "<model><name>Table</name></model>");
  WriteFile(root + "/Studio/collections/Furniture.json",
            "{\"models\": [\"Studio/Table\", \"alice/box\"]}");
  ASSERT_TRUE(mirror_.Export());
  ASSERT_TRUE(mirror_.Restart());
  RepositoryServer server(root);
  ASSERT_TRUE(server.Start());
  httplib::Client live(server.Url());
  live.set_url_encode(false);
  struct Case {
    std::string route;
    Names names;  // of a listing; empty for other routes
  };
  const std::vector<Case> cases = {
      {"Studio/models", {"Studio/Table"}},
      {"studio/models", {"Studio/Table"}},
      {"STUDIO/models", {"Studio/Table"}},
      {"Alice/worlds", {"alice/garden"}},
      {"Studio/collections/Furniture/models", {"Studio/Table", "alice/box"}},
      {"studio/collections/furniture/models", {"Studio/Table", "alice/box"}},
      {"STUDIO/collections/FURNITURE/models", {"Studio/Table", "alice/box"}},
      {"Alice/collections/Favourites/models", {"alice/box", "bob/wheel"}},
      {"studio/models/table", {}},
      {"Studio/models/table/tip/table.zip", {}},
      {"studio/models/table/1/files/model.config", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.route);
    auto mirrored = Get(c.route);
    auto served = live.Get(("/1.0/" + c.route).c_str());
    ASSERT_TRUE(mirrored && served);
    EXPECT_EQ(200, served->status);
    EXPECT_EQ(served->status, mirrored->status);
    if (!c.names.empty()) {
      EXPECT_EQ(c.names, ListedNames(served->body));
      EXPECT_EQ(c.names, ListedNames(mirrored->body));
    }
  }
  for (const std::string route : {"Nobody/models", "Studio/collections/Chairs/models"}) {
    SCOPED_TRACE(route);
    EXPECT_EQ(404, Get(route)->status);
    EXPECT_EQ(404, live.Get(("/1.0/" + route).c_str())->status);
  }
}

TEST_F(NginxMirrorTest, WhatTheProtocolDoesNotHaveIsNotFound) {
  for (const std::string route :
       {"nothing", "alice/things", "alice/models/nothing", "alice//models",
        "alice/collections/nothing/models", "alice/models/box/tip/files/../../robot/details.json",
        "alice/models/box/0/box.zip"}) {
    SCOPED_TRACE(route);
    EXPECT_EQ(404, Get(route)->status);
  }
  EXPECT_EQ(404, client_->Get("/listing/server/models")->status);  // internal only
  EXPECT_EQ(404, client_->Get("/site/licenses.json")->status);
  auto upload = client_->Post("/1.0/models", "x", "text/plain");
  ASSERT_TRUE(upload);
  EXPECT_EQ(405, upload->status);  // writes need quarn serve
}

}  // namespace
}  // namespace qx::quarn_server
