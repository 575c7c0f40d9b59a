// The words of the tool's progress line, from scripted snapshots of the
// download counters.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "ProgressLine.hh"

namespace {

using qx::quarn_cli::ProgressText;
using qx::quarn_cli::durationText;
using qx::quarn_tools::TransferProgress;
using Seconds = std::chrono::duration<double>;

// Counters as they stand some way into a download of `name`.
TransferProgress progressOf(const std::string &name, std::uint64_t received,
                            std::uint64_t expected) {
  TransferProgress progress;
  progress.bytesReceived = 1000 + received;  // earlier work of the process
  progress.bytesExpected = 1000 + expected;
  progress.resourcesStarted = 5 + 1;
  progress.resourcesFinished = 5;
  progress.resourcesSaved = 5;
  progress.latestResource = name;
  return progress;
}

TransferProgress startOfTheCommand() { return progressOf("", 0, 0); }

TEST(ProgressTextTest, SaysItWaitsForTheServerBeforeTheFirstByte) {
  ProgressText text(startOfTheCommand());
  EXPECT_EQ("table: waiting for the server", text.Line(progressOf("table", 0, 0), Seconds(0.5)));
  // A length announced, nothing of the body yet: still waiting.
  EXPECT_EQ("table: waiting for the server",
            text.Line(progressOf("table", 0, 4096), Seconds(0.7)));
}

TEST(ProgressTextTest, ShowsBytesOfTotalShareRateAndTimeLeft) {
  ProgressText text(startOfTheCommand());
  text.Line(progressOf("table", 0, 0), Seconds(0.5));
  text.Line(progressOf("table", 0, 0), Seconds(10.0));  // a long wait for the server
  // 1 MiB in the second since: the wait is not counted into the rate.
  EXPECT_EQ("table  1.0 MiB of 4.0 MiB  25%  1.0 MiB/s  3.0 s left",
            text.Line(progressOf("table", 1 << 20, 4 << 20), Seconds(11.0)));
}

TEST(ProgressTextTest, TheRateIsTheRecentOne) {
  ProgressText text(startOfTheCommand());
  const std::uint64_t mib = 1 << 20;
  text.Line(progressOf("table", 0, 100 * mib), Seconds(0));
  // Fast for ten seconds, then a stall: the rate follows the stall.
  for (int second = 1; second <= 10; ++second)
    text.Line(progressOf("table", second * 8 * mib, 100 * mib), Seconds(second));
  for (int second = 11; second <= 14; ++second)
    text.Line(progressOf("table", 80 * mib, 100 * mib), Seconds(second));
  EXPECT_EQ("table  80.0 MiB of 100.0 MiB  80%  0 B/s",
            text.Line(progressOf("table", 80 * mib, 100 * mib), Seconds(15)));
}

TEST(ProgressTextTest, UnknownLengthsShowNoTotal) {
  ProgressText text(startOfTheCommand());
  text.Line(progressOf("table", 0, 0), Seconds(0));
  // A chunked body: more received than was ever announced.
  EXPECT_EQ("table  2.0 KiB  1.0 KiB/s", text.Line(progressOf("table", 2048, 0), Seconds(2)));
}

TEST(ProgressTextTest, SaysWhenItUnpacks) {
  ProgressText text(startOfTheCommand());
  TransferProgress now = progressOf("table", 0, 0);
  now.resourcesUnpacking = 1;
  EXPECT_EQ("table: unpacking", text.Line(now, Seconds(0.5)));
  now = progressOf("table", 4096, 4096);
  now.resourcesUnpacking = 1;
  EXPECT_EQ("table  4.0 KiB of 4.0 KiB  100%  4.0 KiB/s  unpacking",
            text.Line(now, Seconds(1.5)));
}

TEST(ProgressTextTest, CountsResourcesOfABatch) {
  ProgressText text(startOfTheCommand());
  TransferProgress now = progressOf("chair", 0, 0);
  text.Line(now, Seconds(0));
  now = progressOf("chair", 2048, 4096);
  now.resourcesStarted += 3;
  now.resourcesFinished += 1;
  EXPECT_EQ("chair  2.0 KiB of 4.0 KiB  50%  2.0 KiB/s  1.0 s left  1 of 3 resources",
            text.Line(now, Seconds(1)));
}

TEST(ProgressTextTest, NamesFromTheServerCannotDriveTheTerminal) {
  ProgressText text(startOfTheCommand());
  const std::string line = text.Line(progressOf("evil\x1b]0;owned\x07", 0, 0), Seconds(1));
  EXPECT_EQ(std::string::npos, line.find('\x1b')) << line;
  EXPECT_EQ(std::string::npos, line.find('\x07')) << line;
}

TEST(ProgressTextTest, SummarySaysWhatWasSavedInHowLong) {
  ProgressText text(startOfTheCommand());
  TransferProgress now = progressOf("table", 964608, 964608);
  EXPECT_EQ("", text.Summary(now, Seconds(0.3)));  // nothing saved: nothing to say
  now.resourcesSaved += 1;
  now.latestSaved = "table";
  EXPECT_EQ("Downloaded table (942.0 KiB) in 0.3 s", text.Summary(now, Seconds(0.31)));
  now.resourcesSaved += 2;
  EXPECT_EQ("Downloaded 3 resources (942.0 KiB) in 1 min 5 s", text.Summary(now, Seconds(65)));
}

TEST(ProgressTextTest, DurationsReadNaturally) {
  EXPECT_EQ("0.0 s", durationText(0));
  EXPECT_EQ("9.5 s", durationText(9.54));
  EXPECT_EQ("42 s", durationText(42.2));
  EXPECT_EQ("2 min 5 s", durationText(125));
  EXPECT_EQ("1 h 3 min", durationText(3790));
  EXPECT_EQ("0.0 s", durationText(-1));
}

}  // namespace
