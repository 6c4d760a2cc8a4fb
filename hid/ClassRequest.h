#pragma once
// Sending a command by class request on the channel's open device.
#include <cstdint>
#include <span>

#include "hid/HIDHelper.h"

// HID class SET_REPORT (Output) on the open device; false when none is open or the device refused it.
bool SendClassRequest(CHIDHelper& helper, std::span<const std::uint8_t> report);
