#pragma once
// Class requests the bootloader sequences send on the channel's device handle.
#include <array>
#include <cstdint>
#include <span>

#include "hid/ClassRequest.h"
#include "hid/HIDHelper.h"
#include "hid/Reports.h"

using OutputReport = std::array<std::uint8_t, kOutputReportLength>;

// What a loader's version answer holds before it is read: an answer that does
// not reach the version bytes leaves them so.
inline constexpr LoaderVersion kUnreadLoaderVersion{0xFF, 0xFF};

// An all-zero output report with the loader's group and `code`.
OutputReport MakeLoaderRequest(std::uint8_t group, std::uint8_t code);

// HID class GET_REPORT (Input) into `report` (byte 0 = report ID 0); false when it failed.
bool ReadInputReportNow(CHIDHelper& helper, std::span<std::uint8_t> report);

// Polls the status word every 10 ms, at most `polls` times, until it is non-zero;
// returns that value, or 0 when nothing arrived in time.
std::uint32_t AwaitStatusWord(CHIDHelper& helper, int polls);

void PutLittleEndian32(std::span<std::uint8_t, 4> where, std::uint32_t value);
