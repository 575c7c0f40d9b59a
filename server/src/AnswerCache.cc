#include "AnswerCache.hh"

namespace qx::quarn_server {

std::optional<Reply> AnswerCache::Get(const std::string &key, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  const Entry &entry = found->second;
  if (entry.generation != generation || Clock::now() - entry.made > kMaxAge) return std::nullopt;
  return entry.reply;
}

void AnswerCache::Put(const std::string &key, std::uint64_t generation, const Reply &reply) {
  const std::size_t size = key.size() + reply.body.size();
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto found = entries_.find(key); found != entries_.end()) {
    bytes_ -= key.size() + found->second.reply.body.size();
    files_ -= found->second.reply.file ? 1 : 0;
    entries_.erase(found);
  }
  if (entries_.size() >= kMaxAnswers || bytes_ + size > kMaxBytes ||
      (reply.file && files_ >= kMaxFiles)) {
    entries_.clear();
    bytes_ = 0;
    files_ = 0;
  }
  if (size > kMaxBytes) return;
  entries_.emplace(key, Entry{generation, Clock::now(), reply});
  bytes_ += size;
  files_ += reply.file ? 1 : 0;
}

void AnswerCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  bytes_ = 0;
  files_ = 0;
}

}  // namespace qx::quarn_server
