#include "qx/quarn_tools/ByteSizes.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

using namespace qx::quarn_tools;

namespace {

struct SizeCase {
  const char *text;
  std::optional<std::uint64_t> bytes;
};

class ByteSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ByteSize, ReadsWholeNumbersWithBinaryUnits) {
  std::uint64_t bytes = 7;
  const bool read = parseByteSize(GetParam().text, bytes);
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
  EXPECT_EQ(humanBytes(900), "900 B");
  EXPECT_EQ(humanBytes(1536), "1.5 KiB");
  EXPECT_EQ(humanBytes(std::uint64_t{16} << 30), "16 GiB");
}

struct FiguresCase {
  double bytes;
  ByteFigures figures;
  const char *text;
};

class Figures : public ::testing::TestWithParam<FiguresCase> {};

// Log lines write sizes compactly; the quarn tool always with one decimal
// (its sizes in cache listings, its progress line and rates).
TEST_P(Figures, WriteTheLargestUnitLeavingAFigureFromOne) {
  EXPECT_EQ(humanBytes(GetParam().bytes, GetParam().figures), GetParam().text)
      << GetParam().bytes;
}

constexpr ByteFigures kCompact = ByteFigures::kCompact;
constexpr ByteFigures kOneDecimal = ByteFigures::kOneDecimal;

INSTANTIATE_TEST_SUITE_P(
    Table, Figures,
    ::testing::Values(
        FiguresCase{0, kCompact, "0 B"}, FiguresCase{1023, kCompact, "1023 B"},
        FiguresCase{1024, kCompact, "1.0 KiB"}, FiguresCase{12 << 20, kCompact, "12 MiB"},
        FiguresCase{64.0 * (1 << 20), kCompact, "64 MiB"},
        FiguresCase{1048576, kCompact, "1.0 MiB"}, FiguresCase{5000, kCompact, "4.9 KiB"},
        FiguresCase{18446744073709551615.0, kCompact, "16 EiB"},
        FiguresCase{512, kOneDecimal, "512 B"}, FiguresCase{1023.9, kOneDecimal, "1023 B"},
        FiguresCase{2048, kOneDecimal, "2.0 KiB"},
        FiguresCase{942 * 1024, kOneDecimal, "942.0 KiB"},
        FiguresCase{100.0 * (1 << 20), kOneDecimal, "100.0 MiB"},
        FiguresCase{1024.0 * (std::uint64_t{1} << 40), kOneDecimal, "1.0 PiB"},
        // Sizes are never negative or not a number; should one come, it
        // reads as none rather than as a wrapped-around count.
        FiguresCase{-5, kOneDecimal, "0 B"},
        FiguresCase{std::numeric_limits<double>::quiet_NaN(), kCompact, "0 B"}));

}  // namespace
