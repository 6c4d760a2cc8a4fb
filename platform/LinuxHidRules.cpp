#include "platform/LinuxHidRules.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "app/log/Log.h"

namespace {

constexpr std::uint8_t kHidClass = 3;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kHidClassDescriptor = 0x21;
constexpr std::uint8_t kReportDescriptorType = 0x22;
// Pushed global states the kernel's HID core keeps; a descriptor that pushes
// more does not bind there.
constexpr std::size_t kMaxPushedStates = 4;
constexpr std::uint16_t kVendorDefinedPages = 0xFF00;

struct GlobalState {
  std::uint16_t usagePage = 0;
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint8_t reportId = 0;
};

std::uint64_t SaturatingAdd(std::uint64_t sum, std::uint64_t add) {
  return add > UINT64_MAX - sum ? UINT64_MAX : sum + add;
}

std::uint64_t LongestBytes(const std::map<std::uint8_t, std::uint64_t>& bitsPerReport) {
  std::uint64_t longest = 0;
  for (const auto& [id, bits] : bitsPerReport) longest = std::max(longest, bits / 8 + (bits % 8 != 0));
  return longest;
}

}  // namespace

ReportDescriptorSummary SummariseReportDescriptor(std::span<const std::uint8_t> descriptor) {
  ReportDescriptorSummary summary;
  GlobalState global;
  std::vector<GlobalState> pushed;
  // The page of the first Usage since the last main item (an optional here
  // trips g++'s maybe-uninitialized warning).
  bool usageSeen = false;
  std::uint16_t usagePage = 0;
  std::size_t depth = 0;
  bool inVendorCollection = false;
  std::map<std::uint8_t, std::uint64_t> inputBits;
  std::map<std::uint8_t, std::uint64_t> outputBits;
  std::size_t i = 0;
  while (i < descriptor.size()) {
    const std::uint8_t prefix = descriptor[i];
    if (prefix == 0xFE) {  // long item: size byte, tag byte, data; no long item is defined
      if (descriptor.size() - i < 3 || descriptor.size() - i - 3 < descriptor[i + 1]) {
        summary.wellFormed = false;
        break;
      }
      i += 3 + descriptor[i + 1];
      continue;
    }
    const std::size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    if (descriptor.size() - i - 1 < size) {
      summary.wellFormed = false;
      break;
    }
    std::uint32_t value = 0;
    for (std::size_t b = 0; b < size; ++b) value |= std::uint32_t{descriptor[i + 1 + b]} << (8 * b);
    i += 1 + size;
    const std::uint8_t type = (prefix >> 2) & 0x03;
    const std::uint8_t tag = prefix >> 4;
    if (type == 0) {  // main
      if ((tag == 0x8 || tag == 0x9) && depth > 0 && inVendorCollection) {
        auto& bits = tag == 0x8 ? inputBits : outputBits;
        bits[global.reportId] = SaturatingAdd(bits[global.reportId], std::uint64_t{global.reportSize} * global.reportCount);
      } else if (tag == 0xA) {  // Collection
        if (depth == 0) {
          const std::uint16_t page = usageSeen ? usagePage : global.usagePage;
          if (!summary.firstUsagePage) summary.firstUsagePage = page;
          inVendorCollection = page >= kVendorDefinedPages;
          summary.vendorDefined = summary.vendorDefined || inVendorCollection;
        }
        ++depth;
      } else if (tag == 0xC) {  // End Collection
        if (depth == 0) {
          summary.wellFormed = false;
          break;
        }
        --depth;
      }
      usageSeen = false;
    } else if (type == 1) {  // global
      if (tag == 0x0) {
        global.usagePage = static_cast<std::uint16_t>(value);
      } else if (tag == 0x7) {
        global.reportSize = value;
      } else if (tag == 0x8) {
        summary.numberedReports = true;
        global.reportId = static_cast<std::uint8_t>(value);
      } else if (tag == 0x9) {
        global.reportCount = value;
      } else if (tag == 0xA) {  // Push
        if (pushed.size() == kMaxPushedStates) {
          summary.wellFormed = false;
          break;
        }
        pushed.push_back(global);
      } else if (tag == 0xB) {  // Pop
        if (pushed.empty()) {
          summary.wellFormed = false;
          break;
        }
        global = pushed.back();
        pushed.pop_back();
      }
    } else if (type == 2 && tag == 0x0 && !usageSeen) {  // the first Usage; a 4-byte one names its page
      usageSeen = true;
      usagePage = size == 4 ? static_cast<std::uint16_t>(value >> 16) : global.usagePage;
    }
  }
  summary.inputLength = LongestBytes(inputBits);
  summary.outputLength = LongestBytes(outputBits);
  return summary;
}

std::string ProtocolMismatch(const ReportDescriptorSummary& summary) {
  if (!summary.wellFormed) return "its report descriptor is malformed";
  char text[160];
  if (!summary.vendorDefined) {
    if (!summary.firstUsagePage) return "its report descriptor has no collection";
    std::snprintf(text, sizeof text, "it has no vendor-defined collection (usage page 0x%04x)", *summary.firstUsagePage);
    return text;
  }
  if (summary.inputLength >= kProtocolInputData && summary.outputLength >= kProtocolOutputData) return {};
  std::snprintf(text, sizeof text, "its reports (input %llu, output %llu bytes) cannot carry the device's "
                "(input %llu, output %llu bytes)",
                static_cast<unsigned long long>(summary.inputLength),
                static_cast<unsigned long long>(summary.outputLength),
                static_cast<unsigned long long>(kProtocolInputData),
                static_cast<unsigned long long>(kProtocolOutputData));
  return text;
}

std::vector<UsbHidInterface> FindHidInterfaces(const libusb_config_descriptor& config) {
  std::vector<UsbHidInterface> interfaces;
  if (config.interface == nullptr) return interfaces;
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
      if (!hasIn) continue;
      if (setting.extra != nullptr && setting.extra_length > 0)
        found.reportDescriptorLength =
            DeclaredReportDescriptorLength(std::span(setting.extra, static_cast<std::size_t>(setting.extra_length)));
      interfaces.push_back(found);
      break;
    }
  }
  return interfaces;
}

// The HID descriptor: bLength, bDescriptorType 0x21, bcdHID, bCountryCode,
// bNumDescriptors, then per class descriptor its type and its length (LE16).
std::optional<std::uint16_t> DeclaredReportDescriptorLength(std::span<const std::uint8_t> extra) {
  std::size_t at = 0;
  while (extra.size() - at >= 2) {
    const std::size_t length = extra[at];
    if (length < 2 || length > extra.size() - at) break;
    if (extra[at + 1] == kHidClassDescriptor && length >= 6) {
      for (std::size_t entry = at + 6; entry + 3 <= at + length && (entry - at - 6) / 3 < extra[at + 5]; entry += 3)
        if (extra[entry] == kReportDescriptorType)
          return static_cast<std::uint16_t>(extra[entry + 1] | (extra[entry + 2] << 8));
    }
    at += length;
  }
  return std::nullopt;
}

CInterruptInRecovery::EVerdict CInterruptInRecovery::Failed(bool stall, TimePoint now) {
  m_clearHalt = m_clearHalt || stall;
  if (m_underWay) return EVerdict::SameRound;
  while (!m_rounds.empty() && now - m_rounds.front() >= std::chrono::seconds(1)) m_rounds.pop_front();
  if (m_rounds.size() >= kRoundsPerSecond) return EVerdict::Spent;
  m_rounds.push_back(now);
  m_underWay = true;
  // A stalled endpoint stays halted until it is cleared: no use waiting.
  m_dueAt = stall ? now : now + kErrorPause;
  return EVerdict::NewRound;
}

std::optional<CInterruptInRecovery::TimePoint> CInterruptInRecovery::DueAt() const {
  if (!m_underWay) return std::nullopt;
  return m_dueAt;
}

bool CInterruptInRecovery::TakeRound() {
  m_underWay = false;
  return std::exchange(m_clearHalt, false);
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
