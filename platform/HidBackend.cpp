#include <mutex>

#include "platform/HidDevice.h"
#include "platform/VhidBackend.h"
#ifdef _WIN32
#include "platform/windows/WinHidBackend.h"
#else
#include "platform/HidrawBackend.h"
#endif

namespace {

std::mutex g_backendMutex;
std::unique_ptr<CHidBackend> g_backend;

void Choose(std::unique_ptr<CHidBackend> backend) {
  std::lock_guard lock(g_backendMutex);
  g_backend = std::move(backend);
}

// The system's own HID devices: SetupAPI and hid.dll on Windows, hidraw elsewhere.
std::unique_ptr<CHidBackend> SystemBackend() {
#ifdef _WIN32
  return std::make_unique<CWinHidBackend>();
#else
  return std::make_unique<CHidrawBackend>("/sys", "/dev");
#endif
}

}  // namespace

CHidBackend& HidBackend() {
  std::lock_guard lock(g_backendMutex);
  if (!g_backend) g_backend = SystemBackend();
  return *g_backend;
}

#ifndef _WIN32
void UseHidrawBackend(const std::string& sysfsRoot, const std::string& devRoot) {
  Choose(std::make_unique<CHidrawBackend>(sysfsRoot, devRoot));
}
#endif

void UseVhidBackend(const std::string& busDirectory) { Choose(std::make_unique<CVhidBackend>(busDirectory)); }
