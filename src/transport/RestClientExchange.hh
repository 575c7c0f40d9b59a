/*
 * One exchange with a server, as Rest::Request and RequestToSink make it:
 * the rules that hold whatever the protocol. Each request goes to the
 * process's transfer engine (engine/), on a connection it shares; redirects
 * are followed here (so credentials never travel to another origin), what
 * failed in a way worth trying again is retried with back-off (a stream
 * reset or a GOAWAY like a dropped connection), and a body that breaks off
 * resumes with a range request. The calling thread's cancellation token
 * (Cancellation.hh) ends the exchange at once. Internal to the transport;
 * any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_RESTCLIENTEXCHANGE_HH_
#define QX_QUARN_TOOLS_SRC_RESTCLIENTEXCHANGE_HH_

#include <curl/curl.h>

#include <map>
#include <string>
#include <vector>

#include "RestClientInternal.hh"
#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools::internal {

// What one exchange sends.
struct Outgoing {
  HttpMethod method = HttpMethod::GET;
  std::string target;  // the whole URL, query included
  std::vector<std::string> headers;
  std::string userAgent;
  const std::string *data = nullptr;                              // POST
  const std::multimap<std::string, std::string> *form = nullptr;  // forms
  // A document kept in memory (Rest::Request), not a body streamed to a
  // sink: its GET or DELETE has the document time-out.
  bool document = false;
};

// Fills a multipart form; false, having logged why, when it cannot.
using FormBuilder = bool (*)(curl_mime *mime, const std::multimap<std::string, std::string> &form);

// Sends `request` (GET, POST, DELETE, POST_FORM or PATCH_FORM) and gives
// its body to `sink`; the response's status and headers. Failures are
// logged (a cancelled exchange only at debug level); statusCode is 0 when
// no whole answer came, and `failure` (when given) then says why.
RestResponse PerformExchange(const Outgoing &request, FormBuilder buildForm, BodySink &sink,
                             ExchangeFailure *failure = nullptr);

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_RESTCLIENTEXCHANGE_HH_
