/*
 * The repository server's one hook for instruments (the tests' request log
 * and scripted faults live in test/support/, not in the server): an
 * observer that the server asks to watch every request whose header it
 * read. A watch sees the request as received (a form's parts spooled to
 * files it may read), may change the answer before it goes out (status,
 * headers, body, a delay, a body cut short), and is destroyed once the
 * answer is handed over for sending. A server without an observer keeps
 * nothing of a request once it is answered. Observers and watches are
 * called from the server's threads, many requests at once; one watch is
 * called by one thread at a time.
 */
#ifndef QX_QUARN_SERVER_REQUESTOBSERVER_HH_
#define QX_QUARN_SERVER_REQUESTOBSERVER_HH_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx::quarn_server {

struct Reply;

// A request as the server received it.
struct ReceivedRequest {
  // One part of a multipart form.
  struct Part {
    std::string name;
    std::string filename;     // empty for a text field
    std::string contentType;  // as the part named it; may be empty
    std::string text;         // a text field's value
    // A file part's content, spooled to this file while the watch is
    // called (Received); its size in bytes.
    std::string spooled;
    std::uint64_t size = 0;
  };

  std::string method;  // "GET", "HEAD", "POST", ...
  // The request target exactly as sent: path and query, still escaped.
  std::string target;
  // The route below the API version segment, percent-decoded once; empty
  // when the target does not start with the server's API version.
  std::string route;
  // The query text after "?", as sent; empty when there was none.
  std::string query;
  // Header lines in the order they arrived.
  std::vector<std::pair<std::string, std::string>> headers;
  // The client's end of the connection ("ADDR:PORT"): requests on one kept
  // connection share it.
  std::string peer;
  // An upload, edit or deletion.
  bool write = false;
  // The body's bytes as received; for a request answered before its body
  // was read, the length it declared.
  std::uint64_t bodySize = 0;
  // Set once the body was read (Received).
  bool bodyRead = false;
  // A form's parts, in the order sent.
  std::vector<Part> parts;
  // A body that is no form, spooled to this file (read only for watches
  // that ask for bodies: ReadsBody).
  std::string spooledBody;

  // The first value of header `name` (ASCII case ignored).
  std::optional<std::string> Header(const std::string &name) const;
};

// The answer on its way out, as a watch may change it.
class ServerAnswer {
 public:
  explicit ServerAnswer(Reply &reply) : reply_(reply) {}
  ServerAnswer(const ServerAnswer &) = delete;
  ServerAnswer &operator=(const ServerAnswer &) = delete;

  int Status() const;
  void SetStatus(int status);
  // The first value of header `name` (ASCII case ignored).
  std::optional<std::string> Header(const std::string &name) const;
  // Replaces every line of header `name` by one with `value`.
  void SetHeader(const std::string &name, const std::string &value);
  // Adds a line, keeping those of the same name.
  void AddHeader(const std::string &name, const std::string &value);
  void RemoveHeader(const std::string &name);
  // Makes the body `text`; a body sent from a file goes, and with it the
  // file's validators (ETag, Last-Modified, Accept-Ranges).
  void SetBody(std::string text);
  std::uint64_t BodySize() const;
  // Sends only the first `bytes` bytes of the body, announces a longer
  // Content-Length (the body's size, or `bytes` + 1 when that is not
  // longer), then closes the connection.
  void TruncateAfter(std::size_t bytes);
  // Waits this long (a day at most) before sending; cut short when the
  // server stops.
  void Delay(std::chrono::milliseconds delay);

 private:
  Reply &reply_;
};

// One request followed from its header to its answer.
class RequestWatch {
 public:
  // Destroyed once the answer is handed over for sending (after any
  // delay), or when the request ends without one.
  virtual ~RequestWatch() = default;
  // Whether the server reads the request's body even where it would
  // answer before reading it (a refused write, a body a read does not
  // need): for instruments that record bodies.
  virtual bool ReadsBody() const { return false; }
  // Whether the watch answers in the server's place: the body is read,
  // the server carries out nothing (no write) and the answer starts as an
  // empty 200 for Answering to fill.
  virtual bool StandsIn() const { return false; }
  // The request received (a form's spooled parts readable), before its
  // answer is made. Called for every watched request, also those answered
  // before their body was read.
  virtual void Received(const ReceivedRequest &) {}
  // The answer made, before a conditional or range request is applied to
  // it (a file may still become 206, 304 or 416); may change it.
  virtual void Answering(const ReceivedRequest &, ServerAnswer &) {}
  // The status that goes out, before any delay.
  virtual void Answered(const ReceivedRequest &, int) {}
};

class RequestObserver {
 public:
  virtual ~RequestObserver() = default;
  // The header of `request` arrived (its framing sound; no body yet): a
  // watch to follow it, or null.
  virtual std::unique_ptr<RequestWatch> Watch(const ReceivedRequest &request) = 0;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_REQUESTOBSERVER_HH_
