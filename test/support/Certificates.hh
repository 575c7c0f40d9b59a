/*
 * Throw-away certificates for HTTPS tests, made with the openssl tool.
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_CERTIFICATES_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_CERTIFICATES_HH_

#include <string>

namespace qx::test {

// PEM files of a throw-away CA and of a server certificate it signed for
// 127.0.0.1 and localhost, written into `directory`.
struct TestCertificates {
  std::string caCert;
  std::string serverCert;
  std::string serverKey;
  bool ok = false;
};
TestCertificates MakeTestCertificates(const std::string &directory);

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_CERTIFICATES_HH_
