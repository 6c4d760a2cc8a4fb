#pragma once
// The platform clock: every wait and time-out of the program goes through it,
// so tests can run the real sequences faster by a scale factor. Production runs
// at scale 1; a scale of 20 makes one second of program time last 50 ms.
#include <chrono>
#include <cstdint>

namespace Clock {

// Sets how many times faster than real time the program's time runs (> 0).
void SetTimeScale(double speedup);
double TimeScale();

// Sleeps for `ms` milliseconds of program time.
void SleepMs(std::uint32_t ms);

// Real duration of `ms` milliseconds of program time, for condition-variable
// and socket waits that take a std::chrono duration.
std::chrono::nanoseconds RealDuration(std::uint32_t ms);

// High-resolution counter of program time and its frequency in counts per second.
std::uint64_t QueryPerformanceCounter();
std::uint64_t QueryPerformanceFrequency();

// Monotonic program time in milliseconds, for deadlines.
std::uint64_t NowMs();

}  // namespace Clock

// While it exists, the calling thread's timed waits end close to their
// deadline (Linux: within a microsecond instead of the kernel's default 50 µs
// slack; Windows: a 1 ms timer tick instead of 15.6 ms), so that the pacing can
// block rather than spin. The download holds one while it runs.
class CFineTimerSlack {
 public:
  CFineTimerSlack();
  ~CFineTimerSlack();
  CFineTimerSlack(const CFineTimerSlack&) = delete;
  CFineTimerSlack& operator=(const CFineTimerSlack&) = delete;

 private:
  int m_previous = 0;  // the slack to restore, or whether a finer tick was granted
};
