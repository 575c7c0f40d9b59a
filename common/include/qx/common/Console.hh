/*
 * The console log. Each LogMessage collects one line and writes it, whole and
 * atomically, to standard error (or to the installed sink) when destroyed, if
 * the verbosity admits its level. Thread-safe: lines from several threads
 * never interleave within a line.
 *
 * Levels: 1 debug, 2 message, 3 warning, 4 error. Verbosity 0 shows nothing,
 * 1 errors (the default), 2 adds warnings, 3 adds messages, 4 adds debug.
 */
#ifndef QX_COMMON_CONSOLE_HH_
#define QX_COMMON_CONSOLE_HH_

#include <functional>
#include <sstream>
#include <string>

namespace qx::common {

enum LogLevel {
  LOG_DEBUG = 1,
  LOG_MESSAGE = 2,
  LOG_WARNING = 3,
  LOG_ERROR = 4,
};

class Console {
 public:
  // Receives each admitted line: its level and its full text (prefix
  // included, ending with a newline).
  using Sink = std::function<void(int level, const std::string &line)>;

  static void SetVerbosity(int level);
  static int Verbosity();
  // Whether a line of `level` would be written at the current verbosity.
  static bool Admits(int level);

  // Replaces standard error as the destination of log lines; an empty sink
  // restores standard error. Returns the previous sink. The sink is called
  // for one line at a time, under the log's lock; lines that the sink itself
  // logs go straight to standard error.
  static Sink SetSink(Sink sink);
};

// One line: "[Err] ", "[Wrn] ", "[Msg] " or "[Dbg] ", then "[" + base name
// of `file` + ":" + `line` + "] ", then the text; a newline is added when the
// text does not end with one.
class LogMessage {
 public:
  LogMessage(const char *file, int line, int level);
  ~LogMessage();
  LogMessage(const LogMessage &) = delete;
  LogMessage &operator=(const LogMessage &) = delete;

  std::ostream &stream();

 private:
  std::ostringstream stream_;
  const char *file_;
  int line_;
  int level_;
};

}  // namespace qx::common

#define qxerr (::qx::common::LogMessage(__FILE__, __LINE__, ::qx::common::LOG_ERROR).stream())
#define qxwarn (::qx::common::LogMessage(__FILE__, __LINE__, ::qx::common::LOG_WARNING).stream())
#define qxmsg (::qx::common::LogMessage(__FILE__, __LINE__, ::qx::common::LOG_MESSAGE).stream())
#define qxdbg (::qx::common::LogMessage(__FILE__, __LINE__, ::qx::common::LOG_DEBUG).stream())

#endif  // QX_COMMON_CONSOLE_HH_
