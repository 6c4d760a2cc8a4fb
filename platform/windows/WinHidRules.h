#pragma once
// The parts of the Windows HID backend that need no device: fitting the
// caller's reports to the device's report lengths, the product string, and the
// length of a bounded wait.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// This device's report lengths, report-ID byte included. A top-level
// collection whose reports are shorter is another function of the same USB
// interface (volume buttons, say), not the one this protocol talks to.
inline constexpr std::size_t kProtocolInputLength = 32;
inline constexpr std::size_t kProtocolOutputLength = 65;

// Whether a collection with these report lengths can carry the protocol's reports.
constexpr bool CarriesProtocolReports(std::size_t inputLength, std::size_t outputLength) {
  return inputLength >= kProtocolInputLength && outputLength >= kProtocolOutputLength;
}

// The report as a buffer of exactly `deviceLength` bytes (the device's report
// length, report-ID byte included): a shorter report is padded with zeros.
// nullopt when the report is empty or longer, or the device has no such report
// (length 0): the device would refuse it or lose its tail.
std::optional<std::vector<std::uint8_t>> FitReport(std::span<const std::uint8_t> report, std::size_t deviceLength);

// Copies what fits of `from` into the start of `to`; the number of bytes stored.
std::size_t CopyReport(std::span<const std::uint8_t> from, std::span<std::uint8_t> to);

// The text of `wide` up to its first NUL, as NUL-terminated UTF-16 cut to fit
// `buffer`; a cut never separates a surrogate pair. False when `buffer` is
// empty or the text is.
bool CopyProductString(std::span<const wchar_t> wide, std::span<char16_t> buffer);

// Milliseconds to pass to a Windows wait for `real`: rounded up, so a short
// non-zero wait does not become a poll, and kept below INFINITE.
std::uint32_t WaitMilliseconds(std::chrono::nanoseconds real);
