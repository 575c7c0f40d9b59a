/*
 * Answers kept for as long as the served tree does not change (the
 * generation of a TreeWatch) and for two seconds at most (for file systems
 * whose changes no watch sees): the catalogue's answers to reads, by route,
 * query and whether the request carried the read key. An answer sent from
 * a file keeps that file open (the bytes sent are those of the file as it
 * was when opened, which a change ends the answer's keep of anyway).
 * Bounded in answers, bytes and open files: when full, it starts afresh.
 * Thread-safe.
 */
#ifndef QX_QUARN_SERVER_ANSWERCACHE_HH_
#define QX_QUARN_SERVER_ANSWERCACHE_HH_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Reply.hh"

namespace qx::quarn_server {

class AnswerCache {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kMaxAnswers = 4096;
  static constexpr std::size_t kMaxFiles = 256;
  static constexpr std::size_t kMaxBytes = 8 << 20;
  static constexpr std::chrono::seconds kMaxAge{2};

  // The answer kept for `key` in `generation`, if any.
  std::optional<Reply> Get(const std::string &key, std::uint64_t generation);
  // Keeps `reply` as what `key` gives in `generation`.
  void Put(const std::string &key, std::uint64_t generation, const Reply &reply);
  // Forgets every answer (the generations of another watch begin).
  void Clear();

 private:
  struct Entry {
    std::uint64_t generation;
    Clock::time_point made;
    Reply reply;
  };

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;  // guarded by mutex_
  std::size_t bytes_ = 0;                           // guarded by mutex_
  std::size_t files_ = 0;                           // guarded by mutex_
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_ANSWERCACHE_HH_
