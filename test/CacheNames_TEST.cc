// Every name of the cache, in one table, and the scratch names read back.
#include "CacheNames.hh"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/Builders.hh"

using namespace qx::quarn_tools::internal::cache;
using qx::test::ServerAt;

namespace {

struct NameCase {
  const char *label;
  std::function<std::string()> name;
  const char *expected;
};

class CacheName : public ::testing::TestWithParam<NameCase> {};

TEST_P(CacheName, IsWhereTheCacheKeepsIt) { EXPECT_EQ(GetParam().name(), GetParam().expected); }

std::string serverDir(const char *url) {
  return ServerDirectory("/c", ServerAt(url)).value_or("(none)");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CacheName,
    ::testing::Values(
        NameCase{"Server", [] { return serverDir("https://host"); }, "/c/host"},
        NameCase{"ServerWithPort", [] { return serverDir("http://host:8080"); }, "/c/host%3A8080"},
        NameCase{"ServerWithUser", [] { return serverDir("http://me@host"); }, "/c/me%40host"},
        NameCase{"ServerWithPath", [] { return serverDir("https://host/api/v2"); },
                 "/c/host/api/v2"},
        NameCase{"ServerWithoutDirectory", [] { return serverDir(""); }, "(none)"},
        NameCase{"Resource", [] { return ResourceDirectory("/c", "host/o/models/m"); },
                 "/c/host/o/models/m"},
        NameCase{"Version", [] { return VersionDirectory("/c/", "host/o/models/m", "3"); },
                 "/c/host/o/models/m/3"},
        NameCase{"Archive", [] { return ArchiveFileName("box"); }, "box.zip"},
        NameCase{"ModelConfig", [] { return ModelConfigPath("/v"); }, "/v/model.config"},
        NameCase{"Metadata", [] { return MetadataPath("/v"); }, "/v/metadata.pbtxt"},
        NameCase{"Lock", [] { return LockFileName(); }, ".qxlock"},
        NameCase{"Manifest", [] { return ManifestFileName("3"); }, ".qxmanifest-3"},
        NameCase{"Staging", [] { return ScratchName(Scratch::kStaging, "lab-7.local", 42, 5); },
                 ".qxstage-lab-7.local-42-5"},
        NameCase{"Trash", [] { return ScratchName(Scratch::kTrash, "h", 1, 2); }, ".qxtrash-h-1-2"},
        NameCase{"HostCleaned", [] { return ScratchName(Scratch::kStaging, "a b/c", 1, 1); },
                 ".qxstage-a_b_c-1-1"},
        NameCase{"Part", [] { return PartFileName(42, 7); }, ".qxpart-42-7"}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return info.param.label; });

TEST(ScratchNames, ReadBackTheirHostAndProcess) {
  const auto owner = ParseScratchName(ScratchName(Scratch::kTrash, "lab-7.local", 4242, 9));
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->kind, Scratch::kTrash);
  EXPECT_EQ(owner->host, "lab-7.local");
  EXPECT_EQ(owner->pid, 4242);
}

TEST(ScratchNames, FreshOnesNeverRepeatAndNameThisProcess) {
  const std::string a = NewScratchName(Scratch::kStaging);
  const std::string b = NewScratchName(Scratch::kStaging);
  EXPECT_NE(a, b);
  const auto owner = ParseScratchName(a);
  ASSERT_TRUE(owner);
  EXPECT_EQ(owner->host, HostName());
  EXPECT_EQ(owner->pid, ::getpid());
}

TEST(ScratchNames, OtherNamesAreNoScratch) {
  for (const char *name : {"1", "tip", ".qxlock", ".qxmanifest-1", ".qxstage-", ".qxstage-h-1",
                           ".qxstage-h-x-1", ".qxstage--1-1", ".qxstage-h-0-1", "qxstage-h-1-1"})
    EXPECT_FALSE(ParseScratchName(name)) << name;
}

TEST(InternalNames, AreTheCachesOwnAndNeverAVersion) {
  for (const char *name :
       {".qxlock", ".qxmanifest-2", ".qxstage-h-1-1", ".qxtrash-h-1-1", ".qxpart-1-1"})
    EXPECT_TRUE(IsInternalName(name)) << name;
  for (const char *name : {"1", "12", "tip", "model.config", ".hidden"})
    EXPECT_FALSE(IsInternalName(name)) << name;
}

}  // namespace
