/*
 * Our repository server with the tests' instruments around it, through the
 * server's one hook (qx/quarn_server/RequestObserver.hh): a log of every
 * request it received (headers, form parts and bodies cut to a limit, the
 * status answered, how many requests were being answered at once), and
 * scripted faults that change the answers of matching requests (status,
 * body, headers, a referral, a dropped version header, a body cut short, a
 * delay). The server itself keeps none of this. All members may be called
 * from any thread.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_INSTRUMENTEDSERVER_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_INSTRUMENTEDSERVER_HH_

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <qx/quarn_server/RepositoryServer.hh>

namespace qx::test {

// One part of a multipart form as received.
struct FormPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string content;  // at most RequestRecord::kStoredBodyLimit bytes
};

// One request as the server received it.
struct RequestRecord {
  // Bodies and form parts longer than this are stored cut to this size;
  // bodySize always holds the full size.
  static constexpr std::size_t kStoredBodyLimit = 1 << 20;

  std::string method;  // "GET", "HEAD", "POST", ...
  // The request target exactly as sent: path and query, still escaped.
  std::string target;
  // The route below the API version segment, percent-decoded once; empty when
  // the target did not start with the server's API version.
  std::string route;
  // The query text after "?", as sent; empty when there was none.
  std::string query;
  // Header lines ordered by name (case insensitively; repeated names in
  // arrival order).
  std::vector<std::pair<std::string, std::string>> headers;
  // The body's size; for a request answered before its body was read, the
  // length it declared.
  std::size_t bodySize = 0;
  std::string body;            // plain bodies (not multipart forms), when read
  std::vector<FormPart> form;  // multipart form parts, ordered by name
  int status = 0;              // the status the server answered
  // How many requests the server was answering when this one arrived, this
  // one included; a request counts from the arrival of its header until its
  // answer (delay included) is handed over for sending.
  std::size_t concurrent = 0;
  // The client's end of the connection the request came on ("ADDR:PORT"):
  // requests on one kept-alive connection share it.
  std::string peer;

  // The first value of header `name` (compared case-insensitively).
  std::optional<std::string> Header(const std::string &name) const;
};

// A change to the answers that matching requests get. The server makes its
// normal answer first, then the script applies, in this order: the
// referral, status, body, content type, headers, removed headers and the
// dropped version header; the delay and the truncation act while the
// answer is sent. A write (upload, edit, deletion) matched by a script that
// sets the status or a referral is not carried out: the script's answer
// stands in for it, built on an empty 200 answer. A request a script
// matches has its body read, even where the server answers without it.
struct ResponseScript {
  // Which requests: the method ("GET" also matches "HEAD"; empty matches
  // any), the decoded route (exact), and, when set, the exact query text.
  std::string method = "GET";
  std::string route;
  std::optional<std::string> query;
  // How many matching requests it applies to; 0 means all of them.
  int times = 0;

  // Answer 200 with this URL as a text body (content type
  // referralContentType), keeping the version header of the normal answer.
  std::optional<std::string> referralUrl;
  std::string referralContentType = "text/plain";
  std::optional<int> status;
  std::optional<std::string> body;
  std::optional<std::string> contentType;
  // Headers to send: the first entry of a name replaces the server's own
  // headers of that name, later entries of the same name add more lines.
  std::vector<std::pair<std::string, std::string>> headers;
  // Header names to leave out ("Content-Type" included).
  std::vector<std::string> removeHeaders;
  bool dropVersionHeader = false;
  // Send only this many bytes of the body, announce a longer Content-Length
  // (the body's size, or this count plus one when that is not longer), then
  // close the connection.
  std::optional<std::size_t> truncateAfter;
  // Wait this long (a day at most) before answering; cut short when the
  // server stops.
  std::chrono::milliseconds delay{0};
};

class InstrumentedServer {
 public:
  // A server of `root` with `options` (its observer replaced by the
  // instruments).
  explicit InstrumentedServer(std::string root,
                              qx::quarn_server::RepositoryServer::Options options = {});
  ~InstrumentedServer();
  InstrumentedServer(const InstrumentedServer &) = delete;
  InstrumentedServer &operator=(const InstrumentedServer &) = delete;

  // The server's own.
  bool Start() { return server_->Start(); }
  void Stop() { server_->Stop(); }
  bool Running() const { return server_->Running(); }
  int Port() const { return server_->Port(); }
  std::string Url() const { return server_->Url(); }
  const std::string &ApiVersion() const { return server_->ApiVersion(); }
  std::string RouteUrl(const std::string &route) const { return server_->RouteUrl(route); }
  const std::string &Root() const { return server_->Root(); }
  qx::quarn_server::RepositoryServer &Server() { return *server_; }

  // Adds a script; returns its id for RemoveScript. Scripts are tried in the
  // order they were added; the first that matches and has uses left applies.
  int AddScript(const ResponseScript &script);
  void RemoveScript(int id);
  void ClearScripts();

  // Every request received so far, oldest first (the newest 10000 at most,
  // fewer when their stored bodies pass 64 MiB), each logged once its
  // answer is made (before any delay).
  std::vector<RequestRecord> Requests() const;
  // Those whose decoded route equals `route`.
  std::vector<RequestRecord> Requests(const std::string &route) const;
  void ClearRequests();

 private:
  class Instruments;
  std::shared_ptr<Instruments> instruments_;
  std::unique_ptr<qx::quarn_server::RepositoryServer> server_;
};

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_INSTRUMENTEDSERVER_HH_
