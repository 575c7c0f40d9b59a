#include "support/Certificates.hh"

#include <cstdlib>
#include <fstream>

#include <qx/common/Filesystem.hh>

namespace qx::test {
namespace {

bool Run(const std::string &command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TestCertificates MakeTestCertificates(const std::string &directory) {
  TestCertificates files;
  const std::string caKey = qx::common::joinPaths(directory, "ca.key");
  const std::string csr = qx::common::joinPaths(directory, "server.csr");
  const std::string extensions = qx::common::joinPaths(directory, "server.ext");
  files.caCert = qx::common::joinPaths(directory, "ca.pem");
  files.serverCert = qx::common::joinPaths(directory, "server.pem");
  files.serverKey = qx::common::joinPaths(directory, "server.key");
  const std::string ecKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  // Written here: Run sends the output of its command to /dev/null.
  std::ofstream names(extensions);
  names << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
  names.close();
  files.ok =
      names &&
      Run("openssl req -x509 " + ecKey + " -days 2 -subj '/CN=Quarn Test CA' -keyout '" +
          caKey + "' -out '" + files.caCert + "'") &&
      Run("openssl req " + ecKey + " -subj '/CN=127.0.0.1' -keyout '" + files.serverKey +
          "' -out '" + csr + "'") &&
      Run("openssl x509 -req -days 2 -in '" + csr + "' -CA '" + files.caCert + "' -CAkey '" +
          caKey + "' -CAcreateserial -extfile '" + extensions + "' -out '" +
          files.serverCert + "'");
  return files;
}

}  // namespace qx::test
