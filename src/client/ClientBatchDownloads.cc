// Parallel downloads: a queue of models that grows with the dependencies
// they find, drained by fetches and saves, and a window of world downloads
// running as asynchronous tasks.
//
// A model's download is the single-model download of the one client, in its
// two halves: the fetch (the network's part) and the save (the disk's and
// the CPU's). The batch's jobs are its workers, each saving one fetched
// model at a time, so jobs bound the saves that run at once. Fetches run on
// threads of their own, as many at once as the transport carries to the
// model's server without opening connections for them: the streams of one
// connection where the server speaks HTTP/2, one per job where it speaks
// HTTP/1.1 (a connection per request). Fetched models wait for a worker in
// a line of at most jobs, so fetches run ahead of the saves by no more than
// that. All this is safe because what the threads share keeps no state
// between calls: the cache reads the disk afresh, each download sends
// through a transport of its own (and Rest::Request keeps its state per
// call), the grammar's compiled patterns are only read, and the log writes
// whole lines under its own lock. Neither batch runs two downloads of the
// same resource at once: the second would only fetch the same archive
// again. Every thread a batch starts takes the cancellation token of the
// thread that called it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include <qx/common/Console.hh>

#include "Cancellation.hh"
#include "ClientBatchDownloads.hh"
#include "Outcomes.hh"
#include "RestClientInternal.hh"

namespace qx::quarn_tools::internal {

namespace {

// The batch looks this often whether its fetches may run wider (a server
// that turned out to speak HTTP/2).
constexpr std::chrono::milliseconds kWidenEvery(100);
// The world window waits this long before each launch, and at most this
// long for each unfinished download in a collection pass.
constexpr std::chrono::milliseconds kLaunchPause(10);
constexpr std::chrono::milliseconds kCollectWait(100);

// A batch asked to run on no thread at all runs on one.
std::size_t AtLeastOne(std::size_t jobs) { return jobs < 1 ? 1 : jobs; }

using ModelResults = std::vector<BatchDownload>;

// The server a model is fetched from, as the transport tells servers apart.
std::string ServerOf(const ModelIdentifier &id) { return id.Server().Url().Str(); }

// How many fetches to the server at `url` run at once: the requests the
// transport carries to it on one connection (the streams of an HTTP/2
// connection), and at least one per job.
std::size_t FetchesAtOnce(const std::string &url, std::size_t jobs) {
  return std::max(jobs, static_cast<std::size_t>(RequestsPerConnection(url)));
}

// The models still to download in one DownloadModels call, shared by its
// threads. Everything here is guarded by one lock.
//
// The batch is over when the queue is empty and no model is busy (from
// being taken until its save ends): a busy model may still add the
// dependencies it names. A dependency is queued only if no identifier with
// its unique name was queued before, so a model named by many others is
// fetched once; the input list is queued whole, repeats included. A model
// whose unique name is being downloaded waits until that download ends, and
// one whose server has as many fetches running as it takes at once waits
// for one of them to end.
class ModelQueue {
 public:
  ModelQueue(const std::vector<ModelIdentifier> &ids, std::size_t jobs)
      : queue_(ids.begin(), ids.end()), jobs_(jobs) {
    for (const auto &id : ids) queued_.insert(id.UniqueName());
  }

  // The next model to fetch, marked busy and fetching; nothing once the
  // queue stops.
  std::optional<ModelIdentifier> Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
      std::map<std::string, std::size_t> room;  // of each server, asked once per look
      const auto next = std::find_if(queue_.begin(), queue_.end(), [&](const auto &id) {
        if (busy_.count(id.UniqueName()) != 0) return false;
        const std::string server = ServerOf(id);
        auto known = room.find(server);
        if (known == room.end()) known = room.emplace(server, FetchesAtOnce(server, jobs_)).first;
        return fetching_[server] < known->second;
      });
      if (next != queue_.end()) {
        ModelIdentifier id = *next;
        queue_.erase(next);
        busy_.insert(id.UniqueName());
        ++fetching_[ServerOf(id)];
        return id;
      }
      // Every change is told; a server that turned out to take more
      // requests at once is looked at again after a while.
      changed_.wait_for(lock, kWidenEvery);
    }
    return std::nullopt;
  }

  // The fetch of `id` ended; its save follows.
  void Fetched(const ModelIdentifier &id) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --fetching_[ServerOf(id)];
    }
    changed_.notify_all();
  }

  // How many fetches the models waiting could run at once: for the
  // servers they come from, what each takes at once, in all.
  std::size_t FetchesWanted() {
    std::set<std::string> servers;
    std::size_t waiting = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto &id : queue_) servers.insert(ServerOf(id));
      for (const auto &[server, count] : fetching_) {
        if (count > 0) servers.insert(server);
        waiting += count;
      }
      waiting += queue_.size();
    }
    std::size_t wanted = 0;
    for (const std::string &server : servers) wanted += FetchesAtOnce(server, jobs_);
    return std::min(wanted, waiting);
  }

  // Ends the download of `id`, queueing those of `dependencies` not queued
  // before.
  void Finish(const ModelIdentifier &id, const std::vector<ModelIdentifier> &dependencies) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!dependencies.empty()) {
        qxdbg << "Adding " << dependencies.size() << " model dependencies to queue from "
              << id.Name() << "\n";
      }
      for (const auto &dependency : dependencies) {
        if (queued_.insert(dependency.UniqueName()).second) queue_.push_back(dependency);
      }
      busy_.erase(id.UniqueName());
    }
    changed_.notify_all();
  }

  // Whether every queued model has been downloaded, or the queue stopped,
  // waiting at most `wait` for it.
  bool WaitUntilDrained(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, wait,
                             [this] { return !running_ || (queue_.empty() && busy_.empty()); });
  }

  // Nothing more is taken; models being downloaded are finished.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = false;
    }
    changed_.notify_all();
  }

  std::size_t Length() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = true;
  std::deque<ModelIdentifier> queue_;
  const std::size_t jobs_;
  // Unique names ever queued, and those being downloaded now.
  std::unordered_set<std::string> queued_;
  std::unordered_set<std::string> busy_;
  // Fetches running, by server.
  std::map<std::string, std::size_t> fetching_;
};

// The results of the workers, in the order their downloads finished. Its
// lock is never taken while the queue's is held.
class ResultList {
 public:
  void Add(const ModelIdentifier &id, ModelTree::Node made) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back({id, std::move(made)});
  }
  // Only once every worker has been joined.
  ModelResults Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(results_);
  }

 private:
  std::mutex mutex_;
  ModelResults results_;
};

// Runs `step` for the model `id` on a worker; a failure that escapes as an
// exception counts as a failed download instead of ending the process.
template <typename Step>
void Guarded(const ModelIdentifier &id, Step step, Result &result) {
  try {
    step();
    return;
  } catch (const std::exception &e) {
    qxerr << "Download of model [" << id.UniqueName() << "] failed: " << e.what() << "\n";
  } catch (...) {
    qxerr << "Download of model [" << id.UniqueName() << "] failed\n";
  }
  result = Result(FETCH_FAILED);
}

// The models fetched and waiting for a worker to save them, in the order
// their fetches ended; at most `capacity`: a fetch that ends with the line
// full waits, so fetches run ahead of the saves by no more than that.
class FetchedLine {
 public:
  explicit FetchedLine(std::size_t capacity) : capacity_(capacity) {}

  void Hand(const ModelIdentifier &id, FetchedModel fetched) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return line_.size() < capacity_; });
    line_.emplace_back(id, std::move(fetched));
    changed_.notify_all();
  }

  // The next model to save; nothing once the line is closed and empty.
  std::optional<std::pair<ModelIdentifier, FetchedModel>> Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !line_.empty() || closed_; });
    if (line_.empty()) return std::nullopt;
    std::pair<ModelIdentifier, FetchedModel> next = std::move(line_.front());
    line_.pop_front();
    changed_.notify_all();
    return next;
  }

  // No fetch comes any more: workers stop once the line is empty.
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<ModelIdentifier, FetchedModel>> line_;
  bool closed_ = false;
};

// A worker: saves fetched models until the line closes.
void SaveLoop(Downloader &downloads, FetchedLine &line, ModelQueue &queue,
              ResultList &results) {
  while (auto next = line.Next()) {
    // Named, not bound: a lambda may not capture a structured binding
    // before C++20.
    const ModelIdentifier &id = next->first;
    FetchedModel &fetched = next->second;
    ModelTree::Node made;
    Result failed(FETCH_DONE);
    Guarded(id, [&] { made = downloads.SaveFetchedNode(fetched, id.Url().Str()); }, failed);
    if (!failed) {
      made = ModelTree::Node();
      made.outcome = OutcomeNaming(ResourceKind::kModel, id, id.Url().Str());
      Fail(made.outcome, failed, FailureReason::kOther, "the download failed unexpectedly");
    }
    std::vector<ModelIdentifier> dependencies;
    if (made.outcome.result) dependencies = made.dependencies.ids;
    // Recorded before the queue hears of it: once the queue is drained, the
    // batch takes the results.
    results.Add(id, std::move(made));
    queue.Finish(id, dependencies);
  }
}

// What the threads of one batch are told: its options, and the models it
// was given (by unique name), which are downloaded whatever the cache holds.
struct BatchRules {
  const ModelBatchOptions &options;
  std::unordered_set<std::string> given;
};

// With options.cachedDependencies, a dependency the cache holds: recorded
// as the cache's, and what it names queued. False when it is to be
// downloaded.
bool TakenFromCache(Downloader &downloads, const BatchRules &rules, const ModelIdentifier &id,
                    ModelQueue &queue, ResultList &results) {
  if (!rules.options.cachedDependencies || rules.given.count(id.UniqueName()) > 0) return false;
  ModelTree::Node cached = downloads.CachedNode(id, id.Url().Str());
  if (cached.outcome.path.empty()) return false;
  const std::vector<ModelIdentifier> dependencies = cached.dependencies.ids;
  results.Add(id, std::move(cached));
  queue.Finish(id, dependencies);
  return true;
}

// A fetch thread: fetches models until the queue stops, and hands them on
// (a dependency the cache may answer is recorded here, without a save).
void FetchLoop(Downloader &downloads, const BatchRules &rules, ModelQueue &queue,
               FetchedLine &line, ResultList &results) {
  while (std::optional<ModelIdentifier> id = queue.Take()) {
    bool cached = false;
    Result unused;
    Guarded(*id, [&] { cached = TakenFromCache(downloads, rules, *id, queue, results); }, unused);
    if (cached) {
      queue.Fetched(*id);
      continue;
    }
    // A fetch that throws leaves a failed FetchedModel, which its worker
    // records as such.
    FetchedModel fetched;
    const std::vector<std::string> headers =
        rules.options.headersFor ? rules.options.headersFor(*id) : std::vector<std::string>();
    Guarded(*id, [&] { fetched = downloads.FetchModel(*id, headers); }, unused);
    queue.Fetched(*id);
    line.Hand(*id, std::move(fetched));
  }
}

// The threads of one DownloadModels call, each with the caller's
// cancellation token.
class BatchCrew {
 public:
  BatchCrew(Downloader &downloads, const BatchThreads &threads, const BatchRules &rules,
            ModelQueue &queue, FetchedLine &line, ResultList &results)
      : downloads_(downloads), threads_(threads), rules_(rules), queue_(queue), line_(line),
        results_(results), token_(CurrentCancelToken()) {}

  // Starts `jobs` workers. False, with the reason logged, when one cannot be
  // started.
  bool StartWorkers(std::size_t jobs) {
    for (std::size_t i = 0; i < jobs; ++i) {
      try {
        workers_.push_back(Start([this] {
          SaveLoop(downloads_, line_, queue_, results_);
        }));
      } catch (const std::exception &e) {
        qxerr << "Unable to start download worker thread " << i + 1 << " of " << jobs << ": "
              << e.what() << "\n";
        return false;
      }
    }
    return true;
  }

  // Starts fetch threads up to `wanted` in all. False, with the reason
  // logged, when not even one runs.
  bool StartFetches(std::size_t wanted) {
    while (fetchers_.size() < wanted) {
      try {
        fetchers_.push_back(
            Start([this] { FetchLoop(downloads_, rules_, queue_, line_, results_); }));
      } catch (const std::exception &e) {
        if (fetchers_.empty()) {
          qxerr << "Unable to start a download fetch thread: " << e.what() << "\n";
          return false;
        }
        qxdbg << "Fetching with " << fetchers_.size() << " threads: " << e.what() << "\n";
        return true;
      }
    }
    return true;
  }

  // Once the queue stopped: the fetches end, then the saves of what they
  // fetched.
  void Join() {
    for (std::thread &fetcher : fetchers_) fetcher.join();
    line_.Close();
    for (std::thread &worker : workers_) worker.join();
  }

 private:
  std::thread Start(std::function<void()> work) {
    return threads_.startWorker([token = token_, work = std::move(work)] {
      const CancelScope scope(token);
      work();
    });
  }

  Downloader &downloads_;
  const BatchThreads &threads_;
  const BatchRules &rules_;
  ModelQueue &queue_;
  FetchedLine &line_;
  ResultList &results_;
  const CancelToken token_;
  std::vector<std::thread> workers_;
  std::vector<std::thread> fetchers_;
};

// The world downloads in flight, oldest first, with the count of those that
// succeeded. Only the calling thread touches it.
class WorldWindow {
 public:
  explicit WorldWindow(std::size_t total) : total_(total) {}

  std::size_t Size() const { return pending_.size(); }
  bool Empty() const { return pending_.empty(); }

  bool Holds(const std::string &uniqueName) const {
    return std::any_of(pending_.begin(), pending_.end(),
                       [&](const Pending &p) { return p.uniqueName == uniqueName; });
  }

  void Add(std::string uniqueName, std::future<Result> future) {
    pending_.push_back({std::move(uniqueName), std::move(future), false});
  }

  // One collection pass: consumes the downloads that are done (waiting a
  // little for each) and writes the progress line.
  void Collect() {
    for (Pending &p : pending_) {
      p.ready = p.future.wait_until(std::chrono::steady_clock::now() + kCollectWait) ==
                std::future_status::ready;
    }
    const auto firstReady = std::stable_partition(pending_.begin(), pending_.end(),
                                                  [](const Pending &p) { return !p.ready; });
    for (auto it = firstReady; it != pending_.end(); ++it) Count(*it);
    pending_.erase(firstReady, pending_.end());
    qxmsg << "Downloaded: " << succeeded_ << " / " << total_ << "\n";
  }

 private:
  struct Pending {
    std::string uniqueName;
    std::future<Result> future;
    bool ready;
  };

  void Count(Pending &p) {
    Result result(FETCH_FAILED);
    try {
      result = p.future.get();
    } catch (const std::exception &e) {
      qxerr << "Download of world [" << p.uniqueName << "] failed: " << e.what() << "\n";
    }
    if (result) {
      ++succeeded_;
    } else {
      qxerr << result.ReadableResult() << "\n";
    }
  }

  std::deque<Pending> pending_;
  std::size_t succeeded_ = 0;
  std::size_t total_;
};

}  // namespace

ClientBatchDownloads::ClientBatchDownloads(Downloader &downloads, BatchThreads threads)
    : downloads_(downloads), threads_(std::move(threads)) {}

std::vector<BatchDownload> ClientBatchDownloads::Models(const std::vector<ModelIdentifier> &ids,
                                                        std::size_t jobs,
                                                        const ModelBatchOptions &options) {
  jobs = AtLeastOne(jobs);
  BatchRules rules{options, {}};
  for (const ModelIdentifier &id : ids) rules.given.insert(id.UniqueName());
  ModelQueue queue(ids, jobs);
  // Counted before any thread takes a model, so the line does not depend on
  // how fast the threads start.
  const std::size_t queued = queue.Length();
  ResultList results;
  FetchedLine line(jobs);
  BatchCrew crew(downloads_, threads_, rules, queue, line, results);
  if (crew.StartWorkers(jobs) &&
      crew.StartFetches(std::max<std::size_t>(1, queue.FetchesWanted()))) {
    qxmsg << "Preparing to download " << queued << " models with " << jobs << " worker threads\n";
    // Fetches widen as servers turn out to take more requests at once.
    while (!queue.WaitUntilDrained(kWidenEvery)) crew.StartFetches(queue.FetchesWanted());
  }
  queue.Stop();
  crew.Join();

  ModelResults done = results.Take();
  qxmsg << "Finished, downloaded " << done.size() << " models in total\n";
  return done;
}

std::vector<DownloadOutcome> ClientBatchDownloads::Worlds(
    const std::vector<WorldIdentifier> &ids, std::size_t jobs,
    const std::function<std::vector<std::string>(const WorldIdentifier &id)> &headersFor) {
  jobs = AtLeastOne(jobs);
  qxmsg << "Using " << jobs << " jobs to download collection of " << ids.size() << " items\n";
  const CancelToken token = CurrentCancelToken();
  // One outcome per world, each written by its own task only, and read once
  // that task's future is consumed.
  std::vector<DownloadOutcome> outcomes;
  for (const WorldIdentifier &id : ids) {
    outcomes.push_back(OutcomeNaming(ResourceKind::kWorld, id, id.Url().Str()));
    Fail(outcomes.back(), Result(FETCH_FAILED), FailureReason::kOther,
         "the download was not started");
  }
  WorldWindow window(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const WorldIdentifier &id = ids[i];
    while (window.Size() >= jobs || window.Holds(id.UniqueName())) window.Collect();
    std::this_thread::sleep_for(kLaunchPause);
    DownloadOutcome *slot = &outcomes[i];
    const std::vector<std::string> headers = headersFor ? headersFor(id) : std::vector<std::string>();
    try {
      window.Add(id.UniqueName(), threads_.startTask([this, id, slot, token, headers]() -> Result {
        const CancelScope scope(token);
        try {
          WorldIdentifier copy(id);
          *slot = downloads_.WorldOutcome(copy, headers, id.Url().Str());
          return slot->result;
        } catch (const std::exception &e) {
          qxerr << "Download of world [" << id.UniqueName() << "] failed: " << e.what() << "\n";
          Fail(*slot, Result(FETCH_FAILED), FailureReason::kOther, e.what());
          return Result(FETCH_FAILED);
        }
      }));
    } catch (const std::exception &e) {
      qxerr << "Unable to start the download of world [" << id.UniqueName() << "]: " << e.what()
            << ". " << ids.size() - i << " of " << ids.size() << " downloads not started.\n";
      break;
    }
  }
  while (!window.Empty()) window.Collect();
  return outcomes;
}

}  // namespace qx::quarn_tools::internal
