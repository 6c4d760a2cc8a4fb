#pragma once
// Finding the device among the present HID interfaces by vendor and product ID.
// Matching is by the device path text alone: it must contain "vid_%04x" and
// "pid_%04x" (lower-case), anywhere, compared case-sensitively.
#include <cstdint>
#include <memory>

#include "platform/HidDevice.h"
#include "app/log/Status.h"

// 1 if a present HID interface matches the pair, else 0. Opens nothing.
int IsHidDevicePresent(std::uint16_t vendorId, std::uint16_t productId);

// Opens the first matching interface that can be opened. On S_OK `device`
// holds it and, when `devicePath` is given, *devicePath receives a new UTF-16
// array of (path length + 1) units ending in NUL. On E_FAIL `device` is null
// and *devicePath is left unwritten. `openMode` 1 asks for an asynchronous
// handle (every handle of this platform layer is one).
HRESULT AXHID_GetHIDHandleByUsage(std::uint16_t vendorId, std::uint16_t productId, HidHandle& device,
                                  std::unique_ptr<char16_t[]>* devicePath, int openMode);
