/*
 * Precise matchers for what the library reports: a log line of one level
 * holding a text, and a result of one type. When they fail they print what
 * the current LogCapture caught, so a failing case shows the reasons the
 * library gave.
 *
 *   EXPECT_THAT(log_, HasLogLine(LOG_ERROR, "No space left on device"));
 *   EXPECT_THAT(client.DownloadModel(id), IsResult(FETCH_DONE));
 */
#ifndef QX_QUARN_TOOLS_TEST_SUPPORT_MATCHERS_HH_
#define QX_QUARN_TOOLS_TEST_SUPPORT_MATCHERS_HH_

#include <gmock/gmock.h>

#include <ostream>
#include <qx/quarn_tools/Result.hh>
#include <string>

#include "support/TestSupport.hh"

namespace qx::test {

// What the current capture caught, as lines for a failure message.
void PrintCapturedLog(std::ostream *os);

// How a LogCapture shows in a failure message: the lines it caught.
void PrintTo(const LogCapture &log, std::ostream *os);

class LogLineMatcher {
 public:
  using is_gtest_matcher = void;

  LogLineMatcher(int level, std::string text) : level_(level), text_(std::move(text)) {}

  bool MatchAndExplain(const LogCapture &log, std::ostream * /*os*/) const {
    return log.Contains(text_, level_);
  }
  void DescribeTo(std::ostream *os) const {
    *os << "has a log line of level " << level_ << " containing \"" << text_ << "\"";
  }
  void DescribeNegationTo(std::ostream *os) const {
    *os << "has no log line of level " << level_ << " containing \"" << text_ << "\"";
  }

 private:
  int level_;
  std::string text_;
};

// A log line of `level` (0: any) containing `text`.
inline LogLineMatcher HasLogLine(int level, std::string text) {
  return LogLineMatcher(level, std::move(text));
}

class ResultMatcher {
 public:
  using is_gtest_matcher = void;

  explicit ResultMatcher(qx::quarn_tools::ResultType type) : type_(type) {}

  bool MatchAndExplain(const qx::quarn_tools::Result &result, std::ostream *os) const {
    if (result.Type() == type_) return true;
    if (os != nullptr) *os << "which is \"" << result.ReadableResult() << "\"";
    PrintCapturedLog(os);
    return false;
  }
  void DescribeTo(std::ostream *os) const {
    *os << "is \"" << qx::quarn_tools::Result(type_).ReadableResult() << "\"";
  }
  void DescribeNegationTo(std::ostream *os) const {
    *os << "is not \"" << qx::quarn_tools::Result(type_).ReadableResult() << "\"";
  }

 private:
  qx::quarn_tools::ResultType type_;
};

inline ResultMatcher IsResult(qx::quarn_tools::ResultType type) { return ResultMatcher(type); }

}  // namespace qx::test

#endif  // QX_QUARN_TOOLS_TEST_SUPPORT_MATCHERS_HH_
