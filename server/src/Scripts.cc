#include "Scripts.hh"

#include <algorithm>
#include <set>

#include <qx/common/Util.hh>

namespace qx::quarn_server {

int ScriptBook::Add(const ResponseScript &script) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({nextId_, script, 0});
  return nextId_++;
}

void ScriptBook::Remove(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [id](const Entry &entry) { return entry.id == id; }),
                 entries_.end());
}

void ScriptBook::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

std::optional<ResponseScript> ScriptBook::Take(const std::string &method,
                                               const std::string &route,
                                               const std::string &query) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry &entry : entries_) {
    const bool usesLeft = entry.script.times <= 0 || entry.used < entry.script.times;
    if (usesLeft && scriptMatches(entry.script, method, route, query)) {
      ++entry.used;
      return entry.script;
    }
  }
  return std::nullopt;
}

bool scriptMatches(const ResponseScript &script, const std::string &method,
                   const std::string &route, const std::string &query) {
  const bool methodMatches = script.method.empty() || script.method == method ||
                             (script.method == "GET" && method == "HEAD");
  return methodMatches && script.route == route && (!script.query || *script.query == query);
}

bool decidesAnswer(const ResponseScript &script) {
  return script.status.has_value() || script.referralUrl.has_value();
}

void applyScript(const ResponseScript &script, Reply &reply) {
  if (script.referralUrl) {
    reply.status = 200;
    reply.SetBody(*script.referralUrl);
    reply.SetHeader("Content-Type", script.referralContentType);
  }
  if (script.status) reply.status = *script.status;
  if (script.body) reply.SetBody(*script.body);
  if (script.contentType) reply.SetHeader("Content-Type", *script.contentType);
  std::set<std::string> replaced;
  for (const auto &header : script.headers) {
    if (replaced.insert(qx::common::lowercase(header.first)).second)
      reply.RemoveHeader(header.first);
    reply.headers.push_back(header);
  }
  for (const std::string &name : script.removeHeaders) reply.RemoveHeader(name);
  if (script.dropVersionHeader) reply.RemoveHeader(kVersionHeader);
  if (script.truncateAfter) reply.truncateAfter = script.truncateAfter;
  reply.delay = script.delay;
}

}  // namespace qx::quarn_server
