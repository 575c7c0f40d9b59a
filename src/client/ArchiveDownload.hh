/*
 * One archive download of one resource version, streamed to a file in a
 * staging directory beside the resource's versions: the request with the
 * caller's header lines and the server's API key, the status check, the
 * delivered version from X-Qel-Resource-Version, and referral links
 * (text/plain bodies naming where the archive is), followed up to a few
 * hops. Memory does not grow with the archive's size; the body may not grow
 * past the cache's unpack limit. The file and its staging directory go away
 * with the object. Internal; one thread per object.
 */
#ifndef QX_QUARN_TOOLS_SRC_ARCHIVEDOWNLOAD_HH_
#define QX_QUARN_TOOLS_SRC_ARCHIVEDOWNLOAD_HH_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CacheLimits.hh"
#include "DownloadedArchive.hh"
#include "FileSystem.hh"
#include "RestClientInternal.hh"
#include "StagingDirectory.hh"
#include "qx/quarn_tools/RestClient.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::internal {

// The log texts that differ between model and world downloads.
struct DownloadTexts {
  const char *kind;        // route segment
  const char *incomplete;  // server configuration incomplete
  const char *downloading;
  const char *failed;
};
extern const DownloadTexts kModelDownload;
extern const DownloadTexts kWorldDownload;

// What is downloaded: one version ("tip" for the newest) of a resource.
struct ArchiveRequest {
  ServerConfig server;
  std::string owner;
  std::string name;
  std::string version;               // VersionStr()
  std::string uniqueName;            // UniqueName(), for the staging directory
  std::vector<std::string> headers;  // the caller's lines
};

class ArchiveDownload {
 public:
  // `root` is the cache root; `referralAgent` the user agent of referral
  // follow-ups (the client's own).
  ArchiveDownload(FileSystem &fileSystem, std::string root, std::string referralAgent,
                  const UnpackLimits &limits);
  ~ArchiveDownload();
  ArchiveDownload(const ArchiveDownload &) = delete;
  ArchiveDownload &operator=(const ArchiveDownload &) = delete;

  // Whether `server` has what a download needs (a valid URL, an API
  // version); false having logged the server's record.
  static bool ServerComplete(const ServerConfig &server, const DownloadTexts &texts);

  // Downloads the archive. False, having logged why (and noted it,
  // FailureNotes.hh), when there is none: incomplete server configuration,
  // a status other than 200 or no answer, a refused content type or
  // referral, a body over the limit, a write error.
  bool Run(const ArchiveRequest &request, const DownloadTexts &texts);

  // After Run: the version the server delivered (1 when it did not say),
  // the archive in its staging directory, and its size.
  unsigned int DeliveredVersion() const { return version_; }
  cache::StagedArchive Staged() const { return {*stage_, archiveName_}; }
  std::uint64_t Bytes() const;
  // What the server answered to the archive request: status and headers,
  // and, when it refused, the start of its body (what people may read).
  const RestResponse &Response() const { return response_; }
  // After a failed Run: whether the server's answer to the archive request
  // (a status other than 200, or no answer at all) failed it, rather than
  // something here (the disk, the cache, a limit, what a 200 answer held).
  bool RefusedByServer() const { return refusedByServer_; }

 private:
  class File;

  bool Request(const ArchiveRequest &request, const DownloadTexts &texts);
  bool TakeBody(const RestResponse &response, int hopsLeft);
  // Notes why `reply` (with the transport's words) failed the download.
  static void NoteReply(const ServerReply &reply, const ExchangeFailure &exchange);

  FileSystem &fileSystem_;
  std::string root_;
  std::string referralAgent_;
  UnpackLimits limits_;
  std::unique_ptr<cache::StagingDirectory> stage_;
  std::unique_ptr<File> file_;
  std::string archiveName_;
  ServerConfig server_;    // asked for
  std::string resource_;   // owner/kind/name
  RestResponse response_;
  bool refusedByServer_ = false;
  unsigned int version_ = 1;
};

}  // namespace qx::quarn_tools::internal

#endif  // QX_QUARN_TOOLS_SRC_ARCHIVEDOWNLOAD_HH_
