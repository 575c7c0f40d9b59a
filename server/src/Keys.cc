#include "Keys.hh"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace qx::quarn_server {
namespace {

void digestOf(const std::string &text, unsigned char (&digest)[SHA256_DIGEST_LENGTH]) {
  ::SHA256(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
}

}  // namespace

bool keyMatches(const std::optional<std::string> &given, const std::string &key) {
  if (key.empty() || !given) return false;
  unsigned char expected[SHA256_DIGEST_LENGTH];
  unsigned char received[SHA256_DIGEST_LENGTH];
  digestOf(key, expected);
  digestOf(*given, received);
  return CRYPTO_memcmp(expected, received, sizeof(expected)) == 0;
}

}  // namespace qx::quarn_server
