#include "kernel/KernelTest.h"

#include <sys/klog.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "emulator/UhidDevice.h"
#include "platform/HidrawBackend.h"

namespace kernel_test {

namespace {

namespace fs = std::filesystem;

// A node made by uhid sits below the uhid misc device in sysfs; one of a USB
// device below its USB interface.
bool MadeByUhid(const HidInterfaceInfo& info) {
  const std::string node = info.path.substr(0, info.path.find('#'));
  std::error_code error;
  const fs::path device = fs::canonical(fs::path("/sys/class/hidraw") / fs::path(node).filename(), error);
  return !error && device.string().find("/devices/virtual/misc/uhid/") != std::string::npos;
}

std::optional<HidInterfaceInfo> FindNode(std::uint16_t vendorId, std::uint16_t productId) {
  CHidrawBackend backend("/sys", "/dev");
  for (const HidInterfaceInfo& info : backend.Enumerate()) {
    if (info.vendorId == vendorId && info.productId == productId && MadeByUhid(info)) return info;
  }
  return std::nullopt;
}

}  // namespace

std::optional<HidInterfaceInfo> WaitForNode(std::uint16_t vendorId, std::uint16_t productId,
                                            std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto info = FindNode(vendorId, productId)) return info;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool WaitForNoNode(std::uint16_t vendorId, std::uint16_t productId, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (FindNode(vendorId, productId)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void ClearKernelLog() { klogctl(5 /* SYSLOG_ACTION_CLEAR */, nullptr, 0); }

int OutputQueueFullLines() {
  const int size = klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, nullptr, 0);
  if (size <= 0) return -1;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  const int got = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, buffer.data(), size);
  if (got < 0) return -1;
  const std::string_view text(buffer.data(), static_cast<std::size_t>(got));
  constexpr std::string_view kLine = "Output queue is full";
  int count = 0;
  for (std::size_t at = text.find(kLine); at != std::string_view::npos; at = text.find(kLine, at + 1)) ++count;
  return count;
}

std::unique_ptr<CDeviceEmulator> StartOnUhid(const EmulatorConfig& config) {
  std::unique_ptr<CDeviceEmulator> emulator;
  // Every thread of the emulator is started from this one or from its own
  // threads, and so inherits the priority.
  std::thread starter([&] {
    if (!UseRealTimePriority()) return;
    emulator = std::make_unique<CDeviceEmulator>(config);
    if (!emulator->StartOnUhid()) emulator.reset();
  });
  starter.join();
  return emulator;
}

}  // namespace kernel_test

