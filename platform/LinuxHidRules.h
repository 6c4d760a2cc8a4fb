#pragma once
// What the Linux backends (hidraw and the USB route) decide without a device:
// the report-ID rules of a USB HID interface, where its endpoints are, how a
// string descriptor reads, and which USB devices count as virtual.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

struct libusb_config_descriptor;

// True when the report descriptor declares report IDs. Items that run past
// the end of the descriptor end the scan.
bool DeclaresReportIds(std::span<const std::uint8_t> descriptor);

// A device's HID interface and the interrupt endpoints the updater uses.
struct UsbHidInterface {
  std::uint8_t number = 0;
  std::uint8_t altSetting = 0;
  std::uint8_t inEndpoint = 0;  // address, direction bit set
  std::uint16_t inPacketSize = 0;
  std::optional<std::uint8_t> outEndpoint;  // none: output reports go as SET_REPORT (Output)
};

// The first interface of the HID class that has an interrupt-in endpoint, in
// the order of the configuration; it is found by its class, not its number,
// since a composite device has other interfaces before it.
std::optional<UsbHidInterface> FindHidInterface(const libusb_config_descriptor& config);

// A report as it travels over USB. Byte 0 of the program's buffers is the
// report ID; the ID 0 stands for an unnumbered report, whose transfer leaves
// that byte out (as the kernel's USB HID driver does). A non-zero ID is sent
// in front of the data and named in the request.
struct UsbReport {
  std::uint8_t id = 0;
  std::span<const std::uint8_t> data;
};
UsbReport SplitReportId(std::span<const std::uint8_t> report);

// The text of a USB string descriptor (bLength, bDescriptorType 3, UTF-16LE);
// empty when the bytes are no string descriptor. Only as many bytes as the
// descriptor claims and as were received are read.
std::u16string StringDescriptorText(std::span<const std::uint8_t> descriptor);

// Copies `text` into `buffer` as NUL-terminated UTF-16, cut to fit; false when
// the buffer holds no unit or the text is empty.
bool CopyProductText(std::u16string_view text, std::span<char16_t> buffer);

// Vendor and product ID from the tags of a Linux backend's path text
// ("...#vid_1a2b&pid_0c01"); nullopt without them.
std::optional<std::pair<std::uint16_t, std::uint16_t>> PathIdentity(const std::string& path);

// True for a USB device played from user space for tests: its canonical
// sysfs path lies below dummy_hcd, a host controller without hardware.
bool IsBelowDummyHcd(std::string_view canonicalSysfsPath);

// Logs, for the route named by `route` ("hidraw", "USB"), that the user may
// not open `node`, and the fix: the udev rule.
void LogNoPermission(const char* route, const std::string& node);
