/*
 * Parallel downloads: a queue of models that grows with the dependencies
 * they find, fetched on threads as many at once as the transport carries
 * and saved by as many workers as jobs, and a window of world downloads
 * running as asynchronous tasks. Each single download is the
 * Downloader's; this adds the scheduling, the bookkeeping of what each
 * download made and the progress lines. Uses the client's download road
 * (not owned) and starts threads as `threads` says (a seam: tests make a
 * start fail). The calls may run on any thread; every thread they start
 * has ended when they return. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_CLIENTBATCHDOWNLOADS_HH_
#define QX_QUARN_TOOLS_SRC_CLIENTBATCHDOWNLOADS_HH_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "BatchThreads.hh"
#include "Downloader.hh"
#include "ModelTree.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools::internal {

// One download of a model batch: the model as it was queued, what the
// download made (its outcome) and the dependencies it names.
struct BatchDownload {
  ModelIdentifier id;
  ModelTree::Node made;
};

// How a model batch treats what it meets. The defaults are those of
// QuarnClient::DownloadModels.
struct ModelBatchOptions {
  // The header lines of the request of a model; none when empty.
  std::function<std::vector<std::string>(const ModelIdentifier &id)> headersFor;
  // A dependency the cache holds is taken from it (with what it names) and
  // not downloaded again; the models given are downloaded in any case.
  bool cachedDependencies = false;
};

class ClientBatchDownloads {
 public:
  ClientBatchDownloads(Downloader &downloads, BatchThreads threads = BatchThreads());

  // QuarnClient::DownloadModels: one record per download, in the order
  // they finished (a dependency taken from the cache has a record too).
  std::vector<BatchDownload> Models(const std::vector<ModelIdentifier> &ids, std::size_t jobs,
                                    const ModelBatchOptions &options = {});
  // QuarnClient::DownloadWorlds: one outcome per world, in the order given
  // (a world whose download was never started failed, kOther); the header
  // lines of each request from `headersFor` (none when empty).
  std::vector<DownloadOutcome> Worlds(
      const std::vector<WorldIdentifier> &ids, std::size_t jobs,
      const std::function<std::vector<std::string>(const WorldIdentifier &id)> &headersFor = {});

 private:
  Downloader &downloads_;
  BatchThreads threads_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTBATCHDOWNLOADS_HH_
