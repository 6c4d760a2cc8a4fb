#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace Clock {
namespace {

std::atomic<double> g_speedup{1.0};

std::uint64_t RealNowNs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

void SetTimeScale(double speedup) {
  if (speedup > 0.0) g_speedup.store(speedup, std::memory_order_relaxed);
}

double TimeScale() { return g_speedup.load(std::memory_order_relaxed); }

std::chrono::nanoseconds RealDuration(std::uint32_t ms) {
  const double ns = static_cast<double>(ms) * 1e6 / TimeScale();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(RealDuration(ms)); }

std::uint64_t QueryPerformanceFrequency() { return 1'000'000'000ull; }

std::uint64_t QueryPerformanceCounter() {
  return static_cast<std::uint64_t>(static_cast<double>(RealNowNs()) * TimeScale());
}

std::uint64_t NowMs() { return QueryPerformanceCounter() / 1'000'000ull; }

}  // namespace Clock
