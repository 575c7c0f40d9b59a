/*
 * The example repository served the two ways a lab serves it: by our
 * repository server (quarn serve) or by nginx over a mirror export. Tests
 * of what the client does with a server run against both (TEST_P over
 * Backend); those that script faults or read request headers stay with our
 * server alone (RepositoryFixture).
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_SERVEDREPOSITORY_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_SERVEDREPOSITORY_HH_

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <qx/quarn_tools/ServerConfig.hh>

#include "support/NginxMirror.hh"
#include "support/RepositoryFixture.hh"

namespace qx::test {

enum class Backend { kRepositoryServer, kNginxMirror };
std::string BackendName(const ::testing::TestParamInfo<Backend> &info);
void PrintTo(Backend backend, std::ostream *out);

class ServedRepositoryFixture : public ::testing::TestWithParam<Backend> {
 protected:
  // Entries per listing page.
  virtual std::size_t PageSize() const { return 20; }

  void SetUp() override;
  void TearDown() override;

  std::string Url() const;
  // A server record for the client: the URL and API version "1.0".
  qx::quarn_tools::ServerConfig Config() const;
  // The served directory; after changing it, Publish.
  const std::string &Root() const;
  // Makes the changes below Root() visible (the mirror is exported again).
  void Publish();
  // The decoded routes of the requests answered so far, oldest first.
  std::vector<std::string> SeenRoutes();
  void ClearSeen();

 private:
  std::unique_ptr<ExampleServer> server_;
  std::unique_ptr<NginxMirror> mirror_;
};

}  // namespace qx::test

// Runs the TEST_P cases of `suite` against both backends.
#define QX_ON_BOTH_BACKENDS(suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Backends, suite,                                                 \
                           ::testing::Values(::qx::test::Backend::kRepositoryServer,        \
                                             ::qx::test::Backend::kNginxMirror),            \
                           ::qx::test::BackendName)

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_SERVEDREPOSITORY_HH_
