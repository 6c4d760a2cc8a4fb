#include "platform/windows/WinHidRules.h"

#include <algorithm>

// Windows' wide characters are UTF-16 code units.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::optional<std::vector<std::uint8_t>> FitReport(std::span<const std::uint8_t> report, std::size_t deviceLength) {
  if (report.empty() || report.size() > deviceLength) return std::nullopt;
  std::vector<std::uint8_t> buffer(deviceLength, 0);
  std::copy(report.begin(), report.end(), buffer.begin());
  return buffer;
}

std::size_t CopyReport(std::span<const std::uint8_t> from, std::span<std::uint8_t> to) {
  const std::size_t count = std::min(from.size(), to.size());
  std::copy_n(from.begin(), count, to.begin());
  return count;
}

bool CopyProductString(std::span<const wchar_t> wide, std::span<char16_t> buffer) {
  const std::size_t length = static_cast<std::size_t>(std::find(wide.begin(), wide.end(), L'\0') - wide.begin());
  if (buffer.empty() || length == 0) return false;
  std::size_t units = std::min(length, buffer.size() - 1);
  // A high surrogate whose partner was cut off would decode as U+FFFD.
  if (units < length && units > 0 && wide[units - 1] >= 0xD800 && wide[units - 1] <= 0xDBFF) --units;
  std::transform(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(units), buffer.begin(),
                 [](wchar_t unit) { return static_cast<char16_t>(unit); });
  buffer[units] = 0;
  return true;
}

std::uint32_t WaitMilliseconds(std::chrono::nanoseconds real) {
  constexpr std::int64_t kLongest = 0xFFFFFFFE;  // 0xFFFFFFFF is INFINITE
  if (real.count() <= 0) return 0;
  const std::int64_t ms = std::chrono::ceil<std::chrono::milliseconds>(real).count();
  return static_cast<std::uint32_t>(std::min(ms, kLongest));
}
