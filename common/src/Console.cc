#include "qx/common/Console.hh"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace qx::common {
namespace {

std::atomic<int> gVerbosity{1};

// Serialises every write of a line and guards the sink.
std::mutex &outputMutex() {
  static std::mutex *mutex = new std::mutex;
  return *mutex;
}

Console::Sink &sinkSlot() {
  static Console::Sink *sink = new Console::Sink;
  return *sink;
}

// Set while this thread runs the sink, so a sink that logs does not deadlock:
// its own lines go straight to standard error.
thread_local bool tInsideSink = false;

int clampLevel(int level) {
  if (level < LOG_DEBUG) return LOG_DEBUG;
  if (level > LOG_ERROR) return LOG_ERROR;
  return level;
}

const char *prefixOf(int level) {
  switch (clampLevel(level)) {
    case LOG_ERROR: return "[Err] ";
    case LOG_WARNING: return "[Wrn] ";
    case LOG_MESSAGE: return "[Msg] ";
    default: return "[Dbg] ";
  }
}

// The last component of a source file name.
const char *fileBaseName(const char *file) {
  if (file == nullptr) return "";
  const char *slash = std::strrchr(file, '/');
  return slash == nullptr ? file : slash + 1;
}

std::string formatLine(const char *file, int line, int level, const std::string &text) {
  std::string result = prefixOf(level);
  result += '[';
  result += fileBaseName(file);
  result += ':';
  result += std::to_string(line);
  result += "] ";
  result += text;
  if (result.back() != '\n') result += '\n';
  return result;
}

void writeToStderr(const std::string &line) {
  const char *data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void emit(int level, const std::string &line) {
  if (tInsideSink) {
    writeToStderr(line);
    return;
  }
  std::lock_guard<std::mutex> lock(outputMutex());
  Console::Sink &sink = sinkSlot();
  if (!sink) {
    writeToStderr(line);
    return;
  }
  tInsideSink = true;
  try {
    sink(level, line);
  } catch (...) {
    // A failing sink loses its line; the log never throws into its caller.
  }
  tInsideSink = false;
}

}  // namespace

void Console::SetVerbosity(int level) { gVerbosity.store(level); }

int Console::Verbosity() { return gVerbosity.load(); }

bool Console::Admits(int level) {
  // Errors need verbosity 1, warnings 2, messages 3, debug 4.
  return Verbosity() >= 5 - clampLevel(level);
}

Console::Sink Console::SetSink(Sink sink) {
  std::lock_guard<std::mutex> lock(outputMutex());
  Sink previous = std::move(sinkSlot());
  sinkSlot() = std::move(sink);
  return previous;
}

LogMessage::LogMessage(const char *file, int line, int level)
    : file_(file), line_(line), level_(level) {}

LogMessage::~LogMessage() {
  try {
    if (!Console::Admits(level_)) return;
    emit(clampLevel(level_), formatLine(file_, line_, level_, stream_.str()));
  } catch (...) {
    // Out of memory while formatting: the line is dropped.
  }
}

std::ostream &LogMessage::stream() { return stream_; }

}  // namespace qx::common
