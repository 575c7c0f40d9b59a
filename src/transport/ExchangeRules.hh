/*
 * The rules an exchange follows between its transfers: which answers are
 * redirects and where they lead, which header lines are credentials (kept
 * from other origins), which failures are worth another try and how long
 * to wait before it. Pure functions of what they are given (Backoff draws
 * its jitter from a generator of the calling thread); any thread. Internal
 * to the transport.
 */
#ifndef QX_QUARN_TOOLS_SRC_EXCHANGERULES_HH_
#define QX_QUARN_TOOLS_SRC_EXCHANGERULES_HH_

#include <curl/curl.h>

#include <optional>
#include <string>
#include <vector>

#include "RestClientInternal.hh"
#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools::internal {

// The word of `method` on the wire: GET, DELETE, PATCH (PATCH_FORM) or POST
// (POST and POST_FORM).
const char *MethodName(HttpMethod method);

// Redirects: 301, 302, 303, 307 and 308.
bool IsRedirect(long status);

// The method of the request a redirect leads to: 307 and 308 keep it (and
// the body); 303 always asks with GET; 301 and 302 turn a POST into a GET,
// as browsers and libcurl do, and keep other methods.
HttpMethod MethodAfterRedirect(HttpMethod method, long status);

// The URL that `reference` (absolute, or relative to `base`) names; empty
// when it names none.
std::string Resolve(const std::string &base, const std::string &reference);

// Whether `url` is an http or https URL (in any case).
bool IsWebUrl(const std::string &url);

// Whether a header line carries a credential (a Private-token line).
bool IsCredentialLine(const std::string &line);

// `headers` without the lines that carry a credential.
std::vector<std::string> WithoutCredentials(const std::vector<std::string> &headers);

// Errors after which nothing of the request reached the server.
bool NothingSent(CURLcode code);

// Whether a failed transfer is worth another try: one that sent nothing,
// and for a GET a time-out or a broken transfer. A name that does not
// resolve is taken as final, as curl's own retries do.
bool RetryableError(HttpMethod method, CURLcode code);

// Whether an answer is worth another try: 429, 502, 503 and 504 to a GET.
bool RetryableStatus(HttpMethod method, long status);

// The wait a Retry-After value asks for: seconds, or an HTTP date.
std::optional<double> RetryAfterSeconds(const std::optional<std::string> &value);

// The wait before retry number `retry` (from 1): the settings' first wait,
// doubled for every further retry, with a quarter of jitter either way.
double Backoff(const TransferSettings &settings, int retry);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_EXCHANGERULES_HH_
