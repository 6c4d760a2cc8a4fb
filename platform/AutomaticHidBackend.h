#pragma once
// The default route to real devices on Linux: the USB route for a device
// whose usbfs node can be opened, hidraw otherwise.
//
// Enumeration lists the USB route's devices first, then hidraw's nodes, so
// discovery, which opens the first match that opens, takes the USB route
// where it can and falls back to the device's hidraw node where it cannot
// (no permission on the node, no libusb, a device that is not on USB). The
// log says which route was taken for each device opened, and why.
#include <mutex>
#include <set>
#include <utility>

#include "platform/HidDevice.h"

class CAutomaticHidBackend final : public CHidBackend {
 public:
  CAutomaticHidBackend(std::unique_ptr<CHidBackend> usb, std::unique_ptr<CHidBackend> hidraw);
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;

 private:
  const std::unique_ptr<CHidBackend> m_usb;
  const std::unique_ptr<CHidBackend> m_hidraw;
  std::mutex m_mutex;  // the last enumeration's USB paths and identities
  std::set<std::string> m_usbPaths;
  std::set<std::pair<std::uint16_t, std::uint16_t>> m_usbIds;
};
