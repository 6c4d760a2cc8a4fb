#pragma once
// One way to poll: up to `times` tries, `intervalMs` of program time apart,
// until a try gives a result. The try returns std::nullopt to be tried again;
// its result, or std::nullopt once every try is spent, is returned.
#include <cstdint>
#include <optional>
#include <type_traits>

#include "platform/Clock.h"

// Where the wait falls: before each try (the condition needs time first), or
// after each try that gives no result (the first try is made at once).
enum class EPollWait { BeforeEachTry, AfterEachFailedTry };

template <class Try>
auto Poll(int times, std::uint32_t intervalMs, EPollWait wait, Try&& attempt) -> std::invoke_result_t<Try&, int> {
  const auto pause = [intervalMs] {
    if (intervalMs != 0) Clock::SleepMs(intervalMs);
  };
  for (int tryNumber = 0; tryNumber < times; ++tryNumber) {
    if (wait == EPollWait::BeforeEachTry) pause();
    if (auto result = attempt(tryNumber)) return result;
    if (wait == EPollWait::AfterEachFailedTry) pause();
  }
  return std::nullopt;
}
