#include "qx/quarn_tools/DownloadOutcome.hh"

#include "ServerErrors.hh"

namespace qx::quarn_tools {

const char *failureReasonName(FailureReason reason) {
  switch (reason) {
    case FailureReason::kNone:
      return "none";
    case FailureReason::kInvalidUrl:
      return "invalid-url";
    case FailureReason::kNotFound:
      return "not-found";
    case FailureReason::kUnauthorized:
      return "unauthorized";
    case FailureReason::kOffline:
      return "offline";
    case FailureReason::kNetwork:
      return "network";
    case FailureReason::kServer:
      return "server";
    case FailureReason::kCache:
      return "cache";
    case FailureReason::kArchive:
      return "archive";
    case FailureReason::kInterrupted:
      return "interrupted";
    case FailureReason::kOther:
      break;
  }
  return "other";
}

DownloadFailure failureOf(const Result &result) {
  if (result) return DownloadFailure();
  if (const ServerReply *reply = result.Reply()) return internal::ReplyFailure(*reply);
  DownloadFailure failure;
  failure.reason = FailureReason::kOther;
  failure.text = result.ReadableResult();
  return failure;
}

}  // namespace qx::quarn_tools
