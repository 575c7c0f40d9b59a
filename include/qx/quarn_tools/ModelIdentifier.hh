/*
 * Names a model on a server: owner, name, version (0 means the newest,
 * "tip") and the server record, plus the catalogue details the server
 * reports. A value type (deep copies). Equality is equality of unique names.
 * One object may be read from several threads but not written while read.
 */
#ifndef QX_QUARN_TOOLS_MODELIDENTIFIER_HH_
#define QX_QUARN_TOOLS_MODELIDENTIFIER_HH_

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE ModelIdentifier {
 public:
  ModelIdentifier();
  ModelIdentifier(const ModelIdentifier &other);
  ModelIdentifier &operator=(const ModelIdentifier &other);
  ~ModelIdentifier();

  bool operator==(const ModelIdentifier &other) const;
  bool operator!=(const ModelIdentifier &other) const;

  std::string Name() const;
  // Stores the lower-cased name; always true.
  bool SetName(const std::string &name);
  std::string Owner() const;
  // Stores the lower-cased owner; always true.
  bool SetOwner(const std::string &owner);

  // The stored server record, writable in place even on a const identifier.
  ServerConfig &Server() const;
  // Stores a copy when the server's URL is valid; otherwise false.
  bool SetServer(const ServerConfig &server);

  // server path / owner / "models" / name: the cache key of the model.
  std::string UniqueName() const;
  // server URL / owner / "models" / name (no version).
  qx::common::URI Url() const;

  unsigned int Version() const;
  bool SetVersion(unsigned int version);
  // "tip" for version 0, else the number.
  std::string VersionStr() const;
  // Empty or "tip" is 0; otherwise a decimal number (leading white space and
  // a sign accepted, reading stops at the first non-digit) within the signed
  // 32-bit range, stored as unsigned (so -1 is 4294967295). False, with the
  // version unchanged, when the text holds no number or one out of range.
  bool SetVersionStr(const std::string &version);

  std::string Description() const;
  bool SetDescription(const std::string &description);
  unsigned int FileSize() const;
  bool SetFileSize(unsigned int size);
  std::time_t UploadDate() const;
  bool SetUploadDate(const std::time_t &date);
  std::time_t ModifyDate() const;
  bool SetModifyDate(const std::time_t &date);
  unsigned int LikeCount() const;
  bool SetLikeCount(unsigned int likes);
  unsigned int DownloadCount() const;
  bool SetDownloadCount(unsigned int downloads);
  std::string LicenseName() const;
  bool SetLicenseName(const std::string &name);
  std::string LicenseUrl() const;
  // Parses the text into the stored URI and returns the parse result.
  bool SetLicenseUrl(const std::string &url);
  std::string LicenseImageUrl() const;
  bool SetLicenseImageUrl(const std::string &url);
  std::vector<std::string> Tags() const;
  bool SetTags(const std::vector<std::string> &tags);
  bool Private() const;
  void SetPrivate(bool isPrivate) const;

  // Every field as prefix + label + value lines (modify date and private flag
  // excepted), then the "Server:" block.
  std::string AsString(const std::string &prefix = "") const;
  // Coloured lines of the non-empty fields, then the "Server:" block.
  std::string AsPrettyString(const std::string &prefix = "") const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_MODELIDENTIFIER_HH_
