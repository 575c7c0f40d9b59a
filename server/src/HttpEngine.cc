// The HTTP engine over libmicrohttpd (HttpEngine.hh). libmicrohttpd reads
// and parses on its event threads and calls three functions of ours: when
// a connection opens or closes (Notified), when a request line arrives
// (TargetArrived: the target as sent, before libmicrohttpd decodes it),
// and for each step of a request (Handle: the header complete, each piece
// of the body, the body's end, and again after a waiting connection is
// resumed). A reply goes out through a Slot, which a service may fill from
// any thread: until it is filled (and its delay is over), the connection
// is suspended and holds no thread.
#include "HttpEngine.hh"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <qx/common/Console.hh>

#include "ConnectionWatch.hh"
#include "Threads.hh"

namespace qx::quarn_server {
namespace {

using Clock = std::chrono::steady_clock;

// The longest delay a reply may ask for.
const auto kLongestDelay = std::chrono::hours(24);
// The memory libmicrohttpd gives each connection for reading a header and
// writing: a request's header must fit in about half of it.
const std::size_t kConnectionMemory = 32 * 1024;
// Bytes read at once from a file sent through a callback (a reply cut
// short).
const std::size_t kCallbackBlock = 64 * 1024;

// Runs callbacks at their time on a thread of its own.
class DelayTimer {
 public:
  DelayTimer() = default;
  ~DelayTimer() { Stop(); }
  DelayTimer(const DelayTimer &) = delete;
  DelayTimer &operator=(const DelayTimer &) = delete;

  bool Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    return startThread(thread_, [this] { Run(); });
  }
  void Schedule(Clock::time_point when, std::function<void()> callback) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      due_.emplace(when, std::move(callback));
    }
    changed_.notify_all();
  }
  // Joins the thread; callbacks not yet due are dropped.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      due_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (due_.empty()) {
        changed_.wait(lock);
        continue;
      }
      const Clock::time_point next = due_.begin()->first;
      if (Clock::now() < next) {
        changed_.wait_until(lock, next);
        continue;
      }
      std::function<void()> callback = std::move(due_.begin()->second);
      due_.erase(due_.begin());
      lock.unlock();
      callback();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<Clock::time_point, std::function<void()>> due_;
  bool stopping_ = false;
  std::thread thread_;
};

// What we keep of one connection, from its opening to its closing.
struct Connection {
  int fd = -1;
  std::string peer;
  std::string local;
  // The target of the request whose header is arriving, as sent.
  std::string target;
  ConnectionWatch::Entry *watch = nullptr;
};

// Where the reply of one request waits until it may go out. Guarded by its
// mutex: the service may fill it from any thread, the timer releases it
// after a delay, and Stop abandons it.
struct Slot {
  explicit Slot(MHD_Connection *c) : connection(c) {}

  std::mutex mutex;
  MHD_Connection *const connection;
  std::optional<Reply> reply;
  bool released = false;   // no delay, or the delay is over
  bool suspended = false;  // the connection waits for this slot
  bool abandoned = false;  // the request ended (or the engine stops): drop the reply
  bool taken = false;      // the reply was queued
};

// One request, from its complete header to its end.
struct PendingRequest {
  Connection *connection = nullptr;
  std::unique_ptr<HttpExchange> exchange;
  std::optional<std::uint64_t> declared;  // the body's declared length
  std::uint64_t bodyBytes = 0;
  // A refusal the service made of the body: sent when the body ends.
  std::optional<Reply> held;
  std::uint64_t heldAt = 0;  // body bytes when it was made
  std::shared_ptr<Slot> slot;
};

std::string addressText(const sockaddr *address) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  const socklen_t length =
      address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::getnameinfo(address, length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                        : std::string(host) + ":" + service;
}

// "ADDR" of "ADDR:PORT" or "[ADDR]:PORT".
std::string hostPart(const std::string &text) {
  if (!text.empty() && text.front() == '[') return text.substr(1, text.find(']') - 1);
  return text.substr(0, text.rfind(':'));
}

Connection *connectionOf(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Connection *>(info->socket_context) : nullptr;
}

MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, const char *value) {
  static_cast<HttpRequest *>(cls)->headers.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

void freeString(void *text) { delete static_cast<std::string *>(text); }

// The body of a reply cut short: the first `sent` bytes, then an error
// that makes libmicrohttpd close the connection.
struct CutBody {
  std::shared_ptr<const OpenFile> file;
  std::uint64_t fileOffset = 0;
  std::string text;
  std::uint64_t sent = 0;

  static ssize_t Read(void *cls, std::uint64_t position, char *buffer, std::size_t max) {
    const auto *body = static_cast<const CutBody *>(cls);
    if (position >= body->sent) return MHD_CONTENT_READER_END_WITH_ERROR;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(max, body->sent - position));
    if (!body->file) {
      std::memcpy(buffer, body->text.data() + position, count);
      return static_cast<ssize_t>(count);
    }
    const long got = body->file->Read(body->fileOffset + position, buffer, count);
    return got > 0 ? static_cast<ssize_t>(got) : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  static void Free(void *cls) { delete static_cast<CutBody *>(cls); }
};

// libmicrohttpd's response for `reply`; nullptr when it cannot be made.
MHD_Response *responseOf(Reply &reply) {
  const std::uint64_t size = reply.BodySize();
  MHD_Response *response = nullptr;
  if (reply.truncateAfter) {
    auto *body = new CutBody;
    body->sent = std::min<std::uint64_t>(*reply.truncateAfter, size);
    body->file = reply.file;
    body->fileOffset = reply.fileOffset;
    if (!reply.file) body->text = std::move(reply.body);
    const std::uint64_t announced = std::max(size, body->sent + 1);
    response = MHD_create_response_from_callback(announced, kCallbackBlock, &CutBody::Read, body,
                                                 &CutBody::Free);
    if (response == nullptr) delete body;
  } else if (reply.file && size > 0) {
    const int fd = ::fcntl(reply.file->Descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
      response = MHD_create_response_from_fd_at_offset64(size, fd, reply.fileOffset);
      if (response == nullptr) ::close(fd);
    }
  } else {
    auto *text = new std::string(reply.file ? std::string() : std::move(reply.body));
    response = MHD_create_response_from_buffer_with_free_callback_cls(
        text->size(), text->data(), &freeString, text);
    if (response == nullptr) delete text;
  }
  if (response == nullptr) return nullptr;
  for (const auto &[name, value] : reply.headers) {
    if (MHD_add_response_header(response, name.c_str(), value.c_str()) != MHD_YES)
      qxwarn << "Unable to send the header [" << name << "]";
  }
  return response;
}

void logEngine(void *, const char *format, va_list arguments) {
  char line[512];
  std::vsnprintf(line, sizeof(line), format, arguments);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  qxdbg << "HTTP: " << text;
}

}  // namespace

struct HttpEngine::Implementation {
  Implementation(const HttpSettings &engineSettings, HttpService &httpService)
      : settings(engineSettings),
        service(httpService),
        watch({engineSettings.headerTimeout, engineSettings.minimumRate,
               engineSettings.rateWindow}) {}

  bool Tls() const { return !settings.certificatePem.empty() || !settings.keyPem.empty(); }
  // Makes, binds and listens on the socket; -1 with an error line.
  int Listen();

  static void Notified(void *cls, MHD_Connection *connection, void **socketContext,
                       MHD_ConnectionNotificationCode code);
  static void *TargetArrived(void *cls, const char *uri, MHD_Connection *connection);
  static void Completed(void *cls, MHD_Connection *connection, void **requestContext,
                        MHD_RequestTerminationCode code);
  static MHD_Result Handle(void *cls, MHD_Connection *connection, const char *url,
                           const char *method, const char *version, const char *uploadData,
                           std::size_t *uploadSize, void **requestContext);
  // One step of a request (Handle, which catches what it throws).
  MHD_Result Step(MHD_Connection *connection, const char *url, const char *method,
                  const char *version, const char *uploadData, std::size_t *uploadSize,
                  void **requestContext);

  // The header of a request is complete.
  MHD_Result Begin(MHD_Connection *connection, const char *url, const char *method,
                   const char *version, void **requestContext);
  // A piece of the body.
  MHD_Result TakeBody(PendingRequest &request, const char *data, std::size_t size);
  // Hands `reply` to a fresh slot of the request and goes on.
  MHD_Result Deliver(MHD_Connection *connection, PendingRequest &request, Reply reply);
  // Asks the service for the reply.
  MHD_Result Finish(MHD_Connection *connection, PendingRequest &request);
  // Queues the slot's reply when it may go, else suspends the connection.
  MHD_Result Proceed(MHD_Connection *connection, PendingRequest &request);
  MHD_Result Queue(MHD_Connection *connection, PendingRequest &request, Reply reply);
  std::shared_ptr<Slot> NewSlot(MHD_Connection *connection);
  void Forget(const std::shared_ptr<Slot> &slot);
  // The service's reply for `slot` (any thread).
  void Give(const std::shared_ptr<Slot> &slot, Reply reply);
  // The delay of `slot` is over.
  void Release(const std::shared_ptr<Slot> &slot);
  // Resumes the connection when the slot may go and the connection waits;
  // under the slot's lock.
  static void WakeLocked(Slot &slot);

  const HttpSettings settings;
  HttpService &service;
  ConnectionWatch watch;
  DelayTimer timer;
  MHD_Daemon *daemon = nullptr;
  std::atomic<int> port{0};
  int listenFd = -1;  // bound, not yet handed to libmicrohttpd
  std::atomic<bool> stopping{false};
  std::mutex slotsMutex;
  std::set<std::shared_ptr<Slot>> slots;  // slots whose reply is not queued yet
};

int HttpEngine::Implementation::Listen() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(settings.port);
  const std::string host = settings.host;
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  const std::string name = bracketed ? host.substr(1, host.size() - 2) : host;
  if (::getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &found) != 0) {
    qxerr << "Unable to listen on [" << settings.host << ":" << settings.port
          << "]: no such address";
    return -1;
  }
  int fd = -1;
  std::string why = "no address";
  for (addrinfo *address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) continue;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (::bind(fd, address->ai_addr, address->ai_addrlen) != 0 ||
        ::listen(fd, settings.backlog) != 0) {
      why = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    qxerr << "Unable to listen on [" << settings.host << ":" << settings.port << "]: " << why;
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
  port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
  return fd;
}

void HttpEngine::Implementation::Notified(void *cls, MHD_Connection *connection,
                                          void **socketContext,
                                          MHD_ConnectionNotificationCode code) {
  auto *self = static_cast<Implementation *>(cls);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    auto *ours = static_cast<Connection *>(*socketContext);
    if (ours == nullptr) return;
    self->watch.Remove(ours->watch);
    delete ours;
    *socketContext = nullptr;
    return;
  }
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return;
  auto *ours = new Connection;
  ours->fd = info->connect_fd;
  // Small answers go out at once, not after the client's delayed
  // acknowledgement of the header.
  const int yes = 1;
  ::setsockopt(ours->fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(ours->fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    ours->peer = addressText(reinterpret_cast<sockaddr *>(&address));
  length = sizeof(address);
  if (::getsockname(ours->fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
    ours->local = hostPart(addressText(reinterpret_cast<sockaddr *>(&address)));
  ours->watch = self->watch.Add(ours->fd);
  *socketContext = ours;
}

void *HttpEngine::Implementation::TargetArrived(void *, const char *uri,
                                                MHD_Connection *connection) {
  if (Connection *ours = connectionOf(connection)) ours->target = uri ? uri : "";
  return nullptr;
}

void HttpEngine::Implementation::Completed(void *cls, MHD_Connection *, void **requestContext,
                                           MHD_RequestTerminationCode) {
  auto *self = static_cast<Implementation *>(cls);
  auto *request = static_cast<PendingRequest *>(*requestContext);
  if (request == nullptr) return;
  if (request->slot) {
    {
      std::lock_guard<std::mutex> lock(request->slot->mutex);
      request->slot->abandoned = true;
    }
    self->Forget(request->slot);
  }
  if (request->connection) ConnectionWatch::Enter(request->connection->watch, ConnectionWatch::Phase::kIdle);
  delete request;
  *requestContext = nullptr;
}

MHD_Result HttpEngine::Implementation::Handle(void *cls, MHD_Connection *connection,
                                              const char *url, const char *method,
                                              const char *version, const char *uploadData,
                                              std::size_t *uploadSize, void **requestContext) {
  // Nothing may leave through libmicrohttpd's C frames: a failure of ours
  // ends the connection.
  try {
    return static_cast<Implementation *>(cls)->Step(connection, url, method, version, uploadData,
                                                    uploadSize, requestContext);
  } catch (const std::exception &e) {
    qxerr << "Error serving a request: " << e.what();
  } catch (...) {
    qxerr << "Error serving a request";
  }
  return MHD_NO;
}

MHD_Result HttpEngine::Implementation::Step(MHD_Connection *connection, const char *url,
                                            const char *method, const char *version,
                                            const char *uploadData, std::size_t *uploadSize,
                                            void **requestContext) {
  auto *request = static_cast<PendingRequest *>(*requestContext);
  if (request == nullptr) return Begin(connection, url, method, version, requestContext);
  if (*uploadSize > 0) {
    const std::size_t size = *uploadSize;
    *uploadSize = 0;
    // A reply already on its way (a refusal waiting out a delay) takes no
    // body: what comes is dropped.
    if (request->slot) return MHD_YES;
    return TakeBody(*request, uploadData, size);
  }
  if (request->slot) return Proceed(connection, *request);
  if (request->held) {
    Reply held = std::move(*request->held);
    request->held.reset();
    return Deliver(connection, *request, std::move(held));
  }
  return Finish(connection, *request);
}

MHD_Result HttpEngine::Implementation::Begin(MHD_Connection *connection, const char *url,
                                             const char *method, const char *version,
                                             void **requestContext) {
  Connection *ours = connectionOf(connection);
  if (ours == nullptr) return MHD_NO;
  HttpRequest http;
  http.method = method ? method : "";
  http.version = version ? version : "";
  http.target = ours->target.empty() && url ? url : ours->target;
  http.peer = ours->peer;
  http.localAddress = ours->local;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectHeader, &http);
  ours->target.clear();

  auto *request = new PendingRequest;
  request->connection = ours;
  *requestContext = request;
  ConnectionWatch::Enter(ours->watch, http.HasBody() ? ConnectionWatch::Phase::kBody
                                                     : ConnectionWatch::Phase::kWorking);
  if (const std::optional<FramingProblem> problem =
          framingProblem(http, service.TakesBody(http.method))) {
    Reply refusal = errorReply(problem->status, problem->message);
    refusal.SetHeader("X-Content-Type-Options", "nosniff");
    return Deliver(connection, *request, std::move(refusal));
  }
  HttpService::Admission admission = service.Admit(http);
  // A refused request keeps its exchange (if any) until the refusal is
  // handed over, but gives it nothing.
  request->exchange = std::move(admission.exchange);
  if (admission.refusal || !request->exchange) {
    return Deliver(connection, *request,
                   admission.refusal ? std::move(*admission.refusal)
                                     : errorReply(500, "Internal server error"));
  }
  request->declared = http.DeclaredLength();
  return MHD_YES;
}

MHD_Result HttpEngine::Implementation::TakeBody(PendingRequest &request, const char *data,
                                                std::size_t size) {
  request.bodyBytes += size;
  if (!request.held) {
    request.held = request.exchange->Body(data, size);
    if (!request.held) return MHD_YES;
    request.heldAt = request.bodyBytes;
    // The rest is dropped as it comes, when there is little of it.
    const bool littleLeft =
        !request.declared || *request.declared - request.bodyBytes <= settings.maxDiscard;
    return littleLeft ? MHD_YES : MHD_NO;
  }
  return request.bodyBytes - request.heldAt <= settings.maxDiscard ? MHD_YES : MHD_NO;
}

std::shared_ptr<Slot> HttpEngine::Implementation::NewSlot(MHD_Connection *connection) {
  auto slot = std::make_shared<Slot>(connection);
  std::lock_guard<std::mutex> lock(slotsMutex);
  slots.insert(slot);
  return slot;
}

void HttpEngine::Implementation::Forget(const std::shared_ptr<Slot> &slot) {
  std::lock_guard<std::mutex> lock(slotsMutex);
  slots.erase(slot);
}

MHD_Result HttpEngine::Implementation::Deliver(MHD_Connection *connection,
                                               PendingRequest &request, Reply reply) {
  request.slot = NewSlot(connection);
  Give(request.slot, std::move(reply));
  return Proceed(connection, request);
}

MHD_Result HttpEngine::Implementation::Finish(MHD_Connection *connection,
                                              PendingRequest &request) {
  ConnectionWatch::Enter(request.connection->watch, ConnectionWatch::Phase::kWorking);
  request.slot = NewSlot(connection);
  std::shared_ptr<Slot> slot = request.slot;
  request.exchange->Finish([this, slot](Reply reply) { Give(slot, std::move(reply)); });
  return Proceed(connection, request);
}

MHD_Result HttpEngine::Implementation::Proceed(MHD_Connection *connection,
                                               PendingRequest &request) {
  Slot &slot = *request.slot;
  std::unique_lock<std::mutex> lock(slot.mutex);
  if (slot.abandoned) return MHD_NO;
  if (slot.taken) return MHD_YES;
  if (slot.reply && slot.released) {
    Reply reply = std::move(*slot.reply);
    slot.reply.reset();
    slot.taken = true;
    lock.unlock();
    Forget(request.slot);
    return Queue(connection, request, std::move(reply));
  }
  // Stop resumes every waiting connection once; none may wait after it.
  if (stopping) return MHD_NO;
  slot.suspended = true;
  MHD_suspend_connection(connection);
  return MHD_YES;
}

MHD_Result HttpEngine::Implementation::Queue(MHD_Connection *connection, PendingRequest &request,
                                             Reply reply) {
  // The answer is handed over: the exchange (and what it holds) goes.
  request.exchange.reset();
  MHD_Response *response = responseOf(reply);
  if (response == nullptr) {
    qxerr << "Unable to make an answer of status " << reply.status;
    return MHD_NO;
  }
  ConnectionWatch::Enter(request.connection->watch, ConnectionWatch::Phase::kSending);
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned int>(reply.status), response);
  MHD_destroy_response(response);
  return queued;
}

void HttpEngine::Implementation::Give(const std::shared_ptr<Slot> &slot, Reply reply) {
  std::lock_guard<std::mutex> lock(slot->mutex);
  if (slot->abandoned || slot->taken || slot->reply) return;
  const std::chrono::milliseconds delay = std::min<std::chrono::milliseconds>(
      std::max<std::chrono::milliseconds>(reply.delay, std::chrono::milliseconds(0)),
      kLongestDelay);
  reply.delay = std::chrono::milliseconds(0);
  slot->reply = std::move(reply);
  slot->released = delay.count() == 0 || stopping;
  if (!slot->released) {
    std::shared_ptr<Slot> waiting = slot;
    timer.Schedule(Clock::now() + delay, [this, waiting] { Release(waiting); });
  }
  WakeLocked(*slot);
}

void HttpEngine::Implementation::Release(const std::shared_ptr<Slot> &slot) {
  std::lock_guard<std::mutex> lock(slot->mutex);
  slot->released = true;
  WakeLocked(*slot);
}

void HttpEngine::Implementation::WakeLocked(Slot &slot) {
  if (!slot.suspended || slot.abandoned) return;
  if (!slot.reply || !slot.released) return;
  slot.suspended = false;
  MHD_resume_connection(slot.connection);
}

HttpEngine::HttpEngine(const HttpSettings &settings, HttpService &service)
    : impl_(std::make_unique<Implementation>(settings, service)) {}

HttpEngine::~HttpEngine() { Stop(); }

bool HttpEngine::Bind() {
  Implementation &engine = *impl_;
  if (engine.daemon != nullptr || engine.listenFd >= 0) return false;
  engine.listenFd = engine.Listen();
  return engine.listenFd >= 0;
}

bool HttpEngine::Start() {
  Implementation &engine = *impl_;
  if (engine.daemon != nullptr) return false;
  if (engine.Tls() && (engine.settings.certificatePem.empty() || engine.settings.keyPem.empty())) {
    qxerr << "HTTPS needs both a certificate and a key";
    return false;
  }
  if (engine.listenFd < 0 && !Bind()) return false;
  const int fd = engine.listenFd;
  engine.listenFd = -1;
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
  unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                       MHD_USE_ERROR_LOG;
  if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  if (engine.Tls()) flags |= MHD_USE_TLS;

  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&logEngine), nullptr},
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(std::max<std::size_t>(
                                        engine.settings.maxConnections, engine.settings.threads)),
       nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT,
       static_cast<intptr_t>(engine.settings.maxConnectionsPerAddress), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(engine.settings.idleTimeout.count()),
       nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Implementation::Notified),
       &engine},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Implementation::Completed),
       &engine},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Implementation::TargetArrived),
       &engine},
  };
  if (engine.settings.threads > 1) {
    options.push_back({MHD_OPTION_THREAD_POOL_SIZE,
                       static_cast<intptr_t>(engine.settings.threads), nullptr});
  }
  if (engine.Tls()) {
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0,
                       const_cast<char *>(engine.settings.certificatePem.c_str())});
    options.push_back(
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(engine.settings.keyPem.c_str())});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});

  engine.stopping = false;
  if (!engine.watch.Start() || !engine.timer.Start()) {
    qxerr << "Unable to start the server's threads";
    ::close(fd);
    engine.watch.Stop();
    engine.timer.Stop();
    return false;
  }
  engine.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Implementation::Handle, &engine,
                                   MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
  if (engine.daemon == nullptr) {
    qxerr << (engine.Tls() ? "Unable to start HTTPS with the certificate and key given"
                           : "Unable to start the HTTP server");
    ::close(fd);
    engine.watch.Stop();
    engine.timer.Stop();
    engine.port = 0;
    return false;
  }
  return true;
}

void HttpEngine::Stop() {
  Implementation &engine = *impl_;
  if (engine.listenFd >= 0) {
    ::close(engine.listenFd);
    engine.listenFd = -1;
  }
  if (engine.daemon == nullptr) return;
  engine.stopping = true;
  // Every waiting connection is resumed: with its reply when it has one
  // (a delay ends now), to be closed when it has none.
  std::set<std::shared_ptr<Slot>> waiting;
  {
    std::lock_guard<std::mutex> lock(engine.slotsMutex);
    waiting = engine.slots;
  }
  for (const std::shared_ptr<Slot> &slot : waiting) {
    std::lock_guard<std::mutex> slotLock(slot->mutex);
    if (slot->reply) {
      slot->released = true;
    } else {
      slot->abandoned = true;
      if (slot->suspended) {
        slot->suspended = false;
        MHD_resume_connection(slot->connection);
      }
    }
    Implementation::WakeLocked(*slot);
  }
  MHD_stop_daemon(engine.daemon);
  engine.daemon = nullptr;
  engine.timer.Stop();
  engine.watch.Stop();
  {
    std::lock_guard<std::mutex> lock(engine.slotsMutex);
    engine.slots.clear();
  }
}

bool HttpEngine::Running() const { return impl_->daemon != nullptr; }

int HttpEngine::Port() const { return impl_->port; }

}  // namespace qx::quarn_server
