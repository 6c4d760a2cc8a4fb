#pragma once
// The Bluetooth chip's firmware download: brings up the BCSP link over the UART
// bridge, sends the opening message, then drives the chip's DFU loader with
// USB-style DFU requests carried as reliable BCSP packets (device information,
// functional descriptor, detach, reset into the loader, 1023-byte download
// blocks each followed by a status poll, the zero-length final block, the
// final status poll and reset), and finally re-establishes the link.
//
// Runs on the upgrade thread. It tells `progress` how the download goes.
#include <atomic>
#include <cstdint>
#include <span>

#include "platform/HidDevice.h"
#include "platform/WriteProgress.h"

// Downloads `image` (the DFU file without its 16-byte suffix, sent as it is)
// to the chip behind `device`. `readerStopped` is the HID reader's flag, 1 once
// the reader has ended (device gone). Returns 1 on success, 0 on failure.
int DownloadDfuImage(const HidHandle& device, const std::atomic<std::uint32_t>& readerStopped,
                     std::span<const std::uint8_t> image, CWriteProgress& progress);

// Waits countdown × 200 µs of program time, the pause the link layer asks for
// after a pump call returned `countdown` (no wait for 0). With `endOnUartData`
// the wait ends as soon as received UART bytes are waiting. Blocks rather than
// spins, except for the last few tens of microseconds of real time.
void DfuPace(std::int8_t countdown, bool endOnUartData);

// Download sizes.
inline constexpr std::uint32_t kDfuBlockSize = 1023;
inline constexpr std::uint16_t kDfuReplyCapacity = 128;
