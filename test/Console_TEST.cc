#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <qx/common/Console.hh>
#include <qx/common/Util.hh>

#include "support/TestSupport.hh"

using qx::common::Console;
using qx::common::LOG_DEBUG;
using qx::common::LOG_ERROR;
using qx::common::LOG_MESSAGE;
using qx::common::LOG_WARNING;
using qx::common::LogMessage;

namespace {

// Installs a sink that records every line and restores the previous sink and
// verbosity afterwards.
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousVerbosity_ = Console::Verbosity();
    previousSink_ = Console::SetSink([this](int level, const std::string &line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(level, line);
    });
  }

  void TearDown() override {
    Console::SetSink(previousSink_);
    Console::SetVerbosity(previousVerbosity_);
  }

  std::vector<std::pair<int, std::string>> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  void ClearLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
  Console::Sink previousSink_;
  int previousVerbosity_ = 1;
};

TEST(ConsoleDefaults, VerbosityStartsAtOne) {
  // Nothing in this test binary changes the verbosity before the tests run.
  EXPECT_EQ(1, Console::Verbosity());
  EXPECT_TRUE(Console::Admits(LOG_ERROR));
  EXPECT_FALSE(Console::Admits(LOG_WARNING));
}

TEST_F(ConsoleTest, VerbosityFiltersEachLevel) {
  struct Case {
    int verbosity;
    std::vector<int> shown;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {1, {LOG_ERROR}},
      {2, {LOG_ERROR, LOG_WARNING}},
      {3, {LOG_ERROR, LOG_WARNING, LOG_MESSAGE}},
      {4, {LOG_ERROR, LOG_WARNING, LOG_MESSAGE, LOG_DEBUG}},
      {9, {LOG_ERROR, LOG_WARNING, LOG_MESSAGE, LOG_DEBUG}},
  };
  for (const Case &c : cases) {
    Console::SetVerbosity(c.verbosity);
    EXPECT_EQ(c.verbosity, Console::Verbosity());
    ClearLines();
    qxerr << "e";
    qxwarn << "w";
    qxmsg << "m";
    qxdbg << "d";
    std::vector<int> shown;
    for (const auto &line : Lines()) shown.push_back(line.first);
    EXPECT_EQ(c.shown, shown) << "verbosity " << c.verbosity;
    for (int level : {LOG_ERROR, LOG_WARNING, LOG_MESSAGE, LOG_DEBUG}) {
      bool expected = false;
      for (int s : c.shown) expected = expected || s == level;
      EXPECT_EQ(expected, Console::Admits(level)) << c.verbosity << " " << level;
    }
  }
}

TEST_F(ConsoleTest, SinkReceivesExactlyTheLine) {
  Console::SetVerbosity(4);
  const int line = __LINE__ + 1;
  qxerr << "Error " << 42 << " happened";
  qxwarn << "Already ends\n";
  qxmsg << "Two\nlines";
  qxdbg << "";
  const std::string where = "[Console_TEST.cc:";
  const std::vector<std::pair<int, std::string>> expected = {
      {LOG_ERROR, "[Err] " + where + std::to_string(line) + "] Error 42 happened\n"},
      {LOG_WARNING, "[Wrn] " + where + std::to_string(line + 1) + "] Already ends\n"},
      {LOG_MESSAGE, "[Msg] " + where + std::to_string(line + 2) + "] Two\nlines\n"},
      {LOG_DEBUG, "[Dbg] " + where + std::to_string(line + 3) + "] \n"},
  };
  EXPECT_EQ(expected, Lines());
}

TEST_F(ConsoleTest, FileNameIsItsBaseName) {
  { LogMessage("/some/dir/Source.cc", 7, LOG_ERROR).stream() << "x"; }
  { LogMessage("Plain.cc", 8, LOG_ERROR).stream() << "y"; }
  const std::vector<std::pair<int, std::string>> expected = {
      {LOG_ERROR, "[Err] [Source.cc:7] x\n"}, {LOG_ERROR, "[Err] [Plain.cc:8] y\n"}};
  EXPECT_EQ(expected, Lines());
}

TEST_F(ConsoleTest, SetSinkReturnsThePreviousOne) {
  std::vector<std::string> second;
  Console::Sink first = Console::SetSink(
      [&second](int, const std::string &line) { second.push_back(line); });
  ASSERT_TRUE(static_cast<bool>(first));
  qxerr << "to second";
  EXPECT_EQ(0u, Lines().size());
  ASSERT_EQ(1u, second.size());
  Console::Sink back = Console::SetSink(first);
  ASSERT_TRUE(static_cast<bool>(back));
  qxerr << "to first";
  EXPECT_EQ(1u, Lines().size());
  EXPECT_EQ(1u, second.size());
}

TEST_F(ConsoleTest, SinkThatLogsDoesNotDeadlock) {
  Console::SetSink([](int, const std::string &) { qxerr << "from inside the sink"; });
  qxerr << "outside";  // the inner line goes to standard error
  SUCCEED();
}

TEST_F(ConsoleTest, LinesOfManyThreadsNeverInterleave) {
  Console::SetVerbosity(4);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        qxmsg << "thread " << t << " line " << i << " " << std::string(64, char('a' + t));
      }
    });
  }
  for (std::thread &thread : threads) thread.join();

  const auto lines = Lines();
  ASSERT_EQ(static_cast<std::size_t>(kThreads * kLines), lines.size());
  std::set<std::string> seen;
  for (const auto &line : lines) {
    const std::string &text = line.second;
    std::size_t start = text.find("] thread ");
    ASSERT_NE(std::string::npos, start) << text;
    ASSERT_EQ(0u, text.rfind("[Msg] [Console_TEST.cc:", 0)) << text;
    int t = -1, i = -1;
    ASSERT_EQ(2, std::sscanf(text.c_str() + start, "] thread %d line %d", &t, &i)) << text;
    std::string expectedTail = " line " + std::to_string(i) + " " +
                               std::string(64, char('a' + t)) + "\n";
    ASSERT_EQ(expectedTail, text.substr(text.size() - expectedTail.size())) << text;
    EXPECT_TRUE(seen.insert(std::to_string(t) + ":" + std::to_string(i)).second) << text;
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), seen.size());
}

// Without a sink, lines go to file descriptor 2 in one piece each.
TEST(ConsoleStderr, WholeLinesReachStandardError) {
  qx::test::TempDir tmp;
  std::string path = tmp.Join("stderr.txt");
  std::fflush(stderr);
  int saved = dup(2);
  ASSERT_GE(saved, 0);
  FILE *capture = std::fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, capture);
  ASSERT_EQ(2, dup2(fileno(capture), 2));

  int previousVerbosity = Console::Verbosity();
  Console::Sink previousSink = Console::SetSink(nullptr);
  Console::SetVerbosity(2);
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) qxwarn << "warned " << i;
      });
    }
    for (std::thread &thread : threads) thread.join();
  }
  qxmsg << "not shown at verbosity 2";
  Console::SetVerbosity(previousVerbosity);
  Console::SetSink(previousSink);

  dup2(saved, 2);
  close(saved);
  std::fclose(capture);

  std::vector<std::string> lines = qx::common::split(qx::test::ReadFile(path), "\n");
  ASSERT_EQ(200u, lines.size());
  for (const std::string &line : lines) {
    EXPECT_EQ(0u, line.rfind("[Wrn] [Console_TEST.cc:", 0)) << line;
    EXPECT_NE(std::string::npos, line.find("] warned ")) << line;
  }
}

}  // namespace
