#include "qx/quarn_tools/WorldIdentifier.hh"

#include <gtest/gtest.h>

namespace qx::quarn_tools {
namespace {

TEST(WorldIdentifier, NamesAndUniqueName) {
  WorldIdentifier id;
  ServerConfig server;
  server.SetUrl(qx::common::URI("https://localhost:8000", true));
  EXPECT_TRUE(id.SetServer(server));
  id.SetOwner("Alice");
  id.SetName("Empty_World");
  EXPECT_EQ(id.Owner(), "alice");
  EXPECT_EQ(id.Name(), "empty_world");
  EXPECT_EQ(id.UniqueName(), "localhost%3A8000/alice/worlds/empty_world");
  EXPECT_EQ(id.Url().Str(), "https://localhost:8000/alice/worlds/empty_world");
}

TEST(WorldIdentifier, VersionsAndEquality) {
  WorldIdentifier a;
  a.SetOwner("o");
  a.SetName("w");
  WorldIdentifier b(a);
  EXPECT_EQ(a.VersionStr(), "tip");
  EXPECT_TRUE(a.SetVersionStr("5"));
  EXPECT_FALSE(a.SetVersionStr("x"));
  EXPECT_EQ(a.Version(), 5u);
  EXPECT_TRUE(a == b);
  b.SetName("other");
  EXPECT_FALSE(a == b);
}

TEST(WorldIdentifier, PlainDump) {
  WorldIdentifier id;
  id.SetOwner("o");
  id.SetName("w");
  id.SetLocalPath("/cache/w/1");
  ServerConfig server;
  server.SetUrl(qx::common::URI("https://h", true));
  id.SetServer(server);
  EXPECT_EQ(id.AsString(""),
            "Name: w\nOwner: o\nVersion: tip\nUnique name: h/o/worlds/w\n"
            "Local path: /cache/w/1\nServer:\n  URL: https://h\n  Version: 1.0\n"
            "  API key: \n");
  id.SetPrivate(true);
  EXPECT_TRUE(id.Private());
}

}  // namespace
}  // namespace qx::quarn_tools
