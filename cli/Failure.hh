/*
 * Why an operation failed, in one line a person can act on: the library's
 * reason in words (who refused what, what was not found where, the
 * server's own short error text, the disk's or the archive's own reason)
 * and, for a refused access, which token to supply and how.
 */
#ifndef QX_QUARN_CLI_FAILURE_HH_
#define QX_QUARN_CLI_FAILURE_HH_

#include <string>

#include <qx/quarn_tools/DownloadOutcome.hh>
#include <qx/quarn_tools/Result.hh>

namespace qx::quarn_cli {

// "<what> failed: <reason>"; `what` says what was tried ("Download of URL").
std::string failureText(const qx::quarn_tools::DownloadFailure &failure, const std::string &what);
// The same for a failed `result` (qx::quarn_tools::failureOf).
std::string failureText(const qx::quarn_tools::Result &result, const std::string &what);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_FAILURE_HH_
