#include "ConnectionPool.hh"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include <qx/common/Console.hh>

namespace qx::quarn_server {
namespace {

// How long a refused connection is read from before it is closed.
const auto kLingerTime = std::chrono::seconds(2);
// How often the watcher looks at the queue.
const int kWatchMilliseconds = 50;
// At most one warning about busy threads in this time.
const auto kWarningInterval = std::chrono::seconds(10);

// Reads and drops what `fd` holds now: the bytes read (up to `keep` of
// them kept in `head`), and whether the client is done sending (end of
// stream or an error).
bool drain(int fd, std::string *head, std::size_t keep) {
  char buffer[4096];
  while (true) {
    const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got > 0) {
      if (head && head->size() < keep) head->append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

}  // namespace

ConnectionPool::ConnectionPool(const Settings &settings, Serve serve)
    : settings_(settings), serve_(std::move(serve)) {
  const std::size_t threads = settings_.threads == 0 ? 1 : settings_.threads;
  try {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    watcher_ = std::thread([this] { Watch(); });
  } catch (const std::system_error &e) {
    qxwarn << "Started " << threads_.size() << " of " << threads
           << " server threads: " << e.what();
  }
}

ConnectionPool::~ConnectionPool() { Shutdown(); }

void ConnectionPool::Admit(int fd) {
  {
    const std::size_t limit = settings_.queueLimit == 0 ? 1 : settings_.queueLimit;
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < limit || shuttingDown_; });
    if (!shuttingDown_ && !threads_.empty()) {
      queue_.push_back({fd, Clock::now()});
      work_.notify_one();
      return;
    }
  }
  // Without any thread (none could be started) the listener serves it.
  if (threads_.empty()) serve_(fd);
  ::close(fd);
}

void ConnectionPool::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
    for (const int fd : serving_) ::shutdown(fd, SHUT_RDWR);
    for (const Waiting &waiting : queue_) ::close(waiting.fd);
    queue_.clear();
  }
  work_.notify_all();
  room_.notify_all();
  std::lock_guard<std::mutex> joining(joinMutex_);
  for (std::thread &thread : threads_)
    if (thread.joinable()) thread.join();
  if (watcher_.joinable()) watcher_.join();
}

void ConnectionPool::Work() {
  while (true) {
    int fd = -1;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return !queue_.empty() || shuttingDown_; });
      if (shuttingDown_) return;
      fd = queue_.front().fd;
      queue_.pop_front();
      serving_.insert(fd);
    }
    room_.notify_one();
    serve_(fd);
    // Closed under the lock, so that Shutdown never shuts down a number
    // that another file took meanwhile.
    std::lock_guard<std::mutex> lock(mutex_);
    serving_.erase(fd);
    ::close(fd);
  }
}

std::vector<int> ConnectionPool::TakeOverdue() {
  std::vector<int> overdue;
  if (settings_.queueTimeout.count() <= 0) return overdue;
  const Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!queue_.empty() && now - queue_.front().since >= settings_.queueTimeout) {
      overdue.push_back(queue_.front().fd);
      queue_.pop_front();
    }
    if (overdue.empty() || now - lastWarning_ < kWarningInterval) return overdue;
    lastWarning_ = now;
  }
  qxwarn << "All " << threads_.size() << " server threads are busy: clients that waited "
         << settings_.queueTimeout.count() << " ms for one are answered 503, to come back in "
         << settings_.retryAfterSeconds << " s";
  return overdue;
}

void ConnectionPool::Watch() {
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (shuttingDown_) break;
    }
    const std::vector<int> overdue = TakeOverdue();
    if (!overdue.empty()) room_.notify_all();
    for (const int fd : overdue) Refuse(fd);
    Linger();
  }
  CloseLingering();
}

void ConnectionPool::Refuse(int fd) {
  // What the client sent so far: to tell a HEAD request, which gets no body.
  std::string head;
  drain(fd, &head, 5);
  const std::string body = "All server threads are busy; try again later\n";
  const bool headRequest = head.compare(0, 5, "HEAD ") == 0;
  const std::string answer = "HTTP/1.1 503 Service Unavailable\r\n"
                             "Content-Type: text/plain\r\n"
                             "Content-Length: " + std::to_string(body.size()) + "\r\n"
                             "Retry-After: " + std::to_string(settings_.retryAfterSeconds) + "\r\n"
                             "Connection: close\r\n\r\n" + (headRequest ? "" : body);
  // A fresh connection's send buffer takes the few bytes at once.
  (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(fd, SHUT_WR);
  lingering_.push_back({fd, Clock::now() + kLingerTime});
}

void ConnectionPool::Linger() {
  std::vector<pollfd> watched;
  for (const Lingering &connection : lingering_) watched.push_back({connection.fd, POLLIN, 0});
  if (::poll(watched.data(), watched.size(), kWatchMilliseconds) < 0 && errno != EINTR) return;
  const Clock::time_point now = Clock::now();
  std::vector<Lingering> still;
  for (std::size_t i = 0; i < lingering_.size(); ++i) {
    const bool done = watched[i].revents != 0 && drain(lingering_[i].fd, nullptr, 0);
    if (done || now >= lingering_[i].until)
      ::close(lingering_[i].fd);
    else
      still.push_back(lingering_[i]);
  }
  lingering_.swap(still);
}

void ConnectionPool::CloseLingering() {
  for (const Lingering &connection : lingering_) ::close(connection.fd);
  lingering_.clear();
}

}  // namespace qx::quarn_server
