#include "platform/AutomaticHidBackend.h"

#include "app/log/Log.h"
#include "platform/LinuxHidRules.h"

CAutomaticHidBackend::CAutomaticHidBackend(std::unique_ptr<CHidBackend> usb, std::unique_ptr<CHidBackend> hidraw)
    : m_usb(std::move(usb)), m_hidraw(std::move(hidraw)) {}

std::vector<HidInterfaceInfo> CAutomaticHidBackend::Enumerate() {
  std::vector<HidInterfaceInfo> interfaces = m_usb->Enumerate();
  {
    std::lock_guard lock(m_mutex);
    m_usbPaths.clear();
    m_usbIds.clear();
    for (const HidInterfaceInfo& info : interfaces) {
      m_usbPaths.insert(info.path);
      m_usbIds.emplace(info.vendorId, info.productId);
    }
  }
  for (HidInterfaceInfo& info : m_hidraw->Enumerate()) interfaces.push_back(std::move(info));
  return interfaces;
}

std::unique_ptr<CHidDevice> CAutomaticHidBackend::Open(const std::string& path) {
  bool usb = false;
  {
    std::lock_guard lock(m_mutex);
    usb = m_usbPaths.contains(path);
  }
  if (usb) {
    std::unique_ptr<CHidDevice> device = m_usb->Open(path);
    if (device)
      LogMessage("HID route: USB for %s: its usbfs node could be opened (--hid-backend=hidraw takes hidraw)", path);
    else
      LogMessage("HID route: the USB route cannot open %s; the device's hidraw node is tried next", path);
    return device;
  }
  std::unique_ptr<CHidDevice> device = m_hidraw->Open(path);
  if (!device) return nullptr;
  // Enumeration tells whether the same device was offered on USB: its
  // identity in the USB list means its usbfs node could not be opened.
  const auto identity = PathIdentity(path);
  bool onUsb = false;
  {
    std::lock_guard lock(m_mutex);
    onUsb = identity && m_usbIds.contains(*identity);
  }
  LogMessage(onUsb ? "HID route: hidraw for %s: the device's usbfs node could not be opened"
                   : "HID route: hidraw for %s: the device has no usbfs node this program can see",
             path);
  return device;
}
