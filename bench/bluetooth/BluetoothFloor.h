#pragma once
// The shortest time the emulator's timing models allow for one Bluetooth
// download, from the bridge-on request to the bridge-off request: an ideal
// host that follows the download's fixed sequence, waits and pacing rule but
// needs no time of its own, against the emulated bus, UART and chip.
#include <cstddef>
#include <cstdint>
#include <span>

struct FloorModel {
  double baud = 921600;         // 10 bits per byte
  double classRequestMs = 1.0;  // one SET_REPORT (Output)
  double interruptMs = 1.0;     // at most one interrupt-in report per interval
  double blockBusyMs = 5;       // the chip's dfuDNBUSY after a block
  double manifestMs = 50;       // the chip's dfuMANIFEST after the zero-length block
  double restartDelayMs = 200;  // the chip's silence after a reset
};

struct FloorBreakdown {
  double totalMs = 0;
  double fixedSleepMs = 0;      // 50, 10 × 20 and the opening message's polls, 500, 300, 500
  double busySleepMs = 0;       // Sleep(20) after each busy status answer
  std::size_t busyAnswers = 0;
  double chipRestartMs = 0;     // the chip's restart delays
  std::size_t hostReports = 0;  // UART data output reports
  std::size_t hostWireBytes = 0;  // UART bytes they carry
  std::size_t hostFrames = 0;
  std::size_t acksAhead = 0;    // pure acknowledgements sent ahead of a block
  double usbOutMs = 0;          // hostReports × classRequestMs
  double perBlockMs = 0;        // a full block with its status polls
};

FloorBreakdown ComputeDownloadFloor(std::span<const std::uint8_t> image, const FloorModel& model);
