// The only source that talks to libcurl.
#include "qx/quarn_tools/RestClient.hh"

#include <curl/curl.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "ProgressCounters.hh"
#include "RestClientInternal.hh"

namespace qx::quarn_tools {
namespace {

// MIME types of uploaded files by lower-case extension (dot included). Read
// only by the form builder.
const std::map<std::string, std::string> kContentTypes = {
    {".config", "text/xml"},   {".bvh", "text/plain"},      {".dae", "text/xml"},
    {".erb", "text/plain"},    {".obj", "text/plain"},      {".gif", "image/gif"},
    {".glsl", "text/plain"},   {".htm", "text/html"},       {".html", "text/html"},
    {".jpg", "image/jpeg"},    {".jpeg", "image/jpeg"},     {".json", "text/json"},
    {".material", "text/plain"}, {".md", "text/plain"},     {".mtl", "text/plain"},
    {".pbtxt", "text/json"},   {".pdf", "application/pdf"}, {".png", "image/png"},
    {".sdf", "text/xml"},      {".stl", "text/plain"},      {".svg", "image/svg+xml"},
    {".tga", "image/tga"},     {".txt", "text/plain"},      {".urdf", "text/xml"},
    {".xml", "text/xml"},
};

constexpr const char *kDefaultContentType = "application/octet-stream";
constexpr long kMaxRedirects = 3;
constexpr long kKeepAliveIdleSeconds = 120;
constexpr long kKeepAliveIntervalSeconds = 60;
// Only web protocols, for the first request and for redirects alike, so a
// server cannot point the client at local files or other schemes.
constexpr const char *kAllowedProtocols = "http,https";

constexpr const char *kCaBundleVariable = "QX_QUARN_CA_BUNDLE";
constexpr const char *kInsecureVariable = "QX_QUARN_INSECURE";

std::atomic<long> gConnectTimeoutSeconds{internal::TransferLimits{}.connectTimeoutSeconds};
std::atomic<long> gLowSpeedTimeSeconds{internal::TransferLimits{}.lowSpeedTimeSeconds};

// libcurl's global state is set up once per process, before the first easy
// handle, whichever thread gets here first (the others wait).
void InitCurlOnce() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  static std::once_flag reported;
  if (code != CURLE_OK) {
    std::call_once(reported, [] {
      qxerr << "[Rest::Request()]: libcurl initialisation failed: " << curl_easy_strerror(code);
    });
  }
}

// How the server's certificate is checked; read from the environment on
// every request so a process may change it between requests.
struct TlsSettings {
  bool verify = true;
  std::string caBundle;
};

TlsSettings ReadTlsSettings() {
  TlsSettings tls;
  std::string insecure;
  if (qx::common::env(kInsecureVariable, insecure) && insecure == "1") tls.verify = false;
  qx::common::env(kCaBundleVariable, tls.caBundle);
  return tls;
}

void WarnInsecureOnce() {
  static std::once_flag warned;
  std::call_once(warned, [] {
    qxwarn << kInsecureVariable
           << "=1: certificate verification is off; downloads are not protected "
              "against tampering.\n";
  });
}

struct EasyDeleter {
  void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct HeaderListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
  void operator()(curl_mime *mime) const { curl_mime_free(mime); }
};
struct CurlStringDeleter {
  void operator()(char *text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Owns everything libcurl hands out for one request, so no return path leaks.
// The easy handle is declared last and therefore released first.
class CurlHolder {
 public:
  CurlHolder() : easy_(curl_easy_init()) {
    errorBuffer_[0] = '\0';
    if (easy_) mime_.reset(curl_mime_init(easy_.get()));
  }

  bool Valid() const { return easy_ && mime_; }
  CURL *Easy() const { return easy_.get(); }
  curl_slist *Headers() const { return headers_.get(); }
  curl_mime *Mime() const { return mime_.get(); }
  char *ErrorBuffer() { return errorBuffer_; }

  // Appends one raw header line; false (list unchanged) on failure.
  bool AppendHeader(const std::string &line) {
    curl_slist *list = curl_slist_append(headers_.get(), line.c_str());
    if (list == nullptr) return false;
    headers_.release();
    headers_.reset(list);
    return true;
  }

 private:
  char errorBuffer_[CURL_ERROR_SIZE];
  std::unique_ptr<curl_mime, MimeDeleter> mime_;
  std::unique_ptr<curl_slist, HeaderListDeleter> headers_;
  std::unique_ptr<CURL, EasyDeleter> easy_;
};

// `left` and `right` with exactly one slash at the seam.
std::string JoinUrl(const std::string &left, const std::string &right) {
  if (left.empty()) return right;
  if (right.empty()) return left;
  const bool leftSlash = left.back() == '/';
  const bool rightSlash = right.front() == '/';
  if (leftSlash && rightSlash) return left + right.substr(1);
  if (leftSlash || rightSlash) return left + right;
  return left + "/" + right;
}

// The route as one escaped piece: escapes already present are undone first,
// so they are not escaped twice.
std::string EscapeRoute(CURL *easy, const std::string &route) {
  if (route.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
  int length = 0;
  CurlString raw(curl_easy_unescape(easy, route.c_str(), static_cast<int>(route.size()),
                                    &length));
  if (!raw) return std::string();
  CurlString escaped(curl_easy_escape(easy, raw.get(), length));
  return escaped ? std::string(escaped.get()) : std::string();
}

// "?a&b&c", or the empty text for no items or a single empty one.
std::string BuildQuery(const std::vector<std::string> &items) {
  if (items.empty()) return std::string();
  std::string query = "?";
  for (const std::string &item : items) query += item + "&";
  query.pop_back();
  return query == "?" ? std::string() : query;
}

std::string BuildTarget(CURL *easy, const std::string &url, const std::string &version,
                        const std::string &route,
                        const std::vector<std::string> &queryStrings) {
  std::string target = url;
  if (!version.empty()) target = JoinUrl(target, version);
  if (!route.empty()) target = JoinUrl(target, EscapeRoute(easy, route));
  return target + BuildQuery(queryStrings);
}

// The body kept in memory, for Rest::Request.
class StringSink : public internal::BodySink {
 public:
  bool Write(const char *data, std::size_t size) override {
    try {
      body_.append(data, size);
    } catch (...) {
      return false;  // out of memory: the transfer stops
    }
    return true;
  }
  bool ReportsRefusal() const override { return false; }
  std::string Take() { return std::move(body_); }

 private:
  std::string body_;
};

// Hands the body to its sink, remembering whether the sink stopped it.
struct BodyTarget {
  internal::BodySink &sink;
  bool refused = false;
};

size_t WriteBody(char *bytes, size_t size, size_t count, void *target) {
  const size_t length = size * count;
  BodyTarget &body = *static_cast<BodyTarget *>(target);
  bool taken = false;
  try {
    taken = body.sink.Write(bytes, length);
  } catch (...) {
    taken = false;
  }
  if (!taken) {
    body.refused = true;
    return 0;  // libcurl aborts the transfer
  }
  internal::countBytesReceived(length);
  return length;
}

// Collects the header lines of every response of a transfer (redirects
// included), one map per response, and merges them at the end.
class HeaderCollector {
 public:
  void Line(const std::string &line) {
    // A status line opens the header block of a new response.
    if (line.compare(0, 5, "HTTP/") == 0) {
      responses_.emplace_back();
      return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return;  // the empty line ending a block
    if (responses_.empty()) responses_.emplace_back();
    // The colon and the character after it (normally a blank) are skipped;
    // the value keeps the line terminator. Within one response the first
    // value of a name wins.
    const std::size_t start = colon + 2;
    std::string value = start <= line.size() ? line.substr(start) : std::string();
    responses_.back().emplace(line.substr(0, colon), std::move(value));
  }

  // The final response's headers, plus the names only earlier responses
  // carried (the most recent of those wins).
  std::map<std::string, std::string> Merged() const {
    std::map<std::string, std::string> merged;
    for (auto it = responses_.rbegin(); it != responses_.rend(); ++it) {
      for (const auto &entry : *it) merged.insert(entry);
    }
    return merged;
  }

 private:
  std::vector<std::map<std::string, std::string>> responses_;
};

size_t WriteHeader(char *bytes, size_t size, size_t count, void *target) {
  const size_t length = size * count;
  if (target == nullptr) return length;
  try {
    static_cast<HeaderCollector *>(target)->Line(std::string(bytes, length));
  } catch (...) {
    return 0;
  }
  return length;
}

// The MIME type of an uploaded file, from the extension of the last
// component of its path.
std::string ContentTypeFor(const std::string &filePath) {
  const std::string last = qx::common::basename(filePath);
  const std::size_t dot = last.rfind('.');
  if (dot == std::string::npos) return kDefaultContentType;
  const auto found = kContentTypes.find(qx::common::lowercase(last.substr(dot)));
  if (found != kContentTypes.end()) return found->second;
  qxwarn << "Unknown mime type for file[" << filePath << "]. The mime type '"
         << kDefaultContentType << "' will be used.\n";
  return kDefaultContentType;
}

// "@path" uploads the file at path under its own name; "@path;name" uploads
// it under `name`. Anything else is a plain field.
bool AddFormPart(curl_mime *mime, const std::string &name, const std::string &value) {
  curl_mimepart *part = curl_mime_addpart(mime);
  if (part == nullptr || curl_mime_name(part, name.c_str()) != CURLE_OK) {
    qxerr << "[Rest::Request()]: Error building the form.";
    return false;
  }
  if (value.empty() || value.front() != '@') {
    return curl_mime_data(part, value.data(), value.size()) == CURLE_OK;
  }
  std::string filePath = value.substr(1);
  std::string fileName = qx::common::basename(filePath);
  const std::size_t semicolon = value.find(';');
  if (semicolon != std::string::npos) {
    filePath = value.substr(1, semicolon - 1);
    fileName = value.substr(semicolon + 1);
  }
  const std::string type = ContentTypeFor(filePath);
  // An unreadable file stops the request before anything is sent, rather
  // than leaving the server a half-sent upload.
  if (curl_mime_filedata(part, filePath.c_str()) != CURLE_OK) {
    qxerr << "[Rest::Request()]: Unable to read the file [" << filePath << "] of form field ["
          << name << "]";
    return false;
  }
  // The file name goes after the data source, which would otherwise replace
  // it with the path's last component.
  return curl_mime_filename(part, fileName.c_str()) == CURLE_OK &&
         curl_mime_type(part, type.c_str()) == CURLE_OK;
}

bool BuildForm(curl_mime *mime, const std::multimap<std::string, std::string> &form) {
  for (const auto &[name, value] : form) {
    if (!AddFormPart(mime, name, value)) return false;
  }
  return true;
}

void ApplyTls(CURL *easy) {
  const TlsSettings tls = ReadTlsSettings();
  if (!tls.verify) {
    WarnInsecureOnce();
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!tls.caBundle.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, tls.caBundle.c_str());
}

// Every option that does not depend on the method. `target`, `body` and
// `headers` must outlive the transfer.
void PrepareCommon(CurlHolder &curl, const std::string &userAgent, const std::string &target,
                   BodyTarget *body, HeaderCollector *headers) {
  CURL *easy = curl.Easy();
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);  // time-outs without signals: thread-safe
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, kKeepAliveIdleSeconds);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());
  if (curl.Headers() != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, curl.Headers());
  curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
  // HTTP/1.1 keeps header names as the server wrote them ("Content-Type",
  // "Link"), which is how callers look them up; HTTP/2 would lower-case them.
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, WriteHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, headers);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curl.ErrorBuffer());
  ApplyTls(easy);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  // A dead server gives up after the connect time-out; a stalled one once
  // less than 1 byte per second moved for the low-speed time.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, gConnectTimeoutSeconds.load());
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, gLowSpeedTimeSeconds.load());
}

// Sets what the method needs; false (with the error logged) when the method
// is not supported or the form cannot be built.
bool ApplyMethod(CurlHolder &curl, HttpMethod method, const std::string &data,
                 const std::multimap<std::string, std::string> &form) {
  CURL *easy = curl.Easy();
  switch (method) {
    case HttpMethod::GET:
      return true;
    case HttpMethod::POST:
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data.c_str());
      return true;
    case HttpMethod::DELETE:
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
      return true;
    case HttpMethod::POST_FORM:
    case HttpMethod::PATCH_FORM:
      if (!BuildForm(curl.Mime(), form)) return false;
      if (method == HttpMethod::PATCH_FORM) curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PATCH");
      curl_easy_setopt(easy, CURLOPT_MIMEPOST, curl.Mime());
      return true;
    default:
      qxerr << "Unsupported method";
      return false;
  }
}

// libcurl's own explanation goes into the same log entry, so verbosity
// decides about it as about every other line.
void ReportFailure(CURLcode code, const char *errorBuffer) {
  const std::string detail = errorBuffer;
  qxerr << "Error in REST request\nlibcurl: (" << static_cast<int>(code) << ") "
        << (detail.empty() ? curl_easy_strerror(code) : detail.c_str());
}

RestResponse Perform(HttpMethod method, const std::string &url, const std::string &version,
                     const std::string &path, const std::vector<std::string> &queryStrings,
                     const std::vector<std::string> &headers, const std::string &data,
                     const std::multimap<std::string, std::string> &form,
                     const std::string &userAgent, internal::BodySink &sink) {
  RestResponse response;
  if (url.empty()) return response;

  InitCurlOnce();
  CurlHolder curl;
  if (!curl.Valid()) {
    qxerr << "[Rest::Request()]: Unable to create a transfer handle.";
    return response;
  }
  for (const std::string &line : headers) {
    if (!curl.AppendHeader(line)) {
      qxerr << "[Rest::Request()]: Error processing header.\n  [" << line << "]";
      return response;
    }
  }
  const std::string target = BuildTarget(curl.Easy(), url, version, path, queryStrings);
  BodyTarget body{sink};
  HeaderCollector collector;
  PrepareCommon(curl, userAgent, target, &body, &collector);
  if (!ApplyMethod(curl, method, data, form)) return response;

  const CURLcode code = curl_easy_perform(curl.Easy());
  long status = 0;
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl.Easy(), CURLINFO_RESPONSE_CODE, &status);
  } else if (!body.refused || !sink.ReportsRefusal()) {
    // A transfer cut short is no success, whatever status line came first;
    // what did arrive stays in data and headers.
    ReportFailure(code, curl.ErrorBuffer());
  }
  response.statusCode = static_cast<std::int32_t>(status);
  response.headers = collector.Merged();
  return response;
}

}  // namespace

namespace internal {

TransferLimits CurrentTransferLimits() {
  TransferLimits limits;
  limits.connectTimeoutSeconds = gConnectTimeoutSeconds.load();
  limits.lowSpeedTimeSeconds = gLowSpeedTimeSeconds.load();
  return limits;
}

TransferLimits SetTransferLimits(const TransferLimits &limits) {
  const TransferLimits previous = CurrentTransferLimits();
  gConnectTimeoutSeconds.store(limits.connectTimeoutSeconds);
  gLowSpeedTimeSeconds.store(limits.lowSpeedTimeSeconds);
  return previous;
}

RestResponse RequestToSink(const std::string &userAgent, HttpMethod method,
                           const std::string &url, const std::string &version,
                           const std::string &path, const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, BodySink &sink) {
  try {
    return Perform(method, url, version, path, queryStrings, headers, "", {}, userAgent, sink);
  } catch (const std::exception &error) {
    qxerr << "[Rest::Request()]: " << error.what();
  } catch (...) {
    qxerr << "[Rest::Request()]: unknown failure";
  }
  return RestResponse();
}

}  // namespace internal

RestResponse Rest::Request(HttpMethod method, const std::string &url,
                           const std::string &version, const std::string &path,
                           const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, const std::string &data,
                           const std::multimap<std::string, std::string> &form) const {
  try {
    StringSink body;
    RestResponse response =
        Perform(method, url, version, path, queryStrings, headers, data, form, userAgent, body);
    response.data = body.Take();
    return response;
  } catch (const std::exception &error) {
    qxerr << "[Rest::Request()]: " << error.what();
  } catch (...) {
    qxerr << "[Rest::Request()]: unknown failure";
  }
  return RestResponse();
}

void Rest::SetUserAgent(const std::string &agent) { userAgent = agent; }

const std::string &Rest::UserAgent() const { return userAgent; }

}  // namespace qx::quarn_tools
