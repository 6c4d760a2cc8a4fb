#pragma once
// What the tests that need a Linux kernel with uhid and dummy_hcd share (they
// run in the guest that scripts/kernel-test boots): finding the hidraw node of
// a virtual device by its sysfs identity, the emulator as a uhid or USB
// device, the routes its trace shows, and the check that the kernel dropped no
// host write while a test ran.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/DeviceEmulator.h"
#include "platform/HidDevice.h"

namespace kernel_test {

// The hidraw node of a virtual device with these IDs (made by uhid, or a USB
// device on dummy_hcd), as the hidraw backend enumerates it, once it is there;
// nothing after `timeout` (real time). Nodes of real devices are never taken.
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
// The emulator as a USB device on dummy_hcd's controller; null when it cannot start.
std::unique_ptr<CDeviceEmulator> StartOnUsbGadget(const EmulatorConfig& config);

// What the emulator's trace shows of the host's requests: for each kind of
// command ("record", "inventory", "UART chunk", ...) how many came by each
// route (OUTPUT = interrupt OUT, SET_OUTPUT = control SET_REPORT(Output),
// GET_INPUT = control GET_REPORT(Input), "refused" = ignored by a strict
// device), and the device time between the first and the last of them.
struct RouteCount {
  std::uint64_t count = 0;
  double firstMs = 0;
  double lastMs = 0;
};
using Routes = std::map<std::string, std::map<std::string, RouteCount>>;
Routes RoutesOf(const std::vector<std::string>& trace);
// One line per kind of command: routes, counts, and per second of real time
// (device time divided by `timeScale`).
std::string DescribeRoutes(const Routes& routes, double timeScale);

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
