/*
 * What a request for a resource by URL made (ResourceRequests.hh): the
 * result, why it failed (a category that maps one to one onto the kinds of
 * error a program tells apart, its parts, and the reason in words), the
 * resource delivered and where it lies in the cache, and the outcomes of
 * every model it depends on and, for a collection, of every member. Plain
 * values that copy and hold nothing of the library's; any thread.
 */
#ifndef QX_QUARN_TOOLS_DOWNLOADOUTCOME_HH_
#define QX_QUARN_TOOLS_DOWNLOADOUTCOME_HH_

#include <cstdint>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools {

// Why a request failed. The numbers are part of the interface.
enum class FailureReason : int {
  kNone = 0,
  // The URL names nothing the request can take.
  kInvalidUrl = 1,
  // The server does not have it (404); a collection without members; a
  // file that is not part of the version.
  kNotFound = 2,
  // The server refused access (401, 403): a token is missing or wrong.
  kUnauthorized = 3,
  // A request was needed while the client is offline.
  kOffline = 4,
  // No answer came: a name that does not resolve, a refused connection, TLS,
  // a time-out, a reset.
  kNetwork = 5,
  // Another status, or an answer that is not what the protocol says (a
  // content type that is no archive, a referral that is no link).
  kServer = 6,
  // The disk: a write, a directory, free space (with the path and the
  // system's words).
  kCache = 7,
  // What the archive holds: not a valid zip (libzip's reason), no
  // model.config, hostile entry names, more than the limits allow.
  kArchive = 8,
  // Stopped on purpose (an interrupt) before it was done.
  kInterrupted = 9,
  kOther = 10,
};

// "none", "invalid-url", "not-found", "unauthorized", "offline",
// "network", "server", "cache", "archive", "interrupted", "other".
QX_QUARN_TOOLS_VISIBLE const char *failureReasonName(FailureReason reason);

// A failure with its parts. Fields that do not concern the reason stay empty.
struct QX_QUARN_TOOLS_VISIBLE DownloadFailure {
  FailureReason reason = FailureReason::kNone;
  // The server asked, and what of it in words ("model alice/box", or the
  // route of a listing), when a request failed.
  std::string server;
  std::string resource;
  // The HTTP status of the answer; 0 when no answer came.
  int status = 0;
  // The server's own short error text: one printable line, often empty.
  std::string serverText;
  // The path concerned: on disk for kCache, the archive for kArchive.
  std::string path;
  // The system's own words: the errno text, libzip's reason, the
  // transport's error.
  std::string detail;
  // The whole reason in words, one line: "the archive is not a valid zip
  // (Compression method not supported)".
  std::string text;
};

// The failure a result records: what its server answered, classified (404
// not found, 401 and 403 unauthorized, no answer network, anything else
// server), or without an answer kOther with the result's readable text.
// kNone for a success.
QX_QUARN_TOOLS_VISIBLE DownloadFailure failureOf(const Result &result);

// What a URL names.
enum class ResourceKind : int {
  kUnknown = 0,
  kModel = 1,
  kWorld = 2,
  kModelFile = 3,
  kWorldFile = 4,
  kCollection = 5,
};

struct QX_QUARN_TOOLS_VISIBLE DownloadOutcome {
  // FETCH_DONE when downloaded now, FETCH_CACHED when the cache had it (no
  // request); FETCH_MISSING for a dependency that is in neither (a model
  // the cache holds without all it needs); otherwise the failure, with the
  // server's answer when one is behind it (a model whose model.config does
  // not convert: UPLOAD_FAILED, as QuarnClient::DownloadModel says).
  Result result;
  DownloadFailure failure;
  ResourceKind kind = ResourceKind::kUnknown;
  // What was asked for: the URL given, a dependency's URL as its model
  // names it, or a collection member's identifier URL (Url()).
  std::string url;
  // The resource delivered (for a collection, the collection; version 0
  // when no version is known).
  std::string server;
  std::string apiVersion;
  std::string owner;
  std::string name;
  unsigned int version = 0;
  // Where it lies: the version directory; for a file, the file (and the
  // version directory in resourcePath, the path inside it in `file`).
  // Empty when it is not in the cache.
  std::string path;
  std::string resourcePath;
  std::string file;
  // Answered from the cache without a request.
  bool fromCache = false;
  // The archive bytes received for this resource alone.
  std::uint64_t bytes = 0;
  // For a model: every model it needs, directly or not, each once, in the
  // order they are named (a model's direct dependencies, then theirs).
  std::vector<DownloadOutcome> dependencies;
  // For a collection: one outcome per member, models first.
  std::vector<DownloadOutcome> members;
  // For a world asked with its includes (RequestOptions::includes): one
  // outcome per model its SDF files include by URL, each once, in the order
  // first named, each with its own dependencies. A failed include fails the
  // world's outcome (the world itself stays in the cache, with `path`).
  std::vector<DownloadOutcome> includes;

  explicit operator bool() const { return static_cast<bool>(result); }
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_DOWNLOADOUTCOME_HH_
