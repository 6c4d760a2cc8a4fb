#include "emulator/EmuFrontEnd.h"

#include <cstdio>

#include "emulator/EmulatorConfig.h"

const std::vector<std::uint8_t>& EmuReportDescriptor() {
  static_assert(kEmuInputReportLength - 1 < 0x80 && kEmuOutputReportLength - 1 < 0x80 &&
                kEmuFeatureReportLength - 1 < 0x80);
  static const std::vector<std::uint8_t> descriptor = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, static_cast<std::uint8_t>(kEmuInputReportLength - 1),  //   Report Count
      0x09, 0x01, 0x81, 0x02,  //   Usage (1), Input (Data, Variable, Absolute)
      0x95, static_cast<std::uint8_t>(kEmuOutputReportLength - 1),
      0x09, 0x01, 0x91, 0x02,  //   Usage (1), Output (Data, Variable, Absolute)
      0x95, static_cast<std::uint8_t>(kEmuFeatureReportLength - 1),
      0x09, 0x01, 0xB1, 0x02,  //   Usage (1), Feature (Data, Variable, Absolute)
      0xC0,                    // End Collection
  };
  return descriptor;
}

std::string EmuDeviceTags(std::uint16_t productId) {
  char tags[32];
  std::snprintf(tags, sizeof tags, "#vid_%04x&pid_%04x", kEmuVendorId, productId);
  return tags;
}
