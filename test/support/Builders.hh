/*
 * Builders of the records tests make again and again: servers, and model
 * and world identifiers on them.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_BUILDERS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_BUILDERS_HH_

#include <qx/quarn_tools/ModelIdentifier.hh>
#include <qx/quarn_tools/ServerConfig.hh>
#include <qx/quarn_tools/WorldIdentifier.hh>
#include <string>

namespace qx::test {

// A server record for `url` (parsed with an authority), with API key `key`
// and the default API version.
qx::quarn_tools::ServerConfig ServerAt(const std::string &url, const std::string &key = "");

// Version `version` (0: tip) of owner/name on `server`.
qx::quarn_tools::ModelIdentifier ModelOn(const qx::quarn_tools::ServerConfig &server,
                                         const std::string &owner, const std::string &name,
                                         unsigned int version = 0);
qx::quarn_tools::WorldIdentifier WorldOn(const qx::quarn_tools::ServerConfig &server,
                                         const std::string &owner, const std::string &name,
                                         unsigned int version = 0);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_BUILDERS_HH_
