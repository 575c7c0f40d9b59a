// What keeps the repository server safe on a shared network, spoken to over
// raw sockets on loopback as a neighbour or a web page would: writes only
// with the write key, from requests that name the server and come from no
// other site, refused before their body is read; framing that cannot be
// read two ways; clients that are slow or too many for one address cost
// the others nothing.
#include <qx/quarn_server/RepositoryServer.hh>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/FormBodies.hh"
#include "support/RawHttp.hh"
#include "support/RepositoryFixture.hh"
#include "support/TestSupport.hh"

namespace {

namespace fs = std::filesystem;
using qx::quarn_server::RepositoryServer;
using qx::test::RawExchange;
using qx::test::RawOutcome;
using qx::test::RawStatus;

const char kWriteKey[] = "write-key";

// Every file and directory below `root`, relative to it, sorted.
std::vector<std::string> TreeOf(const std::string &root) {
  std::vector<std::string> names;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

// How many answers `received` holds (status lines at the start of a line).
std::size_t Answers(const std::string &received) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = received.find("HTTP/1.", at)) != std::string::npos; ++at)
    count += at == 0 || received[at - 1] == '\n';
  return count;
}

// The body of the first answer in `received`.
std::string BodyOf(const std::string &received) {
  const std::size_t end = received.find("\r\n\r\n");
  return end == std::string::npos ? "" : received.substr(end + 4);
}

// A server of its own (no instruments) over a copy of the example
// repository.
class ServerSafety : public ::testing::Test {
 protected:
  void Start(RepositoryServer::Options options) {
    ASSERT_TRUE(qx::test::CopyExampleRepository(root_.Path()));
    server_ = std::make_unique<RepositoryServer>(root_.Path(), options);
    ASSERT_TRUE(server_->Start());
  }
  void StartWithWriteKey() {
    RepositoryServer::Options options;
    options.writeKey = kWriteKey;
    Start(options);
  }
  int Port() const { return server_->Port(); }
  std::string Authority() const { return "127.0.0.1:" + std::to_string(Port()); }
  const std::string &Root() const { return root_.Path(); }

  // A raw request: the method and route, header lines (each with its line
  // end), then `body` with its Content-Length.
  std::string Request(const std::string &method, const std::string &route,
                      const std::string &headers, const std::string &body = "") const {
    return method + " /1.0/" + route + " HTTP/1.1\r\n" + headers +
           (body.empty() && method != "POST" ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
           "Connection: close\r\n\r\n" + body;
  }
  // An edit of alice/box that makes it public (a write that changes
  // nothing), with `headers`.
  RawOutcome Edit(const std::string &headers) const {
    const std::string form = qx::test::MultipartBody({{"private", "0", ""}});
    return RawExchange(Port(), Request("PATCH", "alice%2Fmodels%2Fbox",
                                       headers + "Content-Type: " + qx::test::FormContentType() + "\r\n",
                                       form),
                       10);
  }

  qx::test::TempDir root_;
  std::unique_ptr<RepositoryServer> server_;
};

// ------------------------------------------------------------ writes closed

TEST_F(ServerSafety, WithoutAWriteKeyEveryWriteIsRefused) {
  RepositoryServer::Options options;
  options.readKey = "read-only";
  Start(options);
  const std::vector<std::string> before = TreeOf(Root());
  const std::string upload = qx::test::MultipartBody(qx::test::LampParts("carol", "lamp"));
  for (const std::string &key : {std::string(""), std::string("read-only"), std::string(kWriteKey)}) {
    SCOPED_TRACE("key [" + key + "]");
    const std::string headers =
        "Host: " + Authority() + "\r\n" + (key.empty() ? "" : "Private-token: " + key + "\r\n");
    const std::vector<RawOutcome> outcomes = {
        RawExchange(Port(), Request("POST", "models",
                                    headers + "Content-Type: " + qx::test::FormContentType() + "\r\n",
                                    upload)),
        Edit(headers),
        RawExchange(Port(), Request("DELETE", "alice%2Fmodels%2Fbox", headers)),
        RawExchange(Port(), Request("DELETE", "bob%2Fworlds%2Ftown", headers)),
    };
    for (const RawOutcome &outcome : outcomes) {
      EXPECT_EQ(403, RawStatus(outcome.received)) << outcome.received;
      EXPECT_EQ("This server takes no writes: it was started without a write key\n",
                BodyOf(outcome.received));
    }
  }
  EXPECT_EQ(before, TreeOf(Root()));
}

TEST_F(ServerSafety, AWriteMustCarryTheKeyNameTheServerAndComeFromNoOtherSite) {
  StartWithWriteKey();
  const std::string key = std::string("Private-token: ") + kWriteKey + "\r\n";
  const std::string port = std::to_string(Port());
  struct Case {
    const char *what;
    std::string headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"the key and our address", "Host: " + Authority() + "\r\n" + key, 200},
      {"localhost", "Host: localhost:" + port + "\r\n" + key, 200},
      {"our address without the port", "Host: 127.0.0.1\r\n" + key, 200},
      {"our own origin", "Host: " + Authority() + "\r\nOrigin: http://localhost:" + port + "\r\n" + key,
       200},
      {"no key", "Host: " + Authority() + "\r\n", 401},
      {"a wrong key", "Host: " + Authority() + "\r\nPrivate-token: write-kez\r\n", 401},
      {"the key with more", "Host: " + Authority() + "\r\nPrivate-token: write-key2\r\n", 401},
      {"another name (DNS rebinding)", "Host: attacker.example:" + port + "\r\n" + key, 403},
      {"another port", "Host: 127.0.0.1:1\r\n" + key, 403},
      {"a page of another site", "Host: " + Authority() + "\r\nOrigin: https://evil.example\r\n" + key,
       403},
      {"another service of this machine",
       "Host: " + Authority() + "\r\nOrigin: http://127.0.0.1:3000\r\n" + key, 403},
      {"an opaque origin", "Host: " + Authority() + "\r\nOrigin: null\r\n" + key, 403},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const RawOutcome outcome = Edit(c.headers);
    EXPECT_EQ(c.status, RawStatus(outcome.received)) << outcome.received;
  }
  // Reads take any Host, and echo none of it.
  const RawOutcome read =
      RawExchange(Port(), Request("GET", "models", "Host: attacker.example\r\n"), 10);
  EXPECT_EQ(200, RawStatus(read.received));
  EXPECT_EQ(std::string::npos, read.received.find("attacker"));
}

TEST_F(ServerSafety, ServerNamesAreTakenForTheServer) {
  RepositoryServer::Options options;
  options.writeKey = kWriteKey;
  options.serverNames = {"Models.Lab.example"};
  Start(options);
  const std::string key = std::string("Private-token: ") + kWriteKey + "\r\n";
  EXPECT_EQ(200, RawStatus(Edit("Host: models.lab.example\r\n" + key).received));
  EXPECT_EQ(200, RawStatus(Edit("Host: models.lab.example:443\r\nOrigin: https://models.lab.example\r\n" + key).received));
  EXPECT_EQ(403, RawStatus(Edit("Host: lab.example\r\n" + key).received));
}

// ------------------------------------------------ answered before the body

TEST_F(ServerSafety, ARefusedWriteIsAnsweredBeforeItsBodyAndClosed) {
  StartWithWriteKey();
  const std::string upload = "POST /1.0/models HTTP/1.1\r\nHost: " + Authority() +
                             "\r\nContent-Type: " + qx::test::FormContentType() + "\r\n";
  struct Case {
    const char *what;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"no key, waiting for 100 Continue",
       upload + "Content-Length: 62000000\r\nExpect: 100-continue\r\n\r\n", 401},
      {"no key, the body on its way", upload + "Content-Length: 62000000\r\n\r\n" + std::string(65536, 'x'),
       401},
      {"a terabyte declared", upload + "Private-token: write-key\r\nContent-Length: 1099511627776\r\n\r\nxyz",
       413},
      {"past the 4 GiB limit", upload + "Private-token: write-key\r\nContent-Length: 4294967297\r\nExpect: 100-continue\r\n\r\n",
       413},
      {"no form", "POST /1.0/models HTTP/1.1\r\nHost: " + Authority() +
                      "\r\nPrivate-token: write-key\r\nContent-Type: text/plain\r\nContent-Length: 5000000\r\n\r\nx",
       400},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = std::chrono::steady_clock::now();
    const RawOutcome outcome = RawExchange(Port(), c.request, 20);
    EXPECT_EQ(c.status, RawStatus(outcome.received)) << outcome.received;
    EXPECT_EQ(std::string::npos, outcome.received.find("100 Continue"));
    EXPECT_EQ(1u, Answers(outcome.received));
    EXPECT_TRUE(outcome.closed);
    // Answered at once, not after a body that never comes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  // A write the server takes is asked for its body.
  const RawOutcome accepted = RawExchange(
      Port(), upload + "Private-token: write-key\r\nContent-Length: 100\r\nExpect: 100-continue\r\n\r\n", 2);
  EXPECT_EQ(0u, accepted.received.find("HTTP/1.1 100 Continue"));
}

TEST_F(ServerSafety, AnUploadLargerThanTheLimitIsRefusedWhileItArrives) {
  RepositoryServer::Options options;
  options.writeKey = kWriteKey;
  options.maxUpload = 64 * 1024;
  Start(options);
  const std::vector<std::string> before = TreeOf(Root());
  std::vector<qx::test::FormField> parts = qx::test::LampParts("carol", "big");
  parts.push_back({"file", std::string(100 * 1024, 'b'), "big.bin"});
  const std::string body = qx::test::MultipartBody(parts);
  const std::string head = "POST /1.0/models HTTP/1.1\r\nHost: " + Authority() +
                           "\r\nPrivate-token: write-key\r\nConnection: close\r\nContent-Type: " +
                           qx::test::FormContentType() + "\r\n";
  // Declared: refused at once; chunked: refused when it passes the limit.
  EXPECT_EQ(413, RawStatus(RawExchange(Port(), head + "Content-Length: " + std::to_string(body.size()) +
                                                   "\r\n\r\n" + body)
                               .received));
  std::string chunked;
  for (std::size_t at = 0; at < body.size(); at += 4096) {
    const std::string piece = body.substr(at, 4096);
    char size[16];
    std::snprintf(size, sizeof(size), "%zx", piece.size());
    chunked += std::string(size) + "\r\n" + piece + "\r\n";
  }
  const RawOutcome outcome =
      RawExchange(Port(), head + "Transfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n");
  EXPECT_EQ(413, RawStatus(outcome.received)) << outcome.received;
  EXPECT_EQ(before, TreeOf(Root()));
  // Nothing of the upload is left in the work directory.
  std::size_t spooled = 0;
  for (const auto &entry : fs::recursive_directory_iterator(Root() + "/.quarn-work"))
    spooled += entry.path().filename() == "lock" ? 0 : 1;
  EXPECT_EQ(0u, spooled);
}

// ------------------------------------------------------------------ framing

TEST_F(ServerSafety, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
  StartWithWriteKey();
  const std::string host = "Host: " + Authority() + "\r\n";
  // What a proxy might take for a second request, answered 200 if it were.
  const std::string smuggled = "GET /1.0/licenses HTTP/1.1\r\n" + host + "\r\n";
  const std::string length = "Content-Length: " + std::to_string(smuggled.size()) + "\r\n";
  struct Case {
    const char *what;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"Content-Length beside Transfer-Encoding",
       "POST /1.0/models HTTP/1.1\r\n" + host + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
       400},
      {"two Content-Lengths",
       "POST /1.0/models HTTP/1.1\r\n" + host + "Content-Length: 0\r\n" + length + "\r\n" + smuggled, 400},
      {"a signed Content-Length", "POST /1.0/models HTTP/1.1\r\n" + host + "Content-Length: +" +
                                      std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
       400},
      {"a body on GET", "GET /1.0/models HTTP/1.1\r\n" + host + length + "\r\n" + smuggled, 400},
      {"a body on HEAD", "HEAD /1.0/models HTTP/1.1\r\n" + host + length + "\r\n" + smuggled, 400},
      {"a body on OPTIONS", "OPTIONS /1.0/models HTTP/1.1\r\n" + host + length + "\r\n" + smuggled, 400},
      {"a chunked GET", "GET /1.0/models HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
       400},
      {"no Host", "GET /1.0/models HTTP/1.1\r\n\r\n" + smuggled, 400},
      {"two Hosts", "GET /1.0/models HTTP/1.1\r\n" + host + host + "\r\n" + smuggled, 400},
      {"a blank in the target", "GET /1.0/mod els HTTP/1.1\r\n" + host + "\r\n" + smuggled, 400},
      {"a coding we do not speak",
       "POST /1.0/models HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip\r\n\r\n" + smuggled, 501},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const RawOutcome outcome = RawExchange(Port(), c.request, 10);
    EXPECT_EQ(c.status, RawStatus(outcome.received)) << outcome.received;
    EXPECT_TRUE(outcome.closed);
    EXPECT_EQ(std::string::npos, outcome.received.find("HTTP/1.1 200")) << outcome.received;
  }
  // A request line that is no request line ends the connection unanswered.
  EXPECT_TRUE(RawExchange(Port(), "GET\r\n" + host + "\r\n" + smuggled, 10).closed);
}

TEST_F(ServerSafety, ARequestWithoutALengthHasNoBody) {
  StartWithWriteKey();
  const std::string host = "Host: " + Authority() + "\r\n";
  // The upload has no body (an empty form: 400), and what follows is the
  // next request, answered as such.
  const RawOutcome outcome = RawExchange(
      Port(),
      "POST /1.0/models HTTP/1.1\r\n" + host + "Private-token: write-key\r\nContent-Type: " +
          qx::test::FormContentType() + "\r\n\r\nGET /1.0/licenses HTTP/1.1\r\n" + host +
          "Connection: close\r\n\r\n",
      10);
  EXPECT_EQ(400, RawStatus(outcome.received)) << outcome.received;
  EXPECT_EQ(2u, Answers(outcome.received));
  EXPECT_NE(std::string::npos, outcome.received.find("HTTP/1.1 200 OK"));
  EXPECT_TRUE(outcome.closed);
}

TEST_F(ServerSafety, EveryAnswerForbidsSniffing) {
  StartWithWriteKey();
  for (const std::string &request :
       {Request("GET", "models", "Host: x\r\n"), Request("GET", "nothing", "Host: x\r\n"),
        Request("DELETE", "alice%2Fmodels%2Fbox", "Host: x\r\n"),
        std::string("GET /1.0/models HTTP/1.1\r\nContent-Length: 3\r\nHost: x\r\n\r\nabc")}) {
    SCOPED_TRACE(request);
    const RawOutcome outcome = RawExchange(Port(), request, 10);
    EXPECT_NE(std::string::npos, outcome.received.find("\r\nX-Content-Type-Options: nosniff\r\n"));
  }
}

// ---------------------------------------------------- slow and many clients

TEST_F(ServerSafety, ConnectionsPerAddressAreCapped) {
  RepositoryServer::Options options;
  options.maxConnectionsPerAddress = 4;
  Start(options);
  std::vector<int> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(qx::test::ConnectToLoopback(Port(), 10, 0, "127.0.0.2"));
    ASSERT_GE(held.back(), 0);
  }
  // Once the server has taken the four, a fifth from that address is
  // closed at once; another address is served.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int fifth = qx::test::ConnectToLoopback(Port(), 10, 0, "127.0.0.2");
  ASSERT_GE(fifth, 0);
  const std::string get = "GET /1.0/licenses HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fifth, get.data(), get.size(), MSG_NOSIGNAL);
  char byte = 0;
  EXPECT_LE(::recv(fifth, &byte, 1, 0), 0);
  ::close(fifth);
  const int other = qx::test::ConnectToLoopback(Port(), 10, 0, "127.0.0.3");
  ASSERT_GE(other, 0);
  ::send(other, get.data(), get.size(), MSG_NOSIGNAL);
  char reply[16] = {};
  EXPECT_EQ(12, ::recv(other, reply, 12, MSG_WAITALL));
  EXPECT_EQ("HTTP/1.1 200", std::string(reply));
  ::close(other);
  for (int fd : held) ::close(fd);
}

TEST_F(ServerSafety, AHeaderThatTakesTooLongIsCutOff) {
  RepositoryServer::Options options;
  options.headerTimeout = std::chrono::seconds(1);
  Start(options);
  // A byte every 200 ms: never silent for long, never done.
  const int fd = qx::test::ConnectToLoopback(Port(), 1);
  ASSERT_GE(fd, 0);
  const std::string head = "GET /1.0/licenses HTTP/1.1\r\nHost: x\r\nX-Slow: ";
  ASSERT_EQ(static_cast<ssize_t>(head.size()), ::send(fd, head.data(), head.size(), MSG_NOSIGNAL));
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    closed = ::send(fd, "y", 1, MSG_NOSIGNAL) != 1;
    char byte = 0;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    closed = closed || got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ::close(fd);
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ServerSafety, ABodyBelowTheMinimumRateIsCutOff) {
  RepositoryServer::Options options;
  options.writeKey = kWriteKey;
  options.minimumRate = 1000;
  options.rateWindow = std::chrono::seconds(1);
  Start(options);
  const int fd = qx::test::ConnectToLoopback(Port(), 1);
  ASSERT_GE(fd, 0);
  const std::string head = "POST /1.0/models HTTP/1.1\r\nHost: " + Authority() +
                           "\r\nPrivate-token: write-key\r\nContent-Type: " +
                           qx::test::FormContentType() + "\r\nContent-Length: 100000\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(head.size()), ::send(fd, head.data(), head.size(), MSG_NOSIGNAL));
  // Ten bytes a second, a hundredth of the minimum.
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    closed = ::send(fd, "xxxxxxxxxx", 10, MSG_NOSIGNAL) != 10;
    char byte = 0;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    closed = closed || got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  ::close(fd);
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
