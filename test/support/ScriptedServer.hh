/*
 * Small HTTP(S) servers for transport tests, on 127.0.0.1 and an ephemeral
 * port, stopped by their destructors.
 *
 * ScriptedServer answers every request from a per-test script and records
 * what it received. RawHttpServer sends canned bytes, for responses no
 * well-behaved server library would write (odd header lines, bodies cut
 * short). MakeTestCertificates makes a throw-away CA and server certificate.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qx::test {

// One part of a multipart form as the server received it.
struct ReceivedFormPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string content;
};

// One request as the server received it.
struct RecordedRequest {
  std::string method;
  // The request target exactly as sent: path, then "?" and the query.
  std::string target;
  // The path part of the target, still escaped.
  std::string rawPath;
  // The text after the first "?" of the target; empty when there is none.
  std::string rawQuery;
  bool hasQuery = false;
  // Header lines in the order of the server library (names compared
  // without regard to case).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::vector<ReceivedFormPart> form;

  // The first value of header `name` (any case), or the empty text.
  std::string Header(const std::string &name) const;
  bool HasHeader(const std::string &name) const;
  // The form part called `name`, if any.
  std::optional<ReceivedFormPart> FormPart(const std::string &name) const;
};

// What the server answers.
struct ScriptedResponse {
  int status = 200;
  std::string body;
  // Sent as "Content-Type" when not empty.
  std::string contentType = "application/json";
  // More header lines, in order (a name may repeat).
  std::vector<std::pair<std::string, std::string>> headers;
  // Announce the whole body but send only this many bytes, then hang up.
  std::optional<std::size_t> truncateAfter;
  // Send the status and headers, then nothing until the server stops.
  bool stall = false;
};

// Helpers for common answers.
ScriptedResponse JsonResponse(const std::string &body, int status = 200);
ScriptedResponse RedirectResponse(const std::string &location, int status = 302);

class ScriptedServer {
 public:
  using Script = std::function<ScriptedResponse(const RecordedRequest &)>;

  // Plain HTTP.
  ScriptedServer();
  // HTTPS with the given PEM certificate and key files.
  ScriptedServer(const std::string &certFile, const std::string &keyFile);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer &) = delete;
  ScriptedServer &operator=(const ScriptedServer &) = delete;

  // Whether the server is listening.
  bool Running() const;
  int Port() const;
  // "http://127.0.0.1:PORT" (or https).
  std::string Url() const;

  // Every request is answered by `script`.
  void SetScript(Script script);
  // Requests are answered by these, in order; once they run out, 404.
  void SetResponses(std::vector<ScriptedResponse> responses);

  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

// Answers each connection with the next canned byte string (sent as is,
// then the connection is closed). Connections beyond the list are closed
// without an answer.
class RawHttpServer {
 public:
  explicit RawHttpServer(std::vector<std::string> responses);
  ~RawHttpServer();
  RawHttpServer(const RawHttpServer &) = delete;
  RawHttpServer &operator=(const RawHttpServer &) = delete;

  bool Running() const { return listenFd_ >= 0; }
  std::string Url() const;
  // The request heads received, one per connection.
  std::vector<std::string> Requests() const;

 private:
  void Serve();
  void Answer(int connection, std::size_t index);

  std::vector<std::string> responses_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// PEM files of a throw-away CA and of a server certificate it signed for
// 127.0.0.1 and localhost, written into `directory`.
struct TestCertificates {
  std::string caCert;
  std::string serverCert;
  std::string serverKey;
  bool ok = false;
};
TestCertificates MakeTestCertificates(const std::string &directory);

// A port on 127.0.0.1 on which nothing listens (bound, then released).
int UnusedPort();

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_
