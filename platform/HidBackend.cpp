#include <mutex>

#include "platform/HidDevice.h"
#include "platform/VhidBackend.h"
#ifdef _WIN32
#include "platform/windows/WinHidBackend.h"
#else
#include "platform/AutomaticHidBackend.h"
#include "platform/HidrawBackend.h"
#include "platform/LibusbBackend.h"
#endif

namespace {

std::mutex g_backendMutex;
std::unique_ptr<CHidBackend> g_backend;

void Choose(std::unique_ptr<CHidBackend> backend) {
  std::lock_guard lock(g_backendMutex);
  g_backend = std::move(backend);
}

// The system's own HID devices: SetupAPI and hid.dll on Windows; on Linux
// the USB route, hidraw, or the first of the two that opens the device.
std::unique_ptr<CHidBackend> SystemBackend([[maybe_unused]] HidRoute route) {
#ifdef _WIN32
  return std::make_unique<CWinHidBackend>();
#else
  switch (route) {
    case HidRoute::Usb:
      return std::make_unique<CLibusbBackend>("/sys", "/dev");
    case HidRoute::Hidraw:
      return std::make_unique<CHidrawBackend>("/sys", "/dev");
    case HidRoute::Automatic:
      break;
  }
  return std::make_unique<CAutomaticHidBackend>(std::make_unique<CLibusbBackend>("/sys", "/dev"),
                                                std::make_unique<CHidrawBackend>("/sys", "/dev"));
#endif
}

}  // namespace

CHidBackend& HidBackend() {
  std::lock_guard lock(g_backendMutex);
  if (!g_backend) g_backend = SystemBackend(HidRoute::Automatic);
  return *g_backend;
}

void UseSystemHidRoute(HidRoute route) { Choose(SystemBackend(route)); }

#ifndef _WIN32
void UseHidrawBackend(const std::string& sysfsRoot, const std::string& devRoot) {
  Choose(std::make_unique<CHidrawBackend>(sysfsRoot, devRoot));
}
#endif

void UseVhidBackend(const std::string& busDirectory) { Choose(std::make_unique<CVhidBackend>(busDirectory)); }
