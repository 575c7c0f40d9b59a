/*
 * Where a request's body is received, so that no upload is ever held in
 * memory: a directory of its own below the repository's hidden work
 * directory, with one file per file part of a form, written as the part
 * arrives (or one file for a body that is no form); text fields are kept
 * in memory, within a limit. The directory and what is left in it go
 * with the object (the publisher moves the files it stores). Used by one
 * thread at a time.
 */
#ifndef QX_QUARN_SERVER_UPLOADSPOOL_HH_
#define QX_QUARN_SERVER_UPLOADSPOOL_HH_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "MultipartReader.hh"
#include "Publisher.hh"

namespace qx::quarn_server {

class UploadSpool : public MultipartReader::Sink {
 public:
  // Bytes of text fields a form may hold in all, and of part names, file
  // names and content types.
  static constexpr std::uint64_t kMaxTextBytes = 1 << 20;
  static constexpr std::uint64_t kMaxNameBytes = 4 << 20;

  // Spools below `workDirectory`, made (owner only) when first needed.
  explicit UploadSpool(std::filesystem::path workDirectory);
  // Removes the spool directory with what is left in it.
  ~UploadSpool() override;
  UploadSpool(const UploadSpool &) = delete;
  UploadSpool &operator=(const UploadSpool &) = delete;

  // The parts received so far, in the order sent; a file part's content is
  // in the file `spooled`.
  std::vector<WritePart> &Parts() { return parts_; }
  // A body that is no form, appended to one file. False when it cannot be
  // written.
  bool Append(const char *data, std::size_t size);
  // That file; empty when nothing was appended.
  const std::filesystem::path &BodyFile() const { return bodyFile_; }
  // The status that answers the failure that ended the reading: 413 for
  // a form that holds too much text, 507 for a full disk, 500 when the
  // spool cannot be written; 400 when the spool did not fail (the form
  // itself is malformed).
  int FailureStatus() const { return failureStatus_; }

  bool BeginPart(const MultipartReader::PartHeader &header, std::string &why) override;
  bool PartData(const char *data, std::size_t size, std::string &why) override;
  bool EndPart(std::string &why) override;

 private:
  // Makes the spool directory when it is not there yet.
  bool Directory(std::string &why);
  // Opens a new file in the spool directory.
  int NewFile(const std::string &name, std::filesystem::path &path, std::string &why);
  bool Write(int fd, const char *data, std::size_t size, std::string &why);
  bool Fail(int status, const std::string &message, std::string &why);

  const std::filesystem::path workDirectory_;
  std::filesystem::path directory_;
  std::vector<WritePart> parts_;
  int partFd_ = -1;
  std::uint64_t textBytes_ = 0;
  std::uint64_t nameBytes_ = 0;
  std::filesystem::path bodyFile_;
  int bodyFd_ = -1;
  int failureStatus_ = 400;
};

}  // namespace qx::quarn_server

#endif  // QX_QUARN_SERVER_UPLOADSPOOL_HH_
