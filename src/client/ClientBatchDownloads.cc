// Parallel downloads: a pool of worker threads draining a queue of models
// that grows with the dependencies they find, and a window of world
// downloads running as asynchronous tasks.
//
// Every worker calls the single-model download of the one client, in its two
// halves: it fetches a model while a saver of its own saves the one before.
// That is
// safe because what they share keeps no state between calls: the cache
// reads the disk afresh, each download sends through a transport of its own
// (and Rest::Request keeps its state per call), the grammar's compiled
// patterns are only read, and the log writes whole lines under its own lock.
// Neither batch runs two downloads of the same resource at once: the second
// would only fetch the same archive again.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include <qx/common/Console.hh>

#include "ClientBatchDownloads.hh"
#include "Outcomes.hh"

namespace qx::quarn_tools::internal {

namespace {

// Idle workers look at the queue again at least this often.
constexpr std::chrono::milliseconds kIdleRetry(10);
// The world window waits this long before each launch, and at most this
// long for each unfinished download in a collection pass.
constexpr std::chrono::milliseconds kLaunchPause(10);
constexpr std::chrono::milliseconds kCollectWait(100);

// A batch asked to run on no thread at all runs on one.
std::size_t AtLeastOne(std::size_t jobs) { return jobs < 1 ? 1 : jobs; }

using ModelResults = std::vector<BatchDownload>;

// The models still to download in one DownloadModels call, shared by its
// workers. Everything here is guarded by one lock.
//
// The batch is over when the queue is empty and no worker is busy: a busy
// worker may still add the dependencies it finds. A dependency is queued
// only if no identifier with its unique name was queued before, so a model
// named by many others is fetched once; the input list is queued whole,
// repeats included. A model whose unique name is being downloaded waits
// until that download ends.
class ModelQueue {
 public:
  explicit ModelQueue(const std::vector<ModelIdentifier> &ids) : queue_(ids.begin(), ids.end()) {
    for (const auto &id : ids) queued_.insert(id.UniqueName());
  }

  // The next model to download, marked busy; nothing once the queue stops.
  std::optional<ModelIdentifier> Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
      const auto next = std::find_if(queue_.begin(), queue_.end(), [this](const auto &id) {
        return busy_.count(id.UniqueName()) == 0;
      });
      if (next != queue_.end()) {
        ModelIdentifier id = *next;
        queue_.erase(next);
        busy_.insert(id.UniqueName());
        return id;
      }
      changed_.wait_for(lock, kIdleRetry);
    }
    return std::nullopt;
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

  // Returns once every queued model has been downloaded, or the queue stops.
  void WaitUntilDrained() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !running_ || (queue_.empty() && busy_.empty()); });
  }

  // Workers take nothing more; those downloading finish their model.
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
  // Unique names ever queued, and those being downloaded now.
  std::unordered_set<std::string> queued_;
  std::unordered_set<std::string> busy_;
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

// Saves what one worker fetched, on a thread of its own, so that the
// worker's next request overlaps the save of the model before: the network
// and the disk work at once. One model at a time: the worker waits when the
// save before is still running. Where no thread can be started the worker
// saves by itself.
class Saver {
 public:
  Saver(Downloader &downloads, ModelQueue &queue, ResultList &results)
      : downloads_(downloads), queue_(queue), results_(results) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::exception &) {
      // Saves happen on the worker.
    }
  }
  ~Saver() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Saver(const Saver &) = delete;
  Saver &operator=(const Saver &) = delete;

  void Hand(const ModelIdentifier &id, FetchedModel fetched) {
    if (!thread_.joinable()) {
      Save(id, fetched);
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !slot_; });
    slot_.emplace(id, std::move(fetched));
    changed_.notify_all();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return slot_ || stop_; });
      if (!slot_) return;
      auto [id, fetched] = std::move(*slot_);
      lock.unlock();
      Save(id, fetched);
      lock.lock();
      slot_.reset();
      changed_.notify_all();
    }
  }

  void Save(const ModelIdentifier &id, FetchedModel &fetched) {
    ModelTree::Node made;
    Result failed(FETCH_DONE);
    Guarded(id, [&] { made = downloads_.SaveFetchedNode(fetched, id.Url().Str()); }, failed);
    if (!failed) {
      made = ModelTree::Node();
      made.outcome = OutcomeNaming(ResourceKind::kModel, id, id.Url().Str());
      Fail(made.outcome, failed, FailureReason::kOther, "the download failed unexpectedly");
    }
    std::vector<ModelIdentifier> dependencies;
    if (made.outcome.result) dependencies = made.dependencies.ids;
    // Recorded before the queue hears of it: once the queue is drained, the
    // batch takes the results.
    results_.Add(id, std::move(made));
    queue_.Finish(id, dependencies);
  }

  Downloader &downloads_;
  ModelQueue &queue_;
  ResultList &results_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::pair<ModelIdentifier, FetchedModel>> slot_;
  bool stop_ = false;
  std::thread thread_;
};

// What the workers of one batch are told: its options, and the models it
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

void WorkerLoop(Downloader &downloads, const BatchRules &rules, ModelQueue &queue,
                ResultList &results) {
  Saver saver(downloads, queue, results);
  while (std::optional<ModelIdentifier> id = queue.Take()) {
    bool cached = false;
    Result unused;
    Guarded(*id, [&] { cached = TakenFromCache(downloads, rules, *id, queue, results); }, unused);
    if (cached) continue;
    // A fetch that throws leaves a failed FetchedModel, which the saver
    // records as such.
    FetchedModel fetched;
    const std::vector<std::string> headers =
        rules.options.headersFor ? rules.options.headersFor(*id) : std::vector<std::string>();
    Guarded(*id, [&] { fetched = downloads.FetchModel(*id, headers); }, unused);
    saver.Hand(*id, std::move(fetched));
  }
}

// Starts `jobs` workers into `workers`. False, with the reason logged, when
// one cannot be started; those started before it are left in `workers`.
bool StartWorkers(const BatchThreads &threads, Downloader &downloads, const BatchRules &rules,
                  std::size_t jobs, ModelQueue &queue, ResultList &results,
                  std::vector<std::thread> &workers) {
  for (std::size_t i = 0; i < jobs; ++i) {
    try {
      workers.push_back(threads.startWorker([&downloads, &rules, &queue, &results] {
        WorkerLoop(downloads, rules, queue, results);
      }));
    } catch (const std::exception &e) {
      qxerr << "Unable to start download worker thread " << i + 1 << " of " << jobs << ": "
            << e.what() << "\n";
      return false;
    }
  }
  return true;
}

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
  ModelQueue queue(ids);
  // Counted before any worker takes a model, so the line does not depend on
  // how fast the workers start.
  const std::size_t queued = queue.Length();
  ResultList results;
  std::vector<std::thread> workers;
  if (StartWorkers(threads_, downloads_, rules, jobs, queue, results, workers)) {
    qxmsg << "Preparing to download " << queued << " models with " << jobs << " worker threads\n";
    queue.WaitUntilDrained();
  }
  queue.Stop();
  for (std::thread &worker : workers) worker.join();

  ModelResults done = results.Take();
  qxmsg << "Finished, downloaded " << done.size() << " models in total\n";
  return done;
}

std::vector<DownloadOutcome> ClientBatchDownloads::Worlds(
    const std::vector<WorldIdentifier> &ids, std::size_t jobs,
    const std::function<std::vector<std::string>(const WorldIdentifier &id)> &headersFor) {
  jobs = AtLeastOne(jobs);
  qxmsg << "Using " << jobs << " jobs to download collection of " << ids.size() << " items\n";
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
      window.Add(id.UniqueName(), threads_.startTask([this, id, slot, headers]() -> Result {
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
