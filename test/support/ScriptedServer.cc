#include "support/ScriptedServer.hh"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

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

}  // namespace qx::test
