#include "ProgressLine.hh"

#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <sstream>

namespace qx::quarn_cli {

namespace {

// How long work may run before the line appears, and how often it changes.
constexpr std::chrono::milliseconds kFirstDraw{500};
constexpr std::chrono::milliseconds kRedraw{200};

// Back to the start of the line, and clear it.
constexpr const char *kEraseLine = "\r\033[K";

void writeError(const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string humanBytes(double bytes) {
  static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
    bytes /= 1024.0;
    ++unit;
  }
  std::ostringstream text;
  if (unit == 0)
    text << static_cast<std::uint64_t>(bytes) << " B";
  else
    text << std::fixed << std::setprecision(1) << bytes << " " << kUnits[unit];
  return text.str();
}

std::string progressText(const qx::quarn_tools::TransferProgress &start,
                         const qx::quarn_tools::TransferProgress &now,
                         std::chrono::duration<double> elapsed) {
  const double bytes = static_cast<double>(now.bytesReceived - start.bytesReceived);
  const double seconds = elapsed.count() > 0 ? elapsed.count() : 1.0;
  std::ostringstream text;
  text << "Downloaded " << humanBytes(bytes) << " at " << humanBytes(bytes / seconds) << "/s, "
       << now.resourcesFinished - start.resourcesFinished << " of "
       << now.resourcesStarted - start.resourcesStarted << " resources";
  return text.str();
}

ProgressLine::ProgressLine()
    : start_(qx::quarn_tools::currentTransferProgress()),
      startTime_(std::chrono::steady_clock::now()) {
  if (::isatty(STDERR_FILENO) != 1) return;
  active_ = true;
  previousSink_ = qx::common::Console::SetSink(
      [this](int level, const std::string &line) { WriteLogLine(level, line); });
  ticker_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
  if (!active_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  ticker_.join();
  qx::common::Console::SetSink(previousSink_);
  std::lock_guard<std::mutex> lock(mutex_);
  Erase();
}

void ProgressLine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_for(lock, kFirstDraw, [this] { return stop_; })) return;
  while (!stop_) {
    Draw();
    wake_.wait_for(lock, kRedraw, [this] { return stop_; });
  }
}

void ProgressLine::Draw() {
  const auto elapsed = std::chrono::steady_clock::now() - startTime_;
  writeError(kEraseLine + progressText(start_, qx::quarn_tools::currentTransferProgress(),
                                       elapsed));
  shown_ = true;
}

void ProgressLine::Erase() {
  if (!shown_) return;
  writeError(kEraseLine);
  shown_ = false;
}

void ProgressLine::WriteLogLine(int level, const std::string &line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Erase();
  if (previousSink_)
    previousSink_(level, line);
  else
    writeError(line);
  // Back below the log line at once, not only at the next tick.
  if (shown_ || std::chrono::steady_clock::now() - startTime_ >= kFirstDraw) Draw();
}

}  // namespace qx::quarn_cli
