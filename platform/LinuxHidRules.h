#pragma once
// What the Linux backends (hidraw and the USB route) decide without a device:
// the report-ID rules of a USB HID interface, where its endpoints are, how a
// string descriptor reads, and which USB devices count as virtual.
#include <chrono>
#include <cstddef>
#include <deque>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct libusb_config_descriptor;

// What a report descriptor tells about the reports of a HID interface. The
// descriptor comes from the device: it is read only within its bytes, and
// counts and sizes of any value cannot overflow the sums.
struct ReportDescriptorSummary {
  bool numberedReports = false;  // a Report ID item is declared
  // Items past the end, a Pop without a Push, Push nested too deep: the
  // kernel's HID core refuses such a descriptor, and so do we.
  bool wellFormed = true;
  std::optional<std::uint16_t> firstUsagePage;  // of the first top-level collection
  bool vendorDefined = false;  // a top-level collection on a vendor-defined usage page (0xFF00-0xFFFF)
  // The longest input and output report of the vendor-defined top-level
  // collections, in bytes without the report-ID byte.
  std::uint64_t inputLength = 0;
  std::uint64_t outputLength = 0;
};
ReportDescriptorSummary SummariseReportDescriptor(std::span<const std::uint8_t> descriptor);

// This device's reports without their report-ID byte (unnumbered: ID 0).
inline constexpr std::uint64_t kProtocolInputData = 31;
inline constexpr std::uint64_t kProtocolOutputData = 64;

// Why an interface with this report descriptor cannot carry the device's
// protocol, as a phrase for a log line ("its reports (...) cannot carry ...");
// empty when it can. A composite audio device has other HID interfaces of the
// same identity (volume and mute buttons), which must be passed over.
std::string ProtocolMismatch(const ReportDescriptorSummary& summary);

// A device's HID interface and the interrupt endpoints the updater uses.
struct UsbHidInterface {
  std::uint8_t number = 0;
  std::uint8_t altSetting = 0;
  std::uint8_t inEndpoint = 0;  // address, direction bit set
  std::uint16_t inPacketSize = 0;
  std::optional<std::uint8_t> outEndpoint;  // none: output reports go as SET_REPORT (Output)
  std::optional<std::uint16_t> reportDescriptorLength;  // as its HID descriptor declares it
};

// The interfaces of the HID class that have an interrupt-in endpoint (each
// with its first alternate setting that has one), in the order of the
// configuration. They are found by class, not number: a composite device has
// other interfaces before them, and may have more than one HID interface.
std::vector<UsbHidInterface> FindHidInterfaces(const libusb_config_descriptor& config);

// The report descriptor's length that the HID class descriptor among an
// interface's extra descriptors declares; nullopt when there is none.
std::optional<std::uint16_t> DeclaredReportDescriptorLength(std::span<const std::uint8_t> extra);

// How the USB route rides through errors of its interrupt-in reads. A stall
// (the device halted the endpoint) or a transfer error (EPROTO, EILSEQ: a
// marginal hub or cable) fails the reads then queued; the kernel's HID driver
// retries the same errors, and so do we: the reads are queued again, after
// the halt is cleared, or after a short pause for a transfer error. All the
// reads that fail before that count as one round, as one halt fails every
// read queued on the endpoint. Only a device that keeps failing ends the
// session: a removed one whose transfers end as errors rather than as "no
// device" spends the budget within milliseconds.
class CInterruptInRecovery {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // Rounds allowed within any second. A marginal cable or hub fails a
  // transfer now and then, far less than once a second, and a halt the
  // device makes is one round; a device failing every transfer, or gone, does
  // five rounds in about five pauses (0.1 s), so it ends the session at once
  // as before.
  static constexpr std::size_t kRoundsPerSecond = 5;
  static constexpr std::chrono::milliseconds kErrorPause{20};

  enum class EVerdict {
    NewRound,   // queue the reads again at DueAt(), clearing the halt first if TakeRound says so
    SameRound,  // one more read of the round under way
    Spent       // the budget is spent: the device counts as gone
  };
  EVerdict Failed(bool stall, TimePoint now);
  // When the round under way is to queue its reads again; nullopt without one.
  std::optional<TimePoint> DueAt() const;
  // Ends the round under way; true when the endpoint's halt is to be cleared first.
  bool TakeRound();

 private:
  std::deque<TimePoint> m_rounds;  // when the rounds of the last second began
  bool m_underWay = false;
  bool m_clearHalt = false;
  TimePoint m_dueAt{};
};

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
