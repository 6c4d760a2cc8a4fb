#pragma once
// Product configuration: the USB identities of the device and the name its
// bootloader goes by. Change these to target another member of the family.
#include <cstdint>

inline constexpr std::uint16_t kVendorId = 0x1a2b;
// The device running its application firmware.
inline constexpr std::uint16_t kApplicationProductId = 0x0c01;
// The device running its HID bootloader.
inline constexpr std::uint16_t kBootloaderProductId = 0x0c02;
// The product name shown while the device runs its bootloader (which reports none of its own).
inline constexpr char16_t kFixedProductName[] = u"Aurelix Rho";
