/*
 * Resources by URL, the one road that front ends take (the quarn tool, the
 * command functions, fetchResource, the Python module): a URL is
 * classified (model, world, a file of either, collection), the cache is
 * used when the rules below allow, what is missing is downloaded, and a
 * DownloadOutcome says what was made or why not.
 *
 * Built on a QuarnClient, which it does not own and which must outlive it;
 * the client's configuration decides offline mode (no request at all: what
 * the cache lacks fails with FailureReason::kOffline). Any number of
 * threads may call one object at once, as they may the client.
 */
#ifndef QX_QUARN_TOOLS_RESOURCEREQUESTS_HH_
#define QX_QUARN_TOOLS_RESOURCEREQUESTS_HH_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "qx/quarn_tools/Cancellation.hh"
#include "qx/quarn_tools/CollectionIdentifier.hh"
#include "qx/quarn_tools/DownloadOutcome.hh"
#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ModelIdentifier.hh"
#include "qx/quarn_tools/QuarnClient.hh"
#include "qx/quarn_tools/WorldIdentifier.hh"

namespace qx::quarn_tools {

// What a URL names: its kind, and the identifier of that kind, bound to the
// configured server (the others stay empty); for a file, the path inside
// the resource.
struct ResourceTarget {
  ResourceKind kind = ResourceKind::kUnknown;
  ModelIdentifier model;
  WorldIdentifier world;
  CollectionIdentifier collection;
  std::string file;
};

struct RequestOptions {
  // Extra request header lines (say "Private-token: KEY") for the URL's
  // server; the models it depends on elsewhere get them without credential
  // lines.
  std::vector<std::string> headers;
  // Download: download the version the URL names even when it is cached.
  bool force = false;
  // A cached model counts as cached only when every model it needs is
  // cached too; otherwise it is downloaded again (offline: it fails).
  bool requireCachedDependencies = true;
  // Collections: "model" or "world" for that kind of member only; empty for
  // both.
  std::string collectionKind;
  // Collections, and the models a world includes: parallel downloads (0
  // counts as 1).
  std::size_t jobs = 2;
  // Worlds: also every model the world's SDF files include by URL (an
  // <include><uri> that is a model URL of a repository, on any server),
  // with what each needs, so the world loads offline; their outcomes in
  // DownloadOutcome::includes. A world from the cache counts only with all
  // of them cached.
  bool includes = false;
  // Cancels this call alone (Cancellation.hh): every request it makes, on
  // its thread and on the threads it starts, ends when the handle is
  // cancelled, and what was not finished fails with kInterrupted. Without
  // one, the call's requests take the calling thread's cancellation, as
  // before.
  std::optional<Cancellation> cancellation;
};

class QX_QUARN_TOOLS_VISIBLE ResourceRequests {
 public:
  explicit ResourceRequests(QuarnClient &client);

  // What `url` names (kUnknown for anything else). No request.
  ResourceTarget Classify(const std::string &url) const;

  // The local path of the model, world or file that `url` names: the
  // cached version the URL names (the newest cached when it names none),
  // else downloaded (a model with its dependencies). For a file, the path
  // of the file: a cached version that lacks it is downloaded again, and a
  // version that lacks it fails with kNotFound. A collection URL fails with
  // kInvalidUrl.
  DownloadOutcome Fetch(const std::string &url, const RequestOptions &options = {}) const;

  // A model with every dependency the cache lacks, a world, or every member
  // of a collection (with the outcome of each in `members`). A URL that
  // names a version the cache holds needs no request (unless
  // options.force); without a version the server says which is the newest.
  // A file URL fails with kInvalidUrl.
  DownloadOutcome Download(const std::string &url, const RequestOptions &options = {}) const;

  // Many URLs at once, as a simulator resolves what it loads: each as Fetch
  // would, from the cache when it is there, the rest downloaded `jobs` at a
  // time (0 counts as 1; `jobs` takes the place of options.jobs). One
  // outcome per URL, in the order given; a resource asked for twice, or
  // needed by two of them, is downloaded once. Offline, every URL the cache
  // cannot answer fails with kOffline.
  std::vector<DownloadOutcome> FetchResources(const std::vector<std::string> &urls,
                                              std::size_t jobs = 8,
                                              const RequestOptions &options = {}) const;

 private:
  QuarnClient &client_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_RESOURCEREQUESTS_HH_
