// Uploads, edits and deletions against our repository server, and the
// model form that uploads and edits send.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <tuple>

#include <qx/common/Filesystem.hh>

#include "ClientUploads.hh"
#include "support/ClientFixture.hh"

namespace qx::quarn_tools {
namespace {

using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;

// (name, file name, content) of a form part or field.
using Field = std::tuple<std::string, std::string, std::string>;
using Fields = std::vector<Field>;

const char kLampPbtxt[] =
    "name: \"Lamp\"\n"
    "description: \"A lamp\"\n"
    "model { file: \"model.sdf\" file_format { name: \"sdf\" version { major: 1 minor: 9 } } }\n"
    "legal { license: \"Creative Commons - Attribution\" }\n"
    "tags: \"a\"\n"
    "tags: \"b\"\n"
    "categories { first: \"Furniture\" second: \"Lights\" }\n"
    "annotations { key: \"size\" value: \"small\" }\n"
    "annotations { key: \"color\" value: \"red\" }\n";

const char kLampConfig[] =
    "<?xml version='1.0'?><model><name>lamp</name><description>From the config</description>"
    "<sdf version='1.9'>model.sdf</sdf></model>";

const char kLampSdf[] = "<sdf version='1.9'><model name='lamp'/></sdf>";

Fields FieldsOf(const RequestRecord &record) {
  Fields fields;
  for (const auto &part : record.form) fields.emplace_back(part.name, part.filename, part.content);
  return fields;
}

Fields FieldsOf(const std::multimap<std::string, std::string> &form) {
  Fields fields;
  for (const auto &[name, value] : form) fields.emplace_back(name, "", value);
  return fields;
}

class ClientUploads : public qx::test::ClientFixture {
 protected:
  // The server takes writes with WriteKey(); the client has it.
  virtual std::string WriteKey() const { return "WRITE"; }
  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.writeKey = WriteKey();
    return options;
  }
  void SetUp() override {
    qx::test::ClientFixture::SetUp();
    if (HasFatalFailure()) return;
    MakeClient(WriteKey());
  }
  // A model of the example server, its server with the client's key.
  ModelIdentifier ModelId(const std::string &owner, const std::string &name) const {
    ModelIdentifier id = qx::test::ClientFixture::ModelId(owner, name);
    id.Server().SetApiKey(WriteKey());
    return id;
  }

  // A model directory with model.config, model.sdf and meshes/lamp.dae, and
  // metadata.pbtxt when `pbtxt` is not empty.
  std::string LampDirectory(const std::string &pbtxt = kLampPbtxt) {
    const std::string dir = models_.Join("lamp");
    WriteFile(dir + "/model.config", kLampConfig);
    WriteFile(dir + "/model.sdf", kLampSdf);
    WriteFile(dir + "/meshes/lamp.dae", "mesh");
    if (!pbtxt.empty()) WriteFile(dir + "/metadata.pbtxt", pbtxt);
    return dir;
  }


  // The form the builder makes of a directory with metadata.pbtxt `pbtxt`
  // and nothing else, over a licence table of its own.
  Fields FormOf(const std::string &pbtxt, bool *built = nullptr) {
    TempDir dir;
    WriteFile(dir.Join("metadata.pbtxt"), pbtxt);
    const auto parts = Parts();
    internal::ClientUploads uploads(parts->config, parts->rest, parts->urls,
                                    {{"Apache", 4}, {"MIT", 7}});
    std::multimap<std::string, std::string> form;
    const bool ok = uploads.FillModelForm(dir.Path(), ModelId("", ""), false, "", form);
    if (built != nullptr) *built = ok;
    Fields fields = FieldsOf(form);
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [](const Field &f) { return std::get<0>(f) == "file"; }),
                 fields.end());
    return fields;
  }

  std::vector<RequestRecord> RequestsTo(const std::string &route) {
    return Server().Requests(route);
  }

  TempDir models_;
};

class ClientUploadsWithKey : public ClientUploads {
 protected:
  std::string WriteKey() const override { return "SECRET"; }
  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.apiKey = "SECRET";
    return options;
  }
  ModelIdentifier Keyed(ModelIdentifier id) {
    id.Server().SetApiKey("SECRET");
    return id;
  }
};

// ------------------------------------------------------------------ uploads

TEST_F(ClientUploadsWithKey, UploadOfAMetadataPbtxtDirectorySendsTheWholeForm) {
  const std::string dir = LampDirectory();
  EXPECT_EQ(Client().UploadModel(dir, Keyed(ModelId("", "")), {}, true, "carol").Type(),
            UPLOAD_DONE);

  const auto licences = RequestsTo("licenses");
  ASSERT_EQ(licences.size(), 1u);
  EXPECT_FALSE(licences[0].Header("Private-token").has_value());
  const auto uploads = RequestsTo("models");
  ASSERT_EQ(uploads.size(), 1u);
  const RequestRecord &upload = uploads[0];
  EXPECT_EQ(upload.method, "POST");
  EXPECT_EQ(upload.status, 200);
  EXPECT_EQ(upload.Header("Private-token").value_or(""), "SECRET");
  EXPECT_EQ(upload.Header("User-Agent").value_or(""), "");
  // Parts come ordered by name; the files in the order of the walk, each
  // named by its path relative to the model directory.
  EXPECT_EQ(FieldsOf(upload), (Fields{{"categories", "", "Furniture, Lights"},
                                      {"description", "", "A lamp"},
                                      {"file", "meshes/lamp.dae", "mesh"},
                                      {"file", "metadata.pbtxt", kLampPbtxt},
                                      {"file", "model.config", kLampConfig},
                                      {"file", "model.sdf", kLampSdf},
                                      {"license", "", "2"},
                                      {"metadata", "", "{\"key\":\"color\",\"value\":\"red\"}"},
                                      {"metadata", "", "{\"key\":\"size\",\"value\":\"small\"}"},
                                      {"name", "", "Lamp"},
                                      {"owner", "", "carol"},
                                      {"private", "", "1"},
                                      {"tags", "", "a,b,"}}));
  EXPECT_EQ(upload.form[2].contentType, "text/xml");
  EXPECT_EQ(upload.form[3].contentType, "text/json");

  // The round trip: the server holds the model, private.
  EXPECT_EQ(ReadFile(Root() + "/carol/models/Lamp/1/meshes/lamp.dae"), "mesh");
  EXPECT_TRUE(qx::common::exists(Root() + "/carol/models/Lamp/private"));
}

TEST_F(ClientUploads, UploadOfAModelConfigDirectorySendsLicenceOneWithoutTheList) {
  const std::string dir = LampDirectory("");
  EXPECT_EQ(Client().UploadModel(dir, ModelId("", ""), {"X-Extra: 1"}, false, "carol").Type(),
            UPLOAD_DONE);
  EXPECT_TRUE(RequestsTo("licenses").empty());
  const auto uploads = RequestsTo("models");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].Header("X-Extra").value_or(""), "1");
  EXPECT_EQ(uploads[0].Header("Private-token").value_or(""), WriteKey());
  EXPECT_EQ(FieldsOf(uploads[0]), (Fields{{"description", "", "From the config"},
                                          {"file", "meshes/lamp.dae", "mesh"},
                                          {"file", "model.config", kLampConfig},
                                          {"file", "model.sdf", kLampSdf},
                                          {"license", "", "1"},
                                          {"name", "", "lamp"},
                                          {"owner", "", "carol"},
                                          {"private", "", "0"}}));
  EXPECT_EQ(ReadFile(Root() + "/carol/models/lamp/1/model.config"), kLampConfig);
  EXPECT_FALSE(qx::common::exists(Root() + "/carol/models/lamp/private"));
}

TEST_F(ClientUploads, RefusedUploadIsExplained) {
  LogCapture log;
  // Our server wants an owner.
  EXPECT_EQ(Client().UploadModel(LampDirectory(""), ModelId("", ""), {}, false).Type(),
            UPLOAD_FAILED);
  EXPECT_TRUE(log.Contains(std::string("Failed to upload model.\n") + "  Server: " + Url() + "\n" +
                               "  Server API Version: 1.0\n"
                               "  Route: /models\n"
                               "  Categories: \n"
                               "  REST response code: 400\n"
                               "\n"
                               "Suggestions\n"
                               "  1. Is the Server URL correct? Try entering it on a browser.\n"
                               "  2. Do the categories exist? If you are using the Quarn server,\n"
                               "     then you can get the complete list at\n"
                               "     " +
                               kDefaultServerUrl +
                               "/1.0/categories.\n"
                               "  3. If the owner is specified, make sure you have correct\n"
                               "     permissions.\n",
                           qx::common::LOG_ERROR))
      << log.Text();
  EXPECT_FALSE(qx::common::exists(Root() + "/carol"));
}

TEST_F(ClientUploads, UnknownLicenceListsTheKnownOnesAndSendsNothing) {
  LogCapture log;
  std::string pbtxt = kLampPbtxt;
  pbtxt.replace(pbtxt.find("Creative Commons - Attribution"), 30, "GPL");
  EXPECT_EQ(Client().UploadModel(LampDirectory(pbtxt), ModelId("", ""), {}, false, "carol").Type(),
            UPLOAD_FAILED);
  EXPECT_TRUE(
      log.Contains("Invalid license[GPL].\n"
                   "  Valid licenses include:\n"
                   "    Creative Commons - Attribution\n"
                   "    Creative Commons - Public Domain\n",
                   qx::common::LOG_ERROR))
      << log.Text();
  EXPECT_TRUE(RequestsTo("models").empty());
}

TEST_F(ClientUploads, LicencesAreFetchedOncePerClient) {
  const std::string dir = LampDirectory();
  EXPECT_TRUE(Client().UploadModel(dir, ModelId("", ""), {}, false, "carol"));
  EXPECT_TRUE(Client().UploadModel(dir, ModelId("", ""), {}, false, "carol"));
  EXPECT_EQ(RequestsTo("licenses").size(), 1u);
  EXPECT_EQ(RequestsTo("models").size(), 2u);
  EXPECT_TRUE(qx::common::exists(Root() + "/carol/models/Lamp/2/model.sdf"));
}

TEST_F(ClientUploads, LicenceListThatCannotBeHadStopsTheUpload) {
  ResponseScript broken;
  broken.route = "licenses";
  broken.status = 500;
  Server().AddScript(broken);
  LogCapture log;
  EXPECT_EQ(Client().UploadModel(LampDirectory(), ModelId("", ""), {}, false, "carol").Type(),
            UPLOAD_FAILED);
  EXPECT_TRUE(log.Contains("Failed to get license information from " + Url() + "/1.0",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(RequestsTo("models").empty());

  Server().ClearScripts();
  ResponseScript notJson;
  notJson.route = "licenses";
  notJson.body = "{}";
  Server().AddScript(notJson);
  EXPECT_EQ(Client().UploadModel(LampDirectory(), ModelId("", ""), {}, false, "carol").Type(),
            UPLOAD_FAILED);
  EXPECT_TRUE(log.Contains("Failed to parse license information[{}]", qx::common::LOG_ERROR));
  EXPECT_TRUE(RequestsTo("models").empty());
}

TEST_F(ClientUploads, DirectoriesThatDescribeNoModel) {
  const std::string missing = models_.Join("missing");
  const std::string empty = models_.Join("empty");
  const std::string broken = models_.Join("broken");
  qx::common::createDirectories(empty);
  WriteFile(broken + "/model.config", "<model><name>broken</name></model>");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {missing, "The model path[" + missing + "] doesn't exist."},
      {empty,
       "Provided model directory[" + empty + "] needs a metadata.pbtxt or a model.config file."},
      {broken, "Unable to convert model config[" + broken + "]."},
  };
  for (const auto &[dir, error] : cases) {
    SCOPED_TRACE(dir);
    LogCapture log;
    EXPECT_EQ(Client().UploadModel(dir, ModelId("", ""), {}, false, "carol").Type(), UPLOAD_FAILED);
    EXPECT_TRUE(log.Contains(error, qx::common::LOG_ERROR)) << log.Text();
  }
  EXPECT_TRUE(Server().Requests().empty());
}

// -------------------------------------------------------------------- form

struct FormCase {
  const char *what;
  std::string pbtxt;
  Fields fields;  // without "file"
};

TEST_F(ClientUploads, FormFieldsFollowTheRecord) {
  const Fields base = {
      {"description", "", ""}, {"license", "", "1"}, {"name", "", "m"}, {"private", "", "0"}};
  auto with = [&base](Fields extra) {
    Fields fields = base;
    fields.insert(fields.end(), extra.begin(), extra.end());
    std::sort(fields.begin(), fields.end(),
              [](const Field &a, const Field &b) { return std::get<0>(a) < std::get<0>(b); });
    return fields;
  };
  const std::vector<FormCase> cases = {
      {"nothing more", "name: 'm'", base},
      {"second category alone", "name: 'm' categories { second: 'Lights' }",
       with({{"categories", "", "Lights"}})},
      {"first category alone", "name: 'm' categories { first: 'Furniture' }",
       with({{"categories", "", "Furniture"}})},
      {"both categories", "name: 'm' categories { first: 'F' second: 'L' }",
       with({{"categories", "", "F, L"}})},
      {"empty categories", "name: 'm' categories { }", base},
      {"one tag", "name: 'm' tags: 'x'", with({{"tags", "", "x,"}})},
      {"licence by name", "name: 'm' legal { license: 'MIT' }",
       Fields{
           {"description", "", ""}, {"license", "", "7"}, {"name", "", "m"}, {"private", "", "0"}}},
      {"annotation with quotes and a backslash",
       "name: 'm' annotations { key: 'a\"b' value: 'c\\\\d' }",
       with({{"metadata", "", "{\"key\":\"a\\\"b\",\"value\":\"c\\\\d\"}"}})},
      {"annotation with a line end", "name: 'm' annotations { key: 'k' value: 'two\\nlines' }",
       with({{"metadata", "", "{\"key\":\"k\",\"value\":\"two\\u000alines\"}"}})},
  };
  for (const FormCase &c : cases) {
    SCOPED_TRACE(c.what);
    bool built = false;
    EXPECT_EQ(FormOf(c.pbtxt, &built), c.fields);
    EXPECT_TRUE(built);
  }
}

TEST_F(ClientUploads, MetadataPbtxtDescribesADirectoryThatAlsoHasModelConfig) {
  const auto parts = Parts();
  internal::ClientUploads uploads(parts->config, parts->rest, parts->urls,
                                  {{"Creative Commons - Attribution", 2}});
  std::multimap<std::string, std::string> form;
  ASSERT_TRUE(uploads.FillModelForm(LampDirectory(), ModelId("", ""), true, "dave", form));
  EXPECT_EQ(form.find("name")->second, "Lamp");
  EXPECT_EQ(form.find("owner")->second, "dave");
  EXPECT_EQ(form.find("private")->second, "1");
  const std::string dir = models_.Join("lamp");
  EXPECT_EQ(form.count("file"), 4u);
  EXPECT_EQ(form.find("file")->second, "@" + dir + "/meshes/lamp.dae;meshes/lamp.dae");
}

TEST_F(ClientUploads, TextThatWouldSendALocalFileIsRefused) {
  LogCapture log;
  bool built = true;
  FormOf("name: 'm' description: '@/etc/passwd'", &built);
  EXPECT_FALSE(built);
  EXPECT_TRUE(
      log.Contains("Unable to upload the field [description]: its value [@/etc/passwd] "
                   "begins with '@', which would send a local file instead.",
                   qx::common::LOG_ERROR));
  built = true;
  FormOf("name: 'm' tags: '@secret' tags: 'b'", &built);
  EXPECT_FALSE(built);

  EXPECT_EQ(Client().UploadModel(LampDirectory(), ModelId("", ""), {}, false, "@carol").Type(),
            UPLOAD_FAILED);
  EXPECT_TRUE(RequestsTo("models").empty());
}

TEST_F(ClientUploads, FilePathWithASemicolonIsRefused) {
  const std::string dir = models_.Join("odd;name");
  WriteFile(dir + "/model.config", kLampConfig);
  LogCapture log;
  EXPECT_EQ(Client().UploadModel(dir, ModelId("", ""), {}, false, "carol").Type(), UPLOAD_FAILED);
  EXPECT_TRUE(log.Contains("Unable to upload the file [" + dir +
                               "/model.config]: the ';' in its "
                               "path would cut it short.",
                           qx::common::LOG_ERROR));
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(ClientUploads, LinkBackIntoTheModelIsNotFollowedAgain) {
  const std::string dir = LampDirectory("");
  std::filesystem::create_directory_symlink("..", dir + "/meshes/loop");
  LogCapture log;
  EXPECT_EQ(Client().UploadModel(dir, ModelId("", ""), {}, false, "carol").Type(), UPLOAD_DONE);
  EXPECT_TRUE(log.Contains("Not uploading directory [" + dir + "/meshes/loop]: it leads back",
                           qx::common::LOG_WARNING));
  const auto uploads = RequestsTo("models");
  ASSERT_EQ(uploads.size(), 1u);
  std::vector<std::string> files;
  for (const auto &part : uploads[0].form)
    if (part.name == "file") files.push_back(part.filename);
  EXPECT_EQ(files, (std::vector<std::string>{"meshes/lamp.dae", "model.config", "model.sdf"}));
}

// ------------------------------------------------------------------- edits

TEST_F(ClientUploadsWithKey, PatchWithoutADirectorySendsOnlyThePrivateFlag) {
  ModelIdentifier box = Keyed(ModelId("alice", "box"));
  box.SetPrivate(true);
  EXPECT_EQ(Client().PatchModel(box, {}).Type(), PATCH_DONE);
  const auto patches = RequestsTo("alice/models/box");
  ASSERT_EQ(patches.size(), 1u);
  EXPECT_EQ(patches[0].method, "PATCH");
  EXPECT_EQ(patches[0].Header("Private-token").value_or(""), "SECRET");
  EXPECT_EQ(FieldsOf(patches[0]), (Fields{{"private", "", "1"}}));
  EXPECT_TRUE(qx::common::exists(Root() + "/alice/models/box/private"));

  box.SetPrivate(false);
  EXPECT_EQ(Client().PatchModel(box, {}).Type(), PATCH_DONE);
  EXPECT_FALSE(qx::common::exists(Root() + "/alice/models/box/private"));
}

TEST_F(ClientUploads, PatchWithADirectorySendsTheFormAndMakesANewVersion) {
  ModelIdentifier box = ModelId("alice", "box");
  EXPECT_EQ(Client().PatchModel(box, {}, LampDirectory("")).Type(), PATCH_DONE);
  const auto patches = RequestsTo("alice/models/box");
  ASSERT_EQ(patches.size(), 1u);
  EXPECT_EQ(FieldsOf(patches[0]), (Fields{{"description", "", "From the config"},
                                          {"file", "meshes/lamp.dae", "mesh"},
                                          {"file", "model.config", kLampConfig},
                                          {"file", "model.sdf", kLampSdf},
                                          {"license", "", "1"},
                                          {"name", "", "lamp"},
                                          {"owner", "", "alice"},
                                          {"private", "", "0"},
                                          {"private", "", "0"}}));
  EXPECT_EQ(ReadFile(Root() + "/alice/models/box/3/model.sdf"), kLampSdf);
}

TEST_F(ClientUploads, PatchFailures) {
  LogCapture log;
  EXPECT_EQ(Client().PatchModel(ModelId("carol", "none"), {}).Type(), PATCH_FAILED);
  EXPECT_EQ(RequestsTo("carol/models/none").size(), 1u);
  EXPECT_FALSE(log.Contains("", qx::common::LOG_ERROR));

  EXPECT_EQ(Client().PatchModel(ModelId("alice", "box"), {}, models_.Join("missing")).Type(),
            UPLOAD_FAILED);
  EXPECT_EQ(Client().PatchModel(ModelId("", "box"), {}).Type(), PATCH_FAILED);
  EXPECT_TRUE(log.Contains("its owner and name are both needed", qx::common::LOG_ERROR));
  EXPECT_EQ(Server().Requests().size(), 1u);
}

// --------------------------------------------------------------- deletions

TEST_F(ClientUploads, DeleteAModelAndAWorld) {
  WorldIdentifier town;
  town.SetServer(Config());
  town.SetOwner("bob");
  town.SetName("town");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"alice/models/box", "model", ModelId("alice", "box").UniqueName()},
      {"bob/worlds/town", "world", town.UniqueName()},
  };
  for (const auto &[route, kind, uniqueName] : cases) {
    SCOPED_TRACE(route);
    LogCapture log;
    EXPECT_EQ(Client().DeleteUrl(qx::common::URI(ResourceUrl(route)), {}).Type(), DELETE_DONE);
    EXPECT_TRUE(log.Contains("Deleted " + kind + " [" + uniqueName + "]", qx::common::LOG_MESSAGE))
        << log.Text();
    const auto deletions = RequestsTo(route);
    ASSERT_EQ(deletions.size(), 1u);
    EXPECT_EQ(deletions[0].method, "DELETE");
    EXPECT_FALSE(qx::common::exists(Root() + "/" + route));
  }
}

TEST_F(ClientUploads, DeleteOfAUrlThatNamesNeitherSendsNothing) {
  LogCapture log;
  const std::string url = ResourceUrl("alice/collections/favourites");
  EXPECT_EQ(Client().DeleteUrl(qx::common::URI(url), {}).Type(), DELETE_FAILED);
  EXPECT_TRUE(log.Contains("Unable to parse URI[" + url + "]", qx::common::LOG_ERROR));
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(ClientUploadsWithKey, RefusedDeletionIsExplained) {
  LogCapture log;
  // Our client carries the key; a wrong one in the caller's headers wins.
  EXPECT_EQ(
      Client()
          .DeleteUrl(qx::common::URI(ResourceUrl("alice/models/box")), {"Private-token: guess"})
          .Type(),
      DELETE_FAILED);
  EXPECT_TRUE(log.Contains(std::string("Failed to delete resource.\n") + "  Server: " + Url() +
                               "\n  API Version: 1.0\n  Route: alice/models/box\n"
                               "  REST response code: 401\n",
                           qx::common::LOG_ERROR))
      << log.Text();
  EXPECT_TRUE(qx::common::exists(Root() + "/alice/models/box/2/model.config"));
  EXPECT_EQ(Client().DeleteUrl(qx::common::URI(ResourceUrl("alice/models/box")), {}).Type(),
            DELETE_DONE);
  EXPECT_EQ(Server().Requests().back().Header("Private-token").value_or(""), "SECRET");
}

}  // namespace
}  // namespace qx::quarn_tools
