/*
 * Why an operation failed, in words a person can act on: who refused what,
 * which token to supply and how for a refused access, what was not found
 * where, and the server's own short error text.
 */
#ifndef QX_QUARN_CLI_FAILURE_HH_
#define QX_QUARN_CLI_FAILURE_HH_

#include <string>

#include <qx/quarn_tools/Result.hh>

namespace qx::quarn_cli {

// The server's own error text in a reply body, cut to one short line and
// printable: a JSON document's "message" or "error", or the first line of a
// plain text; empty for anything else (HTML pages, archives).
std::string serverErrorText(const std::string &body);

// "<what> failed: <reason>" for a failed `result`; `what` says what was
// tried ("Download of URL"). Without a server answer the reason is the
// result's readable text (the log has told the details).
std::string failureText(const qx::quarn_tools::Result &result, const std::string &what);

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_FAILURE_HH_
