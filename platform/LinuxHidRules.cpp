#include "platform/LinuxHidRules.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>

#include "app/log/Log.h"

namespace {

constexpr std::uint8_t kHidClass = 3;
constexpr std::uint8_t kStringDescriptor = 3;

}  // namespace

bool DeclaresReportIds(std::span<const std::uint8_t> descriptor) {
  std::size_t i = 0;
  while (i < descriptor.size()) {
    const std::uint8_t prefix = descriptor[i];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data
      if (i + 1 >= descriptor.size()) break;
      i += 3 + descriptor[i + 1];
      continue;
    }
    if ((prefix & 0xFC) == 0x84) return true;  // global item Report ID
    const std::size_t dataSize = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    i += 1 + dataSize;
  }
  return false;
}

std::optional<UsbHidInterface> FindHidInterface(const libusb_config_descriptor& config) {
  if (config.interface == nullptr) return std::nullopt;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& alternatives = config.interface[i];
    if (alternatives.altsetting == nullptr) continue;
    for (int a = 0; a < alternatives.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = alternatives.altsetting[a];
      if (setting.bInterfaceClass != kHidClass || setting.endpoint == nullptr) continue;
      UsbHidInterface found;
      found.number = setting.bInterfaceNumber;
      found.altSetting = setting.bAlternateSetting;
      bool hasIn = false;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_INTERRUPT) continue;
        const bool in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
        // The packet size's low 11 bits; the high ones count extra transactions per frame.
        const auto packetSize = static_cast<std::uint16_t>(endpoint.wMaxPacketSize & 0x07FF);
        if (in && !hasIn && packetSize > 0) {
          hasIn = true;
          found.inEndpoint = endpoint.bEndpointAddress;
          found.inPacketSize = packetSize;
        } else if (!in && !found.outEndpoint) {
          found.outEndpoint = endpoint.bEndpointAddress;
        }
      }
      if (hasIn) return found;
    }
  }
  return std::nullopt;
}

UsbReport SplitReportId(std::span<const std::uint8_t> report) {
  if (report.empty()) return {};
  if (report[0] == 0) return {0, report.subspan(1)};
  return {report[0], report};
}

std::u16string StringDescriptorText(std::span<const std::uint8_t> descriptor) {
  if (descriptor.size() < 2 || descriptor[1] != kStringDescriptor) return {};
  const std::size_t length = std::min<std::size_t>(descriptor[0], descriptor.size());
  std::u16string text;
  for (std::size_t i = 2; i + 1 < length; i += 2)
    text.push_back(static_cast<char16_t>(descriptor[i] | (descriptor[i + 1] << 8)));
  return text;
}

bool CopyProductText(std::u16string_view text, std::span<char16_t> buffer) {
  if (buffer.empty() || text.empty()) return false;
  const std::size_t units = std::min(text.size(), buffer.size() - 1);
  std::copy_n(text.begin(), units, buffer.begin());
  buffer[units] = 0;
  return true;
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> PathIdentity(const std::string& path) {
  const std::size_t at = path.find("#vid_");
  unsigned vendor = 0;
  unsigned product = 0;
  if (at == std::string::npos || std::sscanf(path.c_str() + at, "#vid_%4x&pid_%4x", &vendor, &product) != 2)
    return std::nullopt;
  return std::pair{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
}

bool IsBelowDummyHcd(std::string_view canonicalSysfsPath) {
  return canonicalSysfsPath.find("/devices/platform/dummy_hcd.") != std::string_view::npos;
}

void LogNoPermission(const char* route, const std::string& node) {
  LogMessage("%s: no permission to open %s; a udev rule granting this user access to the device is needed: "
             "run scripts/install-udev-rule as root (installs packaging/linux/70-quillon-hid.rules into "
             "/etc/udev/rules.d), then replug the device",
             route, node);
}
