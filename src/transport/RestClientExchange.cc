#include "RestClientExchange.hh"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "Cancellation.hh"
#include "ExchangeRules.hh"
#include "OptionRanges.hh"
#include "ProgressCounters.hh"
#include "ResponseHeaders.hh"
#include "engine/BlockingTransfer.hh"
#include "engine/Connections.hh"

namespace qx::quarn_tools::internal {
namespace {

constexpr long kMaxRedirects = 3;
constexpr long kKeepAliveIdleSeconds = 120;
constexpr long kKeepAliveIntervalSeconds = 60;
// Only web protocols, for the first request and for redirects alike, so a
// server cannot point the client at local files or other schemes.
constexpr const char *kAllowedProtocols = "http,https";

constexpr const char *kCaBundleVariable = "QX_QUARN_CA_BUNDLE";
constexpr const char *kInsecureVariable = "QX_QUARN_INSECURE";

struct HeaderListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

struct MimeDeleter {
  void operator()(curl_mime *mime) const { curl_mime_free(mime); }
};

struct EasyDeleter {
  void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

// ---------------------------------------------------------------------------
// TLS

// How the server's certificate is checked; read from the environment on
// every request so a process may change it between requests.
void ApplyTls(CURL *easy) {
  std::string insecure;
  if (qx::common::env(kInsecureVariable, insecure) && insecure == "1") {
    static std::once_flag warned;
    std::call_once(warned, [] {
      qxwarn << kInsecureVariable
             << "=1: certificate verification is off; downloads are not protected "
                "against tampering.\n";
    });
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  std::string bundle;
  if (qx::common::env(kCaBundleVariable, bundle))
    curl_easy_setopt(easy, CURLOPT_CAINFO, bundle.c_str());
}

// The first byte of "bytes FIRST-LAST/TOTAL", when it is `first`, and TOTAL.
std::optional<std::uint64_t> RangeTotal(const std::optional<std::string> &contentRange,
                                        std::uint64_t first) {
  if (!contentRange) return std::nullopt;
  unsigned long long from = 0, to = 0, total = 0;
  if (std::sscanf(contentRange->c_str(), "bytes %llu-%llu/%llu", &from, &to, &total) != 3)
    return std::nullopt;
  if (from != first || to + 1 != total) return std::nullopt;
  return total;
}

// ---------------------------------------------------------------------------
// The body

// The most of a redirect's body that is read (and dropped) before the
// connection is given up instead: a redirect is known by its headers.
constexpr std::uint64_t kMaxRedirectBody = 64 * 1024;

// What the body of one exchange is made of so far. One response at a time.
struct Body {
  Body(BodySink &sink, HeaderCollector &headers) : sink(sink), headers(headers) {}

  BodySink &sink;
  HeaderCollector &headers;
  // Per response:
  bool started = false;      // its body was looked at (first byte, or its end)
  bool discard = false;      // a redirect's body, not the body
  bool cutRedirect = false;  // a redirect's body too long to read: given up
  std::uint64_t discarded = 0;
  bool continues = false;  // a 206 that continues the body
  bool badRange = false;   // the server did not continue the body where asked
  std::optional<std::uint64_t> resumeFrom;  // the range asked for
  std::string validator;                    // the ETag the range was asked with
  // Per exchange:
  std::optional<std::uint64_t> total;  // the announced length of the body
  std::uint64_t counted = 0;           // of it, counted as expected progress
  bool refused = false;
  bool tooLong = false;

  void NewResponse(std::optional<std::uint64_t> range, const std::string &etag) {
    started = discard = cutRedirect = continues = badRange = false;
    discarded = 0;
    resumeFrom = range;
    validator = etag;
  }

  // Decides what the body of the response with `status` and the announced
  // `length` (-1: none) is, once its first byte comes or the response ended
  // without one. False when the response must not be taken (a range
  // answered wrongly).
  bool Start(long status, curl_off_t length) {
    started = true;
    if (status >= 300 && status < 400 && status != 304) {
      discard = true;
      return true;
    }
    if (resumeFrom && (status == 206 || status == 416)) {
      if (status == 206 && ContinuesTheBody()) {
        continues = true;
        return true;
      }
      badRange = true;
      return false;
    }
    // A new body from its first byte: what the sink held goes, and will be
    // received again.
    if (sink.Size() > 0) {
      countBytesExpected(sink.Size());
      sink.Restart();
    }
    total = length >= 0 ? std::optional<std::uint64_t>(length) : std::nullopt;
    if (total && *total > counted) {
      countBytesExpected(*total - counted);
      counted = *total;
    }
    return true;
  }

  // Whether a 206 holds the rest of the body: it starts where the sink
  // ends, the whole is as long as announced, and it is the same body (the
  // same entity tag, when it names one).
  bool ContinuesTheBody() const {
    const auto rangeTotal = RangeTotal(headers.Latest("Content-Range"), *resumeFrom);
    const auto etag = headers.Latest("ETag");
    const bool sameEntity = validator.empty() || validator.rfind("\"", 0) != 0 || !etag ||
                            *etag == validator;
    return rangeTotal && rangeTotal == total && sink.Size() == *resumeFrom && sameEntity;
  }

  bool Take(const char *bytes, std::size_t length, long status, curl_off_t announced) {
    if (!started && !Start(status, announced)) return false;
    if (discard) {
      discarded += length;
      cutRedirect = discarded > kMaxRedirectBody;
      return !cutRedirect;
    }
    if (total && sink.Size() + length > *total) {
      tooLong = refused = true;
      return false;
    }
    bool taken = false;
    try {
      taken = sink.Write(bytes, length);
    } catch (...) {
      taken = false;
    }
    if (!taken) {
      refused = true;
      return false;
    }
    countBytesReceived(length);
    return true;
  }
};

// What one request of an exchange receives: header lines for the
// collector, bytes for the body.
class HopReceiver : public engine::Receiver {
 public:
  HopReceiver(HeaderCollector &headers, Body &body) : headers_(headers), body_(body) {}

  void HeaderLine(const std::string &line) override { headers_.Line(line); }
  bool BodyBytes(const char *data, std::size_t size, long status, curl_off_t length) override {
    return body_.Take(data, size, status, length);
  }

 private:
  HeaderCollector &headers_;
  Body &body_;
};

// ---------------------------------------------------------------------------
// Requests and their answers

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

void ReportFailure(const engine::Outcome &outcome) {
  qxerr << "Error in REST request\nlibcurl: (" << static_cast<int>(outcome.code) << ") "
        << outcome.error;
}

// What one request of the exchange brought.
struct Hop {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string redirect;  // where a redirect leads
  engine::Outcome outcome;
};

class Exchange {
 public:
  Exchange(const Outgoing &request, BodySink &sink, const TransferSettings &settings)
      : request_(request),
        sink_(sink),
        settings_(settings),
        url_(request.target),
        origin_(OriginOf(request.target)),
        method_(request.method),
        headers_(request.headers),
        easy_(curl_easy_init()),
        cancel_(CurrentCancelToken()) {}

  RestResponse Run(FormBuilder buildForm, ExchangeFailure *failure) {
    RestResponse response;
    failure_ = failure;
    if (!easy_) {
      qxerr << "[Rest::Request()]: Unable to create a transfer handle.";
      Fail("unable to create a transfer handle");
      return response;
    }
    buildForm_ = buildForm;
    if (!CheckHeaders() || !BuildForm()) return response;
    Body body(sink_, collector_);
    const int tries = 1 + std::clamp(settings_.options.retries, 0, static_cast<int>(kRetriesRange.most));
    for (int attempt = 1;; ++attempt) {
      const Hop hop = FollowRedirects(body);
      if (hop.outcome.cancelled) return Interrupted(response);
      if (!hop.redirect.empty()) return Answer(response, 0);
      if (body.badRange) {
        // The server answered the range wrongly: the body starts over.
        const std::string reason = "the server did not resume at byte " +
                                   std::to_string(*body.resumeFrom) + "; starting over";
        resume_.reset();
        if (attempt < tries) {
          if (!Wait(0, attempt, tries, reason)) return Interrupted(response);
          continue;
        }
        qxerr << "Error in REST request\n[" << url_ << "]: " << reason;
        Fail(reason);
        return Answer(response, 0);
      }
      if (body.refused) {
        const std::string longer = "longer than the " + std::to_string(body.total.value_or(0)) +
                                   " bytes it announced";
        if (body.tooLong) qxerr << "The body from [" << url_ << "] is " << longer;
        if (body.tooLong) Fail("the body is " + longer);
        return Answer(response, 0);
      }
      if (hop.code != CURLE_OK) {
        if (attempt < tries && RetryableError(method_, hop.code)) {
          PrepareResume(body, hop.status);
          if (!Wait(Backoff(settings_, attempt), attempt, tries, curl_easy_strerror(hop.code)))
            return Interrupted(response);
          continue;
        }
        ReportFailure(hop.outcome);
        Fail(hop.outcome.error);
        return Answer(response, 0);
      }
      if (attempt < tries && RetryableStatus(method_, hop.status)) {
        const auto asked = RetryAfterSeconds(collector_.Latest("Retry-After"));
        const double wait =
            asked ? std::min(*asked, settings_.retryAfterCapSeconds) : Backoff(settings_, attempt);
        if (!Wait(wait, attempt, tries, "the server answered " + std::to_string(hop.status)))
          return Interrupted(response);
        resume_.reset();
        continue;
      }
      if (body.continues) {
        // The body resumed: answer as the response it continues (a 200).
        response.statusCode = 200;
        response.headers = resumed_;
        return response;
      }
      return Answer(response, hop.status);
    }
  }

 private:
  // Tells the caller who asked why no whole answer came.
  void Fail(const std::string &text, bool cancelled = false) {
    if (failure_ != nullptr) *failure_ = ExchangeFailure{text, cancelled};
  }

  RestResponse &Answer(RestResponse &response, long status) {
    response.statusCode = static_cast<std::int32_t>(status);
    response.headers = collector_.Merged();
    return response;
  }

  // The caller gave up: no answer, and nothing alarming in the log.
  RestResponse &Interrupted(RestResponse &response) {
    qxdbg << MethodName(method_) << " " << url_ << ": " << kInterrupted << "\n";
    Fail(kInterrupted, true);
    return Answer(response, 0);
  }

  // Every header line must fit a libcurl header list; nothing is sent
  // otherwise.
  bool CheckHeaders() {
    for (const std::string &line : headers_) {
      HeaderList probe(curl_slist_append(nullptr, line.c_str()));
      if (!probe) {
        qxerr << "[Rest::Request()]: Error processing header.\n  [" << line << "]";
        return false;
      }
    }
    return true;
  }

  // A form is built afresh for every request that sends it: libcurl reads
  // its parts once.
  bool BuildForm() {
    if (method_ != HttpMethod::POST_FORM && method_ != HttpMethod::PATCH_FORM) return true;
    mime_.reset(curl_mime_init(easy_.get()));
    return mime_ && buildForm_ != nullptr && request_.form != nullptr &&
           buildForm_(mime_.get(), *request_.form);
  }

  // Sends the request and follows up to three redirects. A redirect that
  // may not be followed ends the exchange with `redirect` set.
  Hop FollowRedirects(Body &body) {
    if (!resume_) collector_.Clear();
    for (long redirects = 0;; ++redirects) {
      if (resume_)
        body.NewResponse(resume_->offset, resume_->validator);
      else
        body.NewResponse(std::nullopt, "");
      Hop hop = Send(body);
      if (hop.outcome.cancelled) return hop;
      if (hop.code != CURLE_OK || !IsRedirect(hop.status) || hop.redirect.empty()) {
        hop.redirect.clear();
        return hop;
      }
      if (redirects + 1 > kMaxRedirects) {
        qxerr << "Error in REST request\nlibcurl: (" << static_cast<int>(CURLE_TOO_MANY_REDIRECTS)
              << ") Maximum (" << kMaxRedirects << ") redirects followed";
        Fail("more than " + std::to_string(kMaxRedirects) + " redirects");
        return hop;
      }
      if (!IsWebUrl(hop.redirect)) {
        qxerr << "Error in REST request\nRefusing the redirect of [" << url_ << "] to ["
              << hop.redirect << "]: only http and https are followed";
        Fail("a redirect to [" + hop.redirect + "], where only http and https are followed");
        return hop;
      }
      Redirect(hop);
    }
  }

  // Credentials stay with the origin they were given for.
  void Redirect(const Hop &hop) {
    const std::string next = OriginOf(hop.redirect);
    if (next != origin_) headers_ = WithoutCredentials(headers_);
    method_ = MethodAfterRedirect(method_, hop.status);
    url_ = hop.redirect;
    resume_.reset();
  }

  Hop Send(Body &body) {
    CURL *easy = easy_.get();
    curl_easy_reset(easy);
    if (sent_++ > 0 && !BuildForm()) {
      Hop failed;
      failed.code = failed.outcome.code = CURLE_OUT_OF_MEMORY;
      failed.outcome.error = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
      return failed;
    }
    std::vector<std::string> lines = headers_;
    if (resume_) {
      lines.push_back("Range: bytes=" + std::to_string(resume_->offset) + "-");
      if (!resume_->validator.empty()) lines.push_back("If-Range: " + resume_->validator);
    }
    HeaderList list;
    for (const std::string &line : lines) {
      curl_slist *appended = curl_slist_append(list.get(), line.c_str());
      if (appended == nullptr) break;
      list.release();
      list.reset(appended);
    }
    SetOptions(easy, list.get());
    Hop hop;
    HopReceiver receiver(collector_, body);
    hop.outcome = engine::Perform(easy, url_, settings_.options.maxStreams, cancel_, receiver);
    hop.code = hop.outcome.code;
    if (hop.outcome.cancelled) return hop;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &hop.status);
    // A redirect whose body was too long to read is a redirect all the same.
    if (hop.code == CURLE_WRITE_ERROR && body.cutRedirect) hop.code = CURLE_OK;
    // A response without a body decides what the body is now.
    if (hop.code == CURLE_OK && !body.started) {
      curl_off_t length = -1;
      if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        length = -1;
      body.Start(hop.status, length);
    }
    char *location = nullptr;
    if (hop.code == CURLE_OK &&
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
        location != nullptr)
      hop.redirect = location;
    // libcurl names no redirect target for a transfer it did not finish.
    if (hop.code == CURLE_OK && body.cutRedirect && hop.redirect.empty())
      hop.redirect = Resolve(url_, collector_.Latest("Location").value_or(""));
    return hop;
  }

  // Every option of one request that holds on both protocols (the engine
  // sets the URL, the protocol and the callbacks). The header list must
  // outlive the request.
  void SetOptions(CURL *easy, curl_slist *list) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);  // time-outs without signals: thread-safe
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, kKeepAliveIdleSeconds);
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, request_.userAgent.c_str());
    if (list != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    ApplyTls(easy);
    // Redirects are followed here, not by libcurl, which would send every
    // header line (credentials included) to wherever they lead.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // A dead server gives up after the connect time-out; a stalled one once
    // less than 1 byte per second moved for the stall time-out.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, settings_.options.connectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, settings_.options.stallTimeoutSeconds);
    // A document has a time limit of its own, so that a server trickling
    // bytes cannot hold the caller for days.
    if (request_.document && (method_ == HttpMethod::GET || method_ == HttpMethod::DELETE))
      curl_easy_setopt(easy, CURLOPT_TIMEOUT, settings_.options.documentTimeoutSeconds);
    // A kept connection may have been closed by the server meanwhile, and
    // libcurl then sends the request again on a new one. That is harmless
    // for a GET, but a write must reach the server once: it gets a
    // connection of its own, on either protocol (an HTTP/2 stream refused by
    // the server, which libcurl may send again, was never processed).
    if (method_ != HttpMethod::GET) curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    SetMethod(easy);
  }

  void SetMethod(CURL *easy) {
    switch (method_) {
      case HttpMethod::GET:
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        break;
      case HttpMethod::POST:
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request_.data->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request_.data->c_str());
        break;
      case HttpMethod::DELETE:
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
      case HttpMethod::PATCH_FORM:
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PATCH");
        curl_easy_setopt(easy, CURLOPT_MIMEPOST, mime_.get());
        break;
      default:
        curl_easy_setopt(easy, CURLOPT_MIMEPOST, mime_.get());
        break;
    }
  }

  // After a GET broke off part-way: the next try asks for the rest when the
  // body was a 200 (or its continuation) whose length the server gave, and
  // the server takes ranges and names the body by a strong entity tag or a
  // modification time (so a body that changed meanwhile is sent whole
  // again, never spliced onto the old one's start).
  void PrepareResume(const Body &body, long status) {
    const std::uint64_t have = sink_.Size();
    const bool broken = resume_ ? body.continues : status == 200;
    if (method_ != HttpMethod::GET || !broken || !body.total || have == 0 ||
        have >= *body.total) {
      resume_.reset();
      return;
    }
    if (!resume_) {
      const bool takesRanges =
          qx::common::lowercase(collector_.Latest("Accept-Ranges").value_or("")) == "bytes";
      const std::string validator = ResumeValidator();
      if (!takesRanges || validator.empty()) return;
      resumed_ = collector_.Merged();
      Resume resume;
      resume.validator = validator;
      resume_ = resume;
    }
    resume_->offset = have;
  }

  // A strong entity tag of the latest response, else its Last-Modified;
  // empty when it has neither (a weak tag does not name the bytes).
  std::string ResumeValidator() const {
    const std::string etag = collector_.Latest("ETag").value_or("");
    if (!etag.empty() && etag.front() == '"') return etag;
    return collector_.Latest("Last-Modified").value_or("");
  }

  // Waits before the next try; false when the caller gave up meanwhile.
  bool Wait(double seconds, int attempt, int tries, const std::string &reason) {
    if (cancel_.Cancelled()) return false;
    qxwarn << "Retrying " << MethodName(method_) << " " << url_ << " in " << Seconds(seconds)
           << " s (try " << attempt + 1 << " of " << tries << "): " << reason
           << (resume_ ? ", resuming at byte " + std::to_string(resume_->offset) : "");
    return cancel_.SleepFor(std::chrono::duration<double>(seconds));
  }

  struct Resume {
    std::uint64_t offset = 0;
    std::string validator;  // ETag or Last-Modified of the body
  };

  const Outgoing &request_;
  BodySink &sink_;
  const TransferSettings &settings_;
  ExchangeFailure *failure_ = nullptr;
  std::string url_;
  const std::string origin_;  // where the credentials belong
  HttpMethod method_;
  std::vector<std::string> headers_;
  EasyHandle easy_;
  const CancelToken cancel_;
  FormBuilder buildForm_ = nullptr;
  std::unique_ptr<curl_mime, MimeDeleter> mime_;
  int sent_ = 0;  // requests sent so far
  HeaderCollector collector_;
  std::optional<Resume> resume_;
  std::map<std::string, std::string> resumed_;  // headers of the body resumed
};

}  // namespace

RestResponse PerformExchange(const Outgoing &request, FormBuilder buildForm, BodySink &sink,
                             ExchangeFailure *failure) {
  if (failure != nullptr) *failure = ExchangeFailure();
  const TransferSettings settings = CurrentTransferSettings();
  Exchange exchange(request, sink, settings);
  return exchange.Run(buildForm, failure);
}

}  // namespace qx::quarn_tools::internal
