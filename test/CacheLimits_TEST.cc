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
