#include "hid/HidDiscovery.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"

namespace {

struct MatchTags {
  char vendor[12];
  char product[12];
};

MatchTags FormatTags(std::uint16_t vendorId, std::uint16_t productId) {
  MatchTags tags{};
  std::snprintf(tags.vendor, sizeof tags.vendor, "vid_%04x", vendorId);
  std::snprintf(tags.product, sizeof tags.product, "pid_%04x", productId);
  return tags;
}

// Both tags anywhere in the path, compared case-sensitively.
bool PathMatches(const std::string& path, const MatchTags& tags) {
  return path.find(tags.vendor) != std::string::npos && path.find(tags.product) != std::string::npos;
}

std::unique_ptr<char16_t[]> ToUtf16Path(const std::string& path) {
  const std::u16string text = Utf8ToUtf16(path);
  auto wide = std::make_unique<char16_t[]>(text.size() + 1);
  std::copy(text.begin(), text.end(), wide.get());
  return wide;
}

}  // namespace

int IsHidDevicePresent(std::uint16_t vendorId, std::uint16_t productId) {
  const MatchTags tags = FormatTags(vendorId, productId);
  for (const HidInterfaceInfo& info : HidBackend().Enumerate())
    if (PathMatches(info.path, tags)) return 1;
  return 0;
}

HRESULT AXHID_GetHIDHandleByUsage(std::uint16_t vendorId, std::uint16_t productId, HidHandle& device,
                                  std::unique_ptr<char16_t[]>* devicePath, int /*openMode*/) {
  LogMessage("AXHID_GetHIDHandleByUsage:: VID[0x%04x] PID[0x%04x]", vendorId, productId);
  device.reset();
  const MatchTags tags = FormatTags(vendorId, productId);
  for (const HidInterfaceInfo& info : HidBackend().Enumerate()) {
    if (!PathMatches(info.path, tags)) continue;
    std::unique_ptr<CHidDevice> opened = HidBackend().Open(info.path);
    if (!opened) continue;  // a matching interface that cannot be opened does not end the search
    device = std::move(opened);
    if (devicePath != nullptr) *devicePath = ToUtf16Path(info.path);
    return S_OK;
  }
  return E_FAIL;
}
