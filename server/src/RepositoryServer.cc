#include "qx/quarn_server/RepositoryServer.hh"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "ArchiveStore.hh"
#include "Catalogue.hh"
#include "FileDelivery.hh"
#include "HttpEngine.hh"
#include "MultipartReader.hh"
#include "Publisher.hh"
#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"
#include "RouteTable.hh"
#include "Scripts.hh"
#include "WorkQueue.hh"

namespace qx::quarn_server {

const char *const kVersionHeader = "X-Qel-Resource-Version";
const char *const kApiKeyHeader = "Private-token";

namespace {

// How many requests the log keeps, and how many bytes of stored bodies.
const std::size_t kLogLimit = 10000;
const std::size_t kLogByteLimit = 64u << 20;
// Largest request body accepted.
const std::size_t kPayloadLimit = 64u << 20;

// The body bytes a record keeps.
std::size_t storedBytes(const RequestRecord &record) {
  std::size_t bytes = record.body.size();
  for (const FormPart &part : record.form) bytes += part.content.size();
  return bytes;
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

// What decides how a file goes out.
DeliveryConditions deliveryConditionsOf(const HttpRequest &request) {
  return {request.method, request.Header("If-None-Match"), request.Header("If-Modified-Since"),
          request.Header("Range"), request.Header("If-Range")};
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

std::optional<std::string> readWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return content.str();
}

// A request received whole: what answering it needs.
struct Received {
  HttpRequest request;
  Target target;
  std::uint64_t bodySize = 0;
  std::string body;             // a plain body (not a form)
  bool multipart = false;
  std::vector<WritePart> parts;     // the form's parts, whole
  std::vector<FormPart> recorded;   // the same as the request log keeps them
  std::optional<std::string> formError;  // why the form could not be read
  std::size_t concurrent = 0;
};

// Collects the parts of a form in memory.
class FormCollector : public MultipartReader::Sink {
 public:
  explicit FormCollector(Received &received) : received_(received) {}
  bool BeginPart(const MultipartReader::PartHeader &header, std::string &) override {
    received_.parts.push_back({header.name, header.filename.value_or(""), ""});
    received_.recorded.push_back({header.name, header.filename.value_or(""), header.contentType, ""});
    return true;
  }
  bool PartData(const char *data, std::size_t size, std::string &) override {
    received_.parts.back().content.append(data, size);
    FormPart &recorded = received_.recorded.back();
    if (recorded.content.size() < RequestRecord::kStoredBodyLimit) {
      recorded.content.append(
          data, std::min(size, RequestRecord::kStoredBodyLimit - recorded.content.size()));
    }
    return true;
  }
  bool EndPart(std::string &) override { return true; }

 private:
  Received &received_;
};

}  // namespace

std::optional<std::string> RequestRecord::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameHeaderName(header.first, name)) return header.second;
  return std::nullopt;
}

struct RepositoryServer::Implementation : public HttpService {
  Implementation(std::string rootPath, Options serverOptions)
      : root(std::move(rootPath)), options(std::move(serverOptions)) {}

  bool Tls() const { return !options.certFile.empty() || !options.keyFile.empty(); }
  bool OpenArchiveStore();
  void RemoveTemporaryStore();
  void StopLocked();
  HttpSettings EngineSettings() const;

  class Exchange;

  Admission Admit(const HttpRequest &request) override;
  // Methods that ask for something carry no body: one on them would be
  // read as a request of its own by some server along the way.
  bool TakesBody(const std::string &method) const override {
    return method != "GET" && method != "HEAD" && method != "OPTIONS" && method != "TRACE" &&
           method != "CONNECT";
  }

  // The answer to a request received whole.
  Reply Respond(Received &received);
  // `target` with its route cleared when it is not below our API version.
  Target TargetOf(const HttpRequest &request) const;
  Reply Answer(Received &received);
  RequestRecord RecordOf(const Received &received) const;
  void Log(const RequestRecord &record);
  std::string Authority() const;
  std::string LinkBase(const HttpRequest &request) const;

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
  std::unique_ptr<HttpEngine> http;
  WorkQueue workers;
  std::atomic<int> port{0};
};

// One request from its complete header on: takes the body (a form is read
// as it arrives) and answers on the thread that read it, or, for work that
// may take long, on one of the server's workers.
class RepositoryServer::Implementation::Exchange : public HttpExchange {
 public:
  Exchange(Implementation &server, const HttpRequest &request,
           Target target, std::atomic<std::size_t> &answering)
      : server_(server), received_(std::make_shared<Received>()), counted_(answering) {
    received_->request = request;
    received_->target = std::move(target);
    received_->concurrent = counted_.Now();
    const std::optional<std::string> type = request.Header("Content-Type");
    if (const std::optional<std::string> boundary =
            type ? MultipartReader::Boundary(*type) : std::nullopt) {
      received_->multipart = true;
      collector_ = std::make_unique<FormCollector>(*received_);
      reader_ = std::make_unique<MultipartReader>(*boundary, *collector_);
    }
  }

  std::optional<Reply> Body(const char *data, std::size_t size) override {
    received_->bodySize += size;
    if (received_->bodySize > kPayloadLimit) return errorReply(413, "Request body too large");
    if (reader_) {
      reader_->Feed(data, size);
    } else if (received_->body.size() < RequestRecord::kStoredBodyLimit) {
      received_->body.append(
          data, std::min(size, RequestRecord::kStoredBodyLimit - received_->body.size()));
    }
    return std::nullopt;
  }

  void Finish(Answer answer) override {
    if (reader_ && !reader_->Finish()) received_->formError = reader_->Error();
    reader_.reset();
    collector_.reset();
    const Route route = parseRoute(received_->target.route, received_->target.query);
    const bool slow = route.type == Route::kArchive ||
                      Publisher::Handles(received_->request.method, route);
    Implementation &server = server_;
    std::shared_ptr<Received> received = received_;
    auto job = [&server, received, answer] { answer(server.Respond(*received)); };
    if (!slow || !server.workers.Run(job)) job();
  }

 private:
  Implementation &server_;
  std::shared_ptr<Received> received_;
  std::unique_ptr<FormCollector> collector_;
  std::unique_ptr<MultipartReader> reader_;
  const Answering counted_;
};

HttpSettings RepositoryServer::Implementation::EngineSettings() const {
  HttpSettings settings;
  settings.host = options.host;
  settings.port = options.port;
  const std::size_t cores = std::max(2u, std::thread::hardware_concurrency());
  settings.threads = options.threads > 0 ? options.threads : cores;
  settings.maxConnections = options.maxConnections;
  settings.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
  settings.idleTimeout = options.idleTimeout;
  settings.headerTimeout = options.headerTimeout;
  settings.minimumRate = options.minimumRate;
  settings.rateWindow = options.rateWindow;
  return settings;
}

HttpService::Admission RepositoryServer::Implementation::Admit(const HttpRequest &request) {
  Admission admission;
  admission.exchange = std::make_unique<Exchange>(*this, request, TargetOf(request), answering);
  return admission;
}

Reply RepositoryServer::Implementation::Respond(Received &received) {
  const HttpRequest &request = received.request;
  Reply reply;
  try {
    reply = Answer(received);
  } catch (const std::exception &e) {
    qxerr << "Error answering [" << request.method << " " << request.target << "]: " << e.what();
    reply = errorReply(500, "Internal server error");
  }
  deliverFile(deliveryConditionsOf(request), reply);
  RequestRecord record = RecordOf(received);
  record.status = reply.status;
  if (options.logRequests) qxmsg << request.method << " " << request.target << " " << reply.status;
  Log(record);
  return reply;
}

RequestRecord RepositoryServer::Implementation::RecordOf(const Received &received) const {
  RequestRecord record;
  const HttpRequest &request = received.request;
  record.method = request.method;
  record.target = request.target;
  record.route = received.target.route;
  record.query = received.target.query;
  record.peer = request.peer;
  record.headers = request.headers;
  std::stable_sort(record.headers.begin(), record.headers.end(), [](const auto &a, const auto &b) {
    return qx::common::lowercase(a.first) < qx::common::lowercase(b.first);
  });
  record.bodySize = received.bodySize;
  record.body = received.body;
  record.form = received.recorded;
  std::stable_sort(record.form.begin(), record.form.end(),
                   [](const FormPart &a, const FormPart &b) { return a.name < b.name; });
  record.concurrent = received.concurrent;
  return record;
}

Target RepositoryServer::Implementation::TargetOf(const HttpRequest &request) const {
  Target target = splitTarget(request.target);
  if (target.version != options.apiVersion) target.route.clear();
  return target;
}

Reply RepositoryServer::Implementation::Answer(Received &received) {
  const HttpRequest &request = received.request;
  const Target &target = received.target;
  const std::optional<ResponseScript> script =
      scripts.Take(request.method, target.route, target.query);
  Reply reply;
  if (target.version != options.apiVersion) {
    reply = errorReply(404, "Not found: " + request.target);
  } else if (Publisher::Handles(request.method, parseRoute(target.route))) {
    // A script that decides the answer to a write stands in for it.
    if (!script || !decidesAnswer(*script)) {
      WriteRequest write;
      write.method = request.method;
      write.route = target.route;
      write.apiKey = request.Header(kApiKeyHeader);
      // A form that could not be read is no form.
      write.multipart = received.multipart && !received.formError;
      write.parts = std::move(received.parts);
      reply = publisher->Answer(write);
    }
  } else {
    CatalogueRequest question{request.method, target.route, target.query, std::nullopt,
                              LinkBase(request)};
    question.apiKey = request.Header(kApiKeyHeader);
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

void RepositoryServer::Implementation::StopLocked() {
  if (!http) return;
  http->Stop();
  workers.Stop();
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

void RepositoryServer::CancelPrebuild() { impl_->buildCancelled = true; }

std::string RepositoryServer::Implementation::Authority() const {
  const bool ipv6 = options.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(port);
}

std::string RepositoryServer::Implementation::LinkBase(const HttpRequest &request) const {
  const std::string host = request.Header("Host").value_or("");
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
  Implementation &server = *impl_;
  if (server.http) {
    qxerr << "The repository server on [" << server.Authority() << "] is running already";
    return false;
  }
  server.repository = std::make_unique<const Repository>(server.root);
  if (!server.repository->Valid()) {
    qxerr << "Repository directory does not exist [" << server.root << "]";
    return false;
  }
  HttpSettings settings = server.EngineSettings();
  if (server.Tls()) {
    if (server.options.certFile.empty() || server.options.keyFile.empty()) {
      qxerr << "HTTPS needs both a certificate and a key file";
      return false;
    }
    const std::optional<std::string> certificate = readWholeFile(server.options.certFile);
    const std::optional<std::string> key = readWholeFile(server.options.keyFile);
    if (!certificate || !key || certificate->empty() || key->empty()) {
      qxerr << "Unable to load the certificate [" << server.options.certFile << "] or key ["
            << server.options.keyFile << "]";
      return false;
    }
    settings.certificatePem = *certificate;
    settings.keyPem = *key;
  }
  if (!server.OpenArchiveStore()) {
    server.RemoveTemporaryStore();
    return false;
  }
  server.catalogue = std::make_unique<const Catalogue>(
      *server.repository, server.archives.get(), server.options.pageSize, server.options.apiKey);
  server.publisher = std::make_unique<Publisher>(*server.repository, server.options.apiKey);
  if (!server.workers.Start(server.options.workers)) {
    qxerr << "Unable to start the server's threads";
    server.RemoveTemporaryStore();
    return false;
  }
  server.http = std::make_unique<HttpEngine>(settings, server);
  if (!server.http->Start()) {
    if (server.Tls()) {
      qxerr << "Unable to load the certificate [" << server.options.certFile << "] or key ["
            << server.options.keyFile << "]";
    }
    server.workers.Stop();
    server.http.reset();
    server.RemoveTemporaryStore();
    return false;
  }
  server.port = server.http->Port();
  return true;
}

void RepositoryServer::Stop() {
  std::lock_guard<std::mutex> lock(impl_->lifeMutex);
  impl_->StopLocked();
}

bool RepositoryServer::Running() const {
  std::lock_guard<std::mutex> lock(impl_->lifeMutex);
  return impl_->http && impl_->http->Running();
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
