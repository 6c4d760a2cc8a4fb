#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/WinHidBackend.h"
#include "platform/windows/WinHidEnumeration.h"
#include "platform/windows/WinHidRules.h"

namespace {

// SetupAPI as the enumeration sees it: one entry per device interface.
struct FakeInterface {
  std::string path;
  std::optional<DWORD> reportedSize;  // the size the first detail call reports; default: what the path needs
  bool fetchFails = false;
};

FakeInterface Listed(std::string path) { return {std::move(path), std::nullopt, false}; }
FakeInterface Sized(std::string path, DWORD size) { return {std::move(path), size, false}; }
FakeInterface Failing(std::string path) { return {std::move(path), std::nullopt, true}; }

struct FakeSetupApi {
  std::vector<FakeInterface> interfaces;
  bool listFails = false;
  int destroyed = 0;
  DWORD flags = 0;
  bool guidPassedOn = true;
  bool detailBufferSound = true;  // cbSize set, buffer large enough and zero-filled
};

FakeSetupApi Playing(std::vector<FakeInterface> interfaces, bool listFails = false) {
  FakeSetupApi fake;
  fake.interfaces = std::move(interfaces);
  fake.listFails = listFails;
  return fake;
}

FakeSetupApi g_fake;
const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const HDEVINFO kList = reinterpret_cast<HDEVINFO>(0x1234);

DWORD NeededSize(const FakeInterface& entry) {
  return entry.reportedSize.value_or(
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.path.size() + 1));
}

void WINAPI FakeGetHidGuid(LPGUID guid) { *guid = kHidGuid; }

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
  g_fake.flags = flags;
  g_fake.guidPassedOn = g_fake.guidPassedOn && IsEqualGUID(*guid, kHidGuid);
  return g_fake.listFails ? INVALID_HANDLE_VALUE : kList;
}

WINBOOL WINAPI FakeEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                  PSP_DEVICE_INTERFACE_DATA data) {
  g_fake.guidPassedOn = g_fake.guidPassedOn && list == kList && IsEqualGUID(*guid, kHidGuid);
  if (index >= g_fake.interfaces.size() || data->cbSize != sizeof *data) return FALSE;
  data->Reserved = index;
  return TRUE;
}

WINBOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                             DWORD size, PDWORD required, PSP_DEVINFO_DATA) {
  const FakeInterface& entry = g_fake.interfaces.at(data->Reserved);
  if (detail == nullptr) {
    if (required != nullptr) *required = NeededSize(entry);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(detail);
  const bool zeroFilled = std::all_of(bytes + sizeof(DWORD), bytes + size, [](unsigned char b) { return b == 0; });
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size < NeededSize(entry) || !zeroFilled)
    g_fake.detailBufferSound = false;
  if (entry.fetchFails) return FALSE;
  const std::size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  std::memcpy(detail->DevicePath, entry.path.c_str(), std::min(room, entry.path.size() + 1));
  return TRUE;
}

WINBOOL WINAPI FakeDestroyList(HDEVINFO list) {
  if (list == kList) ++g_fake.destroyed;
  return TRUE;
}

const HidEnumerationApi kFakeApi{FakeGetHidGuid, FakeGetClassDevs, FakeEnumInterfaces, FakeGetDetail,
                                 FakeDestroyList};

std::vector<std::string> Paths(const std::vector<HidInterfaceInfo>& interfaces) {
  std::vector<std::string> paths;
  for (const HidInterfaceInfo& info : interfaces) paths.push_back(info.path);
  return paths;
}

const std::string kApp = R"(\\?\hid#vid_1a2b&pid_0c01#7&1234&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
const std::string kLoader = R"(\\?\hid#vid_1a2b&pid_0c02#7&5678&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
const std::string kKeyboard = R"(\\?\hid#vid_046d&pid_c31c&mi_00#8&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";

struct EnumerationCase {
  const char* name;
  std::vector<FakeInterface> interfaces;
  bool listFails;
  std::vector<std::string> expected;
  int destroyed;
};

TEST(WinHidEnumeration, ListsInterfacesUntilOneFailsAndAlwaysFreesTheList) {
  const std::vector<EnumerationCase> cases = {
      {"empty list", {}, false, {}, 1},
      {"list fails", {Listed(kApp)}, true, {}, 0},
      {"SetupAPI's order", {Listed(kLoader), Listed(kKeyboard), Listed(kApp)}, false, {kLoader, kKeyboard, kApp}, 1},
      {"size 0 stops", {Listed(kApp), Sized(kLoader, 0), Listed(kKeyboard)}, false, {kApp}, 1},
      {"size below the header stops", {Listed(kApp), Sized(kLoader, 3), Listed(kKeyboard)}, false, {kApp}, 1},
      {"huge size stops", {Listed(kApp), Sized(kLoader, 0x7FFFFFFF), Listed(kKeyboard)}, false, {kApp}, 1},
      {"failed fetch stops", {Listed(kApp), Failing(kLoader), Listed(kKeyboard)}, false, {kApp}, 1},
  };
  for (const EnumerationCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_fake = Playing(c.interfaces, c.listFails);
    EXPECT_EQ(Paths(EnumerateHidInterfaces(kFakeApi)), c.expected);
    EXPECT_EQ(g_fake.destroyed, c.destroyed);
    EXPECT_EQ(g_fake.flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    EXPECT_TRUE(g_fake.guidPassedOn);
    EXPECT_TRUE(g_fake.detailBufferSound);
  }
}

TEST(WinHidEnumeration, IdsComeFromThePathTagsAndThePathStaysAsGiven) {
  const std::string upper = R"(\\?\HID#VID_1A2B&PID_0C01#7&1234&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030})";
  const std::string untagged = R"(\\?\hid#{00001124-0000-1000-8000-00805f9b34fb}_dev#9&1&0&0000#{4d1e55b2})";
  g_fake = Playing({Listed(kApp), Listed(upper), Listed(untagged)});
  const std::vector<HidInterfaceInfo> found = EnumerateHidInterfaces(kFakeApi);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].vendorId, 0x1a2b);
  EXPECT_EQ(found[0].productId, 0x0c01);
  EXPECT_EQ(found[1].path, upper);  // discovery's case-sensitive match decides about it
  EXPECT_EQ(found[1].vendorId, 0x1a2b);
  EXPECT_EQ(found[1].productId, 0x0c01);
  EXPECT_EQ(found[2].vendorId, 0);
  EXPECT_EQ(found[2].productId, 0);
}

TEST(WinHidEnumeration, ParseIdTags) {
  struct Case {
    const char* path;
    std::optional<std::pair<int, int>> ids;
  };
  const Case cases[] = {
      {"hid#vid_1a2b&pid_0c02#x", std::pair{0x1a2b, 0x0c02}},
      {"HID#Vid_FFFF&PiD_0000#x", std::pair{0xffff, 0x0000}},
      {"hid#vid_1a2&pid_0c02#x", std::nullopt},            // three digits
      {"hid#vid_zz&vid_1a2b&pid_0c02", std::pair{0x1a2b, 0x0c02}},  // the first tag with four digits counts
      {"hid#vid_1a2b", std::nullopt},
      {"pid_0c02", std::nullopt},
      {"vid_1a2b&pid_0c0", std::nullopt},  // cut short at the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::optional<HidIdTags> ids = ParseIdTags(c.path);
    ASSERT_EQ(ids.has_value(), c.ids.has_value());
    if (!ids) continue;
    EXPECT_EQ(ids->vendorId, c.ids->first);
    EXPECT_EQ(ids->productId, c.ids->second);
  }
}

TEST(WinHidRules, FitReportPadsShortReportsAndRefusesWhatDoesNotFit) {
  const std::vector<std::uint8_t> report = {0, 0x3e, 0x01};
  EXPECT_EQ(FitReport(report, 5), (std::vector<std::uint8_t>{0, 0x3e, 0x01, 0, 0}));
  EXPECT_EQ(FitReport(report, 3), report);
  EXPECT_EQ(FitReport(report, 2), std::nullopt);
  EXPECT_EQ(FitReport({}, 5), std::nullopt);
  EXPECT_EQ(FitReport(report, 0), std::nullopt);  // the device has no report of that kind
}

TEST(WinHidRules, CopyReportStoresWhatFitsAndLeavesTheRest) {
  const std::vector<std::uint8_t> from = {1, 2, 3, 4};
  std::vector<std::uint8_t> small(2, 0xAA);
  EXPECT_EQ(CopyReport(from, small), 2u);
  EXPECT_EQ(small, (std::vector<std::uint8_t>{1, 2}));
  std::vector<std::uint8_t> large(6, 0xAA);
  EXPECT_EQ(CopyReport(from, large), 4u);
  EXPECT_EQ(large, (std::vector<std::uint8_t>{1, 2, 3, 4, 0xAA, 0xAA}));
}

TEST(WinHidRules, ProductStringIsCutToFitAndEndsInNul) {
  struct Case {
    std::wstring wide;  // as the device gave it, NULs included
    std::size_t units;
    bool ok;
    std::u16string expected;
  };
  const Case cases[] = {
      {L"Rho", 8, true, u"Rho"},
      {L"Rho", 4, true, u"Rho"},
      {L"Aurelix Rho", 4, true, u"Aur"},
      {L"Rho", 1, true, u""},
      {L"Rho", 0, false, u""},
      {std::wstring(L"\0Rho", 4), 8, false, u""},     // empty text
      {std::wstring(L"Rh\0o", 4), 8, true, u"Rh"},    // ends at the first NUL
      {L"ab\xD83D\xDD0A", 4, true, u"ab"},            // no half of a surrogate pair
      {L"ab\xD83D\xDD0A", 5, true, u"ab\xD83D\xDD0A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.units);
    std::vector<char16_t> buffer(c.units, u'#');
    ASSERT_EQ(CopyProductString(std::span<const wchar_t>(c.wide.data(), c.wide.size()), buffer), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(std::u16string(buffer.data()), c.expected);
  }
}

TEST(WinHidRules, WaitMillisecondsRoundsUpAndNeverMeansInfinite) {
  using namespace std::chrono;
  EXPECT_EQ(WaitMilliseconds(nanoseconds(0)), 0u);
  EXPECT_EQ(WaitMilliseconds(nanoseconds(1)), 1u);
  EXPECT_EQ(WaitMilliseconds(microseconds(1500)), 2u);
  EXPECT_EQ(WaitMilliseconds(milliseconds(250)), 250u);
  EXPECT_EQ(WaitMilliseconds(hours(24 * 60)), 0xFFFFFFFEu);
}

TEST(WinHidBackend, OpenOfAMissingPathGivesNull) {
  CWinHidBackend backend;
  EXPECT_EQ(backend.Open(R"(\\?\hid#vid_1a2b&pid_0c01#0&0&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030})"), nullptr);
}

}  // namespace
