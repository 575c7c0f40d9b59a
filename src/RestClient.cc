// The transport's front: Rest::Request and RequestToSink build the target
// URL and the form; RestClientExchange.cc makes the exchange, whose requests
// the transfer engine (engine/) runs. The transport is the only component
// that talks to libcurl.
#include "qx/quarn_tools/RestClient.hh"

#include <curl/curl.h>

#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include <qx/common/Console.hh>
#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "OptionRanges.hh"
#include "RestClientExchange.hh"
#include "RestClientInternal.hh"
#include "engine/BlockingTransfer.hh"
#include "engine/Connections.hh"
#include "qx/quarn_tools/ByteSizes.hh"

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
struct CurlStringDeleter {
  void operator()(char *text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

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
std::string EscapeRoute(const std::string &route) {
  if (route.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
  int length = 0;
  CurlString raw(curl_easy_unescape(nullptr, route.c_str(), static_cast<int>(route.size()),
                                    &length));
  if (!raw) return std::string();
  CurlString escaped(curl_easy_escape(nullptr, raw.get(), length));
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

std::string BuildTarget(const std::string &url, const std::string &version,
                        const std::string &route,
                        const std::vector<std::string> &queryStrings) {
  std::string target = url;
  if (!version.empty()) target = JoinUrl(target, version);
  if (!route.empty()) target = JoinUrl(target, EscapeRoute(route));
  return target + BuildQuery(queryStrings);
}

// The body kept in memory, for Rest::Request, up to the largest document
// the settings allow.
class StringSink : public internal::BodySink {
 public:
  StringSink(std::string from, std::uint64_t limit) : from_(std::move(from)), limit_(limit) {}

  bool Write(const char *data, std::size_t size) override {
    if (size > limit_ - body_.size()) {
      qxerr << "The answer of [" << from_ << "] is larger than the limit of " << limit_
            << " bytes (" << humanBytes(limit_)
            << "; transfer: max-document-size in the configuration)";
      return false;
    }
    try {
      body_.append(data, size);
    } catch (...) {
      qxerr << "[Rest::Request()]: out of memory for the answer of [" << from_ << "]";
      return false;
    }
    return true;
  }
  bool Restart() override {
    body_.clear();
    return true;
  }
  std::uint64_t Size() const override { return body_.size(); }
  std::string Take() { return std::move(body_); }

 private:
  std::string from_;
  std::uint64_t limit_;
  std::string body_;
};

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

bool IsSupported(HttpMethod method) {
  switch (method) {
    case HttpMethod::GET:
    case HttpMethod::POST:
    case HttpMethod::DELETE:
    case HttpMethod::POST_FORM:
    case HttpMethod::PATCH_FORM:
      return true;
    default:
      return false;
  }
}

// The settings stored by the latest client; the environment goes on top
// when they are read.
std::mutex gSettingsMutex;
internal::TransferSettings gSettings;

template <typename Field>
void FromEnvironment(const char *variable, Field &field,
                     internal::OptionRange range = {0, std::numeric_limits<Field>::max()}) {
  std::string text;
  if (!qx::common::env(variable, text)) return;
  std::uint64_t value = 0;
  if (!parseByteSize(text, value) || value < range.least || value > range.most) {
    static std::once_flag warned;
    std::call_once(warned, [&] {
      qxwarn << variable << "=" << text << " is not a number from " << range.least << " to "
             << range.most << "; ignored\n";
    });
    return;
  }
  field = static_cast<Field>(value);
}

}  // namespace

namespace internal {

TransferSettings CurrentTransferSettings() {
  TransferSettings settings;
  {
    std::lock_guard<std::mutex> lock(gSettingsMutex);
    settings = gSettings;
  }
  FromEnvironment("QX_QUARN_RETRIES", settings.options.retries, internal::kRetriesRange);
  FromEnvironment("QX_QUARN_CONNECT_TIMEOUT", settings.options.connectTimeoutSeconds,
                  internal::kTimeoutRange);
  FromEnvironment("QX_QUARN_STALL_TIMEOUT", settings.options.stallTimeoutSeconds,
                  internal::kTimeoutRange);
  FromEnvironment("QX_QUARN_DOCUMENT_TIMEOUT", settings.options.documentTimeoutSeconds,
                  internal::kTimeoutRange);
  FromEnvironment("QX_QUARN_MAX_DOCUMENT_SIZE", settings.options.maxDocumentSize);
  FromEnvironment("QX_QUARN_MAX_STREAMS", settings.options.maxStreams, internal::kMaxStreamsRange);
  return settings;
}

long RequestsPerConnection(const std::string &url) {
  return engine::Multiplexes(url) ? CurrentTransferSettings().options.maxStreams : 1;
}

void CloseIdleConnections() { engine::CloseIdleConnections(); }

void UseTransferOptions(const TransferOptions &options) {
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  gSettings.options = options;
}

TransferSettings SetTransferSettings(const TransferSettings &settings) {
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  const TransferSettings previous = gSettings;
  gSettings = settings;
  return previous;
}

RestResponse RequestToSink(const std::string &userAgent, const std::string &url,
                           const std::string &version, const std::string &path,
                           const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, BodySink &sink,
                           ExchangeFailure *failure) {
  if (failure != nullptr) *failure = ExchangeFailure();
  if (url.empty()) return RestResponse();
  try {
    InitCurlOnce();
    Outgoing request;
    request.target = BuildTarget(url, version, path, queryStrings);
    request.headers = headers;
    request.userAgent = userAgent;
    return PerformExchange(request, nullptr, sink, failure);
  } catch (const std::exception &error) {
    qxerr << "[Rest::Request()]: " << error.what();
    if (failure != nullptr) failure->text = error.what();
  } catch (...) {
    qxerr << "[Rest::Request()]: unknown failure";
    if (failure != nullptr) failure->text = "unknown failure";
  }
  return RestResponse();
}

}  // namespace internal

RestResponse Rest::Request(HttpMethod method, const std::string &url,
                           const std::string &version, const std::string &path,
                           const std::vector<std::string> &queryStrings,
                           const std::vector<std::string> &headers, const std::string &data,
                           const std::multimap<std::string, std::string> &form) const {
  if (url.empty()) return RestResponse();
  if (!IsSupported(method)) {
    qxerr << "Unsupported method";
    return RestResponse();
  }
  try {
    internal::InitCurlOnce();
    internal::Outgoing request;
    request.method = method;
    request.target = BuildTarget(url, version, path, queryStrings);
    request.headers = headers;
    request.userAgent = userAgent;
    request.data = &data;
    request.form = &form;
    request.document = true;
    StringSink body(request.target, internal::CurrentTransferSettings().options.maxDocumentSize);
    RestResponse response = internal::PerformExchange(request, BuildForm, body);
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
