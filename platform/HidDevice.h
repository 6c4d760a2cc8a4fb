#pragma once
// HID device access behind one interface, with the backend chosen once at
// start: for real devices on Linux the USB route (libusb) or hidraw, by
// default the first where it can open the device; on Windows hid.dll; and vhid
// (virtual devices over sockets). Every report buffer carries the report ID in byte 0; the
// devices of this product use unnumbered reports, so byte 0 is always 0.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// One present HID interface as enumeration reports it. The path carries the
// tags "vid_%04x" and "pid_%04x" (lower-case hexadecimal).
struct HidInterfaceInfo {
  std::string path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

enum class HidReadResult {
  Report,     // one interrupt-in report was stored
  Cancelled,  // CancelRead() woke the reader
  DeviceGone  // the device was removed or the connection ended
};

// An open HID interface. ReadInputReport runs on one thread (the reader) while
// the other operations run on another; CancelRead may be called from any thread.
//
// The public operations check their arguments once for every backend, then
// call the backend's own; LastError keeps what the system said of the last
// failure the backend met.
class CHidDevice {
 public:
  virtual ~CHidDevice() = default;

  // Blocks until the next interrupt-in report arrives (reports are delivered in
  // arrival order and none is lost while no read is waiting), CancelRead() is
  // called, or the device goes away. `received` is the number of bytes stored.
  HidReadResult ReadInputReport(std::span<std::uint8_t> report, std::size_t& received);

  // Wakes a reader blocked in ReadInputReport, or makes its next call return
  // Cancelled at once if it is not blocked yet. One cancel wakes one read.
  void CancelRead();

  // Interrupt-out report; false when the device does not accept it within
  // `timeoutMs` milliseconds of program time or the device is gone.
  bool WriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs);

  // HID class SET_REPORT (Output) request.
  bool SetOutputReport(std::span<const std::uint8_t> report);

  // HID class GET_REPORT (Input) request: report[0] holds the report ID on entry;
  // on success the report is stored from byte 0 (bytes beyond the answer keep their values).
  bool GetInputReport(std::span<std::uint8_t> report);

  // HID class SET_REPORT (Feature) request.
  bool SetFeatureReport(std::span<const std::uint8_t> report);

  // The device's product string as NUL-terminated UTF-16, cut to fit `buffer`
  // (which then still ends in NUL); false when the buffer holds no unit or the device gives none.
  bool GetProductString(std::span<char16_t> buffer);

  // What the system said of the backend's last failure on this device; empty
  // while none happened. Safe to call from any thread.
  std::string LastError() const;

 protected:
  // Keeps `text` as the last error; for the backends, from any thread.
  void RecordError(std::string text);

 private:
  // The backends' operations. A report span is never empty here; `received`
  // is 0 on entry.
  virtual HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) = 0;
  virtual void DoCancelRead() = 0;
  virtual bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) = 0;
  virtual bool DoSetOutputReport(std::span<const std::uint8_t> report) = 0;
  virtual bool DoGetInputReport(std::span<std::uint8_t> report) = 0;
  virtual bool DoSetFeatureReport(std::span<const std::uint8_t> report) = 0;
  // `buffer` holds at least one unit.
  virtual bool DoGetProductString(std::span<char16_t> buffer) = 0;

  mutable std::mutex m_errorMutex;
  std::string m_lastError;
};

// A handle to an open device; null is the invalid handle.
using HidHandle = std::shared_ptr<CHidDevice>;

class CHidBackend {
 public:
  virtual ~CHidBackend() = default;
  // The HID interfaces present now, in a stable order.
  virtual std::vector<HidInterfaceInfo> Enumerate() = 0;
  // Opens `path` for reading and writing; null when it cannot be opened.
  virtual std::unique_ptr<CHidDevice> Open(const std::string& path) = 0;
};

// The backend chosen at start. Until one is chosen, the system's route to real
// devices (HidRoute::Automatic).
CHidBackend& HidBackend();

// Routes to real devices on Linux. Automatic: the USB route for a device whose
// usbfs node can be opened, hidraw otherwise. Usb: libusb only (control
// SET_REPORT/GET_REPORT as the Windows host sends them). Hidraw: the kernel's
// hidraw nodes only.
enum class HidRoute { Automatic, Usb, Hidraw };

// Chooses the route to real devices, on /sys and /dev. Windows has one route
// (hid.dll) and takes it whatever is asked.
void UseSystemHidRoute(HidRoute route);

// Chooses the backend once, before any device is touched.
void UseHidrawBackend(const std::string& sysfsRoot = "/sys", const std::string& devRoot = "/dev");
// Choosing again replaces the backend; only do so while no enumeration runs
// (devices already open stay usable: they do not refer to their backend).
void UseVhidBackend(const std::string& busDirectory);
