#include "platform/windows/WinHidEnumeration.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace {

// A path longer than this is no device path; a larger size is not allocated.
constexpr DWORD kMaxDetailBytes = 64 * 1024;

// Owns a device information list.
class CDeviceInfoList {
 public:
  CDeviceInfoList(HDEVINFO list, decltype(&SetupDiDestroyDeviceInfoList) destroy) : m_list(list), m_destroy(destroy) {}
  ~CDeviceInfoList() { m_destroy(m_list); }
  CDeviceInfoList(const CDeviceInfoList&) = delete;
  CDeviceInfoList& operator=(const CDeviceInfoList&) = delete;

  HDEVINFO get() const { return m_list; }

 private:
  HDEVINFO m_list;
  decltype(&SetupDiDestroyDeviceInfoList) m_destroy;
};

std::optional<unsigned> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

bool SameLetters(std::string_view text, std::string_view lowerTag) {
  for (std::size_t i = 0; i < lowerTag.size(); ++i)
    if (text[i] != lowerTag[i] && text[i] != lowerTag[i] - 'a' + 'A' && lowerTag[i] != '_') return false;
  return true;
}

// The four hexadecimal digits after the first occurrence of `lowerTag` that has them.
std::optional<std::uint16_t> TagValue(std::string_view path, std::string_view lowerTag) {
  for (std::size_t at = 0; at + lowerTag.size() + 4 <= path.size(); ++at) {
    if (!SameLetters(path.substr(at), lowerTag)) continue;
    unsigned value = 0;
    bool valid = true;
    for (char c : path.substr(at + lowerTag.size(), 4)) {
      const std::optional<unsigned> digit = HexDigit(c);
      valid = valid && digit.has_value();
      value = value * 16 + digit.value_or(0);
    }
    if (valid) return static_cast<std::uint16_t>(value);
  }
  return std::nullopt;
}

// The device path of one interface; nullopt when it cannot be fetched.
std::optional<std::string> FetchPath(const HidEnumerationApi& api, HDEVINFO list, SP_DEVICE_INTERFACE_DATA& entry) {
  DWORD size = 0;
  api.getDeviceInterfaceDetail(list, &entry, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size > kMaxDetailBytes) return std::nullopt;
  // Whole structures, so the buffer is aligned for one and zero-filled.
  std::vector<SP_DEVICE_INTERFACE_DETAIL_DATA_A> buffer((size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) - 1) /
                                                        sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  buffer[0].cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!api.getDeviceInterfaceDetail(list, &entry, buffer.data(), size, nullptr, nullptr)) return std::nullopt;
  const std::size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  return std::string(buffer[0].DevicePath, strnlen(buffer[0].DevicePath, room));
}

// Windows compares device paths without regard to case and does not promise
// the case it lists them in; discovery looks for lower-case tags.
void LowerAscii(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

const HidEnumerationApi kSystemApi{HidD_GetHidGuid, SetupDiGetClassDevsA, SetupDiEnumDeviceInterfaces,
                                   SetupDiGetDeviceInterfaceDetailA, SetupDiDestroyDeviceInfoList};

}  // namespace

const HidEnumerationApi& SystemHidEnumerationApi() { return kSystemApi; }

std::optional<HidIdTags> ParseIdTags(std::string_view path) {
  const std::optional<std::uint16_t> vendor = TagValue(path, "vid_");
  const std::optional<std::uint16_t> product = TagValue(path, "pid_");
  if (!vendor || !product) return std::nullopt;
  return HidIdTags{*vendor, *product};
}

std::vector<HidInterfaceInfo> EnumerateHidInterfaces(const HidEnumerationApi& api) {
  GUID hidGuid{};
  api.getHidGuid(&hidGuid);
  const HDEVINFO handle = api.getClassDevs(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (handle == INVALID_HANDLE_VALUE) return {};
  const CDeviceInfoList list(handle, api.destroyDeviceInfoList);

  std::vector<HidInterfaceInfo> interfaces;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    if (!api.enumDeviceInterfaces(list.get(), nullptr, &hidGuid, index, &entry)) break;
    std::optional<std::string> path = FetchPath(api, list.get(), entry);
    if (!path) continue;  // the others are still worth listing
    LowerAscii(*path);
    const HidIdTags ids = ParseIdTags(*path).value_or(HidIdTags{});
    interfaces.push_back(HidInterfaceInfo{std::move(*path), ids.vendorId, ids.productId});
  }
  return interfaces;
}
