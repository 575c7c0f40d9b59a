#include "IdentifierText.hh"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <qx/common/Filesystem.hh>
#include <qx/common/Util.hh>

#include "Dump.hh"
#include "qx/quarn_tools/Helpers.hh"

namespace qx::quarn_tools::identifier {

void Names::SetName(const std::string &text) {
  name = lowercased ? qx::common::lowercase(text) : text;
}

void Names::SetOwner(const std::string &text) {
  owner = lowercased ? qx::common::lowercase(text) : text;
}

bool Names::SetServer(const ServerConfig &given) {
  if (!given.Url().Valid()) return false;
  server = given;
  return true;
}

std::string Names::UniqueName(const std::string &kind) const {
  return identifier::UniqueName(server, owner, kind, name);
}

qx::common::URI Names::Url(const std::string &kind) const {
  return identifier::Url(server, owner, kind, name);
}

std::string UniqueName(const ServerConfig &server, const std::string &owner,
                       const std::string &kind, const std::string &name) {
  return qx::common::copyToUnixPath(
      qx::common::joinPaths(uriToPath(server.Url()), owner, kind, name));
}

qx::common::URI Url(const ServerConfig &server, const std::string &owner,
                    const std::string &kind, const std::string &name) {
  return qx::common::URI(
      qx::common::joinPaths(server.Url().Str(), owner, kind, name), true);
}

std::string VersionText(unsigned int version) {
  return version == 0 ? "tip" : std::to_string(version);
}

bool ParseVersionText(const std::string &text, unsigned int &version) {
  if (text.empty() || text == "tip") {
    version = 0;
    return true;
  }
  return ParseVersionNumber(text, version);
}

bool ParseVersionNumber(const std::string &text, unsigned int &version) {
  const char *begin = text.c_str();
  char *end = nullptr;
  errno = 0;
  const long long number = std::strtoll(begin, &end, 10);
  if (end == begin) return false;
  if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return false;
  version = static_cast<unsigned int>(static_cast<int32_t>(number));
  return true;
}

void PlainServerBlock(std::ostream &out, const std::string &prefix,
                      const ServerConfig &server) {
  out << prefix << "Server:" << "\n" << server.AsString(prefix + "  ");
}

void PrettyServerBlock(std::ostream &out, const std::string &prefix,
                       const ServerConfig &server) {
  dump::PrettyLabel(out, prefix, "Server:");
  out << server.AsPrettyString(prefix + "  ");
}

}  // namespace qx::quarn_tools::identifier
