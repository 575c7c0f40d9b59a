/*
 * The repository's write side: uploads (POST models), edits (PATCH
 * OWNER/models/NAME) and deletions (DELETE OWNER/models|worlds/NAME), once
 * the server has checked the request's key and received its form (file
 * parts in spool files, UploadSpool.hh). Writes run one at a time. Readers
 * never see half a version: a version is put together in a hidden
 * directory beside the others (the spooled files moved in) and renamed
 * into place, a private mark is written before the version it protects
 * appears, and a deleted resource is moved out of sight before it is
 * removed, its archives with it. Safe to call from any thread.
 */
#ifndef QX_QUARN_SERVER_PUBLISHER_HH_
#define QX_QUARN_SERVER_PUBLISHER_HH_

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"

namespace qx::quarn_server {

// One part of a multipart form as received.
struct WritePart {
  std::string name;
  std::string filename;     // as sent; empty for a text field
  std::string contentType;  // as sent; may be empty
  bool file = false;        // a file part (it had a file name)
  std::string text;         // a text field's value
  // A file part's content, in a spool file the publisher may move away.
  std::filesystem::path spooled;
  std::uint64_t size = 0;
};

// What the publisher needs of a write request.
struct WriteRequest {
  std::string method;
  std::string route;  // decoded
  bool multipart = false;
  std::vector<WritePart> parts;
};

// The hidden directories of work in progress, below the root: the spool
// of uploads being received (kWorkDirectory), versions being put together
// (OWNER/KIND/NAME/.upload-N) and resources being deleted
// (OWNER/.deleted-N). Those a crashed server left are removed by
// Publisher::Sweep.
extern const char *const kWorkDirectory;  // ".quarn-work"

class ArchiveStore;

class Publisher {
 public:
  // Removes the archives of what it deletes from `archives`, when given.
  Publisher(const Repository &repository, ArchiveStore *archives);
  ~Publisher();
  Publisher(const Publisher &) = delete;
  Publisher &operator=(const Publisher &) = delete;

  // Whether `method` on `route` is one of the writes answered here.
  static bool Handles(const std::string &method, const Route &route);

  // Answers a request that Handles accepted (its key checked).
  Reply Answer(const WriteRequest &request);

  // Removes the work in progress that a crashed server left in the
  // repository: everything below the work directory, and the hidden
  // .upload-N and .deleted-N directories. For a server that takes writes,
  // before it starts.
  void Sweep();

 private:
  struct File {
    std::vector<std::string> components;  // the relative path, split at "/"
    const WritePart *part;                // the part it comes from, or
    const std::string *text;              // a text made for it
  };

  Reply Upload(const WriteRequest &request);
  Reply Patch(const Route &route, const WriteRequest &request);
  Reply Delete(const Route &route);

  // Writes `files` as the next version of the resource in `resourceDir`,
  // marking the resource private first when `makePrivate`; an error reply
  // when that fails (nothing written).
  std::optional<Reply> StoreVersion(const std::filesystem::path &resourceDir,
                                    const std::vector<File> &files, bool makePrivate);
  // Sets the private flag a request's "private" field asks for, if any.
  std::optional<Reply> SetFlag(const WriteRequest &request, const std::filesystem::path &resourceDir);
  // The directory `name` below `parent`, made when missing; nullopt when
  // it cannot be made or something else has that name.
  std::optional<std::filesystem::path> ChildDirectory(const std::filesystem::path &parent,
                                                      const std::string &name) const;
  // The resource's document, as uploads and edits answer.
  Reply Document(Kind kind, const std::string &owner, const std::string &name) const;
  // A fresh hidden name inside `dir` (".NAME-N"), for work in progress.
  std::filesystem::path Aside(const std::filesystem::path &dir, const std::string &name);

  const Repository &repository_;
  ArchiveStore *const archives_;
  std::mutex mutex_;  // one write at a time
  unsigned long asideCount_ = 0;
  int workLock_ = -1;  // held from Sweep on
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_PUBLISHER_HH_
