#pragma once
// Firmware versions as the device reports them, the versions built into this
// release, and the per-processor decision whether the built-in firmware is
// newer than the device's.
#include <cstdint>
#include <string>

#include "upgrader/UpgradeLPC18XX.h"

constexpr McuVersion MakeMcuVersion(std::uint16_t year, std::uint8_t month, std::uint8_t day) {
  return (static_cast<McuVersion>(day) << 24) | (static_cast<McuVersion>(month) << 16) | year;
}
constexpr std::uint32_t VersionYear(McuVersion version) { return version & 0xFFFFu; }
constexpr std::uint32_t VersionMonth(McuVersion version) { return (version >> 16) & 0xFFu; }
constexpr std::uint32_t VersionDay(McuVersion version) { return version >> 24; }

// The firmware this release carries, by processor role (BCD dates).
inline constexpr McuVersion kBuiltInVersionL = MakeMcuVersion(0x2017, 0x10, 0x03);  // main microcontroller
inline constexpr McuVersion kBuiltInVersionA = MakeMcuVersion(0x2015, 0x10, 0x22);  // third controller type
inline constexpr McuVersion kBuiltInVersionB = MakeMcuVersion(0x2015, 0x09, 0x28);  // Bluetooth chip

// Inventory indexes of the three roles.
inline constexpr std::uint32_t kVersionIndexL = 0;
inline constexpr std::uint32_t kVersionIndexA = 1;
inline constexpr std::uint32_t kVersionIndexB = 2;

// Year of a Bluetooth version for which the B verdict follows the comparison;
// every other device year gives +1 without one.
inline constexpr std::uint32_t kBluetoothComparedYear = 0x2014;

// "%04x/%02x/%02x": the form in which versions are compared.
std::string RenderVersionForCompare(McuVersion version);
// "%02x%02x%02x": the form in which versions are shown (a 16-bit year prints all its digits).
std::string RenderVersionForDisplay(McuVersion version);

// -1, 0 or +1: the sign of the lexicographic comparison of two texts.
int CompareVersionTexts(const std::string& builtIn, const std::string& device);

// The outcome of comparing the device's versions with the built-in ones.
struct VersionDecision {
  std::int32_t compareL = 0;  // cL
  std::int32_t compareA = 0;  // cA
  std::int32_t compareB = 0;  // cB
  std::int32_t verdictL = 0;  // cL merged with cA
  std::int32_t verdictA = 0;  // always 0: A counts only through the L verdict
  std::int32_t verdictB = 0;
  int overallStatus = 0;      // 1 nothing to do, 0 something to upgrade, 2 device newer
};

VersionDecision DecideVersions(McuVersion deviceL, McuVersion deviceA, McuVersion deviceB);

// The 32-bit packing of a 10-character version text "x.y.YYMMDD" that
// CompareVersionStrings compares (no digit validation; fields joined by OR).
std::uint32_t PackVersionString(const std::string& text);
