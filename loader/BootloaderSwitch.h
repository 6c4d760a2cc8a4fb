#pragma once
// Switching the device between its application firmware and its HID
// bootloader. The device leaves the bus and comes back under its other product
// ID; these steps send the command, close the channel, wait for the other
// identity (one presence check a second) and let it settle. The caller reopens.
#include "hid/HIDHelper.h"

// Restarts the device in its bootloader; true once the bootloader identity is
// present (the channel is closed either way).
bool RestartInBootloader(CHIDHelper& helper);

// Restarts the device in its application firmware; true once the application
// identity is present (the channel is closed either way).
bool RestartInApplication(CHIDHelper& helper);
