#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <thread>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/WinHidBackend.h"
#include "platform/windows/WinHidEnumeration.h"
#include "platform/windows/WinHidRules.h"

extern "C" {
#include <hidclass.h>
}

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

TEST(WinHidEnumeration, ListsEveryInterfaceWhosePathItCanFetchAndAlwaysFreesTheList) {
  const std::vector<EnumerationCase> cases = {
      {"empty list", {}, false, {}, 1},
      {"list fails", {Listed(kApp)}, true, {}, 0},
      {"SetupAPI's order", {Listed(kLoader), Listed(kKeyboard), Listed(kApp)}, false, {kLoader, kKeyboard, kApp}, 1},
      {"size 0 is skipped", {Listed(kApp), Sized(kLoader, 0), Listed(kKeyboard)}, false, {kApp, kKeyboard}, 1},
      {"size below the header is skipped", {Listed(kApp), Sized(kLoader, 3), Listed(kKeyboard)}, false,
       {kApp, kKeyboard}, 1},
      {"huge size is skipped", {Listed(kApp), Sized(kLoader, 0x7FFFFFFF), Listed(kKeyboard)}, false,
       {kApp, kKeyboard}, 1},
      {"failed fetch in the middle is skipped", {Listed(kApp), Failing(kLoader), Listed(kKeyboard)}, false,
       {kApp, kKeyboard}, 1},
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

TEST(WinHidEnumeration, IdsComeFromThePathTagsAndThePathIsLowerCased) {
  const std::string upper = R"(\\?\HID#VID_1A2B&PID_0C01#7&1234&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030})";
  const std::string untagged = R"(\\?\hid#{00001124-0000-1000-8000-00805f9b34fb}_dev#9&1&0&0000#{4d1e55b2})";
  g_fake = Playing({Listed(kApp), Listed(upper), Listed(untagged)});
  const std::vector<HidInterfaceInfo> found = EnumerateHidInterfaces(kFakeApi);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].vendorId, 0x1a2b);
  EXPECT_EQ(found[0].productId, 0x0c01);
  EXPECT_EQ(found[1].path, kApp);  // discovery looks for lower-case tags
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

// The HID class driver as an open device sees it. Files are real events, so
// the device can close them; each has the report lengths of its collection.
struct FakeClassDriver {
  enum class Answer { AtOnce, Never, LateAfterCancel };
  std::vector<std::pair<std::string, HIDP_CAPS>> collections;  // by path
  std::map<HANDLE, HIDP_CAPS> files;
  int preparsedHeld = 0;
  Answer answer = Answer::AtOnce;
  std::vector<std::uint8_t> reply;
  std::vector<DWORD> codes;
  std::vector<std::uint8_t> sent;
  OVERLAPPED* pending = nullptr;
  std::uint8_t* pendingOut = nullptr;
  int cancels = 0;
  std::atomic<bool> lateWriteDone = false;
  std::thread late;
};
FakeClassDriver* g_driver = nullptr;
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120);

HIDP_CAPS Caps(USHORT input, USHORT output, USHORT feature) {
  HIDP_CAPS caps{};
  caps.InputReportByteLength = input;
  caps.OutputReportByteLength = output;
  caps.FeatureReportByteLength = feature;
  return caps;
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  for (const auto& [name, caps] : g_driver->collections)
    if (name == path) {
      const HANDLE file = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      g_driver->files[file] = caps;
      return file;
    }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

BOOLEAN WINAPI FakeGetPreparsedData(HANDLE file, PHIDP_PREPARSED_DATA* data) {
  ++g_driver->preparsedHeld;
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(&g_driver->files.at(file));
  return TRUE;
}

BOOLEAN WINAPI FakeFreePreparsedData(PHIDP_PREPARSED_DATA) {
  --g_driver->preparsedHeld;
  return TRUE;
}

NTSTATUS WINAPI FakeGetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  *caps = *reinterpret_cast<const HIDP_CAPS*>(data);
  return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI FakeSetNumInputBuffers(HANDLE, ULONG) { return TRUE; }

void Complete(OVERLAPPED* overlapped, NTSTATUS status, DWORD bytes) {
  overlapped->Internal = static_cast<ULONG_PTR>(status);
  overlapped->InternalHigh = bytes;
  SetEvent(overlapped->hEvent);
}

WINBOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD,
                                   LPOVERLAPPED overlapped) {
  FakeClassDriver& driver = *g_driver;
  driver.codes.push_back(code);
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  driver.sent.assign(bytes, bytes + inSize);
  ResetEvent(overlapped->hEvent);  // as the I/O manager does
  if (driver.answer == FakeClassDriver::Answer::AtOnce) {
    const DWORD count = std::min<DWORD>(outSize, static_cast<DWORD>(driver.reply.size()));
    std::memcpy(out, driver.reply.data(), count);
    const bool answers = code == IOCTL_HID_GET_INPUT_REPORT || code == IOCTL_HID_GET_PRODUCT_STRING;
    Complete(overlapped, 0, answers ? count : inSize);
    return TRUE;
  }
  overlapped->Internal = STATUS_PENDING;
  driver.pending = overlapped;
  driver.pendingOut = static_cast<std::uint8_t*>(out);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

WINBOOL WINAPI FakeCancelIoEx(HANDLE, LPOVERLAPPED overlapped) {
  FakeClassDriver& driver = *g_driver;
  ++driver.cancels;
  if (overlapped != driver.pending) return FALSE;
  if (driver.answer != FakeClassDriver::Answer::LateAfterCancel) {
    Complete(overlapped, kStatusCancelled, 0);
    return TRUE;
  }
  // The request's answer lands a while after the cancel was asked for.
  driver.late = std::thread([&driver, overlapped] {
    Sleep(50);
    std::memset(driver.pendingOut, 0xEE, driver.sent.size());
    driver.lateWriteDone = true;
    Complete(overlapped, kStatusCancelled, 0);
  });
  return TRUE;
}

WINBOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes, WINBOOL wait) {
  if (wait) WaitForSingleObject(overlapped->hEvent, INFINITE);
  if (overlapped->Internal != 0) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  *bytes = static_cast<DWORD>(overlapped->InternalHigh);
  return TRUE;
}

const WinHidDeviceApi kFakeDeviceApi{FakeCreateFile,        FakeGetPreparsedData, FakeFreePreparsedData,
                                     FakeGetCaps,           FakeSetNumInputBuffers, ReadFile,
                                     WriteFile,             FakeDeviceIoControl,  FakeCancelIoEx,
                                     FakeGetOverlappedResult, std::chrono::milliseconds(20)};

class WinHidDeviceTest : public ::testing::Test {
 protected:
  WinHidDeviceTest() { g_driver = &m_driver; }
  ~WinHidDeviceTest() override {
    if (m_driver.late.joinable()) m_driver.late.join();
    g_driver = nullptr;
  }
  std::unique_ptr<CHidDevice> OpenVendorCollection() {
    m_driver.collections = {{kApp, Caps(32, 65, 65)}};
    return CWinHidBackend(kFakeApi, kFakeDeviceApi).Open(kApp);
  }
  FakeClassDriver m_driver;
};

TEST_F(WinHidDeviceTest, TheFirstCollectionThatCarriesTheReportsIsTaken) {
  // One USB interface, two top-level collections with the same tags, listed
  // by SetupAPI in upper case with the volume buttons first; between them an
  // interface whose detail cannot be fetched.
  const std::string consumer = R"(\\?\HID#VID_1A2B&PID_0C01&MI_03&COL01#8&1&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030})";
  const std::string vendor = R"(\\?\HID#VID_1A2B&PID_0C01&MI_03&COL02#8&1&0&0001#{4D1E55B2-F16F-11CF-88CB-001111000030})";
  g_fake = Playing({Listed(consumer), Failing(kKeyboard), Listed(vendor)});
  CWinHidBackend backend(kFakeApi, kFakeDeviceApi);
  const std::vector<HidInterfaceInfo> found = backend.Enumerate();
  ASSERT_EQ(found.size(), 2u);
  for (const HidInterfaceInfo& info : found) EXPECT_NE(info.path.find("vid_1a2b&pid_0c01"), std::string::npos);
  m_driver.collections = {{found[0].path, Caps(3, 0, 0)}, {found[1].path, Caps(32, 65, 65)}};

  EXPECT_EQ(backend.Open(found[0].path), nullptr);  // input 3, output 0: the volume buttons
  EXPECT_NE(backend.Open(found[1].path), nullptr);
  EXPECT_EQ(m_driver.preparsedHeld, 0);
  m_driver.collections = {{found[1].path, Caps(32, 64, 65)}};  // one byte short
  EXPECT_EQ(backend.Open(found[1].path), nullptr);
}

TEST_F(WinHidDeviceTest, ClassRequestsGoAsDeviceIoControlsOfTheReportLengths) {
  const std::unique_ptr<CHidDevice> device = OpenVendorCollection();
  ASSERT_NE(device, nullptr);
  const std::vector<std::uint8_t> report = {0, 0x3e, 0x01};
  EXPECT_TRUE(device->SetOutputReport(report));
  EXPECT_EQ(m_driver.sent.size(), 65u);
  EXPECT_TRUE(device->SetFeatureReport(report));
  m_driver.reply = std::vector<std::uint8_t>(32, 0x5A);
  m_driver.reply[0] = 0;
  std::vector<std::uint8_t> answer(40, 0xAA);
  answer[0] = 0;
  EXPECT_TRUE(device->GetInputReport(answer));
  EXPECT_EQ(m_driver.sent.size(), 32u);  // the input length, report ID first
  EXPECT_EQ(answer[31], 0x5A);
  EXPECT_EQ(answer[32], 0xAA);
  EXPECT_EQ(m_driver.codes, (std::vector<DWORD>{static_cast<DWORD>(IOCTL_HID_GET_PRODUCT_STRING),
                                                static_cast<DWORD>(IOCTL_HID_SET_OUTPUT_REPORT),
                                                static_cast<DWORD>(IOCTL_HID_SET_FEATURE),
                                                static_cast<DWORD>(IOCTL_HID_GET_INPUT_REPORT)}));
  EXPECT_EQ(m_driver.cancels, 0);
}

// The product string is one bounded request at open, sending nothing; later
// callers get what it answered. Unanswered, the open still ends, after the bound.
TEST_F(WinHidDeviceTest, TheProductStringIsReadOnceAtOpenAsABoundedRequest) {
  const std::u16string name = u"Aurelix Rho";
  m_driver.reply.assign(reinterpret_cast<const std::uint8_t*>(name.data()),
                        reinterpret_cast<const std::uint8_t*>(name.data() + name.size()));
  const std::unique_ptr<CHidDevice> device = OpenVendorCollection();
  ASSERT_NE(device, nullptr);
  std::array<char16_t, 126> product{};
  for (int call = 0; call < 2; ++call) {
    product.fill(u'x');
    ASSERT_TRUE(device->GetProductString(product));
    EXPECT_EQ(std::u16string(product.data()), name);
  }
  EXPECT_EQ(m_driver.codes, (std::vector<DWORD>{static_cast<DWORD>(IOCTL_HID_GET_PRODUCT_STRING)}));
  EXPECT_TRUE(m_driver.sent.empty());

  m_driver.answer = FakeClassDriver::Answer::Never;
  const std::unique_ptr<CHidDevice> silent = OpenVendorCollection();
  ASSERT_NE(silent, nullptr);
  EXPECT_EQ(m_driver.cancels, 1);
  EXPECT_FALSE(silent->GetProductString(product));
}

TEST_F(WinHidDeviceTest, AnUnansweredRequestFailsAfterItsBoundAndIsAwaitedAfterTheCancel) {
  const std::unique_ptr<CHidDevice> device = OpenVendorCollection();
  ASSERT_NE(device, nullptr);
  const std::vector<std::uint8_t> report = {0, 0x28, 0x01};
  m_driver.answer = FakeClassDriver::Answer::Never;
  EXPECT_FALSE(device->SetOutputReport(report));
  EXPECT_EQ(m_driver.cancels, 1);

  // The driver writes into the request's buffer after the cancel: the call
  // returns only once it has, so the buffer was still there.
  m_driver.answer = FakeClassDriver::Answer::LateAfterCancel;
  std::vector<std::uint8_t> answer(32, 0);
  EXPECT_FALSE(device->GetInputReport(answer));
  EXPECT_TRUE(m_driver.lateWriteDone);
  EXPECT_EQ(answer[1], 0);  // a cancelled request hands back nothing
  EXPECT_EQ(m_driver.cancels, 2);
}

}  // namespace
