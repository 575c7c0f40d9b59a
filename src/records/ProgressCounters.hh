/*
 * The counting side of qx/quarn_tools/Progress.hh: the transport counts body
 * bytes, the archive downloads count resources. Lock-free; any thread.
 */
#ifndef QX_QUARN_TOOLS_SRC_PROGRESSCOUNTERS_HH_
#define QX_QUARN_TOOLS_SRC_PROGRESSCOUNTERS_HH_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::quarn_tools::internal {

void countBytesReceived(std::size_t bytes);
// Bytes a body announced (Content-Length), or that must be received again
// because a transfer started over.
void countBytesExpected(std::uint64_t bytes);

// Counts the download of the resource `name` as started for as long as it
// lives, and as finished when it goes away, however the download ended; as
// saved too once Saved() was called.
class ResourceDownloadCount {
 public:
  explicit ResourceDownloadCount(const std::string &name);
  ~ResourceDownloadCount();
  ResourceDownloadCount(const ResourceDownloadCount &) = delete;
  ResourceDownloadCount &operator=(const ResourceDownloadCount &) = delete;

  // The download published a version of the resource.
  void Saved();

 private:
  std::string name_;
  bool saved_ = false;
};

// Counts one archive as being unpacked for as long as it lives.
class UnpackingCount {
 public:
  UnpackingCount();
  ~UnpackingCount();
  UnpackingCount(const UnpackingCount &) = delete;
  UnpackingCount &operator=(const UnpackingCount &) = delete;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_PROGRESSCOUNTERS_HH_
