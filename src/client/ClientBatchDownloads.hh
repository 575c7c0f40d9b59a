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

class ClientBatchDownloads {
 public:
  ClientBatchDownloads(Downloader &downloads, BatchThreads threads = BatchThreads());

  // QuarnClient::DownloadModels: one record per download, in the order
  // they finished.
  std::vector<BatchDownload> Models(const std::vector<ModelIdentifier> &ids, std::size_t jobs);
  // QuarnClient::DownloadWorlds: one outcome per world, in the order given
  // (a world whose download was never started failed, kOther).
  std::vector<DownloadOutcome> Worlds(const std::vector<WorldIdentifier> &ids, std::size_t jobs);

 private:
  Downloader &downloads_;
  BatchThreads threads_;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_CLIENTBATCHDOWNLOADS_HH_
