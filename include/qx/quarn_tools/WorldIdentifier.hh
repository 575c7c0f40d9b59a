/*
 * Names a world on a server: owner, name, version (0 means the newest,
 * "tip"), the server record and the local path of its cached copy. A value
 * type (deep copies). Equality is equality of unique names. One object may
 * be read from several threads but not written while read.
 */
#ifndef QX_QUARN_TOOLS_WORLDIDENTIFIER_HH_
#define QX_QUARN_TOOLS_WORLDIDENTIFIER_HH_

#include <memory>
#include <string>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE WorldIdentifier {
 public:
  WorldIdentifier();
  WorldIdentifier(const WorldIdentifier &other);
  WorldIdentifier &operator=(const WorldIdentifier &other);
  ~WorldIdentifier();

  bool operator==(const WorldIdentifier &other) const;

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

  // server path / owner / "worlds" / name: the cache key of the world.
  std::string UniqueName() const;
  // server URL / owner / "worlds" / name (no version).
  qx::common::URI Url() const;

  unsigned int Version() const;
  bool SetVersion(unsigned int version);
  // "tip" for version 0, else the number.
  std::string VersionStr() const;
  // The version text rules of ModelIdentifier::SetVersionStr.
  bool SetVersionStr(const std::string &version);

  // The directory of the world's cached copy, filled in by the cache.
  std::string LocalPath() const;
  bool SetLocalPath(const std::string &path);

  bool Private() const;
  void SetPrivate(bool isPrivate);

  std::string AsString(const std::string &prefix = "") const;
  std::string AsPrettyString(const std::string &prefix = "") const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_WORLDIDENTIFIER_HH_
