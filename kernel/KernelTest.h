#pragma once
// What the tests that need a Linux kernel with uhid share (they run in the
// guest that scripts/kernel-test boots): finding the hidraw node of a uhid
// device by its sysfs identity, and the check that the kernel dropped no host
// write while a test ran.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "emulator/DeviceEmulator.h"
#include "platform/HidDevice.h"

namespace kernel_test {

// The hidraw node of a uhid-created device with these IDs, as the hidraw
// backend enumerates it, once it is there; nothing after `timeout` (real
// time). Nodes of real devices are never taken.
std::optional<HidInterfaceInfo> WaitForNode(std::uint16_t vendorId, std::uint16_t productId,
                                            std::chrono::milliseconds timeout);
// True when no hidraw node with these IDs is there any more, within `timeout`.
bool WaitForNoNode(std::uint16_t vendorId, std::uint16_t productId, std::chrono::milliseconds timeout);

// Empties the kernel log.
void ClearKernelLog();
// How many "Output queue is full" lines the kernel log holds.
int OutputQueueFullLines();

// The emulator as a uhid device, served at real-time priority by threads of
// its own (the test's thread keeps its priority); null when it cannot start.
std::unique_ptr<CDeviceEmulator> StartOnUhid(const EmulatorConfig& config);

// Every test fails when the kernel dropped host writes meanwhile.
class CKernelTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearKernelLog(); }
  void TearDown() override {
    EXPECT_EQ(OutputQueueFullLines(), 0) << "the kernel log shows \"Output queue is full\": "
                                            "the device side did not take the host's writes in time";
  }
};

}  // namespace kernel_test
