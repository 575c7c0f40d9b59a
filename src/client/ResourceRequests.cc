#include "qx/quarn_tools/ResourceRequests.hh"

#include "Cancellation.hh"
#include "QuarnClientPrivate.hh"

namespace qx::quarn_tools {
namespace {

// What `call` gives, made under the options' cancellation when there is
// one: the batches a road starts hand it to their threads.
template <typename Call>
auto underCancellation(const RequestOptions &options, Call call) {
  if (!options.cancellation) return call();
  const internal::CancelScope scope(internal::CancellationAccess::TokenOf(*options.cancellation));
  return call();
}

}  // namespace

ResourceRequests::ResourceRequests(QuarnClient &client) : client_(client) {}

ResourceTarget ResourceRequests::Classify(const std::string &url) const {
  return client_.dataPtr->requests.Classify(url);
}

DownloadOutcome ResourceRequests::Fetch(const std::string &url,
                                        const RequestOptions &options) const {
  return underCancellation(options, [&] { return client_.dataPtr->requests.Fetch(url, options); });
}

DownloadOutcome ResourceRequests::Download(const std::string &url,
                                           const RequestOptions &options) const {
  return underCancellation(options,
                           [&] { return client_.dataPtr->requests.Download(url, options); });
}

std::vector<DownloadOutcome> ResourceRequests::FetchResources(const std::vector<std::string> &urls,
                                                              std::size_t jobs,
                                                              const RequestOptions &options) const {
  return underCancellation(
      options, [&] { return client_.dataPtr->requests.FetchResources(urls, jobs, options); });
}

}  // namespace qx::quarn_tools
