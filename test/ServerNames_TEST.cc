// Which Host and Origin values name the server, for writes.
#include "ServerNames.hh"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qx::quarn_server {
namespace {

TEST(ServerNames, HostTable) {
  struct Case {
    const char *listen;
    std::vector<std::string> names;
    const char *host;
    const char *local;  // the address the client reached
    bool named;
  };
  const std::vector<Case> cases = {
      // Listening on loopback: the address, with or without our port, and
      // localhost.
      {"127.0.0.1", {}, "127.0.0.1:8085", "127.0.0.1", true},
      {"127.0.0.1", {}, "127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", {}, "localhost:8085", "127.0.0.1", true},
      {"127.0.0.1", {}, "LocalHost", "127.0.0.1", true},
      {"127.0.0.1", {}, "127.0.0.1:8086", "127.0.0.1", false},
      {"127.0.0.1", {}, "localhost:80", "127.0.0.1", false},
      {"127.0.0.1", {}, "127.0.0.2:8085", "127.0.0.1", false},
      // DNS rebinding: the attacker's name resolved to us.
      {"127.0.0.1", {}, "attacker.example:8085", "127.0.0.1", false},
      {"127.0.0.1", {}, "attacker.example", "127.0.0.1", false},
      // Names given to the server, any letter case, any port (a proxy's).
      {"127.0.0.1", {"Models.Lab.org"}, "models.lab.ORG", "127.0.0.1", true},
      {"127.0.0.1", {"models.lab.org"}, "models.lab.org:443", "127.0.0.1", true},
      {"127.0.0.1", {"models.lab.org"}, "lab.org", "127.0.0.1", false},
      // IPv6 loopback.
      {"::1", {}, "[::1]:8085", "::1", true},
      {"::1", {}, "[::1]", "::1", true},
      {"::1", {}, "localhost:8085", "::1", true},
      {"::1", {}, "::1:8085", "::1", false},
      // Listening on all addresses: the one the client reached, or any
      // address of the machine (loopback is one); localhost too.
      {"0.0.0.0", {}, "127.0.0.1:8085", "127.0.0.1", true},
      {"0.0.0.0", {}, "localhost:8085", "127.0.0.1", true},
      {"0.0.0.0", {}, "198.51.100.7:8085", "198.51.100.7", true},
      {"0.0.0.0", {}, "203.0.113.9:8085", "198.51.100.7", false},
      {"::", {}, "127.0.0.1:8085", "::ffff:127.0.0.1", true},
      // A specific address: only that one.
      {"198.51.100.7", {}, "198.51.100.7:8085", "198.51.100.7", true},
      {"198.51.100.7", {}, "localhost:8085", "198.51.100.7", false},
      // Nothing that is not a host.
      {"127.0.0.1", {}, "", "127.0.0.1", false},
      {"127.0.0.1", {}, ":8085", "127.0.0.1", false},
      {"127.0.0.1", {}, "127.0.0.1:", "127.0.0.1", false},
      {"127.0.0.1", {}, "127.0.0.1:99999", "127.0.0.1", false},
      {"127.0.0.1", {}, "user@127.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", {}, "127.0.0.1/x", "127.0.0.1", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.listen) + " " + c.host);
    EXPECT_EQ(c.named, ServerNames(c.listen, 8085, c.names).Host(c.host, c.local));
  }
}

TEST(ServerNames, OriginTable) {
  const ServerNames loopback("127.0.0.1", 8085, {"models.lab.org"});
  const std::vector<std::pair<std::string, bool>> cases = {
      {"http://127.0.0.1:8085", true},
      {"http://localhost:8085", true},
      {"HTTP://LOCALHOST:8085", true},
      {"https://models.lab.org", true},
      {"https://models.lab.org:8443", true},
      // Another site, or another service of this machine.
      {"https://evil.example", false},
      {"http://127.0.0.1", false},
      {"http://localhost:3000", false},
      {"null", false},
      {"", false},
      {"file://", false},
      {"127.0.0.1:8085", false},
  };
  for (const auto &[origin, named] : cases) {
    SCOPED_TRACE(origin);
    EXPECT_EQ(named, loopback.Origin(origin, "127.0.0.1"));
  }
}

TEST(ServerNames, NormalAddress) {
  EXPECT_EQ(std::optional<std::string>("127.0.0.1"), normalAddress("::ffff:127.0.0.1"));
  EXPECT_EQ(std::optional<std::string>("::1"), normalAddress("0:0:0:0:0:0:0:1"));
  EXPECT_EQ(std::optional<std::string>("10.0.0.1"), normalAddress("10.0.0.1"));
  EXPECT_FALSE(normalAddress("localhost"));
  EXPECT_FALSE(normalAddress("10.0.0"));
}

}  // namespace
}  // namespace qx::quarn_server
