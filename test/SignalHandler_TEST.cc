#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <qx/common/SignalHandler.hh>

using qx::common::SignalHandler;

namespace {

// Polls `counter` for up to five seconds; the bound only keeps a broken build
// from hanging, it is no speed requirement.
bool waitFor(const std::atomic<int> &counter, int atLeast) {
  for (int i = 0; i < 500; ++i) {
    if (counter.load() >= atLeast) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return counter.load() >= atLeast;
}

class SignalHandlerTest : public ::testing::TestWithParam<int> {};

TEST_P(SignalHandlerTest, CallbacksReceiveTheSignal) {
  const int signal = GetParam();
  std::atomic<int> calls{0};
  std::atomic<int> received{0};
  std::atomic<int> secondCalls{0};
  SignalHandler handler;
  ASSERT_TRUE(handler.Initialized());
  EXPECT_TRUE(handler.AddCallback([&](int sig) {
    received = sig;
    ++calls;
  }));
  EXPECT_TRUE(handler.AddCallback([&](int) { ++secondCalls; }));

  ASSERT_EQ(0, raise(signal));
  ASSERT_TRUE(waitFor(secondCalls, 1));
  EXPECT_EQ(1, calls.load());
  EXPECT_EQ(signal, received.load());

  // Sent to the process, not to this thread.
  ASSERT_EQ(0, kill(getpid(), signal));
  ASSERT_TRUE(waitFor(secondCalls, 2));
  EXPECT_EQ(2, calls.load());
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, SignalHandlerTest, ::testing::Values(SIGINT, SIGTERM));

TEST(SignalHandler, EmptyCallbackIsRefused) {
  SignalHandler handler;
  ASSERT_TRUE(handler.Initialized());
  EXPECT_FALSE(handler.AddCallback(SignalHandler::Callback()));
}

TEST(SignalHandler, EveryLiveHandlerIsCalled) {
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  SignalHandler a;
  SignalHandler b;
  a.AddCallback([&](int) { ++first; });
  b.AddCallback([&](int) { ++second; });
  raise(SIGINT);
  ASSERT_TRUE(waitFor(first, 1));
  ASSERT_TRUE(waitFor(second, 1));
}

TEST(SignalHandler, CallbacksStopAfterDestruction) {
  std::atomic<int> gone{0};
  std::atomic<int> staying{0};
  SignalHandler keeper;
  keeper.AddCallback([&](int) { ++staying; });
  {
    SignalHandler temporary;
    temporary.AddCallback([&](int) { ++gone; });
    raise(SIGTERM);
    ASSERT_TRUE(waitFor(gone, 1));
    ASSERT_TRUE(waitFor(staying, 1));
  }
  raise(SIGTERM);
  ASSERT_TRUE(waitFor(staying, 2));
  // The signal was dispatched (the keeper saw it), the destroyed one missed it.
  EXPECT_EQ(1, gone.load());
}

// With no handler alive the previous disposition is back: an ignored signal
// stays ignored, and a handler made afterwards works again.
TEST(SignalHandler, PreviousDispositionComesBack) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(0, sigaction(SIGINT, &ignore, &saved));

  std::atomic<int> calls{0};
  {
    SignalHandler handler;
    handler.AddCallback([&](int) { ++calls; });
    struct sigaction during {};
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &during));
    EXPECT_NE(SIG_IGN, during.sa_handler);
    raise(SIGINT);
    ASSERT_TRUE(waitFor(calls, 1));
  }
  struct sigaction after {};
  ASSERT_EQ(0, sigaction(SIGINT, nullptr, &after));
  EXPECT_EQ(SIG_IGN, after.sa_handler);
  raise(SIGINT);  // ignored, the test goes on

  {
    SignalHandler again;
    again.AddCallback([&](int) { ++calls; });
    raise(SIGINT);
    ASSERT_TRUE(waitFor(calls, 2));
  }
  ASSERT_EQ(0, sigaction(SIGINT, &saved, nullptr));
}

TEST(SignalHandler, HandlersComeAndGoOnManyThreads) {
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&calls] {
      for (int i = 0; i < 25; ++i) {
        SignalHandler handler;
        handler.AddCallback([&calls](int) { ++calls; });
      }
    });
  }
  for (std::thread &thread : threads) thread.join();

  SignalHandler last;
  last.AddCallback([&calls](int) { ++calls; });
  int before = calls.load();
  raise(SIGINT);
  ASSERT_TRUE(waitFor(calls, before + 1));
}

TEST(SignalHandler, CallbackMayDestroyTheLastHandler) {
  std::atomic<int> calls{0};
  auto handler = std::make_shared<std::unique_ptr<SignalHandler>>(new SignalHandler);
  (*handler)->AddCallback([&calls, handler](int) {
    ++calls;
    handler->reset();  // the dispatcher lets itself go
  });
  raise(SIGINT);
  ASSERT_TRUE(waitFor(calls, 1));
  // A new handler starts a new dispatcher.
  std::atomic<int> later{0};
  {
    SignalHandler next;
    next.AddCallback([&later](int) { ++later; });
    raise(SIGTERM);
    ASSERT_TRUE(waitFor(later, 1));
  }
  EXPECT_EQ(1, calls.load());
}

}  // namespace
