/*
 * The repository's write side: uploads (POST models), edits (PATCH
 * OWNER/models/NAME) and deletions (DELETE OWNER/models|worlds/NAME).
 * Writes run one at a time. Readers never see half a version: a version is
 * written into a hidden directory beside the others and renamed into place,
 * and a deleted resource is moved out of sight before it is removed. Safe
 * to call from any thread.
 */
#ifndef QX_QUARN_SERVER_PUBLISHER_HH_
#define QX_QUARN_SERVER_PUBLISHER_HH_

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Reply.hh"
#include "Repository.hh"
#include "Route.hh"

namespace qx::quarn_server {

// One part of a multipart form, whole: a text field has no file name.
struct WritePart {
  std::string name;
  std::string filename;
  std::string content;
};

// What the publisher needs of a write request.
struct WriteRequest {
  std::string method;
  std::string route;                  // decoded
  std::optional<std::string> apiKey;  // the "Private-token" header
  bool multipart = false;
  std::vector<WritePart> parts;
};

class Publisher {
 public:
  // An empty `apiKey` lets anyone write.
  Publisher(const Repository &repository, std::string apiKey);
  Publisher(const Publisher &) = delete;
  Publisher &operator=(const Publisher &) = delete;

  // Whether `method` on `route` is one of the writes answered here.
  static bool Handles(const std::string &method, const Route &route);

  // Answers a request that Handles accepted.
  Reply Answer(const WriteRequest &request);

 private:
  struct File {
    std::vector<std::string> components;  // the relative path, split at "/"
    const std::string *content;
  };

  Reply Upload(const WriteRequest &request);
  Reply Patch(const Route &route, const WriteRequest &request);
  Reply Delete(const Route &route);

  // Writes `files` as the next version of the resource in `resourceDir`;
  // an error reply when that fails.
  std::optional<Reply> StoreVersion(const std::filesystem::path &resourceDir,
                                    const std::vector<File> &files);
  // The directory `name` below `parent`, made when missing; nullopt when
  // it cannot be made or something else has that name.
  std::optional<std::filesystem::path> ChildDirectory(const std::filesystem::path &parent,
                                                      const std::string &name) const;
  // The resource's document, as uploads and edits answer.
  Reply Document(Kind kind, const std::string &owner, const std::string &name) const;
  // A fresh hidden name inside `dir` (".NAME-N"), for work in progress.
  std::filesystem::path Aside(const std::filesystem::path &dir, const std::string &name);

  const Repository &repository_;
  const std::string apiKey_;
  std::mutex mutex_;  // one write at a time
  unsigned long asideCount_ = 0;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_PUBLISHER_HH_
