/*
 * The live progress line of downloads: while a ProgressLine lives, and only
 * when standard error is a terminal, one line on standard error shows what
 * the downloads have done since it was created (bytes, rate, resources done
 * of those begun), redrawn a few times a second once the work has taken more
 * than a moment. Log lines written meanwhile erase it first, go on to the
 * log's previous destination, and the line comes back below them. Nothing of it ever reaches standard output. Create and
 * destroy it on one thread; it draws from a thread of its own.
 */
#ifndef QX_QUARN_CLI_PROGRESSLINE_HH_
#define QX_QUARN_CLI_PROGRESSLINE_HH_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/Progress.hh>

namespace qx::quarn_cli {

// "512 B", "1.5 KiB", "12.0 MiB", ...
std::string humanBytes(double bytes);

// The text of the line for the progress made in `elapsed` since the start.
std::string progressText(const qx::quarn_tools::TransferProgress &start,
                         const qx::quarn_tools::TransferProgress &now,
                         std::chrono::duration<double> elapsed);

class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();
  ProgressLine(const ProgressLine &) = delete;
  ProgressLine &operator=(const ProgressLine &) = delete;

 private:
  void Run();
  // Both REQUIRE mutex_ held.
  void Draw();
  void Erase();
  void WriteLogLine(int level, const std::string &line);

  const qx::quarn_tools::TransferProgress start_;
  const std::chrono::steady_clock::time_point startTime_;
  std::mutex mutex_;  // guards everything below and the line on the terminal
  std::condition_variable wake_;
  bool stop_ = false;
  bool shown_ = false;
  bool active_ = false;
  qx::common::Console::Sink previousSink_;
  std::thread ticker_;
};

}  // namespace qx::quarn_cli

#endif  // QX_QUARN_CLI_PROGRESSLINE_HH_
