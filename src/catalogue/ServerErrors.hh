/*
 * What a server's refusal says, in words: the server's own short error text
 * taken from its answer, and the failure an answer (or the lack of one)
 * makes, classified and worded the one way every caller shows it ("model
 * alice/box was not found on URL (404)"). Pure functions; any thread.
 * Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_SERVERERRORS_HH_
#define QX_QUARN_TOOLS_SRC_SERVERERRORS_HH_

#include <string>

#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools::internal {

// The server's own error text in an answer's body, cut to one short line
// and printable: a JSON document's "message", "error" or "errmsg", or the
// first line of a plain text; empty for anything else (HTML pages,
// archives).
std::string ServerErrorText(const std::string &body);

// "owner/models/name" as people say it, "model owner/name"; other routes
// as they are.
std::string ResourceWords(const std::string &route);

// The failure of `reply`: no answer (status 0, `transportText` the
// transport's words when known) is kNetwork, 404 kNotFound, 401 and 403
// kUnauthorized, anything else kServer.
DownloadFailure ReplyFailure(const ServerReply &reply, const std::string &transportText = "");

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_SERVERERRORS_HH_
