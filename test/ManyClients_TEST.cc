// Many clients at once: every connection is served in the end or answered
// 503 with Retry-After, none is dropped; slow and stalled clients do not
// hold the others up; a client that pauses reading keeps its download; and
// the server's memory does not grow with the archive's size or the number
// of clients.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <qx/quarn_server/RepositoryServer.hh>

#include "support/InstrumentedServer.hh"
#include "support/RawHttp.hh"
#include "support/TestSupport.hh"

extern char **environ;

namespace {

using qx::test::TempDir;
using qx::test::WriteFile;

// What one download got.
struct Download {
  int status = 0;
  std::uint64_t announced = 0;  // Content-Length
  std::uint64_t received = 0;   // body bytes
  bool reset = false;           // the connection failed before the end
};

// GETs `target` from 127.0.0.1:`port` on a connection of its own, counting
// the body bytes without keeping them.
Download Get(int port, const std::string &target) {
  Download got;
  const int fd = qx::test::ConnectToLoopback(port, 60);
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(request.size())) {
    if (fd >= 0) ::close(fd);
    got.reset = true;
    return got;
  }
  std::string head;
  std::vector<char> buffer(64 * 1024);
  ssize_t count = 0;
  while ((count = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
    if (got.status == 0) {
      head.append(buffer.data(), static_cast<std::size_t>(count));
      const std::size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      got.status = std::atoi(head.c_str() + head.find(' ') + 1);
      const std::size_t length = head.find("Content-Length: ");
      if (length != std::string::npos && length < end)
        got.announced = std::strtoull(head.c_str() + length + 16, nullptr, 10);
      got.received = head.size() - end - 4;
    } else {
      got.received += static_cast<std::uint64_t>(count);
    }
  }
  got.reset = count < 0;
  ::close(fd);
  return got;
}

// Runs `clients` downloads of `target` at once.
std::vector<Download> GetAtOnce(int port, const std::string &target, int clients) {
  std::vector<Download> got(static_cast<std::size_t>(clients));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < clients) std::this_thread::yield();
      got[static_cast<std::size_t>(i)] = Get(port, target);
    });
  }
  for (auto &thread : threads) thread.join();
  return got;
}

// One client connection spoken to byte by byte.
class RawClient {
 public:
  // Connects to 127.0.0.1:`port`; a `receiveBuffer` other than 0 keeps
  // the socket's receive buffer that small, so that a client that does
  // not read stalls the server soon.
  explicit RawClient(int port, int receiveBuffer = 0, const std::string &from = "")
      : fd_(qx::test::ConnectToLoopback(port, 60, receiveBuffer, from)), connected_(fd_ >= 0) {}
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool Send(const std::string &text) {
    return connected_ && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(text.size());
  }
  // The response's head (status line and headers), empty when the
  // connection ended first; the bytes after it stay for ReadBody.
  std::string ReadHead() {
    while (received_.find("\r\n\r\n") == std::string::npos) {
      if (!Receive()) return "";
    }
    const std::size_t end = received_.find("\r\n\r\n") + 4;
    const std::string head = received_.substr(0, end);
    received_.erase(0, end);
    return head;
  }
  // Reads and drops `count` bytes of a body.
  void Skip(std::uint64_t count) {
    while (received_.size() < count && Receive()) {
    }
    received_.erase(0, std::min<std::uint64_t>(count, received_.size()));
  }
  // Whether the server keeps the connection open (it has not ended it).
  bool Open() const {
    char byte = 0;
    const ssize_t got = ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return connected_ && (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)));
  }
  // Reads the body until the server closes the connection, pausing
  // `pause` once after the first `pauseAfter` bytes: the bytes received.
  std::uint64_t ReadBody(std::uint64_t pauseAfter = 0,
                         std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    std::uint64_t got = received_.size();
    received_.clear();
    bool paused = pause.count() == 0;
    char buffer[64 * 1024];
    ssize_t count = 0;
    while ((count = ::recv(fd_, buffer, sizeof(buffer), 0)) > 0) {
      got += static_cast<std::uint64_t>(count);
      if (!paused && got >= pauseAfter) {
        std::this_thread::sleep_for(pause);
        paused = true;
      }
    }
    return got;
  }

 private:
  bool Receive() {
    char buffer[4096];
    const ssize_t count = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (count <= 0) return false;
    received_.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  const int fd_;
  bool connected_ = false;
  std::string received_;
};

// The status of a response head; 0 for none.
int StatusOf(const std::string &head) {
  const std::size_t space = head.find(' ');
  return space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
}

// The value of header `name` in a response head; empty when it has none.
std::string HeaderOf(const std::string &head, const std::string &name) {
  const std::size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const std::size_t start = at + name.size() + 4;
  return head.substr(start, head.find("\r\n", start) - start);
}

std::string GetRequest(const std::string &target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

// A model of `files` incompressible files of `fileSize` bytes each.
void WriteLargeModel(const std::string &root, int files, std::size_t fileSize) {
  const std::string dir = root + "/lab/models/large/1/";
  WriteFile(dir + "model.config", "<model><name>large</name><sdf version='1.9'>model.sdf</sdf></model>");
  WriteFile(dir + "model.sdf", "<sdf version='1.9'><model name='large'/></sdf>");
  for (int i = 0; i < files; ++i) {
    WriteFile(dir + "meshes/part" + std::to_string(i) + ".bin",
              qx::test::IncompressibleBytes(fileSize, static_cast<unsigned>(i)));
  }
}

const char kLargeArchive[] = "/1.0/lab/models/large/1/large.zip";
const char kSmallFile[] = "/1.0/lab/models/large/1/files/model.sdf";

TEST(ManyClients, MoreClientsThanThreadsAreAllServed) {
  TempDir root;
  WriteLargeModel(root.Path(), 2, 256 * 1024);
  qx::quarn_server::RepositoryServer::Options options;
  options.threads = 2;
  options.workers = 2;
  options.maxConnectionsPerAddress = 0;
  qx::test::InstrumentedServer server(root.Path(), options);
  ASSERT_TRUE(server.Start());
  const std::vector<Download> got = GetAtOnce(server.Port(), kLargeArchive, 32);
  for (const Download &download : got) {
    EXPECT_FALSE(download.reset);
    EXPECT_EQ(200, download.status);
    EXPECT_GT(download.announced, 512u * 1024);
    EXPECT_EQ(download.announced, download.received);
  }
  EXPECT_EQ(32u, server.Requests().size());
}

TEST(ManyClients, ABurstOfClientsIsServedWhole) {
  // Far more clients at once than threads, and than the backlog a server
  // listening with a short one keeps: every one is answered in full.
  TempDir root;
  WriteLargeModel(root.Path(), 1, 4096);
  qx::quarn_server::RepositoryServer::Options options;
  options.threads = 2;
  options.maxConnectionsPerAddress = 0;
  qx::quarn_server::RepositoryServer server(root.Path(), options);
  ASSERT_TRUE(server.Start());
  ASSERT_EQ(200, Get(server.Port(), kLargeArchive).status);  // built once, first
  const int clients = 400;
  const std::vector<Download> got = GetAtOnce(server.Port(), kLargeArchive, clients);
  int whole = 0;
  for (const Download &download : got) {
    const bool ok = !download.reset && download.status == 200 &&
                    download.announced > 4096 && download.announced == download.received;
    whole += ok ? 1 : 0;
  }
  EXPECT_EQ(clients, whole);
}

TEST(ManyClients, SlowHeadersHoldNoOneUp) {
  // Clients that send their request's header a line at a time and never
  // end it: a few of them leave threads for everyone else, and when they
  // hold every thread they lose it when their header time is up.
  TempDir root;
  WriteLargeModel(root.Path(), 1, 1024);
  struct Case {
    const char *what;
    int slow;
  };
  const Case cases[] = {{"fewer than the threads", 2}, {"as many as the threads", 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    qx::quarn_server::RepositoryServer::Options options;
    options.threads = 4;
    options.headerTimeout = std::chrono::seconds(2);
    qx::quarn_server::RepositoryServer server(root.Path(), options);
    ASSERT_TRUE(server.Start());
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < c.slow; ++i) {
      slow.push_back(std::make_unique<RawClient>(server.Port()));
      ASSERT_TRUE(slow.back()->Send("GET /1.0/licenses HTTP/1.1\r\nHost: x\r\n"));
    }
    std::atomic<bool> dripping{true};
    std::thread drip([&] {
      for (int line = 0; dripping; ++line) {
        for (auto &client : slow) client->Send("X-Line-" + std::to_string(line) + ": y\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Download probe = Get(server.Port(), kLargeArchive);
    dripping = false;
    drip.join();
    EXPECT_FALSE(probe.reset);
    EXPECT_EQ(200, probe.status);
    EXPECT_EQ(probe.announced, probe.received);
    // The slow clients were answered (400) or closed, not served forever.
    for (auto &client : slow) EXPECT_NE(200, StatusOf(client->ReadHead()));
  }
}

TEST(ManyClients, ClientsThatDoNotReadHoldNoOneUp) {
  // Clients that ask for a large archive and do not read it, more of them
  // than the server has threads: every other client is still answered.
  TempDir root;
  WriteLargeModel(root.Path(), 1, 16 << 20);
  qx::quarn_server::RepositoryServer::Options options;
  options.threads = 2;
  qx::quarn_server::RepositoryServer server(root.Path(), options);
  ASSERT_TRUE(server.Start());
  ASSERT_EQ(200, Get(server.Port(), kLargeArchive).status);  // built once, first
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int i = 0; i < 4; ++i) {
    stalled.push_back(std::make_unique<RawClient>(server.Port(), 4096));
    ASSERT_TRUE(stalled.back()->Send(GetRequest(kLargeArchive)));
    ASSERT_EQ(200, StatusOf(stalled.back()->ReadHead()));
  }
  for (const char *method : {"GET", "HEAD"}) {
    SCOPED_TRACE(method);
    RawClient probe(server.Port());
    ASSERT_TRUE(probe.Send(std::string(method) +
                           " /1.0/lab/models/large/1/files/model.sdf HTTP/1.1\r\nHost: x\r\n"
                           "Connection: close\r\n\r\n"));
    const std::string head = probe.ReadHead();
    EXPECT_EQ(200, StatusOf(head)) << head;
    const std::uint64_t body = probe.ReadBody();
    EXPECT_EQ(std::string(method) == "HEAD" ? 0u : std::stoull(HeaderOf(head, "Content-Length")),
              body);
  }
}

TEST(ManyClients, AReaderThatPausesKeepsItsDownload) {
  // Longer than a few seconds, shorter than the time a transfer may make no
  // progress (a minute); and with that time shorter than the pause, the
  // transfer is given up.
  TempDir root;
  WriteLargeModel(root.Path(), 1, 16 << 20);
  struct Case {
    const char *what;
    std::chrono::milliseconds stall;
    std::chrono::milliseconds pause;
    bool whole;
  };
  const Case cases[] = {
      {"the default", qx::quarn_server::RepositoryServer::Options().rateWindow,
       std::chrono::seconds(7), true},
      {"a short stall time-out", std::chrono::seconds(1), std::chrono::seconds(3), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    qx::quarn_server::RepositoryServer::Options options;
    options.rateWindow = c.stall;
    qx::quarn_server::RepositoryServer server(root.Path(), options);
    ASSERT_TRUE(server.Start());
    RawClient client(server.Port(), 4096);
    ASSERT_TRUE(client.Send(GetRequest(kLargeArchive)));
    const std::string head = client.ReadHead();
    ASSERT_EQ(200, StatusOf(head));
    const std::uint64_t announced = std::stoull(HeaderOf(head, "Content-Length"));
    const std::uint64_t got = client.ReadBody(1 << 20, c.pause);
    EXPECT_EQ(c.whole, got == announced) << got << " of " << announced;
  }
}

// quarn serve in a process of its own (with `arguments` after its
// directory), whose memory is read from /proc.
class ServerProcess {
 public:
  ServerProcess(const std::string &root, const std::string &store,
                const std::vector<std::string> &arguments = {}) {
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args{QX_QUARN_CLI, "-q",     "serve",         root, "--port",
                                  "0",          "--prebuild", "--archive-store", store};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, QX_QUARN_CLI, &actions, nullptr, argv.data(), environ) != 0)
      pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = ::fdopen(out[0], "r");
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_) std::fclose(output_);
  }

  // The port from the URL the server prints once it listens; 0 on failure.
  int Port() {
    char line[256] = {};
    if (pid_ <= 0 || !output_ || !std::fgets(line, sizeof(line), output_)) return 0;
    const char *colon = std::strrchr(line, ':');
    return colon ? std::atoi(colon + 1) : 0;
  }
  // A field of /proc/PID/status in bytes ("VmRSS", "VmHWM").
  std::uint64_t Memory(const std::string &field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, field.size() + 1, field + ":") == 0)
        return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
    }
    return 0;
  }
  // Makes VmHWM start again from the current resident size.
  bool ResetPeak() const {
    std::ofstream clear("/proc/" + std::to_string(pid_) + "/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
  }

 private:
  pid_t pid_ = 0;
  FILE *output_ = nullptr;
};

TEST(ManyClients, ServerMemoryStaysFlatWith32ClientsOfALargeModel) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's shadow memory grows with every byte the server touches";
#endif
  const std::size_t mib = 1 << 20;
  TempDir root;
  TempDir store;
  WriteLargeModel(root.Path(), 12, 8 * mib);  // an archive of 96 MiB
  ServerProcess server(root.Path(), store.Path());
  const int port = server.Port();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(server.ResetPeak());
  const std::uint64_t before = server.Memory("VmRSS");
  const std::vector<Download> got = GetAtOnce(port, kLargeArchive, 32);
  const std::uint64_t peak = server.Memory("VmHWM");
  for (const Download &download : got) {
    EXPECT_FALSE(download.reset);
    EXPECT_EQ(200, download.status);
    EXPECT_GT(download.announced, 96 * mib);
    EXPECT_EQ(download.announced, download.received);
  }
  const std::uint64_t growth = peak > before ? peak - before : 0;
  std::printf("server resident %.1f MiB before, peak %.1f MiB with 32 clients (+%.1f MiB)\n",
              before / double(mib), peak / double(mib), growth / double(mib));
  // Holding one archive in memory would pass this bound, one per client
  // would pass it thirty-two times.
  EXPECT_LT(growth, 64 * mib);
}

TEST(ManyClients, RequestsWithoutTheKeyCostTheServerNoMemory) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's shadow memory grows with every byte the server touches";
#endif
  // Uploads without the key are refused before their body is read, and the
  // server keeps nothing of a request it answered: eight uploads of 62 MB
  // at once, then thousands of requests with long headers, leave its
  // memory where it was.
  const std::size_t mib = 1 << 20;
  TempDir root;
  TempDir store;
  WriteLargeModel(root.Path(), 1, 4096);
  // AddressSanitizer keeps freed memory aside for a while (its quarantine),
  // which would be counted as the server's.
  const char *asan = std::getenv("ASAN_OPTIONS");
  qx::test::ScopedEnv noQuarantine(
      "ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "quarantine_size_mb=0");
  ServerProcess server(root.Path(), store.Path(),
                       {"--write-key", "write-key", "--max-connections-per-address", "0"});
  const int port = server.Port();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(server.ResetPeak());
  const std::uint64_t before = server.Memory("VmRSS");
  std::vector<std::thread> uploads;
  std::atomic<int> refused{0};
  for (int i = 0; i < 8; ++i) {
    uploads.emplace_back([&] {
      RawClient client(port);
      const std::string head =
          "POST /1.0/models HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
          "boundary=x\r\nContent-Length: 62000000\r\n\r\n";
      if (!client.Send(head)) return;
      const std::string block(64 * 1024, 'x');
      // The body goes on until the server stops taking it.
      for (int sent = 0; sent < 62000000 / static_cast<int>(block.size()) && client.Send(block); ++sent) {
      }
      if (StatusOf(client.ReadHead()) == 401) ++refused;
    });
  }
  for (std::thread &upload : uploads) upload.join();
  EXPECT_EQ(8, refused.load());
  std::printf("server peak %.1f MiB after the uploads\n", server.Memory("VmHWM") / double(mib));
  // Long headers, on kept connections and on new ones.
  const std::string padding(16 * 1024, 'p');
  std::vector<std::thread> readers;
  std::atomic<int> answered{0};
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      for (int connection = 0; connection < 5; ++connection) {
        RawClient client(port);
        for (int request = 0; request < 60; ++request) {
          const bool last = request == 59;
          if (!client.Send("GET " + std::string(kSmallFile) + " HTTP/1.1\r\nHost: x\r\nX-Padding: " + padding +
                           "\r\n" + (last ? "Connection: close\r\n" : "") + "\r\n"))
            break;
          const std::string head = client.ReadHead();
          if (StatusOf(head) != 0) ++answered;
          const std::string length = HeaderOf(head, "Content-Length");
          if (!length.empty()) client.Skip(std::stoull(length));
        }
      }
    });
  }
  for (std::thread &reader : readers) reader.join();
  EXPECT_EQ(8 * 5 * 60, answered.load());
  const std::uint64_t peak = server.Memory("VmHWM");
  const std::uint64_t growth = peak > before ? peak - before : 0;
  std::printf("server resident %.1f MiB before, peak %.1f MiB (+%.1f MiB)\n", before / double(mib),
              peak / double(mib), growth / double(mib));
  EXPECT_LT(growth, 24 * mib);
}

TEST(ManyClients, SlowAndIdleConnectionsHoldNoOneUp) {
  // 200 clients that send a header a byte at a time (each from an address
  // of its own) and 300 kept connections that stay silent, on a server of
  // two threads: an ordinary client still gets every answer within a
  // second, and the slow ones are held open, not dropped.
  TempDir root;
  WriteLargeModel(root.Path(), 1, 1024);
  qx::quarn_server::RepositoryServer::Options options;
  options.threads = 2;
  options.headerTimeout = std::chrono::seconds(60);
  options.maxConnectionsPerAddress = 0;
  qx::quarn_server::RepositoryServer server(root.Path(), options);
  ASSERT_TRUE(server.Start());
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<RawClient>(server.Port()));
    ASSERT_TRUE(idle.back()->Send("GET " + std::string(kSmallFile) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_EQ(200, StatusOf(idle.back()->ReadHead()));
  }
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 200; ++i) {
    const std::string from = "127.0.1." + std::to_string(i + 1);
    slow.push_back(std::make_unique<RawClient>(server.Port(), 0, from));
    ASSERT_TRUE(slow.back()->Send("GET " + std::string(kSmallFile) + " HTTP/1.1\r\nHost: x\r\n")) << from;
  }
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    while (dripping) {
      for (auto &client : slow) client->Send("y");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::chrono::steady_clock::duration slowest{};
  for (int i = 0; i < 30; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const Download probe = Get(server.Port(), kLargeArchive);
    slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    EXPECT_EQ(200, probe.status);
    EXPECT_EQ(probe.announced, probe.received);
  }
  dripping = false;
  drip.join();
  EXPECT_LT(slowest, std::chrono::seconds(1));
  std::size_t open = 0;
  for (auto &client : slow) open += client->Open() ? 1 : 0;
  EXPECT_EQ(slow.size(), open);
  for (auto &client : idle) EXPECT_TRUE(client->Open());
}

}  // namespace
