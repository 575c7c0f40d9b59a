#include "qx/quarn_tools/CollectionIdentifier.hh"

#include <gtest/gtest.h>

namespace qx::quarn_tools {
namespace {

TEST(CollectionIdentifier, KeepsCaseAndDumps) {
  CollectionIdentifier id;
  ServerConfig server;
  server.SetUrl(qx::common::URI("https://localhost", true));
  id.SetServer(server);
  EXPECT_TRUE(id.SetOwner("Alice"));
  EXPECT_TRUE(id.SetName("My Box"));
  EXPECT_EQ(id.Owner(), "Alice");
  EXPECT_EQ(id.Name(), "My Box");
  EXPECT_EQ(id.UniqueName(), "localhost/Alice/collections/My Box");
  EXPECT_EQ(id.AsString(""),
            "Name: My Box\nOwner: Alice\nUnique name: localhost/Alice/collections/My Box\n"
            "Server:\n  URL: https://localhost\n  Version: 1.0\n  API key: \n");
  CollectionIdentifier other(id);
  EXPECT_TRUE(other == id);
  other.SetName("my box");
  EXPECT_FALSE(other == id);
}

}  // namespace
}  // namespace qx::quarn_tools
