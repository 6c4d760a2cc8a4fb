#include "platform/HidrawBackend.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"
#include "platform/Clock.h"
#include "platform/LinuxHidRules.h"

// Headers older than Linux 5.11 lack these two; the request numbers are fixed,
// and a kernel that does not know them answers ENOTTY, which is logged.
#ifndef HIDIOCSOUTPUT
#define HIDIOCSOUTPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, len)
#endif
#ifndef HIDIOCGINPUT
#define HIDIOCGINPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0A, len)
#endif

namespace {

namespace fs = std::filesystem;

// Largest report hidraw hands over, plus the report-ID byte we may put back.
constexpr std::size_t kMaxReport = 4096 + 1;

struct HidId {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

// "HID_ID=0003:00001A2B:00000C01": bus, vendor, product in hexadecimal.
std::optional<HidId> ReadHidId(const fs::path& uevent) {
  std::ifstream file(uevent);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.starts_with("HID_ID=")) continue;
    unsigned bus = 0;
    unsigned vendor = 0;
    unsigned product = 0;
    if (std::sscanf(line.c_str() + 7, "%x:%x:%x", &bus, &vendor, &product) != 3) return std::nullopt;
    if (vendor > 0xFFFF || product > 0xFFFF) return std::nullopt;
    return HidId{static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
  }
  return std::nullopt;
}

// The node number of "hidrawN"; nullopt for any other name.
std::optional<unsigned> NodeNumber(const std::string& name) {
  if (!name.starts_with("hidraw") || name.size() == 6) return std::nullopt;
  unsigned number = 0;
  for (char c : name.substr(6)) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

// What the node's report descriptor tells; nullopt without one (not a hidraw node).
std::optional<ReportDescriptorSummary> ReadReportDescriptor(int fd) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0) return std::nullopt;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<std::uint32_t>(std::min<int>(size, HID_MAX_DESCRIPTOR_SIZE));
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0) return std::nullopt;
  return SummariseReportDescriptor(std::span(descriptor.value, descriptor.size));
}

void LogOldKernelOnce(std::atomic<bool>& logged, const char* request) {
  if (!logged.exchange(true))
    LogMessage("hidraw: %s is not supported by this kernel; Linux 5.11 or newer is needed", request);
}

class CHidrawDevice final : public CHidDevice {
 public:
  // Without a report descriptor the reports count as unnumbered, as this product's are.
  CHidrawDevice(int fd, int cancelFd, bool numbered, std::u16string productString)
      : m_fd(fd), m_cancelFd(cancelFd), m_numbered(numbered), m_productString(std::move(productString)) {}

  ~CHidrawDevice() override {
    close(m_cancelFd);
    close(m_fd);
  }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    for (;;) {
      pollfd entries[2] = {{m_cancelFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
      if (poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return HidReadResult::DeviceGone;
      }
      if (entries[0].revents & POLLIN) {
        std::uint64_t one = 0;
        if (read(m_cancelFd, &one, sizeof one) == sizeof one) return HidReadResult::Cancelled;
      }
      if (entries[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return HidReadResult::DeviceGone;
      if (!(entries[1].revents & POLLIN)) continue;

      std::uint8_t buffer[kMaxReport];
      // Linux hands over the reports of a device without numbered reports
      // without their report-ID byte; we put the 0 back in front, so byte 0
      // is the report ID 0 as everywhere else in the program.
      std::uint8_t* const data = m_numbered ? buffer : buffer + 1;
      buffer[0] = 0;
      const ssize_t got = read(m_fd, data, sizeof buffer - 1);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) RecordErrno("read");
      if (got <= 0) return HidReadResult::DeviceGone;  // ENODEV/EIO: unplugged
      const std::size_t length = static_cast<std::size_t>(got) + (m_numbered ? 0 : 1);
      received = std::min(length, report.size());
      std::copy_n(buffer, received, report.begin());
      return HidReadResult::Report;
    }
  }

  void DoCancelRead() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_cancelFd, &one, sizeof one);
  }

  // hidraw wants byte 0 = report ID on write, 0 for unnumbered reports, and
  // the USB driver drops that 0 itself before the transfer: the report goes as
  // it is.
  //
  // `timeoutMs` cannot be kept here: a hidraw node is always ready for writing
  // (poll reports POLLOUT at once), and write() blocks inside the kernel until
  // the transfer ends, whatever the file's flags. The bound that holds is the
  // kernel's: a USB device's interrupt-out transfer fails after about 5 s (the
  // USB HID driver's time-out). A uhid device takes the report at once.
  bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t /*timeoutMs*/) override {
    const ssize_t written = write(m_fd, report.data(), report.size());
    if (written < 0) RecordErrno("write");
    return written == static_cast<ssize_t>(report.size());
  }

  // Class requests take byte 0 = report ID (0 here) just like write().
  bool DoSetOutputReport(std::span<const std::uint8_t> report) override {
    std::vector<std::uint8_t> copy(report.begin(), report.end());
    if (ioctl(m_fd, HIDIOCSOUTPUT(copy.size()), copy.data()) >= 0) return true;
    RecordErrno("HIDIOCSOUTPUT");
    if (errno == ENOTTY) LogOldKernelOnce(s_outputLogged, "HIDIOCSOUTPUT (SET_REPORT Output)");
    return false;
  }

  // The kernel keeps byte 0 (the report ID we pass in) and stores the report after it.
  bool DoGetInputReport(std::span<std::uint8_t> report) override {
    if (ioctl(m_fd, HIDIOCGINPUT(report.size()), report.data()) >= 0) return true;
    RecordErrno("HIDIOCGINPUT");
    if (errno == ENOTTY) LogOldKernelOnce(s_inputLogged, "HIDIOCGINPUT (GET_REPORT Input)");
    return false;
  }

  bool DoSetFeatureReport(std::span<const std::uint8_t> report) override {
    std::vector<std::uint8_t> copy(report.begin(), report.end());
    if (ioctl(m_fd, HIDIOCSFEATURE(copy.size()), copy.data()) >= 0) return true;
    RecordErrno("HIDIOCSFEATURE");
    return false;
  }

  bool DoGetProductString(std::span<char16_t> buffer) override {
    std::u16string product = m_productString;
    if (product.empty()) {
      char name[256] = {};
      if (ioctl(m_fd, HIDIOCGRAWNAME(sizeof name - 1), name) > 0) {
        const std::string_view text(name);
        product = Utf8ToUtf16(text);
      }
    }
    return CopyProductText(product, buffer);
  }

  // Keeps what errno says of the failed `call`; errno itself is left as it is.
  void RecordErrno(const char* call) {
    const int error = errno;
    RecordError(std::string(call) + ": " + std::strerror(error));
    errno = error;
  }

  static inline std::atomic<bool> s_outputLogged{false};
  static inline std::atomic<bool> s_inputLogged{false};

  const int m_fd;
  const int m_cancelFd;
  const bool m_numbered;
  const std::u16string m_productString;
};

// The USB product string from sysfs: the hidraw node's HID device sits below
// the USB interface, which sits below the USB device that holds "product".
std::u16string ReadSysfsProduct(const fs::path& entry) {
  std::error_code error;
  const fs::path device = fs::canonical(entry / "device", error);
  if (error) return {};
  std::ifstream file(device.parent_path().parent_path() / "product");
  std::string line;
  if (!std::getline(file, line)) return {};
  return Utf8ToUtf16(line);
}

// A node of a virtual device: one that the kernel's uhid driver created (its
// HID device sits below the virtual uhid device instead of below a bus), or a
// USB device played from user space on dummy_hcd, a controller without hardware.
bool IsVirtualNode(const fs::path& entry) {
  std::error_code error;
  const std::string device = fs::canonical(entry / "device", error).string();
  return !error && (device.find("/virtual/misc/uhid/") != std::string::npos || IsBelowDummyHcd(device));
}

}  // namespace

CHidrawBackend::CHidrawBackend(std::string sysfsRoot, std::string devRoot)
    : m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

std::vector<HidInterfaceInfo> CHidrawBackend::Enumerate() {
  std::vector<std::pair<unsigned, HidInterfaceInfo>> found;
  // Scaled waits are for tests: a real device must never see their shortened
  // settle times and time-outs.
  const bool virtualOnly = Clock::TimeScale() != 1.0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::path(m_sysfsRoot) / "class" / "hidraw", error)) {
    const std::string name = entry.path().filename().string();
    const std::optional<unsigned> number = NodeNumber(name);
    if (!number) continue;
    const std::optional<HidId> id = ReadHidId(entry.path() / "device" / "uevent");
    if (!id) continue;
    if (virtualOnly && !IsVirtualNode(entry.path())) {
      LogMessage("hidraw: %s is a real device and is left alone: a time scale other than 1 is for virtual devices only",
                 m_devRoot + "/" + name);
      continue;
    }
    char tags[32];
    std::snprintf(tags, sizeof tags, "#vid_%04x&pid_%04x", id->vendorId, id->productId);
    found.emplace_back(*number, HidInterfaceInfo{m_devRoot + "/" + name + tags, id->vendorId, id->productId});
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<HidInterfaceInfo> interfaces;
  for (auto& [number, info] : found) interfaces.push_back(std::move(info));
  return interfaces;
}

std::unique_ptr<CHidDevice> CHidrawBackend::Open(const std::string& path) {
  const std::string node = path.substr(0, path.find('#'));
  const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM) LogNoPermission("hidraw", node);
    return nullptr;
  }
  // A composite device has a node per HID interface, all with its IDs: one
  // whose reports cannot carry the protocol (volume and mute buttons, say) is
  // passed over, so that discovery goes on to the next.
  const std::optional<ReportDescriptorSummary> descriptor = ReadReportDescriptor(fd);
  if (descriptor) {
    const std::string mismatch = ProtocolMismatch(*descriptor);
    if (!mismatch.empty()) {
      LogMessage("hidraw: %s skipped: %s", node, mismatch);
      close(fd);
      return nullptr;
    }
  }
  const int cancelFd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
  if (cancelFd < 0) {
    close(fd);
    return nullptr;
  }
  const fs::path entry = fs::path(m_sysfsRoot) / "class" / "hidraw" / fs::path(node).filename();
  return std::make_unique<CHidrawDevice>(fd, cancelFd, descriptor && descriptor->numberedReports,
                                         ReadSysfsProduct(entry));
}
