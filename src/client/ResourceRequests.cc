#include "qx/quarn_tools/ResourceRequests.hh"

#include "QuarnClientPrivate.hh"

namespace qx::quarn_tools {

ResourceRequests::ResourceRequests(QuarnClient &client) : client_(client) {}

ResourceTarget ResourceRequests::Classify(const std::string &url) const {
  return client_.dataPtr->requests.Classify(url);
}

DownloadOutcome ResourceRequests::Fetch(const std::string &url,
                                        const RequestOptions &options) const {
  return client_.dataPtr->requests.Fetch(url, options);
}

DownloadOutcome ResourceRequests::Download(const std::string &url,
                                           const RequestOptions &options) const {
  return client_.dataPtr->requests.Download(url, options);
}

std::vector<DownloadOutcome> ResourceRequests::FetchResources(const std::vector<std::string> &urls,
                                                              std::size_t jobs,
                                                              const RequestOptions &options) const {
  return client_.dataPtr->requests.FetchResources(urls, jobs, options);
}

}  // namespace qx::quarn_tools
