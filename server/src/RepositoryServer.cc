// The repository service behind the HTTP engine: which route a request
// names, whether it may be answered at all before its body is read (writes:
// the write key, the Host and Origin, the upload's size and form), where its
// body goes (UploadSpool), and which part of the repository answers it
// (Catalogue, Publisher). Nothing here knows the engine's library; nothing
// of a request stays once it is answered.
#include "qx/quarn_server/RepositoryServer.hh"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <qx/common/Console.hh>

#include "AnswerCache.hh"
#include "ArchiveStore.hh"
#include "Catalogue.hh"
#include "FileDelivery.hh"
#include "HttpEngine.hh"
#include "Keys.hh"
#include "MultipartReader.hh"
#include "Publisher.hh"
#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"
#include "RouteTable.hh"
#include "ServerNames.hh"
#include "TreeWatch.hh"
#include "UploadSpool.hh"
#include "WorkQueue.hh"

namespace qx::quarn_server {

const char *const kVersionHeader = "X-Qel-Resource-Version";
const char *const kApiKeyHeader = "Private-token";

namespace {

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

// One request, from its complete header on: shared by its exchange and the
// work that answers it, and gone (spool files included) once both are.
struct Received {
  HttpRequest request;
  Target target;
  Route route;
  bool write = false;
  // The answer the server gives without reading the body; set only when a
  // watch asked for the body all the same.
  std::optional<Reply> refusal;
  std::uint64_t bodySize = 0;
  bool multipart = false;
  std::unique_ptr<UploadSpool> spool;
  // Why the form could not be read, and the status that says so.
  std::optional<std::string> formError;
  int formStatus = 400;
  // An instrument's watch, and what it is shown of the request.
  std::unique_ptr<RequestWatch> watch;
  ReceivedRequest seen;
  bool shown = false;
};

}  // namespace

struct RepositoryServer::Implementation : public HttpService {
  Implementation(std::string rootPath, Options serverOptions)
      : root(std::move(rootPath)),
        options(std::move(serverOptions)),
        readKey(options.readKey.empty() ? options.apiKey : options.readKey),
        writeKey(options.writeKey.empty() ? options.apiKey : options.writeKey) {}

  class Exchange;

  bool Tls() const { return !options.certFile.empty() || !options.keyFile.empty(); }
  bool OpenArchiveStore();
  void RemoveTemporaryStore();
  void StopLocked();
  HttpSettings EngineSettings() const;
  std::string Authority() const;

  Admission Admit(const HttpRequest &request) override;
  // Methods that ask for something carry no body: one on them would be
  // read as a request of its own by some server along the way.
  bool TakesBody(const std::string &method) const override {
    return method != "GET" && method != "HEAD" && method != "OPTIONS" && method != "TRACE" &&
           method != "CONNECT";
  }

  // The answer to a request that is given before (and without) its body:
  // a write the server does not take from this request, or a request
  // whose answer does not depend on the body it brings.
  std::optional<Reply> Refusal(Received &received);
  // The answer to a request received whole.
  Reply Respond(Received &received);
  // The repository's own answer.
  Reply Make(Received &received);
  // `reply` made ready to go: the headers every answer has, the watch's
  // changes, conditional and range requests.
  Reply Conclude(Received &received, Reply reply);
  // Shows the request to its watch, once.
  void Show(Received &received);

  const std::string root;
  const Options options;
  const std::string readKey;
  const std::string writeKey;
  // Made by Start (the root is looked at then) and only read while the
  // server runs.
  std::unique_ptr<const Repository> repository;
  std::unique_ptr<ArchiveStore> archives;
  std::unique_ptr<const ServerNames> names;
  std::filesystem::path workDirectory;
  // Set by a signal that arrives while Start builds archives.
  std::atomic<bool> buildCancelled{false};
  // The temporary store made by Start when no store was named; removed by
  // Stop.
  std::filesystem::path temporaryStore;
  std::unique_ptr<const Catalogue> catalogue;
  std::unique_ptr<Publisher> publisher;
  // Documents kept while the tree does not change.
  std::unique_ptr<TreeWatch> treeWatch;
  AnswerCache answers;

  mutable std::mutex lifeMutex;  // Start and Stop
  std::unique_ptr<HttpEngine> http;
  WorkQueue workers;
  std::atomic<int> port{0};
};

// The rest of one request: its body goes to the spool (a form read as it
// arrives), or is dropped when nothing needs it; its answer is made on the
// thread that read it, or on one of the server's workers when that may
// take long (an archive to build, a write).
class RepositoryServer::Implementation::Exchange : public HttpExchange {
 public:
  Exchange(Implementation &server, std::shared_ptr<Received> received)
      : server_(server), received_(std::move(received)) {}

  // Receives the body into a spool, a form part by part.
  void Spool() {
    received_->spool = std::make_unique<UploadSpool>(server_.workDirectory);
    const std::optional<std::string> type = received_->request.Header("Content-Type");
    if (const std::optional<std::string> boundary =
            type ? MultipartReader::Boundary(*type) : std::nullopt) {
      received_->multipart = true;
      reader_ = std::make_unique<MultipartReader>(*boundary, *received_->spool);
    }
  }

  std::optional<Reply> Body(const char *data, std::size_t size) override {
    Received &received = *received_;
    received.bodySize += size;
    if (!received.spool) return std::nullopt;  // not needed: dropped
    if (received.bodySize > server_.options.maxUpload) {
      return Refuse(413, "The upload is larger than " +
                             std::to_string(server_.options.maxUpload) + " bytes");
    }
    if (reader_) {
      if (!reader_->Feed(data, size)) {
        const int status = received.spool->FailureStatus();
        return Refuse(status, status == 400 ? "Expected a multipart form: " + reader_->Error()
                                            : reader_->Error());
      }
    } else if (!received.spool->Append(data, size)) {
      return Refuse(500, "Unable to receive the body");
    }
    return std::nullopt;
  }

  void Finish(Answer answer) override {
    Received &received = *received_;
    if (reader_ && !reader_->Finish()) {
      received.formError = reader_->Error();
      received.formStatus = received.spool->FailureStatus();
    }
    reader_.reset();
    const bool slow = (received.write && !received.refusal) || received.route.type == Route::kArchive;
    Implementation &server = server_;
    std::shared_ptr<Received> shared = received_;
    // The job lets go of the request before it hands the answer over, so
    // that the request ends with the exchange, when the answer goes out.
    auto job = [&server, shared, answer]() mutable {
      Reply reply;
      try {
        reply = server.Respond(*shared);
      } catch (const std::exception &e) {
        qxerr << "Error answering [" << shared->request.method << " " << shared->request.target
              << "]: " << e.what();
        reply = errorReply(500, "Internal server error");
      }
      shared.reset();
      answer(std::move(reply));
    };
    if (!slow || !server.workers.Run(job)) job();
  }

 private:
  Reply Refuse(int status, const std::string &message) {
    server_.Show(*received_);
    return server_.Conclude(*received_, errorReply(status, message));
  }

  Implementation &server_;
  std::shared_ptr<Received> received_;
  std::unique_ptr<MultipartReader> reader_;
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
  auto received = std::make_shared<Received>();
  received->request = request;
  received->target = splitTarget(request.target);
  const bool ours = received->target.version == options.apiVersion;
  if (!ours) received->target.route.clear();
  if (ours) received->route = parseRoute(received->target.route, received->target.query);
  received->write = ours && Publisher::Handles(request.method, received->route);
  if (options.observer) {
    ReceivedRequest &seen = received->seen;
    seen.method = request.method;
    seen.target = request.target;
    seen.route = received->target.route;
    seen.query = received->target.query;
    seen.headers = request.headers;
    seen.peer = request.peer;
    seen.write = received->write;
    seen.bodySize = request.DeclaredLength().value_or(0);
    received->watch = options.observer->Watch(seen);
  }
  const bool watchReads =
      received->watch && (received->watch->ReadsBody() || received->watch->StandsIn());

  auto exchange = std::make_unique<Exchange>(*this, received);
  Admission admission;
  std::optional<Reply> refusal = Refusal(*received);
  if (refusal && !watchReads) {
    Show(*received);
    admission.refusal = Conclude(*received, std::move(*refusal));
  } else {
    received->refusal = std::move(refusal);
    // Only a form to store is received; other bodies are dropped as they
    // come, unless a watch wants them.
    const bool stores = received->write && !received->refusal && request.method != "DELETE";
    if (request.HasBody() && (stores || watchReads)) exchange->Spool();
  }
  admission.exchange = std::move(exchange);
  return admission;
}

std::optional<Reply> RepositoryServer::Implementation::Refusal(Received &received) {
  const HttpRequest &request = received.request;
  if (!received.write) {
    // Nothing but a write reads a body: a request that brings one is
    // answered (405, mostly) without it.
    if (request.HasBody()) return Make(received);
    return std::nullopt;
  }
  if (writeKey.empty())
    return errorReply(403, "This server takes no writes: it was started without a write key");
  const std::optional<std::string> host = request.Header("Host");
  if (!host || !names->Host(*host, request.localAddress))
    return errorReply(403, "The request's Host does not name this server");
  const std::optional<std::string> origin = request.Header("Origin");
  if (origin && !names->Origin(*origin, request.localAddress))
    return errorReply(403, "Writes from the pages of other sites are refused");
  if (!keyMatches(request.Header(kApiKeyHeader), writeKey))
    return errorReply(401, "Missing or wrong API key");
  if (request.method == "DELETE") return std::nullopt;
  const std::optional<std::string> type = request.Header("Content-Type");
  if (!type || !MultipartReader::Boundary(*type)) return errorReply(400, "Expected a multipart form");
  const std::optional<std::uint64_t> declared = request.DeclaredLength();
  if (declared && *declared > options.maxUpload) {
    return errorReply(413, "The upload is larger than " + std::to_string(options.maxUpload) +
                               " bytes");
  }
  return std::nullopt;
}

Reply RepositoryServer::Implementation::Respond(Received &received) {
  Show(received);
  Reply reply;
  if (received.refusal) {
    reply = std::move(*received.refusal);
  } else if (received.watch && received.watch->StandsIn()) {
    reply = Reply();
  } else if (received.formError) {
    reply = errorReply(received.formStatus, received.formStatus == 400
                                                ? "Expected a multipart form: " + *received.formError
                                                : *received.formError);
  } else {
    try {
      reply = Make(received);
    } catch (const std::exception &e) {
      qxerr << "Error answering [" << received.request.method << " " << received.request.target
            << "]: " << e.what();
      reply = errorReply(500, "Internal server error");
    }
  }
  // What was received and not stored goes before the answer does.
  received.spool.reset();
  return Conclude(received, std::move(reply));
}

Reply RepositoryServer::Implementation::Make(Received &received) {
  const HttpRequest &request = received.request;
  const Target &target = received.target;
  if (target.version != options.apiVersion) return errorReply(404, "Not found: " + request.target);
  if (received.write) {
    WriteRequest write;
    write.method = request.method;
    write.route = target.route;
    write.multipart = received.multipart;
    if (received.spool) write.parts = received.spool->Parts();
    return publisher->Answer(write);
  }
  CatalogueRequest question{request.method, target.route, target.query,
                            request.Header(kApiKeyHeader), "/" + options.apiVersion};
  // Answers to reads stay the same while the tree does: they are kept, by
  // what decides them (the route, the query, whether the read key came).
  const bool kept = (request.method == "GET" || request.method == "HEAD") &&
                    received.route.type != Route::kUnknown;
  if (!kept || !treeWatch) return catalogue->Answer(question);
  const std::string key = target.route + "?" + target.query +
                          (keyMatches(question.apiKey, readKey) ? "#key" : "#");
  const std::uint64_t generation = treeWatch->Generation();
  if (std::optional<Reply> answer = answers.Get(key, generation)) return std::move(*answer);
  Reply answer = catalogue->Answer(question);
  answers.Put(key, generation, answer);
  return answer;
}

Reply RepositoryServer::Implementation::Conclude(Received &received, Reply reply) {
  // Nothing the server sends is to be taken for another type than it says
  // (a model's SVG run as a page of the server's, say).
  reply.SetHeader("X-Content-Type-Options", "nosniff");
  if (received.watch) {
    ServerAnswer answer(reply);
    received.watch->Answering(received.seen, answer);
  }
  deliverFile(deliveryConditionsOf(received.request), reply);
  if (received.watch) received.watch->Answered(received.seen, reply.status);
  if (options.logRequests) {
    qxmsg << received.request.method << " " << received.request.target << " " << reply.status;
  }
  return reply;
}

void RepositoryServer::Implementation::Show(Received &received) {
  if (!received.watch || received.shown) return;
  received.shown = true;
  ReceivedRequest &seen = received.seen;
  seen.bodyRead = received.spool || received.bodySize > 0;
  if (seen.bodyRead) seen.bodySize = received.bodySize;
  if (received.spool) {
    for (const WritePart &part : received.spool->Parts()) {
      seen.parts.push_back({part.name, part.filename, part.contentType, part.text,
                            part.spooled.string(), part.size});
    }
    seen.spooledBody = received.spool->BodyFile().string();
  }
  received.watch->Received(seen);
}

void RepositoryServer::Implementation::StopLocked() {
  if (!http) return;
  http->Stop();
  workers.Stop();
  http.reset();
  publisher.reset();
  // The answers kept hold files open.
  answers.Clear();
  treeWatch.reset();
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
  server.workDirectory = server.repository->Root() / kWorkDirectory;
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
      *server.repository, server.archives.get(), server.options.pageSize, server.readKey);
  // A watch of this start counts afresh: what an earlier one kept goes.
  server.answers.Clear();
  server.treeWatch = std::make_unique<TreeWatch>(server.repository->Root(), kWorkDirectory);
  server.treeWatch->Start();
  server.publisher = std::make_unique<Publisher>(*server.repository, server.archives.get());
  // Only a server that writes into the repository tidies it up.
  if (!server.writeKey.empty()) server.publisher->Sweep();
  if (!server.workers.Start(server.options.workers)) {
    qxerr << "Unable to start the server's threads";
    server.RemoveTemporaryStore();
    return false;
  }
  // The names are set before the first request can come: the engine binds
  // the port first, so the names learn it from there.
  server.http = std::make_unique<HttpEngine>(settings, server);
  if (!server.http->Bind()) {
    server.workers.Stop();
    server.http.reset();
    server.RemoveTemporaryStore();
    return false;
  }
  server.port = server.http->Port();
  server.names = std::make_unique<const ServerNames>(server.options.host, server.port,
                                                     server.options.serverNames);
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

}  // namespace qx::quarn_server
