#include "support/InstrumentedServer.hh"

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>

#include <qx/common/Util.hh>

namespace qx::test {
namespace {

using qx::quarn_server::ReceivedRequest;
using qx::quarn_server::RepositoryServer;
using qx::quarn_server::RequestWatch;
using qx::quarn_server::ServerAnswer;

// How many requests the log keeps, and how many bytes of stored bodies.
const std::size_t kLogLimit = 10000;
const std::size_t kLogByteLimit = 64u << 20;

bool sameName(const std::string &a, const std::string &b) {
  return qx::common::lowercase(a) == qx::common::lowercase(b);
}

// The body bytes a record keeps.
std::size_t storedBytes(const RequestRecord &record) {
  std::size_t bytes = record.body.size();
  for (const FormPart &part : record.form) bytes += part.content.size();
  return bytes;
}

// The first `limit` bytes of the file at `path` (empty when it cannot be
// read).
std::string head(const std::string &path, std::size_t limit) {
  if (path.empty()) return "";
  std::ifstream in(path, std::ios::binary);
  std::string content(limit, '\0');
  in.read(content.data(), static_cast<std::streamsize>(limit));
  content.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return content;
}

RequestRecord recordOf(const ReceivedRequest &request) {
  RequestRecord record;
  record.method = request.method;
  record.target = request.target;
  record.route = request.route;
  record.query = request.query;
  record.peer = request.peer;
  record.headers = request.headers;
  std::stable_sort(record.headers.begin(), record.headers.end(), [](const auto &a, const auto &b) {
    return qx::common::lowercase(a.first) < qx::common::lowercase(b.first);
  });
  record.bodySize = static_cast<std::size_t>(request.bodySize);
  record.body = head(request.spooledBody, RequestRecord::kStoredBodyLimit);
  for (const ReceivedRequest::Part &part : request.parts) {
    const std::string content = part.spooled.empty()
                                    ? part.text.substr(0, RequestRecord::kStoredBodyLimit)
                                    : head(part.spooled, RequestRecord::kStoredBodyLimit);
    record.form.push_back({part.name, part.filename, part.contentType, content});
  }
  std::stable_sort(record.form.begin(), record.form.end(),
                   [](const FormPart &a, const FormPart &b) { return a.name < b.name; });
  return record;
}

bool scriptMatches(const ResponseScript &script, const std::string &method,
                   const std::string &route, const std::string &query) {
  const bool methodMatches = script.method.empty() || script.method == method ||
                             (script.method == "GET" && method == "HEAD");
  return methodMatches && script.route == route && (!script.query || *script.query == query);
}

// Whether `script` sets the answer's status (or makes it a referral), so
// that a write it matches is not carried out.
bool decidesAnswer(const ResponseScript &script) {
  return script.status.has_value() || script.referralUrl.has_value();
}

// `answer` changed as `script` says (see ResponseScript for the order).
void applyScript(const ResponseScript &script, ServerAnswer &answer) {
  if (script.referralUrl) {
    answer.SetStatus(200);
    answer.SetBody(*script.referralUrl);
    answer.SetHeader("Content-Type", script.referralContentType);
  }
  if (script.status) answer.SetStatus(*script.status);
  if (script.body) answer.SetBody(*script.body);
  if (script.contentType) answer.SetHeader("Content-Type", *script.contentType);
  std::set<std::string> replaced;
  for (const auto &[name, value] : script.headers) {
    if (replaced.insert(qx::common::lowercase(name)).second) answer.RemoveHeader(name);
    answer.AddHeader(name, value);
  }
  for (const std::string &name : script.removeHeaders) answer.RemoveHeader(name);
  if (script.dropVersionHeader) answer.RemoveHeader(qx::quarn_server::kVersionHeader);
  if (script.truncateAfter) answer.TruncateAfter(*script.truncateAfter);
  answer.Delay(script.delay);
}

}  // namespace

std::optional<std::string> RequestRecord::Header(const std::string &name) const {
  for (const auto &header : headers)
    if (sameName(header.first, name)) return header.second;
  return std::nullopt;
}

// The scripts and the log, and the server's observer that keeps them.
class InstrumentedServer::Instruments : public qx::quarn_server::RequestObserver {
 public:
  int Add(const ResponseScript &script) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.push_back({nextId_, script, 0});
    return nextId_++;
  }
  void Remove(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.erase(std::remove_if(scripts_.begin(), scripts_.end(),
                                  [id](const Entry &entry) { return entry.id == id; }),
                   scripts_.end());
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.clear();
  }
  // The first script, in the order added, that matches the request and has
  // uses left; taking it uses it once.
  std::optional<ResponseScript> Take(const ReceivedRequest &request) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry &entry : scripts_) {
      const bool usesLeft = entry.script.times <= 0 || entry.used < entry.script.times;
      if (usesLeft && scriptMatches(entry.script, request.method, request.route, request.query)) {
        ++entry.used;
        return entry.script;
      }
    }
    return std::nullopt;
  }

  void Log(const RequestRecord &record) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(record);
    logBytes_ += storedBytes(record);
    while (log_.size() > 1 && (log_.size() > kLogLimit || logBytes_ > kLogByteLimit)) {
      logBytes_ -= storedBytes(log_.front());
      log_.pop_front();
    }
  }
  std::vector<RequestRecord> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<RequestRecord>(log_.begin(), log_.end());
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    logBytes_ = 0;
  }

  std::unique_ptr<RequestWatch> Watch(const ReceivedRequest &request) override;

  // Requests being answered now.
  std::atomic<std::size_t> answering{0};

 private:
  class ScriptedWatch;
  struct Entry {
    int id;
    ResponseScript script;
    int used;
  };

  mutable std::mutex mutex_;
  std::vector<Entry> scripts_;
  int nextId_ = 1;
  std::deque<RequestRecord> log_;
  std::size_t logBytes_ = 0;
};

// One request: the script it takes, its record, and its count among those
// being answered.
class InstrumentedServer::Instruments::ScriptedWatch : public RequestWatch {
 public:
  ScriptedWatch(Instruments &instruments, const ReceivedRequest &request,
                std::atomic<std::size_t> &answering)
      : instruments_(instruments),
        answering_(answering),
        concurrent_(++answering),
        script_(instruments.Take(request)),
        write_(request.write) {}
  ~ScriptedWatch() override { --answering_; }

  bool ReadsBody() const override { return script_.has_value(); }
  bool StandsIn() const override { return write_ && script_ && decidesAnswer(*script_); }
  void Received(const ReceivedRequest &request) override {
    record_ = recordOf(request);
    record_.concurrent = concurrent_;
  }
  void Answering(const ReceivedRequest &, ServerAnswer &answer) override {
    if (script_) applyScript(*script_, answer);
  }
  void Answered(const ReceivedRequest &, int status) override {
    record_.status = status;
    instruments_.Log(record_);
  }

 private:
  Instruments &instruments_;
  std::atomic<std::size_t> &answering_;
  const std::size_t concurrent_;
  const std::optional<ResponseScript> script_;
  const bool write_;
  RequestRecord record_;
};

std::unique_ptr<RequestWatch> InstrumentedServer::Instruments::Watch(
    const ReceivedRequest &request) {
  return std::make_unique<ScriptedWatch>(*this, request, answering);
}

InstrumentedServer::InstrumentedServer(std::string root, RepositoryServer::Options options)
    : instruments_(std::make_shared<Instruments>()) {
  options.observer = instruments_;
  server_ = std::make_unique<RepositoryServer>(std::move(root), std::move(options));
}

InstrumentedServer::~InstrumentedServer() { server_->Stop(); }

int InstrumentedServer::AddScript(const ResponseScript &script) { return instruments_->Add(script); }

void InstrumentedServer::RemoveScript(int id) { instruments_->Remove(id); }

void InstrumentedServer::ClearScripts() { instruments_->Clear(); }

std::vector<RequestRecord> InstrumentedServer::Requests() const { return instruments_->Requests(); }

std::vector<RequestRecord> InstrumentedServer::Requests(const std::string &route) const {
  std::vector<RequestRecord> matching;
  for (RequestRecord &record : Requests())
    if (record.route == route) matching.push_back(std::move(record));
  return matching;
}

void InstrumentedServer::ClearRequests() { instruments_->ClearRequests(); }

}  // namespace qx::test
