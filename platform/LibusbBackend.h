#pragma once
// The USB route: real devices through their usbfs node and libusb-1.0, with
// the requests the Windows HID class driver sends (where hidraw would send
// every output report on the interrupt-out pipe).
//
// Enumeration reads sysfs (<sysfsRoot>/bus/usb/devices): every USB device with
// an interface of the HID class, opening nothing. The path text of a device is
// its usbfs node followed by its identity tags:
//   <devRoot>/bus/usb/BBB/DDD#vid_%04x&pid_%04x   e.g. "/dev/bus/usb/001/004#vid_1a2b&pid_0c01"
//
// Open opens the node, finds the HID interface by its class and its report
// descriptor (a composite device's buttons are passed over), takes it from the
// kernel's driver for as long as the device stays open (detach and claim), and
// gives it back on close, whatever the run's outcome. Then:
//   ReadInputReport    interrupt-in transfers, several always queued
//   WriteOutputReport  interrupt out, bounded by the caller's time-out; a
//                      control SET_REPORT (Output) where the interface has no
//                      interrupt-out endpoint
//   SetOutputReport    control SET_REPORT (Output)
//   SetFeatureReport   control SET_REPORT (Feature)
//   GetInputReport     control GET_REPORT (Input)
//   GetProductString   the device's product string descriptor, read on open
// Control requests are bounded by 5 s. A stalled or failed interrupt-in read
// is queued again (the halt cleared first) within an error budget. A device
// that leaves, or spends that budget, ends the reads and fails every later
// request ("device gone" in the log).
#include <string>

#include "platform/HidDevice.h"

class CLibusbBackend final : public CHidBackend {
 public:
  CLibusbBackend(std::string sysfsRoot, std::string devRoot);
  // USB devices with a HID interface, in node order. While program time is
  // scaled, only devices below dummy_hcd.
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<CHidDevice> Open(const std::string& path) override;

 private:
  std::string m_sysfsRoot;
  std::string m_devRoot;
};

// Gives every interface an open device holds back to the kernel's driver, for
// a process about to end without closing its devices (an end by signal, a
// window system that ends it): a detached interface would otherwise stay
// without its hidraw node and its buttons until the device is replugged. The
// devices stay open but can no longer be used.
void GiveBackUsbInterfaces();
