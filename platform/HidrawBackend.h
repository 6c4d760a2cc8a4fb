#pragma once
// hidraw: real HID devices through the Linux hidraw driver.
//
// Enumeration reads <sysfsRoot>/class/hidraw/hidrawN/device/uevent (the
// HID_ID line gives bus, vendor and product) and opens nothing. The path text
// of an interface is the device node followed by its identity tags:
//   <devRoot>/hidrawN#vid_%04x&pid_%04x      e.g. "/dev/hidraw3#vid_1a2b&pid_0c01"
// Open takes the part before '#' as the node to open.
//
// Writes are not bounded by the time-out the caller passes: the kernel keeps
// the bound (about 5 s for a USB device's interrupt-out transfer; a device made
// with uhid takes every write at once). docs/kernel.md has the measurements.
#include <string>

#include "platform/HidDevice.h"

class CHidrawBackend final : public CHidBackend {
 public:
  CHidrawBackend(std::string sysfsRoot, std::string devRoot);
  // hidraw nodes with a readable HID_ID, in node-number order. While program
  // time is scaled, only nodes of virtual (uhid) devices.
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;

 private:
  std::string m_sysfsRoot;
  std::string m_devRoot;
};
