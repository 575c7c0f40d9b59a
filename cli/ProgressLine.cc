#include "ProgressLine.hh"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include <qx/quarn_tools/ByteSizes.hh>
#include <qx/quarn_tools/CommandText.hh>

namespace qx::quarn_cli {

namespace {

using qx::quarn_tools::ByteFigures;
using qx::quarn_tools::humanBytes;
using qx::quarn_tools::TransferProgress;

// How long work may run before the line appears, and how often it changes.
constexpr std::chrono::milliseconds kFirstDraw{500};
constexpr std::chrono::milliseconds kRedraw{200};

// The current rate is the rate over this much of the recent past.
constexpr double kRateWindowSeconds = 3.0;

// Back to the start of the line, and clear it.
constexpr const char *kEraseLine = "\r\033[K";

void writeError(const std::string &text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Columns of the terminal on standard error; a line longer than that would
// wrap, and erasing would leave its first part behind.
std::size_t terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// `text` cut to fit `columns - 1` bytes, never inside a UTF-8 sequence.
std::string fitted(std::string text, std::size_t columns) {
  const std::size_t room = columns > 1 ? columns - 1 : 1;
  if (text.size() <= room) return text;
  std::size_t cut = room;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text;
}

std::string nameOf(const std::string &name) {
  return name.empty() ? std::string("download") : qx::quarn_tools::printableText(name);
}

}  // namespace

std::string durationText(double seconds) {
  std::ostringstream text;
  if (!(seconds >= 0)) seconds = 0;
  if (seconds < 10) {
    text << std::fixed << std::setprecision(1) << seconds << " s";
    return text.str();
  }
  const auto whole = static_cast<std::uint64_t>(std::llround(seconds));
  if (whole < 60)
    text << whole << " s";
  else if (whole < 3600)
    text << whole / 60 << " min " << whole % 60 << " s";
  else
    text << whole / 3600 << " h " << whole % 3600 / 60 << " min";
  return text.str();
}

ProgressText::ProgressText(const TransferProgress &start) : start_(start) {}

void ProgressText::Keep(Sample sample) {
  // Until the first byte only the latest sample stays: the rate is measured
  // from the last moment nothing had come yet.
  if (sample.bytes == 0) samples_.clear();
  samples_.push_back(sample);
  while (samples_.size() > 2 && samples_[1].seconds <= sample.seconds - kRateWindowSeconds)
    samples_.pop_front();
}

double ProgressText::Rate() const {
  if (samples_.size() < 2) return -1;
  const double seconds = samples_.back().seconds - samples_.front().seconds;
  if (seconds <= 0) return -1;
  return static_cast<double>(samples_.back().bytes - samples_.front().bytes) / seconds;
}

std::string ProgressText::Line(const TransferProgress &now,
                               std::chrono::duration<double> elapsed) {
  const std::uint64_t received = now.bytesReceived - start_.bytesReceived;
  const std::uint64_t expected = now.bytesExpected - start_.bytesExpected;
  Keep({elapsed.count(), received});
  std::ostringstream text;
  text << nameOf(now.latestResource);
  if (received == 0) {
    text << (now.resourcesUnpacking > 0 ? ": unpacking" : ": waiting for the server");
    return text.str();
  }
  text << "  " << humanBytes(received, ByteFigures::kOneDecimal);
  // Bodies of unknown length make the total unknown: it shows only while
  // everything received was announced.
  const bool totalKnown = expected >= received;
  if (totalKnown) {
    text << " of " << humanBytes(expected, ByteFigures::kOneDecimal) << "  "
         << (expected > 0 ? received * 100 / expected : 100) << "%";
  }
  const double rate = Rate();
  if (rate >= 0) text << "  " << humanBytes(rate, ByteFigures::kOneDecimal) << "/s";
  if (totalKnown && rate > 0 && expected > received)
    text << "  " << durationText(static_cast<double>(expected - received) / rate) << " left";
  if (now.resourcesUnpacking > 0) text << "  unpacking";
  const std::uint64_t begun = now.resourcesStarted - start_.resourcesStarted;
  if (begun > 1)
    text << "  " << now.resourcesFinished - start_.resourcesFinished << " of " << begun
         << " resources";
  return text.str();
}

std::string ProgressText::Summary(const TransferProgress &now,
                                  std::chrono::duration<double> elapsed) const {
  const std::uint64_t saved = now.resourcesSaved - start_.resourcesSaved;
  if (saved == 0) return std::string();
  std::ostringstream text;
  text << "Downloaded ";
  if (saved == 1)
    text << nameOf(now.latestSaved);
  else
    text << saved << " resources";
  text << " (" << humanBytes(now.bytesReceived - start_.bytesReceived, ByteFigures::kOneDecimal)
       << ") in " << durationText(elapsed.count());
  return text.str();
}

ProgressLine::ProgressLine()
    : startTime_(std::chrono::steady_clock::now()),
      text_(qx::quarn_tools::currentTransferProgress()) {
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
  const std::string summary = text_.Summary(qx::quarn_tools::currentTransferProgress(),
                                            std::chrono::steady_clock::now() - startTime_);
  if (!summary.empty()) writeError(fitted(summary, terminalColumns()) + "\n");
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
  writeError(kEraseLine + fitted(text_.Line(qx::quarn_tools::currentTransferProgress(), elapsed),
                                 terminalColumns()));
  shown_ = true;
}

void ProgressLine::Erase() {
  if (!shown_) return;
  writeError(kEraseLine);
  shown_ = false;
}

void ProgressLine::WriteLogLine(int level, const std::string &line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool wasShown = shown_;
  Erase();
  if (previousSink_)
    previousSink_(level, line);
  else
    writeError(line);
  // Back below the log line at once, not only at the next tick.
  if (wasShown) Draw();
}

}  // namespace qx::quarn_cli
