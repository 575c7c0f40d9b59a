#include "CacheLimits.hh"

#include "qx/quarn_tools/ClientConfig.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "support/TestSupport.hh"

using namespace qx::quarn_tools;
using namespace qx::quarn_tools::internal;
using qx::test::ScopedEnv;

namespace {

struct SizeCase {
  const char *text;
  std::optional<std::uint64_t> bytes;
};

class ByteSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ByteSize, ReadsWholeNumbersWithBinaryUnits) {
  std::uint64_t bytes = 7;
  const bool read = ParseByteSize(GetParam().text, bytes);
  EXPECT_EQ(read, GetParam().bytes.has_value()) << GetParam().text;
  EXPECT_EQ(bytes, GetParam().bytes.value_or(7)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ByteSize,
    ::testing::Values(
        SizeCase{"0", 0}, SizeCase{"1000", 1000}, SizeCase{"512K", 512 << 10},
        SizeCase{"512k", 512 << 10}, SizeCase{"2 MB", 2 << 20}, SizeCase{"2MiB", 2 << 20},
        SizeCase{"16GiB", std::uint64_t{16} << 30}, SizeCase{" 3 gib ", std::uint64_t{3} << 30},
        SizeCase{"1T", std::uint64_t{1} << 40}, SizeCase{"7B", 7}, SizeCase{"", std::nullopt},
        SizeCase{"GiB", std::nullopt}, SizeCase{"-1", std::nullopt}, SizeCase{"1.5G", std::nullopt},
        SizeCase{"12 apples", std::nullopt}, SizeCase{"1KiBB", std::nullopt},
        SizeCase{"99999999999999999999", std::nullopt}, SizeCase{"17179869184T", std::nullopt}));

TEST(HumanBytes, ReadsForPeople) {
  EXPECT_EQ(HumanBytes(900), "900 B");
  EXPECT_EQ(HumanBytes(1536), "1.5 KiB");
  EXPECT_EQ(HumanBytes(std::uint64_t{16} << 30), "16 GiB");
}

TEST(UnpackLimits, ComeFromTheConfigurationAndTheEnvironmentWins) {
  const ScopedEnv noSize(kMaxUnpackedSizeVariable, std::nullopt);
  const ScopedEnv noEntries(kMaxEntriesVariable, std::nullopt);
  ClientConfig config;
  EXPECT_EQ(EffectiveUnpackLimits(&config).maxBytes, std::uint64_t{16} << 30);
  EXPECT_EQ(EffectiveUnpackLimits(&config).maxEntries, 100000u);
  config.SetMaxUnpackedSize(1 << 20);
  config.SetMaxEntries(50);
  EXPECT_EQ(EffectiveUnpackLimits(&config).maxBytes, 1u << 20);
  {
    const ScopedEnv size(kMaxUnpackedSizeVariable, std::string("2MiB"));
    const ScopedEnv entries(kMaxEntriesVariable, std::string("9"));
    EXPECT_EQ(EffectiveUnpackLimits(&config).maxBytes, 2u << 20);
    EXPECT_EQ(EffectiveUnpackLimits(&config).maxEntries, 9u);
  }
  {
    const ScopedEnv size(kMaxUnpackedSizeVariable, std::string("lots"));
    EXPECT_EQ(EffectiveUnpackLimits(&config).maxBytes, 1u << 20);
  }
  EXPECT_EQ(EffectiveUnpackLimits(nullptr).maxEntries, 100000u);
}

}  // namespace
