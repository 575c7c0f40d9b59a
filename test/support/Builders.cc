#include "support/Builders.hh"

#include <qx/common/URI.hh>

namespace qx::test {

namespace {

template <typename Id>
Id resourceOn(const qx::quarn_tools::ServerConfig &server, const std::string &owner,
              const std::string &name, unsigned int version) {
  Id id;
  id.SetServer(server);
  id.SetOwner(owner);
  id.SetName(name);
  id.SetVersion(version);
  return id;
}

}  // namespace

qx::quarn_tools::ServerConfig ServerAt(const std::string &url, const std::string &key) {
  qx::quarn_tools::ServerConfig server;
  server.SetUrl(qx::common::URI(url, true));
  server.SetApiKey(key);
  return server;
}

qx::quarn_tools::ModelIdentifier ModelOn(const qx::quarn_tools::ServerConfig &server,
                                         const std::string &owner, const std::string &name,
                                         unsigned int version) {
  return resourceOn<qx::quarn_tools::ModelIdentifier>(server, owner, name, version);
}

qx::quarn_tools::WorldIdentifier WorldOn(const qx::quarn_tools::ServerConfig &server,
                                         const std::string &owner, const std::string &name,
                                         unsigned int version) {
  return resourceOn<qx::quarn_tools::WorldIdentifier>(server, owner, name, version);
}

}  // namespace qx::test
