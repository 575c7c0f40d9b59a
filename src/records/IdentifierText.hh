/*
 * What the three identifier classes share: the name, owner and server they
 * hold, the unique name and URL made of them, the version text rules and
 * the server block of their dumps. Internal.
 */
#ifndef QX_QUARN_TOOLS_SRC_IDENTIFIERTEXT_HH_
#define QX_QUARN_TOOLS_SRC_IDENTIFIERTEXT_HH_

#include <ostream>
#include <string>

#include <qx/common/URI.hh>
#include "qx/quarn_tools/ServerConfig.hh"

namespace qx::quarn_tools::identifier {

// The name, owner and server of a resource or collection.
struct Names {
  // Model and world identifiers keep owner and name in lower case,
  // collections as given.
  explicit Names(bool lowercased) : lowercased(lowercased) {}

  void SetName(const std::string &text);
  void SetOwner(const std::string &text);
  // False, with the server unchanged, for a server whose URL is not valid.
  bool SetServer(const ServerConfig &given);
  // UniqueName and Url below, for the kind word `kind`.
  std::string UniqueName(const std::string &kind) const;
  qx::common::URI Url(const std::string &kind) const;

  bool lowercased;
  std::string name;
  std::string owner;
  ServerConfig server;
};

// server path / owner / kind / name, with "/" separators: the cache key of a
// resource and the basis of identifier equality.
std::string UniqueName(const ServerConfig &server, const std::string &owner,
                       const std::string &kind, const std::string &name);

// server URL / owner / kind / name, as a URI with an authority.
qx::common::URI Url(const ServerConfig &server, const std::string &owner,
                    const std::string &kind, const std::string &name);

// "tip" for 0, else the decimal number.
std::string VersionText(unsigned int version);

// Reads a version text: empty or "tip" is 0; otherwise a decimal integer
// (leading white space and a sign accepted, reading stops at the first
// non-digit) that must fit a signed 32-bit integer, taken as unsigned. False
// when the text holds no number or the number is out of range; `version` is
// then untouched.
bool ParseVersionText(const std::string &text, unsigned int &version);

// The number part of that rule alone ("tip" and the empty text are no
// number): also how the server's version header is read.
bool ParseVersionNumber(const std::string &text, unsigned int &version);

// The "Server:" line followed by the server's dump with `prefix` + two spaces.
void PlainServerBlock(std::ostream &out, const std::string &prefix,
                      const ServerConfig &server);
void PrettyServerBlock(std::ostream &out, const std::string &prefix,
                       const ServerConfig &server);

}  // namespace qx::quarn_tools::identifier

#endif  // QX_QUARN_TOOLS_SRC_IDENTIFIERTEXT_HH_
