#include <mutex>

#include "platform/HidDevice.h"
#include "platform/HidrawBackend.h"
#include "platform/VhidBackend.h"

namespace {

std::mutex g_backendMutex;
std::unique_ptr<CHidBackend> g_backend;

void Choose(std::unique_ptr<CHidBackend> backend) {
  std::lock_guard lock(g_backendMutex);
  g_backend = std::move(backend);
}

}  // namespace

CHidBackend& HidBackend() {
  std::lock_guard lock(g_backendMutex);
  if (!g_backend) g_backend = std::make_unique<CHidrawBackend>("/sys", "/dev");
  return *g_backend;
}

void UseHidrawBackend(const std::string& sysfsRoot, const std::string& devRoot) {
  Choose(std::make_unique<CHidrawBackend>(sysfsRoot, devRoot));
}

void UseVhidBackend(const std::string& busDirectory) { Choose(std::make_unique<CVhidBackend>(busDirectory)); }


