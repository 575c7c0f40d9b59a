#include "support/ScriptedServer.hh"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>

#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

namespace qx::test {
namespace {

constexpr const char *kHost = "127.0.0.1";

RecordedRequest Record(const httplib::Request &req) {
  RecordedRequest recorded;
  recorded.method = req.method;
  recorded.target = req.target;
  const std::size_t mark = req.target.find('?');
  recorded.rawPath = req.target.substr(0, mark);
  if (mark != std::string::npos) {
    recorded.hasQuery = true;
    recorded.rawQuery = req.target.substr(mark + 1);
  }
  for (const auto &header : req.headers) recorded.headers.emplace_back(header);
  recorded.body = req.body;
  for (const auto &[name, file] : req.files) {
    recorded.form.push_back({file.name, file.filename, file.content_type, file.content});
  }
  return recorded;
}

void Respond(const ScriptedResponse &scripted, const std::atomic<bool> &stopping,
             httplib::Response &res) {
  res.status = scripted.status;
  for (const auto &header : scripted.headers) res.headers.emplace(header);
  if (scripted.stall) {
    res.set_content_provider(
        1, scripted.contentType,
        [&stopping](std::size_t, std::size_t, httplib::DataSink &) {
          if (stopping.load()) return false;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          return true;
        });
    return;
  }
  if (scripted.truncateAfter) {
    const std::string sent = scripted.body.substr(0, *scripted.truncateAfter);
    res.set_content_provider(
        scripted.body.size(), scripted.contentType,
        [sent](std::size_t offset, std::size_t, httplib::DataSink &sink) {
          if (offset == 0 && !sent.empty()) sink.write(sent.data(), sent.size());
          return false;  // hang up before the announced length
        });
    return;
  }
  if (!scripted.contentType.empty()) {
    res.set_content(scripted.body, scripted.contentType);
  } else {
    res.body = scripted.body;
  }
}

bool IEquals(const std::string &a, const std::string &b) {
  return qx::common::lowercase(a) == qx::common::lowercase(b);
}

}  // namespace

std::string RecordedRequest::Header(const std::string &name) const {
  for (const auto &[key, value] : headers) {
    if (IEquals(key, name)) return value;
  }
  return std::string();
}

bool RecordedRequest::HasHeader(const std::string &name) const {
  for (const auto &header : headers) {
    if (IEquals(header.first, name)) return true;
  }
  return false;
}

std::optional<ReceivedFormPart> RecordedRequest::FormPart(const std::string &name) const {
  for (const ReceivedFormPart &part : form) {
    if (part.name == name) return part;
  }
  return std::nullopt;
}

ScriptedResponse JsonResponse(const std::string &body, int status) {
  ScriptedResponse response;
  response.status = status;
  response.body = body;
  return response;
}

ScriptedResponse RedirectResponse(const std::string &location, int status) {
  ScriptedResponse response;
  response.status = status;
  response.contentType = "text/html";
  response.body = "<html>moved</html>";
  response.headers = {{"Location", location}};
  return response;
}

// ---- ScriptedServer --------------------------------------------------------

struct ScriptedServer::Implementation {
  std::unique_ptr<httplib::Server> server;
  bool tls = false;
  int port = -1;
  std::thread thread;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  Script script;
  std::deque<ScriptedResponse> queued;
  bool useQueue = false;
  std::vector<RecordedRequest> requests;

  ScriptedResponse Answer(const RecordedRequest &request) {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(request);
    if (!useQueue) {
      return script ? script(request) : JsonResponse("no script", 404);
    }
    if (queued.empty()) return JsonResponse("no scripted response left", 404);
    ScriptedResponse next = std::move(queued.front());
    queued.pop_front();
    return next;
  }

  void Start() {
    const httplib::Server::Handler handler = [this](const httplib::Request &req,
                                                    httplib::Response &res) {
      Respond(Answer(Record(req)), stopping, res);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Patch(".*", handler);
    server->Delete(".*", handler);
    server->Options(".*", handler);
    if (!server->is_valid()) return;
    port = server->bind_to_any_port(kHost);
    if (port <= 0) return;
    thread = std::thread([this] { server->listen_after_bind(); });
    // stop() only works once the accept loop runs.
    while (!server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~Implementation() {
    stopping.store(true);
    if (thread.joinable()) {
      server->stop();
      thread.join();
    }
  }
};

ScriptedServer::ScriptedServer() : impl_(std::make_unique<Implementation>()) {
  impl_->server = std::make_unique<httplib::Server>();
  impl_->Start();
}

ScriptedServer::ScriptedServer(const std::string &certFile, const std::string &keyFile)
    : impl_(std::make_unique<Implementation>()) {
  impl_->tls = true;
  impl_->server = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
  impl_->Start();
}

ScriptedServer::~ScriptedServer() = default;

bool ScriptedServer::Running() const { return impl_->thread.joinable(); }

int ScriptedServer::Port() const { return impl_->port; }

std::string ScriptedServer::Url() const {
  return std::string(impl_->tls ? "https://" : "http://") + kHost + ":" +
         std::to_string(impl_->port);
}

void ScriptedServer::SetScript(Script script) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->script = std::move(script);
  impl_->useQueue = false;
}

void ScriptedServer::SetResponses(std::vector<ScriptedResponse> responses) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->queued.assign(responses.begin(), responses.end());
  impl_->useQueue = true;
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::size_t ScriptedServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests.size();
}

// ---- RawHttpServer ---------------------------------------------------------

namespace {

// A listening socket on 127.0.0.1 and an ephemeral port; -1 on failure.
int ListenOnEphemeralPort(int &port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  ::inet_pton(AF_INET, kHost, &address.sin_addr);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

RawHttpServer::RawHttpServer(std::vector<std::string> responses)
    : responses_(std::move(responses)) {
  listenFd_ = ListenOnEphemeralPort(port_);
  if (listenFd_ >= 0) thread_ = std::thread([this] { Serve(); });
}

RawHttpServer::~RawHttpServer() {
  stopping_.store(true);
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

std::string RawHttpServer::Url() const {
  return std::string("http://") + kHost + ":" + std::to_string(port_);
}

std::vector<std::string> RawHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void RawHttpServer::Serve() {
  for (std::size_t index = 0; !stopping_.load(); ++index) {
    const int connection = ::accept(listenFd_, nullptr, nullptr);
    if (connection < 0) return;
    Answer(connection, index);
    ::close(connection);
  }
}

void RawHttpServer::Answer(int connection, std::size_t index) {
  timeval timeout{5, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t received = ::recv(connection, buffer, sizeof(buffer), 0);
    if (received <= 0) break;
    head.append(buffer, static_cast<std::size_t>(received));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(head);
  }
  if (index >= responses_.size()) return;
  const std::string &reply = responses_[index];
  std::size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t written =
        ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (written <= 0) return;
    sent += static_cast<std::size_t>(written);
  }
  // Let the client read everything before the connection closes.
  ::shutdown(connection, SHUT_WR);
  while (::recv(connection, buffer, sizeof(buffer), 0) > 0) {
  }
}

// ---- Certificates ----------------------------------------------------------

namespace {

bool Run(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TestCertificates MakeTestCertificates(const std::string &directory) {
  TestCertificates files;
  const std::string caKey = qx::common::joinPaths(directory, "ca.key");
  const std::string csr = qx::common::joinPaths(directory, "server.csr");
  const std::string extensions = qx::common::joinPaths(directory, "server.ext");
  files.caCert = qx::common::joinPaths(directory, "ca.pem");
  files.serverCert = qx::common::joinPaths(directory, "server.pem");
  files.serverKey = qx::common::joinPaths(directory, "server.key");
  const std::string ecKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  files.ok =
      Run("printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > '" + extensions + "'") &&
      Run("openssl req -x509 " + ecKey + " -days 2 -subj '/CN=Quarn Test CA' -keyout '" +
          caKey + "' -out '" + files.caCert + "'") &&
      Run("openssl req " + ecKey + " -subj '/CN=127.0.0.1' -keyout '" + files.serverKey +
          "' -out '" + csr + "'") &&
      Run("openssl x509 -req -days 2 -in '" + csr + "' -CA '" + files.caCert + "' -CAkey '" +
          caKey + "' -CAcreateserial -extfile '" + extensions + "' -out '" +
          files.serverCert + "'");
  return files;
}

int UnusedPort() {
  int port = 0;
  const int fd = ListenOnEphemeralPort(port);
  if (fd >= 0) ::close(fd);
  return port;
}

}  // namespace qx::test
