#include "qx/quarn_server/RepositoryServer.hh"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include <qx/common/Console.hh>

#include "ArchiveStore.hh"
#include "Catalogue.hh"
#include "FileDelivery.hh"
#include "Publisher.hh"
#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"
#include "RouteTable.hh"
#include "Scripts.hh"
#include "PooledServer.hh"

namespace qx::quarn_server {

const char *const kVersionHeader = "X-Qel-Resource-Version";
const char *const kApiKeyHeader = "Private-token";

namespace {

// How many requests the log keeps, and how many bytes of stored bodies.
const std::size_t kLogLimit = 10000;
const std::size_t kLogByteLimit = 64u << 20;
// Largest request body accepted.
const std::size_t kPayloadLimit = 64u << 20;
// Idle kept connections are closed after this long.
const time_t kKeepAliveSeconds = 1;
// As many requests per connection as nginx takes (cpp-httplib's own
// default closes a connection after five).
const std::size_t kRequestsPerConnection = 1000;
// Connections that may wait to be accepted (the system caps it at its
// own limit, net.core.somaxconn on Linux).
const int kListenBacklog = 4096;
// How long Start waits for the listening thread to come up.
const std::chrono::seconds kStartWait(10);
// What a client answered 503 because every thread is busy is asked to wait.
const int kRetryAfterSeconds = 5;
// Set on replies that must go out without a Content-Type header (cpp-httplib
// adds "text/plain" to every body otherwise); removed before sending.
const char kOmitContentType[] = "X-Qx-Omit-Content-Type";
// Set on every reply of ours, so that the error handler tells them from
// cpp-httplib's own answers; removed before sending.
const char kAnswered[] = "X-Qx-Answered";
// Set on replies sent from files, which honour ranges; cpp-httplib
// announces "Accept-Ranges: bytes" on every HEAD answer otherwise.
const char kFromFile[] = "X-Qx-From-File";

// Headers cpp-httplib adds to a request for its own use.
bool addedByHttplib(const std::string &name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

std::size_t bodySizeOf(const httplib::Request &request) {
  if (!request.is_multipart_form_data()) return request.body.size();
  const std::string length = request.get_header_value("Content-Length");
  if (!length.empty()) return std::strtoull(length.c_str(), nullptr, 10);
  std::size_t total = 0;
  for (const auto &part : request.files) total += part.second.content.size();
  return total;
}

// The body bytes a record keeps.
std::size_t storedBytes(const RequestRecord &record) {
  std::size_t bytes = record.body.size();
  for (const FormPart &part : record.form) bytes += part.content.size();
  return bytes;
}

RequestRecord recordOf(const httplib::Request &request, const Target &target) {
  RequestRecord record;
  record.method = request.method;
  record.target = request.target;
  record.route = target.route;
  record.query = target.query;
  record.peer = request.remote_addr + ":" + std::to_string(request.remote_port);
  for (const auto &header : request.headers)
    if (!addedByHttplib(header.first)) record.headers.push_back(header);
  record.bodySize = bodySizeOf(request);
  record.body = request.body.substr(0, RequestRecord::kStoredBodyLimit);
  for (const auto &part : request.files) {
    record.form.push_back({part.second.name, part.second.filename, part.second.content_type,
                           part.second.content.substr(0, RequestRecord::kStoredBodyLimit)});
  }
  return record;
}

// What the publisher needs of a write: the form parts whole.
WriteRequest writeRequestOf(const httplib::Request &request, const Target &target) {
  WriteRequest write;
  write.method = request.method;
  write.route = target.route;
  if (request.has_header(kApiKeyHeader)) write.apiKey = request.get_header_value(kApiKeyHeader);
  write.multipart = request.is_multipart_form_data();
  for (const auto &part : request.files)
    write.parts.push_back({part.second.name, part.second.filename, part.second.content});
  return write;
}

// Counts a request as being answered for as long as it lives.
class Answering {
 public:
  explicit Answering(std::atomic<std::size_t> &count) : count_(count), now_(++count) {}
  ~Answering() { --count_; }
  Answering(const Answering &) = delete;
  Answering &operator=(const Answering &) = delete;
  // How many requests were being answered when this one arrived, itself
  // included.
  std::size_t Now() const { return now_; }

 private:
  std::atomic<std::size_t> &count_;
  const std::size_t now_;
};

// A Host header made only of the characters a host and port may hold.
bool plausibleHost(const std::string &host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
  });
}

// Sends `length` bytes of `file` from `offset` on, through one buffer of
// at most RepositoryServer::kSendBufferSize bytes, then `fail`s the
// transfer (which closes the connection) when `announced` is longer.
void provideFile(httplib::Response &response, std::shared_ptr<const OpenFile> file,
                 std::uint64_t offset, std::uint64_t length, std::uint64_t announced) {
  const std::size_t bufferSize = static_cast<std::size_t>(
      std::min<std::uint64_t>(RepositoryServer::kSendBufferSize, std::max<std::uint64_t>(length, 1)));
  auto buffer = std::make_shared<std::vector<char>>();
  response.set_content_provider(
      static_cast<std::size_t>(announced), "",
      [file, offset, length, bufferSize, buffer](std::size_t at, std::size_t,
                                                 httplib::DataSink &sink) {
        if (at >= length) return false;
        if (buffer->empty()) buffer->resize(bufferSize);
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, length - at));
        const long got = file->Read(offset + at, buffer->data(), want);
        // A file that shrank or fails to read ends the transfer short.
        if (got <= 0) return false;
        return sink.write(buffer->data(), static_cast<std::size_t>(got));
      });
}

// Moves `reply` into `response`. A truncated reply goes out through a
// content provider that announces the longer length, sends the first bytes
// and then fails, which makes cpp-httplib close the connection.
void sendReply(Reply reply, httplib::Response &response) {
  response.status = reply.status;
  const std::uint64_t size = reply.BodySize();
  const std::uint64_t sent = reply.truncateAfter ? std::min<std::uint64_t>(*reply.truncateAfter, size) : size;
  const std::uint64_t announced = reply.truncateAfter ? std::max(size, sent + 1) : size;
  if (reply.file && announced > 0) {
    provideFile(response, reply.file, reply.fileOffset, sent, announced);
    response.headers.erase("Content-Type");
  } else if (reply.truncateAfter) {
    auto body = std::make_shared<const std::string>(std::move(reply.body));
    response.set_content_provider(
        announced, "", [body, sent](std::size_t offset, std::size_t, httplib::DataSink &sink) {
          if (offset >= sent) return false;
          return sink.write(body->data() + offset, sent - offset);
        });
    response.headers.erase("Content-Type");
  } else {
    response.body = std::move(reply.body);
  }
  for (const auto &header : reply.headers) response.headers.insert(header);
  if (!reply.Header("Content-Type")) response.headers.emplace(kOmitContentType, "1");
  if (reply.file) response.headers.emplace(kFromFile, "1");
  response.headers.emplace(kAnswered, "1");
}

// What decides how a file goes out.
DeliveryConditions deliveryConditionsOf(const httplib::Request &request) {
  const auto header = [&](const char *name) -> std::optional<std::string> {
    if (!request.has_header(name)) return std::nullopt;
    return request.get_header_value(name);
  };
  return {request.method, header("If-None-Match"), header("If-Modified-Since"), header("Range"),
          header("If-Range")};
}

// 64-bit FNV-1a of `text`, in hexadecimal.
std::string textHash(const std::string &text) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

// Writes "\rBuilding archives: DONE/TOTAL" on a terminal.
void showBuildProgress(std::size_t done, std::size_t total) {
  if (!::isatty(STDERR_FILENO) || total == 0) return;
  std::fprintf(stderr, "\rBuilding archives: %zu/%zu", done, total);
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

std::optional<std::string> RequestRecord::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameHeaderName(header.first, name)) return header.second;
  return std::nullopt;
}

struct RepositoryServer::Implementation {
  Implementation(std::string rootPath, Options serverOptions)
      : root(std::move(rootPath)), options(std::move(serverOptions)) {}

  bool Tls() const { return !options.certFile.empty() || !options.keyFile.empty(); }
  std::unique_ptr<PooledServer> MakeServer() const;
  void Configure(httplib::Server &server);
  bool Listen();
  bool OpenArchiveStore();
  void RemoveTemporaryStore();
  void StopLocked();

  void Handle(const httplib::Request &request, httplib::Response &response);
  // `target` with its route cleared when it is not below our API version.
  Target TargetOf(const httplib::Request &request) const;
  Reply Answer(const httplib::Request &request, const Target &target);
  void Log(const RequestRecord &record);
  // Waits `delay` (a day at most), or until the server stops.
  void Wait(std::chrono::milliseconds delay);
  std::string Authority() const;
  std::string LinkBase(const httplib::Request &request) const;

  const std::string root;
  const Options options;
  // Made by Start (the root is looked at then) and only read while the
  // server runs.
  std::unique_ptr<const Repository> repository;
  std::unique_ptr<ArchiveStore> archives;
  // Set by a signal that arrives while Start builds archives.
  std::atomic<bool> buildCancelled{false};
  // The temporary store made by Start when no store was named; removed by
  // Stop.
  std::filesystem::path temporaryStore;
  std::unique_ptr<const Catalogue> catalogue;
  std::unique_ptr<Publisher> publisher;
  // Requests being answered now.
  std::atomic<std::size_t> answering{0};
  ScriptBook scripts;

  mutable std::mutex logMutex;
  std::deque<RequestRecord> log;
  std::size_t logBytes = 0;

  mutable std::mutex lifeMutex;  // Start and Stop
  std::unique_ptr<PooledServer> http;
  std::thread listener;
  std::atomic<bool> listenEnded{false};
  std::atomic<int> port{0};

  std::mutex waitMutex;
  std::condition_variable waitChanged;
  bool stopping = false;
};

std::unique_ptr<PooledServer> RepositoryServer::Implementation::MakeServer() const {
  PooledServerSettings settings;
  settings.pool.threads = options.workerThreads;
  settings.pool.queueLimit = options.queuedConnections;
  settings.pool.queueTimeout = options.queueTimeout;
  settings.pool.retryAfterSeconds = kRetryAfterSeconds;
  settings.timeouts.header = options.headerTimeout;
  settings.timeouts.keepAlive = std::chrono::seconds(kKeepAliveSeconds);
  settings.timeouts.stall = options.stallTimeout;
  settings.requestsPerConnection = kRequestsPerConnection;
  return makePooledServer(settings, options.certFile, options.keyFile);
}

void RepositoryServer::Implementation::Configure(httplib::Server &server) {
  // What the Keep-Alive header announces; the connections keep to it
  // (PooledServer).
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_keep_alive_max_count(kRequestsPerConnection);
  server.set_payload_max_length(kPayloadLimit);
  // cpp-httplib's default also sets SO_REUSEPORT, which lets a second
  // server bind a port that is in use and take part of its connections.
  server.set_socket_options([](socket_t socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
    Handle(request, response);
  };
  const std::string any = "[\\s\\S]*";
  server.Get(any, handler);
  server.Post(any, handler);
  server.Put(any, handler);
  server.Patch(any, handler);
  server.Delete(any, handler);
  server.Options(any, handler);
  // cpp-httplib answers a Range header it cannot parse with 416 itself,
  // before routing; such requests get our own answer instead, which judges
  // the range like any other (and records the request).
  const httplib::Server::HandlerWithResponse errors = [this](const httplib::Request &request,
                                                             httplib::Response &response) {
    const bool ours = response.has_header(kAnswered);
    const bool reading = request.method == "GET" || request.method == "HEAD";
    if (ours || response.status != 416 || !reading) return httplib::Server::HandlerResponse::Unhandled;
    Handle(request, response);
    return httplib::Server::HandlerResponse::Handled;
  };
  server.set_error_handler(errors);
  server.set_post_routing_handler([](const httplib::Request &, httplib::Response &response) {
    if (!response.has_header(kFromFile)) response.headers.erase("Accept-Ranges");
    // cpp-httplib announces an empty body, but a 304 may name only the
    // length a 200 would have had: none is surer.
    if (response.status == 304) response.headers.erase("Content-Length");
    response.headers.erase(kFromFile);
    response.headers.erase(kAnswered);
    if (!response.has_header(kOmitContentType)) return;
    response.headers.erase(kOmitContentType);
    response.headers.erase("Content-Type");
  });
}

bool RepositoryServer::Implementation::Listen() {
  httplib::Server &server = http->Http();
  const int bound = options.port == 0
                        ? server.bind_to_any_port(options.host)
                        : (server.bind_to_port(options.host, options.port) ? options.port : -1);
  if (bound <= 0 || !http->WidenBacklog(kListenBacklog)) {
    qxerr << "Unable to listen on [" << options.host << ":" << options.port << "]";
    return false;
  }
  port = bound;
  listenEnded = false;
  try {
    listener = std::thread([this] {
      http->Http().listen_after_bind();
      listenEnded = true;
    });
  } catch (const std::system_error &e) {
    qxerr << "Unable to start the server thread: " << e.what();
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartWait;
  while (!server.is_running() && !listenEnded && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (server.is_running()) return true;
  qxerr << "The server on [" << Authority() << "] did not start";
  return false;
}

void RepositoryServer::Implementation::StopLocked() {
  if (!http) return;
  {
    std::lock_guard<std::mutex> lock(waitMutex);
    stopping = true;
  }
  waitChanged.notify_all();
  // cpp-httplib's stop() does nothing before the listening loop runs and
  // must not be called twice while it winds down: send it once, as soon as
  // the loop runs (at once, unless Start gave up waiting for it).
  bool stopSent = false;
  while (listener.joinable() && !listenEnded) {
    if (!stopSent && http->Http().is_running()) {
      http->Http().stop();
      // Connections being served end at once, and a listener waiting for
      // room in a full queue stops waiting.
      http->EndConnections();
      stopSent = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (listener.joinable()) listener.join();
  http.reset();
  RemoveTemporaryStore();
}

bool RepositoryServer::Implementation::OpenArchiveStore() {
  std::filesystem::path directory = options.archiveStore;
  if (directory.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "quarn-archives-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      qxerr << "Unable to make a temporary archive store in ["
            << std::filesystem::temp_directory_path().string() << "]";
      return false;
    }
    directory = temporaryStore = pattern;
  }
  archives = std::make_unique<ArchiveStore>(*repository, directory);
  if (!archives->Open()) return false;
  if (options.prebuild) {
    const std::size_t failed =
        archives->BuildAll(showBuildProgress, [this] { return buildCancelled.load(); });
    if (failed > 0) qxwarn << "Unable to build " << failed << " archives; they are tried again when asked for";
  }
  return true;
}

void RepositoryServer::Implementation::RemoveTemporaryStore() {
  if (temporaryStore.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(temporaryStore, ec);
  temporaryStore.clear();
}

void RepositoryServer::Implementation::Handle(const httplib::Request &request,
                                              httplib::Response &response) {
  const Answering counted(answering);
  // Ranges are ours to judge (FileDelivery), not cpp-httplib's, which would
  // apply them to every answer. The request is a local object of
  // cpp-httplib's that it hands over as constant.
  const_cast<httplib::Request &>(request).ranges.clear();
  const Target target = TargetOf(request);
  RequestRecord record = recordOf(request, target);
  record.concurrent = counted.Now();
  Reply reply;
  try {
    reply = Answer(request, target);
  } catch (const std::exception &e) {
    qxerr << "Error answering [" << request.method << " " << request.target << "]: " << e.what();
    reply = errorReply(500, "Internal server error");
  }
  deliverFile(deliveryConditionsOf(request), reply);
  record.status = reply.status;
  if (options.logRequests)
    qxmsg << request.method << " " << request.target << " " << reply.status;
  Log(record);
  if (reply.delay.count() > 0) Wait(reply.delay);
  sendReply(std::move(reply), response);
}

Target RepositoryServer::Implementation::TargetOf(const httplib::Request &request) const {
  Target target = splitTarget(request.target);
  if (target.version != options.apiVersion) target.route.clear();
  return target;
}

Reply RepositoryServer::Implementation::Answer(const httplib::Request &request,
                                               const Target &target) {
  const std::optional<ResponseScript> script =
      scripts.Take(request.method, target.route, target.query);
  Reply reply;
  if (target.version != options.apiVersion) {
    reply = errorReply(404, "Not found: " + request.target);
  } else if (Publisher::Handles(request.method, parseRoute(target.route))) {
    // A script that decides the answer to a write stands in for it.
    if (!script || !decidesAnswer(*script))
      reply = publisher->Answer(writeRequestOf(request, target));
  } else {
    CatalogueRequest question{request.method, target.route, target.query, std::nullopt,
                              LinkBase(request)};
    if (request.has_header(kApiKeyHeader))
      question.apiKey = request.get_header_value(kApiKeyHeader);
    reply = catalogue->Answer(question);
  }
  if (script) applyScript(*script, reply);
  return reply;
}

void RepositoryServer::Implementation::Log(const RequestRecord &record) {
  std::lock_guard<std::mutex> lock(logMutex);
  log.push_back(record);
  logBytes += storedBytes(record);
  while (log.size() > 1 && (log.size() > kLogLimit || logBytes > kLogByteLimit)) {
    logBytes -= storedBytes(log.front());
    log.pop_front();
  }
}

void RepositoryServer::Implementation::Wait(std::chrono::milliseconds delay) {
  const std::chrono::milliseconds bounded = std::min<std::chrono::milliseconds>(
      delay, std::chrono::hours(24));
  std::unique_lock<std::mutex> lock(waitMutex);
  waitChanged.wait_for(lock, bounded, [this] { return stopping; });
}

void RepositoryServer::CancelPrebuild() { impl_->buildCancelled = true; }

std::string RepositoryServer::Implementation::Authority() const {
  const bool ipv6 = options.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(port);
}

std::string RepositoryServer::Implementation::LinkBase(const httplib::Request &request) const {
  const std::string host = request.get_header_value("Host");
  return std::string(Tls() ? "https://" : "http://") +
         (plausibleHost(host) ? host : Authority()) + "/" + options.apiVersion;
}

std::string persistentArchiveStore(const std::string &root) {
  std::string base;
  if (const char *cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) {
    base = cache;
  } else if (const char *home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.cache";
  } else {
    return "";
  }
  std::error_code ec;
  std::filesystem::path real = std::filesystem::weakly_canonical(root, ec);
  if (ec) real = std::filesystem::absolute(root, ec);
  const std::string name = real.filename().empty() ? "root" : real.filename().string();
  return (std::filesystem::path(base) / "quarn" / "archives" / (name + "-" + textHash(real.string())))
      .string();
}

RepositoryServer::RepositoryServer(std::string root)
    : RepositoryServer(std::move(root), Options()) {}

RepositoryServer::RepositoryServer(std::string root, Options options)
    : impl_(std::make_unique<Implementation>(std::move(root), std::move(options))) {}

RepositoryServer::~RepositoryServer() { Stop(); }

bool RepositoryServer::Start() {
  std::lock_guard<std::mutex> lock(impl_->lifeMutex);
  if (impl_->http) {
    qxerr << "The repository server on [" << impl_->Authority() << "] is running already";
    return false;
  }
  impl_->repository = std::make_unique<const Repository>(impl_->root);
  if (!impl_->repository->Valid()) {
    qxerr << "Repository directory does not exist [" << impl_->root << "]";
    return false;
  }
  if (!impl_->OpenArchiveStore()) {
    impl_->RemoveTemporaryStore();
    return false;
  }
  impl_->catalogue = std::make_unique<const Catalogue>(
      *impl_->repository, impl_->archives.get(), impl_->options.pageSize, impl_->options.apiKey);
  impl_->publisher = std::make_unique<Publisher>(*impl_->repository, impl_->options.apiKey);
  if (impl_->Tls() && (impl_->options.certFile.empty() || impl_->options.keyFile.empty())) {
    qxerr << "HTTPS needs both a certificate and a key file";
    impl_->RemoveTemporaryStore();
    return false;
  }
  {
    std::lock_guard<std::mutex> waitLock(impl_->waitMutex);
    impl_->stopping = false;
  }
  impl_->http = impl_->MakeServer();
  if (!impl_->http->Valid()) {
    qxerr << "Unable to load the certificate [" << impl_->options.certFile << "] or key ["
          << impl_->options.keyFile << "]";
    impl_->http.reset();
    impl_->RemoveTemporaryStore();
    return false;
  }
  impl_->Configure(impl_->http->Http());
  if (!impl_->Listen()) {
    impl_->StopLocked();
    return false;
  }
  return true;
}

void RepositoryServer::Stop() {
  std::lock_guard<std::mutex> lock(impl_->lifeMutex);
  impl_->StopLocked();
}

bool RepositoryServer::Running() const {
  std::lock_guard<std::mutex> lock(impl_->lifeMutex);
  return impl_->http && impl_->http->Http().is_running();
}

int RepositoryServer::Port() const { return impl_->port; }

std::string RepositoryServer::Url() const {
  return std::string(impl_->Tls() ? "https://" : "http://") + impl_->Authority();
}

const std::string &RepositoryServer::ApiVersion() const { return impl_->options.apiVersion; }

std::string RepositoryServer::RouteUrl(const std::string &route) const {
  return Url() + "/" + impl_->options.apiVersion + "/" + escapeRoute(route);
}

const std::string &RepositoryServer::Root() const { return impl_->root; }

int RepositoryServer::AddScript(const ResponseScript &script) { return impl_->scripts.Add(script); }

void RepositoryServer::RemoveScript(int id) { impl_->scripts.Remove(id); }

void RepositoryServer::ClearScripts() { impl_->scripts.Clear(); }

std::vector<RequestRecord> RepositoryServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->logMutex);
  return std::vector<RequestRecord>(impl_->log.begin(), impl_->log.end());
}

std::vector<RequestRecord> RepositoryServer::Requests(const std::string &route) const {
  std::vector<RequestRecord> matching;
  for (RequestRecord &record : Requests())
    if (record.route == route) matching.push_back(std::move(record));
  return matching;
}

void RepositoryServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(impl_->logMutex);
  impl_->log.clear();
  impl_->logBytes = 0;
}

}  // namespace qx::quarn_server
