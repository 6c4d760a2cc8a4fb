#pragma once
// Listing the present HID interfaces through SetupAPI. The few system calls
// the listing makes come in through a table, so tests can play SetupAPI.
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#include <windows.h>
#include <setupapi.h>
// mingw-w64's HID headers declare C functions without extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/HidDevice.h"

struct HidEnumerationApi {
  decltype(&HidD_GetHidGuid) getHidGuid;
  decltype(&SetupDiGetClassDevsA) getClassDevs;
  decltype(&SetupDiEnumDeviceInterfaces) enumDeviceInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail;
  decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList;
};

// The system's SetupAPI and hid.dll.
const HidEnumerationApi& SystemHidEnumerationApi();

// The present HID device interfaces in SetupAPI's order, which stays the same
// while the set of devices does, their paths in lower case (Windows ignores
// the case of a device path). An interface whose path cannot be fetched is
// left out. Opens nothing.
std::vector<HidInterfaceInfo> EnumerateHidInterfaces(const HidEnumerationApi& api);

struct HidIdTags {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// The IDs in a path's "vid_XXXX" and "pid_XXXX" tags (four hexadecimal digits,
// either case); nullopt when a tag is missing.
std::optional<HidIdTags> ParseIdTags(std::string_view path);
