/*
 * The command functions as a front end sees them: loaded with dlopen from
 * the built shared library (its path comes in as QX_QUARN_TOOLS_LIBRARY)
 * and found with dlsym by their plain names, with what their tests share:
 * capturing standard output, the fixtures over our repository server.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_COMMANDFUNCTIONSFIXTURE_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_COMMANDFUNCTIONSFIXTURE_HH_

#include <dlfcn.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>
#include <qx/quarn_tools/Helpers.hh>

#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

#ifndef QX_QUARN_TOOLS_LIBRARY
#error "QX_QUARN_TOOLS_LIBRARY must name the built shared library"
#endif

namespace qx::test::command_functions {

using qx::test::FormPart;
using qx::test::RequestRecord;
using qx::test::ResponseScript;
using qx::test::LogCapture;
using qx::test::ReadFile;
using qx::test::TempDir;
using qx::test::WriteFile;


// ---- The library, as a front end sees it --------------------------------

struct CommandFunctions {
  char *(*qxVersion)() = nullptr;
  void (*cmdVerbosity)(const char *) = nullptr;
  int (*listModels)(const char *, const char *, const char *, const char *) = nullptr;
  int (*listWorlds)(const char *, const char *, const char *, const char *) = nullptr;
  bool (*downloadUrl)(const char *, const char *, const char *, const char *, int) = nullptr;
  bool (*upload)(const char *, const char *, const char *, const char *, const char *) = nullptr;
  bool (*editUrl)(const char *, const char *, const char *, const char *) = nullptr;
  bool (*deleteUrl)(const char *, const char *) = nullptr;
  int (*config2Pbtxt)(const char *) = nullptr;
  int (*pbtxt2Config)(const char *) = nullptr;
  int (*update)(const char *, const char *, const char *) = nullptr;

  bool Complete() const {
    return qxVersion && cmdVerbosity && listModels && listWorlds && downloadUrl && upload &&
           editUrl && deleteUrl && config2Pbtxt && pbtxt2Config && update;
  }
};

template <typename Function>
void Resolve(void *library, const char *name, Function &function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
}

// Loaded once and never unloaded (threads the library started are joined,
// but its static objects stay in use until the program ends).
inline const CommandFunctions &Library() {
  static const CommandFunctions functions = [] {
    CommandFunctions loaded;
    void *library = dlopen(QX_QUARN_TOOLS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return loaded;
    Resolve(library, "qxVersion", loaded.qxVersion);
    Resolve(library, "cmdVerbosity", loaded.cmdVerbosity);
    Resolve(library, "listModels", loaded.listModels);
    Resolve(library, "listWorlds", loaded.listWorlds);
    Resolve(library, "downloadUrl", loaded.downloadUrl);
    Resolve(library, "upload", loaded.upload);
    Resolve(library, "editUrl", loaded.editUrl);
    Resolve(library, "deleteUrl", loaded.deleteUrl);
    Resolve(library, "config2Pbtxt", loaded.config2Pbtxt);
    Resolve(library, "pbtxt2Config", loaded.pbtxt2Config);
    Resolve(library, "update", loaded.update);
    return loaded;
  }();
  return functions;
}

// What `call` writes to standard output.
template <typename Call>
std::string StdoutOf(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

template <typename Call>
std::string StderrOf(Call call) {
  testing::internal::CaptureStderr();
  call();
  return testing::internal::GetCapturedStderr();
}

// The timing of a tree listing varies; the rest does not.
inline std::string WithoutTiming(const std::string &text) {
  return std::regex_replace(text, std::regex("took [0-9]+ms"), "took Nms");
}

// The path of a request as the client meant it (the transport sends the
// route escaped as one piece).
inline std::string PathOf(const RequestRecord &request) {
  return qx::common::replaceAll(qx::test::TargetPath(request), "%2F", "/");
}

// The form part of a request called `name`, if any.
inline std::optional<FormPart> FormPartOf(const RequestRecord &request, const std::string &name) {
  for (const FormPart &part : request.form) {
    if (part.name == name) return part;
  }
  return std::nullopt;
}

// A minimal model directory.
inline void WriteModel(const std::string &directory, const std::string &name) {
  WriteFile(directory + "/model.config",
            "<?xml version=\"1.0\"?>\n<model>\n  <name>" + name +
                "</name>\n  <version>1</version>\n  <sdf version=\"1.9\">model.sdf</sdf>\n"
                "  <description>A test model</description>\n</model>\n");
  WriteFile(directory + "/model.sdf", "<?xml version=\"1.0\"?>\n<sdf version=\"1.9\"/>\n");
}

// ---- Fixtures -----------------------------------------------------------

// A home and a cache of their own (QX_QUARN_CACHE_PATH), whose config.yaml
// and a separate configuration file both name only... our example server,
// and the library loaded.
class CommandFunctionsTest : public qx::test::RepositoryFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Library().Complete()) << "the library or one of its command functions is missing: "
                                      << dlerror();
    RepositoryFixture::SetUp();
    qx::common::Console::SetVerbosity(1);
    const std::string config = "servers:\n  - url: " + Url() + "\ncache:\n  path: " +
                               home_.Cache() + "\n";
    WriteFile(ConfigFile(), config);
    WriteFile(home_.Cache() + "/config.yaml", config);
  }

  void TearDown() override {
    qx::common::Console::SetVerbosity(1);
    RepositoryFixture::TearDown();
  }

  const CommandFunctions &Fn() const { return Library(); }
  std::string ConfigFile() const { return configDir_.Join("config.yaml"); }
  std::string Cache() const { return home_.Cache(); }
  std::string ResourceUrl(const std::string &route) const { return Url() + "/1.0/" + route; }
  // The cache directory of a resource of the example server.
  std::string Cached(const std::string &route) const {
    return Cache() + "/" + qx::quarn_tools::uriToPath(qx::common::URI(Url())) + "/" + route;
  }
  bool Download(const std::string &route) {
    return Fn().downloadUrl(ResourceUrl(route).c_str(), nullptr, nullptr, nullptr, 1);
  }
  // Routes the server was asked for, in order.
  std::vector<std::string> Routes() {
    std::vector<std::string> routes;
    for (const auto &record : Server().Requests()) routes.push_back(record.route);
    return routes;
  }
  bool Requested(const std::string &route) {
    return !Server().Requests(route).empty();
  }

 private:
  qx::test::IsolatedHome home_{true};
  TempDir configDir_;
};

// The header line goes with the model and with every dependency.
class ProtectedCommandFunctionsTest : public CommandFunctionsTest {
 protected:
  qx::quarn_server::RepositoryServer::Options ServerOptions() const override {
    qx::quarn_server::RepositoryServer::Options options;
    options.apiKey = "secret";
    return options;
  }
};

}  // namespace qx::test::command_functions

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_COMMANDFUNCTIONSFIXTURE_HH_
