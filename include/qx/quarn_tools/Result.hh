/*
 * The outcome of fetch, upload, patch and delete operations: one ResultType
 * code, true for the success codes, with a readable text, and, when the
 * outcome came from a server's answer, what the server said. A moved-from
 * Result may only be destroyed or move-assigned.
 */
#ifndef QX_QUARN_TOOLS_RESULT_HH_
#define QX_QUARN_TOOLS_RESULT_HH_

#include <cstddef>
#include <memory>
#include <string>

#include "qx/quarn_tools/Export.hh"

namespace qx::quarn_tools {

// The numbers are part of the interface.
enum ResultType : int {
  RESULT_UNKNOWN = 0,
  DELETE_DONE = 1,
  DELETE_MISSING = 2,
  DELETE_FAILED = 3,
  FETCH_DONE = 4,
  FETCH_CACHED = 5,
  FETCH_MISSING = 6,
  FETCH_FAILED = 7,
  UPLOAD_DONE = 8,
  UPLOAD_DUPLICATE = 9,
  UPLOAD_FAILED = 10,
  PATCH_FAILED = 11,
  PATCH_DONE = 12,
};

// What a server answered to the request behind a result.
struct ServerReply {
  // The server's URL text, and what was asked of it (owner/kind/name, or a
  // listing route).
  std::string server;
  std::string resource;
  // The HTTP status; 0 when no answer came (no connection, a cut transfer).
  int status = 0;
  // The start of the body as the server sent it (at most kTextLimit bytes);
  // it may hold anything, so clean it before showing it.
  std::string text;

  static constexpr std::size_t kTextLimit = 64 * 1024;
};

class QX_QUARN_TOOLS_VISIBLE Result {
 public:
  Result();
  explicit Result(ResultType type);
  Result(ResultType type, const ServerReply &reply);
  Result(const Result &other);
  Result(Result &&other) noexcept;
  Result &operator=(const Result &other);
  Result &operator=(Result &&other) noexcept;
  virtual ~Result();

  ResultType Type() const;
  // True exactly for DELETE_DONE, FETCH_DONE, FETCH_CACHED, UPLOAD_DONE and
  // PATCH_DONE.
  virtual operator bool() const;
  // The text of the code; "Unknown result" for 0 and any unknown number.
  virtual std::string ReadableResult() const;

  // The server's answer this result comes from; null when the operation
  // recorded none (it sent no request, or failed before or after one).
  const ServerReply *Reply() const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESULT_HH_
