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
