/*
 * The live progress line of downloads: while a ProgressLine lives, and only
 * when standard error is a terminal, one line on standard error shows what
 * the downloads have done since it was created: the resource downloading,
 * bytes received of those announced, the share, the current rate, the time
 * left; "waiting for the server" before the first byte and "unpacking" while
 * an archive is unpacked. It is redrawn a few times a second once the work
 * has taken more than a moment. Log lines written meanwhile erase it first,
 * go on to the log's previous destination, and the line comes back below
 * them. When it goes, one summary line says what was saved ("Downloaded
 * table (942.0 KiB) in 0.3 s"). Nothing of it ever reaches standard output.
 * Create and destroy it on one thread; it draws from a thread of its own.
 */
#ifndef QX_QUARN_CLI_PROGRESSLINE_HH_
#define QX_QUARN_CLI_PROGRESSLINE_HH_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/Progress.hh>

namespace qx::quarn_cli {

// "0.3 s", "42 s", "2 min 5 s", "1 h 3 min".
std::string durationText(double seconds);

// The words of the line, from successive snapshots of the counters. The
// current rate is measured over the last few seconds, and only from the
// moment the first byte came: the wait for the server does not count.
class ProgressText {
 public:
  explicit ProgressText(const qx::quarn_tools::TransferProgress &start);

  // The line for `now`, taken `elapsed` after the start. Call it with
  // elapsed times that never go back.
  std::string Line(const qx::quarn_tools::TransferProgress &now,
                   std::chrono::duration<double> elapsed);

  // The line after the work ("Downloaded table (942.0 KiB) in 0.3 s", or
  // "Downloaded 3 resources (...) in ..."); empty when nothing was saved.
  std::string Summary(const qx::quarn_tools::TransferProgress &now,
                      std::chrono::duration<double> elapsed) const;

 private:
  struct Sample {
    double seconds;
    std::uint64_t bytes;
  };

  // Bytes per second over the samples kept; negative while unknown.
  double Rate() const;
  void Keep(Sample sample);

  const qx::quarn_tools::TransferProgress start_;
  std::deque<Sample> samples_;
};

class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;

 private:
  void Run();
  // All three REQUIRE mutex_ held.
  void Draw();
  void Erase();
  void WriteLogLine(int level, const std::string &line);

  const std::chrono::steady_clock::time_point startTime_;
  std::mutex mutex_;  // guards everything below and the line on the terminal
  ProgressText text_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool shown_ = false;
  bool active_ = false;
  qx::common::Console::Sink previousSink_;
  std::thread ticker_;
};

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_PROGRESSLINE_HH_
