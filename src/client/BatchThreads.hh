/*
 * How the batch downloads start their threads: worker threads for the model
 * queue and asynchronous tasks for the world window. A client holds one
 * BatchThreads; tests replace its starters to make a start fail the way the
 * standard thread library does (by throwing std::system_error). Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_BATCHTHREADS_HH_
#define QX_QUARN_TOOLS_SRC_BATCHTHREADS_HH_

#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "qx/quarn_tools/Result.hh"

namespace qx::quarn_tools::internal {

struct BatchThreads {
  using Work = std::function<void()>;
  using Task = std::function<Result()>;

  // Starts a thread running `work`; throws when no thread can be started.
  std::function<std::thread(Work)> startWorker = [](Work work) {
    return std::thread(std::move(work));
  };
  // Runs `task` on a thread of its own; throws when none can be started.
  std::function<std::future<Result>(Task)> startTask = [](Task task) {
    return std::async(std::launch::async, std::move(task));
  };
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_BATCHTHREADS_HH_
