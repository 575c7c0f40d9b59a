#include "Failure.hh"

namespace qx::quarn_cli {

std::string failureText(const qx::quarn_tools::DownloadFailure &failure, const std::string &what) {
  if (failure.reason != qx::quarn_tools::FailureReason::kUnauthorized)
    return what + " failed: " + failure.text;
  const std::string &server = failure.server;
  return what + " failed: " + server + " refused access to " + failure.resource + " (" +
         std::to_string(failure.status) + "). Supply a token for " + server +
         ": run \"quarn login " + server + "\", or set QX_QUARN_TOKEN for one command" +
         (failure.serverText.empty() ? "" : ": " + failure.serverText);
}

std::string failureText(const qx::quarn_tools::Result &result, const std::string &what) {
  return failureText(qx::quarn_tools::failureOf(result), what);
}

}  // namespace qx::quarn_cli
