// The quarn tool as people and scripts run it: a child process with its
// standard output on a pipe (and its standard error on a pipe or, for the
// progress line, on a pseudo-terminal), against our repository server.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/common/Filesystem.hh>
#include <qx/quarn_tools/Helpers.hh>

#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

extern char **environ;

namespace {

using qx::test::TempDir;
using qx::test::WriteFile;

// How long a child may take before the test gives up on it (a guard against
// hangs, not a measure of speed).
constexpr std::chrono::seconds kPatience{120};

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A running quarn. Killed and reaped when the object goes away.
class Quarn {
 public:
  // With `stderrOnTerminal`, standard error is a pseudo-terminal.
  explicit Quarn(const std::vector<std::string> &args, bool stderrOnTerminal = false) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (stderrOnTerminal ? !OpenTerminal(err) : ::pipe2(err, O_CLOEXEC) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all{QX_QUARN_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, QX_QUARN_CLI, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
  }

  ~Quarn() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseOutput(outFd_);
    CloseOutput(errFd_);
  }

  Quarn(const Quarn &) = delete;
  Quarn &operator=(const Quarn &) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line of standard output, without its line end; empty when the
  // output ends first.
  std::string ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (outText_.find('\n') == std::string::npos && Pump(deadline)) {
    }
    const auto end = outText_.find('\n');
    if (end == std::string::npos) return "";
    const std::string line = outText_.substr(0, end);
    outText_.erase(0, end + 1);
    return line;
  }

  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // Waits for the end, collecting what is left of both outputs.
  Outcome Wait() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (Pump(deadline)) {
    }
    Outcome outcome;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
      outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
    }
    outcome.out = outText_;
    outcome.err = errText_;
    return outcome;
  }

 private:
  // A pseudo-terminal: [0] the controlling side, [1] the terminal itself.
  static bool OpenTerminal(int fds[2]) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof(name)) != 0) {
      ::close(master);
      return false;
    }
    const int terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
      ::close(master);
      return false;
    }
    fds[0] = master;
    fds[1] = terminal;
    return true;
  }

  static void CloseOutput(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // Reads what is there; false once both outputs have ended (or time is up).
  bool Pump(std::chrono::steady_clock::time_point deadline) {
    if (outFd_ < 0 && errFd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
    if (fds[0].revents != 0 && !Drain(outFd_, outText_)) CloseOutput(outFd_);
    if (fds[1].revents != 0 && !Drain(errFd_, errText_)) CloseOutput(errFd_);
    return true;
  }

  // False at the end of the output (a terminal reports EIO then).
  static bool Drain(int fd, std::string &into) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string outText_;
  std::string errText_;
};

// Bytes that have no place in plain text: anything below a blank except the
// line end, and DEL.
bool HasControlCharacters(const std::string &text) {
  for (const unsigned char c : text) {
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
  }
  return false;
}

bool HasLogLines(const std::string &text) {
  for (const char *prefix : {"[Err]", "[Wrn]", "[Msg]", "[Dbg]"})
    if (text.find(prefix) != std::string::npos) return true;
  return false;
}

class QuarnCliTest : public qx::test::RepositoryFixture {
 protected:
  Outcome Run(const std::vector<std::string> &args) {
    Quarn quarn(args);
    EXPECT_TRUE(quarn.Started());
    return quarn.Wait();
  }
  std::string ResourceUrl(const std::string &route) const { return Url() + "/1.0/" + route; }
  std::string Cached(const std::string &route) const {
    return home_.Cache() + "/" + qx::quarn_tools::uriToPath(qx::common::URI(Url())) + "/" +
           route;
  }
  // Answers the archive requests of `route` only when the server stops.
  void Stall(const std::string &route) {
    qx::quarn_server::ResponseScript stall;
    stall.route = route;
    stall.delay = std::chrono::hours(1);
    Server().AddScript(stall);
  }
  // Waits until the server has been asked for `route`.
  bool AwaitRequest(const std::string &route) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!Server().Requests(route).empty()) return true;
      ::usleep(10000);
    }
    return false;
  }

  qx::test::IsolatedHome home_{true};
};

// ---- Usage ---------------------------------------------------------------

TEST_F(QuarnCliTest, EveryCommandHasHelpWithAnExample) {
  for (const std::string command : {"list", "download", "fetch", "upload", "edit", "delete",
                                    "meta", "update", "version", "serve"}) {
    const Outcome outcome = Run({command, "--help"});
    EXPECT_EQ(0, outcome.status) << command;
    EXPECT_NE(std::string::npos, outcome.out.find("Example:\n  quarn " + command)) << command;
    EXPECT_FALSE(HasControlCharacters(outcome.out)) << command;
  }
  const Outcome top = Run({"--help"});
  EXPECT_EQ(0, top.status);
  EXPECT_NE(std::string::npos, top.out.find("Example:\n  quarn list"));
}

TEST_F(QuarnCliTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"list", "--bogus"},
      {"list", "-t", "planet"},
      {"download"},
      {"fetch"},
      {"meta"},
      {"meta", "--config2pbtxt", "a", "--pbtxt2config", "b"},
      {"serve", "/no/such/directory"},
      {"serve", ".", "--port", "70000"},
      {"version", "-v", "9"},
  };
  for (const auto &args : cases) {
    std::string line;
    for (const auto &arg : args) line += arg + " ";
    const Outcome outcome = Run(args);
    EXPECT_EQ(2, outcome.status) << line;
    EXPECT_FALSE(outcome.err.empty()) << line;
  }
}

TEST_F(QuarnCliTest, VersionAndVerbosityAfterTheCommand) {
  const Outcome outcome = Run({"version", "-v", "4"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ("11.0.0\n", outcome.out);
}

// ---- list ----------------------------------------------------------------

TEST_F(QuarnCliTest, ListPrintsAPlainTreeWhenNotOnATerminal) {
  const Outcome outcome = Run({"list", "-u", Url(), "-v", "4"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_FALSE(HasControlCharacters(outcome.out)) << outcome.out;
  EXPECT_FALSE(HasLogLines(outcome.out)) << outcome.out;
  EXPECT_NE(std::string::npos, outcome.out.find(Url() + "\n├── alice\n│   ├── box\n"));
  EXPECT_NE(std::string::npos, outcome.out.find("2 owners, 3 models\n"));
}

TEST_F(QuarnCliTest, ListRawWorlds) {
  const Outcome outcome = Run({"list", "-u", Url(), "-t", "world", "--raw"});
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ(ResourceUrl("alice/worlds/garden") + "\n" + ResourceUrl("bob/worlds/town") + "\n",
            outcome.out);
}

TEST_F(QuarnCliTest, ListOfAnInvalidUrlFails) {
  const Outcome outcome = Run({"list", "-u", "not a url"});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("Invalid URL [not a url]\n", outcome.out);
}

// ---- download ------------------------------------------------------------

TEST_F(QuarnCliTest, DownloadEndsWithTheLocalPath) {
  const Outcome outcome = Run({"download", "-u", ResourceUrl("alice/models/robot"), "-v", "4"});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_FALSE(HasControlCharacters(outcome.out)) << outcome.out;
  EXPECT_FALSE(HasLogLines(outcome.out)) << outcome.out;
  ASSERT_GE(outcome.out.size(), 1u);
  const std::string last = outcome.out.substr(outcome.out.rfind('\n', outcome.out.size() - 2) + 1);
  EXPECT_EQ(Cached("alice/models/robot/1") + "\n", last);
  EXPECT_TRUE(qx::common::isDirectory(Cached("bob/models/wheel/1")));
  // At verbosity 4 the log tells what happened, on standard error only.
  EXPECT_NE(std::string::npos, outcome.err.find("[Msg] ")) << outcome.err;
  // No progress line when standard error is no terminal.
  EXPECT_EQ(std::string::npos, outcome.err.find('\r'));
}

TEST_F(QuarnCliTest, DownloadQuietByDefault) {
  const Outcome outcome = Run({"download", "-u", ResourceUrl("bob/worlds/town")});
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ(Cached("bob/worlds/town/2") + "\n", outcome.out);
  EXPECT_EQ("", outcome.err);
}

TEST_F(QuarnCliTest, FailedDownloadExitsWithOne) {
  const Outcome outcome = Run({"download", "-u", ResourceUrl("alice/models/ghost")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("Download failed because Fetch failed. Other errors\n", outcome.out);
}

TEST_F(QuarnCliTest, ProgressLineShowsOnATerminalAndNeverOnStandardOutput) {
  // The archive arrives after a while, so the line has time to appear.
  qx::quarn_server::ResponseScript slow;
  slow.route = "alice/models/box/tip/box.zip";
  slow.delay = std::chrono::milliseconds(1500);
  Server().AddScript(slow);
  Quarn quarn({"download", "-u", ResourceUrl("alice/models/box")}, true);
  ASSERT_TRUE(quarn.Started());
  const Outcome outcome = quarn.Wait();
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ(Cached("alice/models/box/2") + "\n", outcome.out);
  EXPECT_NE(std::string::npos, outcome.err.find("\r\x1b[KDownloaded ")) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find(" of 1 resources")) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.err.find("/s, ")) << outcome.err;
  // The line is gone at the end.
  EXPECT_EQ(outcome.err.size() - 4, outcome.err.rfind("\r\x1b[K"));
}

TEST_F(QuarnCliTest, InterruptEndsADownloadWithStatusOne) {
  Stall("alice/models/box/tip/box.zip");
  Quarn quarn({"download", "-u", ResourceUrl("alice/models/box")});
  ASSERT_TRUE(quarn.Started());
  ASSERT_TRUE(AwaitRequest("alice/models/box/tip/box.zip"));
  quarn.Signal(SIGINT);
  const Outcome outcome = quarn.Wait();
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
}

// ---- fetch ---------------------------------------------------------------

TEST_F(QuarnCliTest, FetchPrintsThePathOfAFile) {
  const Outcome outcome = Run({"fetch", ResourceUrl("alice/models/box/tip/files/meshes/box.obj")});
  EXPECT_EQ(0, outcome.status) << outcome.err;
  EXPECT_EQ(Cached("alice/models/box/2/meshes/box.obj") + "\n", outcome.out);
  EXPECT_TRUE(qx::common::isFile(Cached("alice/models/box/2/meshes/box.obj")));
  // The second time it comes from the cache.
  Server().ClearRequests();
  EXPECT_EQ(outcome.out, Run({"fetch", ResourceUrl("alice/models/box/tip/files/meshes/box.obj")}).out);
  EXPECT_TRUE(Server().Requests().empty());
}

TEST_F(QuarnCliTest, FetchOfNothingFails) {
  const Outcome outcome = Run({"fetch", ResourceUrl("alice/models/ghost")});
  EXPECT_EQ(1, outcome.status);
  EXPECT_EQ("", outcome.out);
  EXPECT_NE(std::string::npos,
            outcome.err.find("Unable to fetch [" + ResourceUrl("alice/models/ghost") + "]"));
}

// ---- serve ---------------------------------------------------------------

TEST_F(QuarnCliTest, ServePrintsItsLoopbackUrlServesAndStopsOnSignal) {
  Quarn server({"serve", Root(), "--port", "0", "--page-size", "1"});
  ASSERT_TRUE(server.Started());
  const std::string url = server.ReadLine();
  ASSERT_EQ(0u, url.find("http://127.0.0.1:")) << url;
  const Outcome listing = Run({"list", "-u", url, "--raw"});
  EXPECT_EQ(0, listing.status);
  EXPECT_EQ(url + "/1.0/alice/models/box\n" + url + "/1.0/alice/models/robot\n" + url +
                "/1.0/bob/models/wheel\n",
            listing.out);
  server.Signal(SIGTERM);
  const Outcome outcome = server.Wait();
  EXPECT_EQ(0, outcome.status);
  EXPECT_EQ("", outcome.out);
}

TEST_F(QuarnCliTest, ServeWithAnApiKeyGuardsDownloads) {
  Quarn server({"serve", Root(), "--port", "0", "--api-key", "secret"});
  ASSERT_TRUE(server.Started());
  const std::string url = server.ReadLine();
  ASSERT_FALSE(url.empty());
  EXPECT_EQ(1, Run({"download", "-u", url + "/1.0/alice/models/box"}).status);
  EXPECT_EQ(0, Run({"download", "-u", url + "/1.0/alice/models/box", "--header",
                    "Private-token: secret"})
                   .status);
}

TEST_F(QuarnCliTest, ServeWithPrebuildHasEveryArchiveBeforeItListens) {
  qx::test::TempDir store;
  Quarn server({"serve", Root(), "--port", "0", "--prebuild", "--archive-store", store.Path()},
               true);
  ASSERT_TRUE(server.Started());
  ASSERT_EQ(0u, server.ReadLine().find("http://127.0.0.1:"));
  std::size_t archives = 0;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(store.Path()))
    archives += entry.path().extension() == ".zip";
  EXPECT_EQ(7u, archives);
  server.Signal(SIGTERM);
  const Outcome outcome = server.Wait();
  EXPECT_EQ(0, outcome.status);
  // The progress line on the terminal, rewritten in place.
  EXPECT_NE(std::string::npos, outcome.err.find("\rBuilding archives: 7/7")) << outcome.err;
  // A store inside the served directory is refused.
  const Outcome inside = Run({"serve", Root(), "--port", "0", "--archive-store", Root() + "/x"});
  EXPECT_EQ(1, inside.status);
  EXPECT_NE(std::string::npos, inside.err.find("lies inside the served directory"));
}

// ---- mirror export -------------------------------------------------------

TEST_F(QuarnCliTest, MirrorExportWritesTheTreeAndSaysWhatItDid) {
  qx::test::TempDir out;
  const std::string mirror = out.Path() + "/mirror";
  const Outcome first = Run({"mirror", "export", Root(), mirror, "--listen", "127.0.0.1:9"});
  EXPECT_EQ(0, first.status) << first.err;
  EXPECT_EQ("7 versions written, 0 kept, 32 documents written, 0 removed\n", first.out);
  EXPECT_NE(std::string::npos, qx::test::ReadFile(mirror + "/nginx.conf").find("listen 127.0.0.1:9;"));
  const Outcome again = Run({"mirror", "export", Root(), mirror});
  EXPECT_EQ("0 versions written, 7 kept, 0 documents written, 0 removed\n", again.out);
  const Outcome refused = Run({"mirror", "export", Root(), Root() + "/alice"});
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("inside the repository directory"));
  EXPECT_EQ(2, Run({"mirror", "export", Root()}).status);
  EXPECT_EQ(2, Run({"mirror"}).status);
}

}  // namespace
