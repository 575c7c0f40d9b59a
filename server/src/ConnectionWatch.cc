#include "ConnectionWatch.hh"

// The kernel's own tcp_info, which counts the bytes received and
// acknowledged (glibc's copy of the structure predates those fields).
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <optional>

#include "Threads.hh"

namespace qx::quarn_server {
namespace {

// How often every connection is looked at.
const std::chrono::milliseconds kLookInterval(250);

struct Progress {
  std::uint64_t received = 0;
  std::uint64_t acknowledged = 0;
};

// What the kernel counted of the connection `fd`; nullopt for a socket
// that is no TCP connection.
std::optional<Progress> progressOf(int fd) {
  struct tcp_info info {};
  socklen_t length = sizeof(info);
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  const socklen_t needed = offsetof(struct tcp_info, tcpi_bytes_received) +
                           sizeof(info.tcpi_bytes_received);
  if (length < needed) return std::nullopt;
  return Progress{info.tcpi_bytes_received, info.tcpi_bytes_acked};
}

}  // namespace

class ConnectionWatch::Entry {
 public:
  explicit Entry(int socket) : fd(socket), since(Clock::now().time_since_epoch().count()) {}

  const int fd;
  // Set by the engine's threads.
  std::atomic<int> phase{static_cast<int>(Phase::kHeader)};
  std::atomic<Clock::rep> since;  // when the phase began
  std::atomic<std::uint64_t> generation{0};

  // The watch's own, under its mutex: the phase as last looked at, and
  // the window of the rate being measured.
  std::uint64_t seenGeneration = 0;
  bool headerBegun = false;  // an idle connection's next request began
  Clock::time_point windowStart;
  std::uint64_t windowMark = 0;
  bool shut = false;
};

ConnectionWatch::ConnectionWatch(const Limits &limits) : limits_(limits) {}

ConnectionWatch::~ConnectionWatch() {
  Stop();
  for (Entry *entry : entries_) delete entry;
}

bool ConnectionWatch::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return true;
  stopping_ = false;
  return startThread(thread_, [this] { Run(); });
}

void ConnectionWatch::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

ConnectionWatch::Entry *ConnectionWatch::Add(int fd) {
  auto *entry = new Entry(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.insert(entry);
  return entry;
}

void ConnectionWatch::Remove(Entry *entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(entry);
  }
  delete entry;
}

void ConnectionWatch::Enter(Entry *entry, Phase phase) {
  entry->phase.store(static_cast<int>(phase));
  entry->since.store(Clock::now().time_since_epoch().count());
  entry->generation.fetch_add(1);
}

std::size_t ConnectionWatch::ShutDown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutDown_;
}

void ConnectionWatch::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kLookInterval, [this] { return stopping_; });
    if (!stopping_) Look(Clock::now());
  }
}

void ConnectionWatch::Look(Clock::time_point now) {
  for (Entry *entry : entries_) {
    if (entry->shut) continue;
    const std::uint64_t generation = entry->generation.load();
    const auto phase = static_cast<Phase>(entry->phase.load());
    const Clock::time_point since{Clock::duration(entry->since.load())};
    const bool fresh = generation != entry->seenGeneration || entry->windowStart == Clock::time_point();
    bool overdue = false;
    if (phase == Phase::kHeader) {
      overdue = now - since > limits_.headerTimeout;
    } else if (phase == Phase::kIdle) {
      const std::optional<Progress> progress = progressOf(entry->fd);
      if (fresh) {
        entry->headerBegun = false;
        entry->windowStart = now;
        entry->windowMark = progress ? progress->received : 0;
      } else if (!entry->headerBegun && progress && progress->received > entry->windowMark) {
        entry->headerBegun = true;
        entry->windowStart = now;
      }
      overdue = entry->headerBegun && now - entry->windowStart > limits_.headerTimeout;
    } else if ((phase == Phase::kBody || phase == Phase::kSending) && limits_.minimumRate > 0) {
      const std::optional<Progress> progress = progressOf(entry->fd);
      if (progress) {
        const std::uint64_t bytes =
            phase == Phase::kBody ? progress->received : progress->acknowledged;
        if (fresh) {
          entry->windowStart = now;
          entry->windowMark = bytes;
        } else if (now - entry->windowStart >= limits_.rateWindow) {
          const double seconds =
              std::chrono::duration<double>(now - entry->windowStart).count();
          overdue = static_cast<double>(bytes - entry->windowMark) <
                    seconds * static_cast<double>(limits_.minimumRate);
          entry->windowStart = now;
          entry->windowMark = bytes;
        }
      }
    }
    entry->seenGeneration = generation;
    if (overdue) {
      ::shutdown(entry->fd, SHUT_RDWR);
      entry->shut = true;
      ++shutDown_;
    }
  }
}

}  // namespace qx::quarn_server
