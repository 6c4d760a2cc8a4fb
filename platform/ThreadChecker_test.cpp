#include "platform/ThreadChecker.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// The first thread that checks owns the state; another thread's check stops
// the program until the owner releases it.
TEST(ThreadCheckerDeathTest, AThreadThatDoesNotOwnTheStateStopsTheProgram) {
#if defined(NDEBUG) && !defined(QUILLON_THREAD_CHECKS)
  GTEST_SKIP() << "thread checks are compiled in debug and sanitizer builds only";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto checkFromAnotherThread = [](CThreadChecker& checker) {
    std::thread other([&] { checker.Check("the test's state"); });
    other.join();
  };
  CThreadChecker checker;
  checker.Check("the test's state");
  checker.Check("the test's state");
  EXPECT_DEATH(checkFromAnotherThread(checker), "thread check: the test's state ran on a thread that does not own it");
  checker.Release();
  checkFromAnotherThread(checker);  // the other thread now owns it
  EXPECT_DEATH(checker.Check("the test's state"), "does not own it");
}

}  // namespace
