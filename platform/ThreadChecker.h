#pragma once
// Says which thread owns a piece of state: the first thread that checks owns
// it until it is released. In checked builds (debug and the sanitizer builds)
// a check from any other thread stops the program, so that where a comment
// says "runs on the reader thread", the test runs prove it. In release builds
// every check is empty.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

class CThreadChecker {
 public:
  // Stops the program when a thread other than the owner calls it; the
  // calling thread becomes the owner when there is none.
  void Check([[maybe_unused]] const char* what) {
#if !defined(NDEBUG) || defined(QUILLON_THREAD_CHECKS)
    std::thread::id owner{};
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner.compare_exchange_strong(owner, self, std::memory_order_relaxed) || owner == self) return;
    std::fprintf(stderr, "thread check: %s ran on a thread that does not own it\n", what);
    std::abort();
#endif
  }

  // No thread owns the state any more (its owner has ended or handed it on).
  void Release() { m_owner.store(std::thread::id{}, std::memory_order_relaxed); }

 private:
  std::atomic<std::thread::id> m_owner{};
};
