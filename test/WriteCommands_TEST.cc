// upload, editUrl and deleteUrl, called the way a front end calls them
// (loaded with dlopen from the built shared library), against our
// repository server scripted to stand in for the writes where a test
// decides their answers.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include <google/protobuf/text_format.h>
#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/SignalHandler.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/Helpers.hh>
#include <qx/quarn_tools/ModelConfig.hh>
#include <qx/quarn_tools/ModelIdentifier.hh>
#include <qx/quarn_tools/qx.hh>
#include "qx/msgs/quarn_metadata.pb.h"
#include "support/EmptyRepository.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"
#include "support/CommandFunctionsFixture.hh"

namespace {

using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::TempDir;
using qx::test::WriteFile;
using qx::test::command_functions::CommandFunctions;
using qx::test::command_functions::FormPartOf;
using qx::test::command_functions::Library;
using qx::test::command_functions::PathOf;
using qx::test::command_functions::StdoutOf;
using qx::test::command_functions::WriteModel;

// ---- upload, editUrl, deleteUrl -----------------------------------------

// Our repository server over an empty directory, scripted to take uploads,
// edits and deletions without carrying them out, to know the licences and to
// give the details of alice/box. Tests change the standing answers with
// the Answer* members.
class WriteCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Library().Complete());
    ASSERT_TRUE(server_.Started());
    qx::common::Console::SetVerbosity(1);
    server_.Script({qx::test::JsonAnswer(
        "licenses", R"([{"name": "Creative Commons - Attribution", "ID": 2}])")});
    AnswerDetails(200);
    AnswerUploads(200);
    AnswerPatches(200);
    AnswerDeletes(200);
  }
  void TearDown() override { qx::common::Console::SetVerbosity(1); }

  // GET alice/models/box answers `status`, with the details when it is 200.
  void AnswerDetails(int status) {
    Replace(details_, {Answer("GET", "alice/models/box", status,
                              status == 200 ? R"({"name": "box", "owner": "alice"})" : "{}")});
  }
  // Every upload answers `status`.
  void AnswerUploads(int status) { Replace(uploads_, {Answer("POST", "models", status)}); }
  // The next upload answers `status` after `delay`, later ones as before.
  void AnswerNextUpload(int status, std::chrono::milliseconds delay = {}) {
    ResponseScript next = Answer("POST", "models", status);
    next.times = 1;
    next.delay = delay;
    // Scripts answer in the order added: the standing one goes behind.
    const std::vector<ResponseScript> scripts = {next, uploads_.scripts.back()};
    Replace(uploads_, scripts);
  }
  void AnswerPatches(int status) {
    Replace(patches_, {Answer("PATCH", "alice/models/box", status)});
  }
  void AnswerDeletes(int status) {
    Replace(deletes_, {Answer("DELETE", "alice/models/box", status),
                       Answer("DELETE", "bob/worlds/town", status)});
  }

  const CommandFunctions &Fn() const { return Library(); }
  std::string Url() const { return server_.Url(); }
  std::string BoxUrl() const { return Url() + "/1.0/alice/models/box"; }
  std::vector<RequestRecord> Requests(const std::string &method) const {
    std::vector<RequestRecord> matching;
    for (const auto &request : server_.Requests())
      if (request.method == method) matching.push_back(request);
    return matching;
  }
  std::size_t RequestCount() const { return server_.Requests().size(); }

  qx::test::IsolatedHome home_{true};
  qx::test::EmptyRepository server_;
  TempDir models_;

 private:
  // Scripts that stand for one kind of request, replaced together.
  struct Standing {
    std::vector<ResponseScript> scripts;
    std::vector<int> ids;
  };

  static ResponseScript Answer(const std::string &method, const std::string &route, int status,
                               const std::string &body = "{}") {
    ResponseScript script = qx::test::JsonAnswer(route, body, status);
    script.method = method;
    return script;
  }

  void Replace(Standing &standing, const std::vector<ResponseScript> &scripts) {
    for (const int id : standing.ids) server_.Server().RemoveScript(id);
    standing.ids.clear();
    for (const ResponseScript &script : scripts)
      standing.ids.push_back(server_.Server().AddScript(script));
    standing.scripts = scripts;
  }

  Standing details_;
  Standing uploads_;
  Standing patches_;
  Standing deletes_;
};

TEST_F(WriteCommandsTest, UploadOfOneModel) {
  WriteModel(models_.Join("box"), "Box");
  bool ok = false;
  const std::string out = StdoutOf([&] {
    ok = Fn().upload(models_.Join("box").c_str(), Url().c_str(), "Private-token: k", nullptr,
                     "Lab");
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ("Uploading a model[" + models_.Join("box") + "]\n", out);
  const auto posts = Requests("POST");
  ASSERT_EQ(1u, posts.size());
  EXPECT_EQ("/1.0/models", PathOf(posts[0]));
  EXPECT_EQ("k", posts[0].Header("Private-token"));
  EXPECT_EQ("Box", FormPartOf(posts[0], "name")->content);
  EXPECT_EQ("Lab", FormPartOf(posts[0], "owner")->content);
  EXPECT_EQ("0", FormPartOf(posts[0], "private")->content);
}

TEST_F(WriteCommandsTest, UploadPrivateTextDecidesTheFlag) {
  struct Case {
    const char *text;
    const char *sent;
  };
  const Case cases[] = {{"TRUE", "1"}, {"true", "1"}, {"1", "1"},
                        {"yes", "0"},  {"", "0"},     {nullptr, "0"}};
  WriteModel(models_.Join("box"), "Box");
  for (const Case &c : cases) {
    const std::size_t before = Requests("POST").size();
    EXPECT_TRUE(Fn().upload(models_.Join("box").c_str(), Url().c_str(), nullptr, c.text, nullptr));
    const auto posts = Requests("POST");
    ASSERT_EQ(before + 1, posts.size());
    EXPECT_EQ(c.sent, FormPartOf(posts.back(), "private")->content)
        << (c.text ? c.text : "(null)");
    EXPECT_FALSE(FormPartOf(posts.back(), "owner").has_value());
  }
}

TEST_F(WriteCommandsTest, UploadOfSeveralModelsGoesOnAfterAFailureAndReportsIt) {
  WriteModel(models_.Join("one"), "One");
  WriteModel(models_.Join("broken"), "Broken");
  WriteFile(models_.Join("notes.txt"), "not a model");
  WriteFile(models_.Join("empty/readme.txt"), "no metadata here");
  const LogCapture log;
  qx::common::Console::SetVerbosity(1);
  // Models are uploaded in byte order of their directory names.
  AnswerNextUpload(500);
  bool ok = true;
  const std::string out = StdoutOf(
      [&] { ok = Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr); });
  EXPECT_FALSE(ok);
  EXPECT_EQ("", out);
  EXPECT_EQ(2u, Requests("POST").size());
  EXPECT_TRUE(log.Contains("Failed to upload model[" + models_.Join("broken") + "]\n",
                           qx::common::LOG_ERROR));
}

TEST_F(WriteCommandsTest, UploadOfSeveralGoodModels) {
  WriteModel(models_.Join("one"), "One");
  WriteModel(models_.Join("two"), "Two");
  EXPECT_TRUE(Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(2u, Requests("POST").size());
}

TEST_F(WriteCommandsTest, InterruptStopsASeveralModelUploadBeforeTheNextModel) {
  for (const char *name : {"a", "b", "c"}) WriteModel(models_.Join(name), name);
  // The first upload is held until the server stops.
  AnswerNextUpload(200, std::chrono::hours(1));
  const LogCapture log;
  auto upload = std::async(std::launch::async, [&] {
    return Fn().upload(models_.Path().c_str(), Url().c_str(), nullptr, nullptr, nullptr);
  });
  while (Requests("POST").empty() &&
         upload.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
  }
  {
    // Registered after the upload's own handler, so its callback runs
    // after the upload has seen the signal.
    std::promise<void> seen;
    std::atomic<bool> once{false};
    qx::common::SignalHandler observer;
    observer.AddCallback([&](int) {
      if (!once.exchange(true)) seen.set_value();
    });
    ::kill(::getpid(), SIGINT);
    seen.get_future().wait();
  }
  // Ends the held answer.
  server_.Server().Stop();
  EXPECT_FALSE(upload.get());
  const std::size_t uploads = Requests("POST").size();
  EXPECT_EQ(1u, uploads);
  EXPECT_TRUE(log.Contains("Upload interrupted before ["));
}

TEST_F(WriteCommandsTest, UploadOfAMissingPathFails) {
  const LogCapture log;
  EXPECT_FALSE(Fn().upload("/no/such/model", Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(log.Contains("The model path[/no/such/model] doesn't exist.\n",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(0u, RequestCount());
  EXPECT_FALSE(Fn().upload(nullptr, Url().c_str(), nullptr, nullptr, nullptr));
  EXPECT_TRUE(log.Contains("[upload] The model path must not be a null pointer."));
}

TEST_F(WriteCommandsTest, EditWithOnlyAUrlFetchesDetailsAndSendsNoPatch) {
  EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, Requests("GET").size());
  EXPECT_TRUE(Requests("PATCH").empty());
}

TEST_F(WriteCommandsTest, EditPrivateFlag) {
  struct Case {
    const char *text;
    const char *sent;
  };
  const Case cases[] = {{"false", "0"}, {"TRUE", "1"}, {"1", "1"}, {"0", "0"}};
  for (const Case &c : cases) {
    const std::size_t before = Requests("PATCH").size();
    EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), "Private-token: k", c.text, nullptr)) << c.text;
    const auto patches = Requests("PATCH");
    ASSERT_EQ(before + 1, patches.size());
    EXPECT_EQ("/1.0/alice/models/box", PathOf(patches.back()));
    EXPECT_EQ("k", patches.back().Header("Private-token"));
    ASSERT_EQ(1u, patches.back().form.size()) << c.text;
    EXPECT_EQ(c.sent, FormPartOf(patches.back(), "private")->content) << c.text;
  }
}

TEST_F(WriteCommandsTest, EditWithAModelDirectorySendsItsFiles) {
  WriteModel(models_.Join("box"), "Box");
  EXPECT_TRUE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", models_.Join("box").c_str()));
  const auto patches = Requests("PATCH");
  ASSERT_EQ(1u, patches.size());
  EXPECT_EQ("Box", FormPartOf(patches[0], "name")->content);
  EXPECT_EQ("1", FormPartOf(patches[0], "private")->content);
  int files = 0;
  for (const auto &part : patches[0].form) files += part.name == "file" ? 1 : 0;
  EXPECT_EQ(2, files);
}

TEST_F(WriteCommandsTest, EditWithAModelDirectoryButNoPrivateFlagIsRefused) {
  WriteModel(models_.Join("box"), "Box");
  const LogCapture log;
  EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, nullptr, models_.Join("box").c_str()));
  EXPECT_TRUE(log.Contains("Editing a model's files needs the private flag as well (true or "
                           "false).\n",
                           qx::common::LOG_ERROR));
  EXPECT_EQ(0u, RequestCount());
}

TEST_F(WriteCommandsTest, EditFailures) {
  {
    const LogCapture log;
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", "/no/such/dir"));
    EXPECT_TRUE(log.Contains("The model path[/no/such/dir] doesn't exist.\n"));
  }
  {
    bool ok = true;
    const std::string out = StdoutOf([&] {
      ok = Fn().editUrl((Url() + "/1.0/alice/worlds/garden").c_str(), nullptr, "true", nullptr);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ("Invalid URL: only models can be edited right now.\n", out);
  }
  {
    const LogCapture log;
    AnswerPatches(500);
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("Failed to patch model[box].\n", qx::common::LOG_ERROR));
  }
  {
    const LogCapture log;
    AnswerDetails(404);
    EXPECT_FALSE(Fn().editUrl(BoxUrl().c_str(), nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("Failed to fetch model details for model[box]\n",
                             qx::common::LOG_ERROR));
  }
  {
    const LogCapture log;
    EXPECT_FALSE(Fn().editUrl(nullptr, nullptr, "true", nullptr));
    EXPECT_TRUE(log.Contains("[editUrl] The URL text must not be a null pointer."));
  }
}

TEST_F(WriteCommandsTest, DeleteOfAnythingReturnsTrue) {
  const LogCapture log;
  EXPECT_TRUE(Fn().deleteUrl(BoxUrl().c_str(), "Private-token: k"));
  ASSERT_EQ(1u, Requests("DELETE").size());
  EXPECT_EQ("/1.0/alice/models/box", PathOf(Requests("DELETE")[0]));
  EXPECT_EQ("k", Requests("DELETE")[0].Header("Private-token"));
  EXPECT_TRUE(log.Contains("Deleted model ["));

  AnswerDeletes(500);
  EXPECT_TRUE(Fn().deleteUrl((Url() + "/1.0/bob/worlds/town").c_str(), nullptr));
  EXPECT_TRUE(log.Contains("Failed to delete resource.", qx::common::LOG_ERROR));

  const std::size_t sent = RequestCount();
  EXPECT_TRUE(Fn().deleteUrl((Url() + "/1.0/alice/things/box").c_str(), nullptr));
  EXPECT_TRUE(log.Contains("Unable to parse URI[", qx::common::LOG_ERROR));
  EXPECT_EQ(sent, RequestCount());
}

TEST_F(WriteCommandsTest, ChattyDeleteNamesWhatItDeletes) {
  Fn().cmdVerbosity("3");
  const std::string world =
      StdoutOf([&] { Fn().deleteUrl((Url() + "/1.0/bob/worlds/town").c_str(), nullptr); });
  EXPECT_EQ(0u, world.find("Deleting world: \x1b[36m\n"));
  const std::string neither =
      StdoutOf([&] { Fn().deleteUrl((Url() + "/1.0/bob/things/town").c_str(), nullptr); });
  EXPECT_EQ("Invalid URL: only models and worlds can be delete so far.\n", neither);
}

TEST_F(WriteCommandsTest, DeleteOfNullUrlFails) {
  const LogCapture log;
  EXPECT_FALSE(Fn().deleteUrl(nullptr, nullptr));
  EXPECT_TRUE(log.Contains("[deleteUrl] The URL text must not be a null pointer."));
}

}  // namespace
