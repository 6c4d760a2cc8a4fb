#include "kernel/KernelTest.h"

#include <sys/klog.h>

#include <cstdlib>
#include <filesystem>
#include <map>
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
// device below its USB interface, for the emulator's USB devices below dummy_hcd.
bool Virtual(const HidInterfaceInfo& info) {
  const std::string node = info.path.substr(0, info.path.find('#'));
  std::error_code error;
  const std::string device = fs::canonical(fs::path("/sys/class/hidraw") / fs::path(node).filename(), error).string();
  return !error && (device.find("/devices/virtual/misc/uhid/") != std::string::npos ||
                    device.find("/devices/platform/dummy_hcd.") != std::string::npos);
}

// The kind of command an output report carries, by its group and code (hex of bytes 1 and 2).
std::string CommandKind(std::string_view command) {
  static const std::map<std::string_view, const char*> kinds = {
      {"3e01", "inventory"}, {"3e02", "inventory"}, {"3e03", "inventory"}, {"3e06", "bridge on/off"},
      {"3e07", "bridge on/off"}, {"3e0b", "bootloader entry"}, {"3efc", "bootloader entry"},
      {"3efe", "bootloader exit"}, {"3f80", "loader version"}, {"3f81", "loader begin"}, {"3f82", "record"},
      {"3f88", "loader finish"}, {"3f90", "third loader"}, {"3f91", "third loader"}, {"3f93", "third loader"},
      {"3f98", "third loader"}};
  if (auto kind = kinds.find(command); kind != kinds.end()) return kind->second;
  if (command.starts_with("28")) return "UART chunk";
  if (command.starts_with("20")) return "I2C write";
  return "other " + std::string(command);
}

// The value of "key":"..." or "key":number in one trace line.
std::string_view Field(std::string_view line, std::string_view key) {
  const std::string quoted = "\"" + std::string(key) + "\":";
  std::size_t at = line.find(quoted);
  if (at == std::string_view::npos) return {};
  at += quoted.size();
  if (at < line.size() && line[at] == '"') {
    const std::size_t end = line.find('"', at + 1);
    return end == std::string_view::npos ? std::string_view{} : line.substr(at + 1, end - at - 1);
  }
  const std::size_t end = line.find_first_of(",}", at);
  return end == std::string_view::npos ? std::string_view{} : line.substr(at, end - at);
}

std::optional<HidInterfaceInfo> FindNode(std::uint16_t vendorId, std::uint16_t productId) {
  CHidrawBackend backend("/sys", "/dev");
  for (const HidInterfaceInfo& info : backend.Enumerate()) {
    if (info.vendorId == vendorId && info.productId == productId && Virtual(info)) return info;
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

std::unique_ptr<CDeviceEmulator> StartOnUsbGadget(const EmulatorConfig& config) {
  // The controller paces the host: no real-time priority is needed here.
  auto emulator = std::make_unique<CDeviceEmulator>(config);
  if (!emulator->StartOnUsbGadget("dummy_udc.0")) emulator.reset();
  return emulator;
}

Routes RoutesOf(const std::vector<std::string>& trace) {
  Routes routes;
  auto count = [&](const std::string& kind, const std::string& route, double timeMs) {
    RouteCount& entry = routes[kind][route];
    if (entry.count++ == 0) entry.firstMs = timeMs;
    entry.lastMs = timeMs;
  };
  for (const std::string& line : trace) {
    const double timeMs = std::strtod(std::string(Field(line, "t_ms")).c_str(), nullptr);
    const std::string_view kind = Field(line, "kind");
    if (kind == "REFUSE") {
      // "refused route: class request 3f82 on the interrupt-OUT pipe"
      const std::string_view text = Field(line, "text");
      for (const std::string_view marker : {"request ", "transaction "}) {
        if (const std::size_t at = text.find(marker); at != std::string_view::npos) {
          count(CommandKind(text.substr(at + marker.size(), 4)), "refused", timeMs);
          break;
        }
      }
      continue;
    }
    if (Field(line, "dir") != "h2d") continue;
    if (kind == "GET_INPUT") {
      count("status poll", "GET_INPUT", timeMs);
    } else if (kind == "OUTPUT" || kind == "SET_OUTPUT" || kind == "SET_FEATURE") {
      const std::string_view hex = Field(line, "hex");
      count(hex.size() >= 6 ? CommandKind(hex.substr(2, 4)) : "short report", std::string(kind), timeMs);
    }
  }
  return routes;
}

std::string DescribeRoutes(const Routes& routes, double timeScale) {
  std::string text;
  for (const auto& [kind, byRoute] : routes) {
    text += "  " + kind + ":";
    for (const auto& [route, entry] : byRoute) {
      char figures[96];
      const double seconds = (entry.lastMs - entry.firstMs) / timeScale / 1000.0;
      if (entry.count > 100 && seconds > 0) {
        std::snprintf(figures, sizeof figures, " %s %llu (%.0f/s)", route.c_str(),
                      static_cast<unsigned long long>(entry.count), static_cast<double>(entry.count - 1) / seconds);
      } else {
        std::snprintf(figures, sizeof figures, " %s %llu", route.c_str(), static_cast<unsigned long long>(entry.count));
      }
      text += figures;
    }
    text += "\n";
  }
  return text;
}

}  // namespace kernel_test

