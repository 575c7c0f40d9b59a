/*
 * A small HTTP(S) server for transport tests, on 127.0.0.1 and an ephemeral
 * port, stopped by its destructor.
 *
 * ScriptedServer answers every request from a per-test script and records
 * what it received. New tests script our repository server instead (see
 * EmptyRepository.hh and RepositoryFixture.hh).
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SCRIPTEDSERVER_HH_
