/*
 * Names a collection on a server: owner, name (both kept as given) and the
 * server record. A value type (deep copies). Equality is equality of unique
 * names. One object may be read from several threads but not written while
 * read.
 */
#ifndef QX_QUARN_TOOLS_COLLECTIONIDENTIFIER_HH_
#define QX_QUARN_TOOLS_COLLECTIONIDENTIFIER_HH_

#include <memory>
#include <string>

#include "qx/quarn_tools/Export.hh"
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools {

class QX_QUARN_TOOLS_VISIBLE CollectionIdentifier {
 public:
  CollectionIdentifier();
  CollectionIdentifier(const CollectionIdentifier &other);
  CollectionIdentifier &operator=(const CollectionIdentifier &other);
  ~CollectionIdentifier();

  bool operator==(const CollectionIdentifier &other) const;

  std::string Name() const;
  // Stores the name unchanged; always true.
  bool SetName(const std::string &name);
  std::string Owner() const;
  // Stores the owner unchanged; always true.
  bool SetOwner(const std::string &owner);

  // The stored server record, writable in place even on a const identifier.
  ServerConfig &Server() const;
  // Stores a copy when the server's URL is valid; otherwise false.
  bool SetServer(const ServerConfig &server);

  // server path / owner / "collections" / name.
  std::string UniqueName() const;
  // server URL / owner / "collections" / name.
  qx::common::URI Url() const;

  std::string AsString(const std::string &prefix = "") const;
  std::string AsPrettyString(const std::string &prefix = "") const;

 private:
  struct Implementation;
  std::unique_ptr<Implementation> impl_;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_COLLECTIONIDENTIFIER_HH_
