#pragma once
// What the end-to-end tests and benchmarks know of the stand-in images and of
// the emulated devices they are written to: where the main image lands in
// flash, the DFU suffix the chip is not sent, the versions the images carry,
// the versions of a device older than them, and the log line of a failed write.
#include <cstddef>
#include <cstdint>

#include "emulator/EmulatorConfig.h"

namespace e2e {

inline constexpr std::uint32_t kBankA = 0x1A006000;
inline constexpr std::size_t kBankALength = 0x1A040000 - kBankA;
inline constexpr std::uint32_t kBankB = 0x1B000000;
inline constexpr std::size_t kDfuSuffixLength = 16;

inline constexpr std::uint32_t kBuiltInL = EmuVersionWord(0x2017, 0x10, 0x03);
inline constexpr std::uint32_t kBuiltInA = EmuVersionWord(0x2015, 0x10, 0x22);
inline constexpr std::uint32_t kBuiltInB = EmuVersionWord(0x2015, 0x09, 0x28);
inline constexpr std::uint32_t kOlderL = EmuVersionWord(0x2016, 0x05, 0x12);
inline constexpr std::uint32_t kOlderB = EmuVersionWord(0x2014, 0x06, 0x30);

inline constexpr char kUpgradeError[] = "Error: Device upgrade error!!!";

}  // namespace e2e
