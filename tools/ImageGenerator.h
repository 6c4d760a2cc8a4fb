#pragma once
// Deterministic stand-in firmware images for builds that are given no real
// ones: an Intel HEX text for the main microcontroller and a DFU file for the
// Bluetooth chip, with the same sizes and layout as the release images, so
// that the writers, the emulator and the benchmarks move the same amount of
// data. docs/images.md explains the layout.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Main microcontroller image (Intel HEX).
inline constexpr std::uint32_t kMainDataStart = 0x1A006000;     // application start address
inline constexpr std::uint32_t kMainBankAEnd = 0x1A040000;      // first address past bank A's used part
inline constexpr std::uint32_t kMainBankBStart = 0x1B000000;
inline constexpr std::uint32_t kMainBankAUsed = kMainBankAEnd - kMainDataStart;  // 0x3A000
inline constexpr std::uint32_t kMainDataBytes = 447240;         // 27,952 records of 16 + one of 8
inline constexpr std::uint32_t kMainStampAddress = 0x1A006100;
inline constexpr std::uint32_t kMainEntryAddress = 0x1A006201;  // Thumb bit set
inline constexpr std::size_t kMainHexSize = 1258039;
inline constexpr std::size_t kMainHexLines = 27963;

// Bluetooth chip image (DFU file).
inline constexpr std::size_t kBluetoothDfuSize = 1541948;
inline constexpr std::size_t kBluetoothStampOffset = 0x100;
inline constexpr std::size_t kDfuSuffixLength = 16;
inline constexpr std::uint16_t kDfuSuffixDevice = 0xFFFF;   // any release
inline constexpr std::uint16_t kDfuSuffixProduct = 0xFFFF;  // any product
inline constexpr std::uint16_t kDfuSuffixVendor = 0x0A12;

// Version stamp: "QVER", then day, month, year low byte, year high byte in BCD
// (the order of the device's version reply bytes 4..7).
using VersionStamp = std::array<std::uint8_t, 8>;
constexpr VersionStamp MakeVersionStamp(std::uint16_t bcdYear, std::uint8_t bcdMonth, std::uint8_t bcdDay) {
  return {'Q', 'V', 'E', 'R', bcdDay, bcdMonth, static_cast<std::uint8_t>(bcdYear & 0xFF),
          static_cast<std::uint8_t>(bcdYear >> 8)};
}
inline constexpr VersionStamp kMainVersionStamp = MakeVersionStamp(0x2017, 0x10, 0x03);
inline constexpr VersionStamp kBluetoothVersionStamp = MakeVersionStamp(0x2015, 0x09, 0x28);

struct MainImage {
  std::string hexText;
  // The data bytes in address order: bank A from kMainDataStart to
  // kMainBankAEnd, then bank B from kMainBankBStart on.
  std::vector<std::uint8_t> memory;
};

// One Intel HEX record as a text line with CR LF; data holds at most 255 bytes.
std::string FormatHexRecord(std::uint8_t type, std::uint16_t offset, std::span<const std::uint8_t> data);

MainImage BuildMainImage();
std::vector<std::uint8_t> BuildBluetoothImage();

// The DFU suffix CRC: reflected CRC-32 (polynomial 0xEDB88320) started at
// 0xFFFFFFFF and not inverted at the end, over every byte before the CRC field.
std::uint32_t DfuCrc(std::span<const std::uint8_t> bytes);
