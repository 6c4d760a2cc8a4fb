// The USB route's decisions that need no device: where the HID interface and
// its endpoints are, how reports and strings travel, which devices it lists,
// and which route the default choice takes. The transfers themselves are
// proved against the emulator as a USB gadget in the guest (docs/kernel.md).
#include <gtest/gtest.h>
#include <libusb.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "app/log/Log.h"
#include "platform/AutomaticHidBackend.h"
#include "platform/Clock.h"
#include "platform/LibusbBackend.h"
#include "platform/LinuxHidRules.h"
#include "platform/testing/FakeHidDevice.h"
#include "platform/testing/TempDirectory.h"

namespace {

namespace fs = std::filesystem;

libusb_endpoint_descriptor Endpoint(std::uint8_t address, std::uint8_t type, std::uint16_t packetSize) {
  libusb_endpoint_descriptor endpoint{};
  endpoint.bEndpointAddress = address;
  endpoint.bmAttributes = type;
  endpoint.wMaxPacketSize = packetSize;
  return endpoint;
}

TEST(UsbRoute, TheHidInterfacesAreFoundByTheirClassWithTheirInterruptEndpoints) {
  const auto interrupt = LIBUSB_TRANSFER_TYPE_INTERRUPT;
  const auto bulk = LIBUSB_TRANSFER_TYPE_BULK;
  struct Found {
    std::uint8_t number = 0;
    std::uint8_t in = 0;
    std::uint16_t inPacket = 0;
    std::optional<std::uint8_t> out{};
  };
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint8_t, std::vector<libusb_endpoint_descriptor>>> interfaces;  // class, endpoints
    std::vector<Found> found;
  };
  const Case cases[] = {
      {"composite: audio first, HID second, out listed before in",
       {{0xFF, {}}, {3, {Endpoint(0x02, interrupt, 64), Endpoint(0x81, interrupt, 64)}}},
       {{1, 0x81, 64, 0x02}}},
      {"no interrupt-out endpoint", {{3, {Endpoint(0x83, interrupt, 32)}}}, {{0, 0x83, 32}}},
      {"the packet size's transaction bits are not part of it", {{3, {Endpoint(0x81, interrupt, 0x1840)}}},
       {{0, 0x81, 0x40}}},
      {"a HID interface without interrupt in is passed over",
       {{3, {Endpoint(0x01, interrupt, 64), Endpoint(0x81, bulk, 64)}}, {3, {Endpoint(0x84, interrupt, 64)}}},
       {{1, 0x84, 64}}},
      {"buttons before the vendor interface: both, in the configuration's order",
       {{3, {Endpoint(0x83, interrupt, 4)}}, {0xFF, {}}, {3, {Endpoint(0x81, interrupt, 64), Endpoint(0x02, interrupt, 64)}}},
       {{0, 0x83, 4}, {2, 0x81, 64, 0x02}}},
      {"an in endpoint of packet size 0 carries nothing", {{3, {Endpoint(0x81, interrupt, 0)}}}, {}},
      {"no HID interface", {{1, {}}, {0xFF, {Endpoint(0x81, interrupt, 64)}}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<libusb_interface_descriptor> settings(c.interfaces.size());
    std::vector<libusb_interface> interfaces(c.interfaces.size());
    for (std::size_t i = 0; i < c.interfaces.size(); ++i) {
      settings[i].bInterfaceNumber = static_cast<std::uint8_t>(i);
      settings[i].bInterfaceClass = c.interfaces[i].first;
      settings[i].bNumEndpoints = static_cast<std::uint8_t>(c.interfaces[i].second.size());
      settings[i].endpoint = c.interfaces[i].second.data();
      interfaces[i].altsetting = &settings[i];
      interfaces[i].num_altsetting = 1;
    }
    libusb_config_descriptor config{};
    config.bNumInterfaces = static_cast<std::uint8_t>(interfaces.size());
    config.interface = interfaces.data();
    const std::vector<UsbHidInterface> found = FindHidInterfaces(config);
    ASSERT_EQ(found.size(), c.found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].number, c.found[i].number);
      EXPECT_EQ(found[i].inEndpoint, c.found[i].in);
      EXPECT_EQ(found[i].inPacketSize, c.found[i].inPacket);
      EXPECT_EQ(found[i].outEndpoint, c.found[i].out);
    }
  }
}

// The report descriptor's length comes from the HID descriptor among the
// interface's extra descriptors; the bytes are the device's and are read only
// as far as they and each descriptor's own length reach.
TEST(UsbRoute, TheReportDescriptorsLengthIsTheOneItsHidDescriptorDeclares) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes hid = {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x2D, 0x00};
  Bytes afterOther = {5, 0x24, 1, 2, 3};
  afterOther.insert(afterOther.end(), hid.begin(), hid.end());
  const std::pair<Bytes, std::optional<std::uint16_t>> cases[] = {
      {hid, 0x2D},
      {afterOther, 0x2D},
      {{12, 0x21, 0x11, 0x01, 0x00, 0x02, 0x23, 0x10, 0x00, 0x22, 0x34, 0x12}, 0x1234},  // second class descriptor
      {{9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x2D}, std::nullopt},                   // cut short
      {{6, 0x21, 0x11, 0x01, 0x00, 0x01}, std::nullopt},                               // claims one, holds none
      {{0, 0x21, 0x22, 0x10, 0x00}, std::nullopt},                                     // length 0 ends the walk
      {{9, 0x24, 0x11, 0x01, 0x00, 0x01, 0x22, 0x2D, 0x00}, std::nullopt},             // not a HID descriptor
  };
  for (const auto& [extra, length] : cases) EXPECT_EQ(DeclaredReportDescriptorLength(extra), length);
}

// Which report descriptors carry the device's protocol: a vendor-defined
// top-level collection with input reports of 31 bytes and output reports of
// 64 (without the report-ID byte), as the Windows host requires; the others,
// a composite device's buttons say, are passed over with the reason.
TEST(UsbRoute, OnlyAVendorCollectionWithTheProtocolsReportLengthsIsTaken) {
  using Bytes = std::vector<std::uint8_t>;
  // A vendor-defined collection with input, output and feature reports of these lengths.
  const auto vendor = [](std::uint8_t input, std::uint8_t output) {
    return Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, input, 0x09, 0x01, 0x81, 0x02,
                 0x95, output, 0x09, 0x01, 0x91, 0x02, 0x95, 0x40, 0x09, 0x01, 0xB1, 0x02, 0xC0};
  };
  const Bytes numberedVendor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x75, 0x08, 0x95,
                                0x1F, 0x81, 0x02, 0x95, 0x40, 0x91, 0x02, 0xC0};
  const Bytes buttons = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x25, 0x01, 0x09, 0xE9, 0x09, 0xEA, 0x09,
                         0xE2, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x05, 0x81, 0x01, 0xC0};
  // Buttons with long reports of ID 1, then the vendor collection with ID 2 and short ones.
  const Bytes buttonsThenVendor = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x40, 0x81,
                                   0x02, 0x91, 0x02, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02,
                                   0x95, 0x08, 0x81, 0x02, 0x91, 0x02, 0xC0};
  // Report Size and Count of 2^32 - 1, twice: the sum saturates instead of wrapping to a small length.
  const Bytes huge = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF,
                      0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0x91, 0x02, 0xC0};
  const Bytes pushes = {0xA4, 0xA4, 0xA4, 0xA4, 0xA4};
  const Bytes cut = vendor(31, 64);
  struct Case {
    const char* what;
    Bytes descriptor;
    bool numbered;
    std::string mismatch;  // empty: taken
  };
  const std::string shortReports = "its reports (input 31, output 63 bytes) cannot carry the device's (input 31, output 64 bytes)";
  const Case cases[] = {
      {"the product's own", vendor(31, 64), false, ""},
      {"longer reports", vendor(63, 127), false, ""},
      {"numbered, the ID byte not counted", numberedVendor, true, ""},
      {"one output byte short", vendor(31, 63), false, shortReports},
      {"consumer control buttons", buttons, false, "it has no vendor-defined collection (usage page 0x000c)"},
      {"the buttons' long reports do not count for the vendor collection", buttonsThenVendor, true,
       "its reports (input 8, output 8 bytes) cannot carry the device's (input 31, output 64 bytes)"},
      {"a 4-byte usage names its own page",
       {0x05, 0x0C, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x20, 0x81, 0x02, 0x95, 0x40, 0x91,
        0x02, 0xC0},
       false, ""},
      {"Push and Pop keep the vendor page and sizes",
       {0x06, 0x00, 0xFF, 0x75, 0x08, 0x95, 0x1F, 0xA4, 0x05, 0x0C, 0x75, 0x01, 0xB4, 0x09, 0x01, 0xA1, 0x01, 0x81,
        0x02, 0x95, 0x40, 0x91, 0x02, 0xC0},
       false, ""},
      {"sizes that would overflow", huge, false, ""},
      {"no collection", {0x06, 0x00, 0xFF, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02}, false,
       "its report descriptor has no collection"},
      {"a long item's data is not read as items", {0xFE, 0x02, 0x10, 0x85, 0x02}, false,
       "its report descriptor has no collection"},
      {"an item cut short", Bytes(cut.begin(), cut.end() - 12), false, "its report descriptor is malformed"},
      {"a Report ID cut short", {0x06, 0x00, 0xFF, 0x85}, false, "its report descriptor is malformed"},
      {"a Pop without a Push", {0xB4, 0x06, 0x00, 0xFF}, false, "its report descriptor is malformed"},
      {"Push nested too deep", pushes, false, "its report descriptor is malformed"},
      {"an End Collection without a Collection", {0xC0}, false, "its report descriptor is malformed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReportDescriptorSummary summary = SummariseReportDescriptor(c.descriptor);
    EXPECT_EQ(summary.numberedReports, c.numbered);
    EXPECT_EQ(ProtocolMismatch(summary), c.mismatch);
  }
}

// Interrupt-in errors: the reads one halt fails are one round; a stall waits
// for nothing but the halt's clearing, an error for a short pause; more than
// the budget's rounds within a second end the session, fewer never do.
TEST(UsbRoute, InterruptInErrorsAreRiddenThroughWithinTheirBudget) {
  using Verdict = CInterruptInRecovery::EVerdict;
  using namespace std::chrono_literals;
  const CInterruptInRecovery::TimePoint t0{};
  CInterruptInRecovery recovery;
  EXPECT_FALSE(recovery.DueAt());

  EXPECT_EQ(recovery.Failed(true, t0), Verdict::NewRound);
  for (int read = 1; read < 32; ++read) EXPECT_EQ(recovery.Failed(true, t0 + 1ms), Verdict::SameRound);
  EXPECT_EQ(recovery.DueAt(), t0);
  EXPECT_TRUE(recovery.TakeRound()) << "a stall: the halt is cleared first";
  EXPECT_FALSE(recovery.DueAt());

  EXPECT_EQ(recovery.Failed(false, t0 + 100ms), Verdict::NewRound);
  EXPECT_EQ(recovery.DueAt(), t0 + 100ms + CInterruptInRecovery::kErrorPause);
  EXPECT_EQ(recovery.Failed(true, t0 + 101ms), Verdict::SameRound);
  EXPECT_TRUE(recovery.TakeRound()) << "a stall in the round asks for the clearing too";
  EXPECT_EQ(recovery.Failed(false, t0 + 200ms), Verdict::NewRound);
  EXPECT_FALSE(recovery.TakeRound());

  // Three rounds so far; two more fit into the second, a sixth does not.
  EXPECT_EQ(recovery.Failed(false, t0 + 300ms), Verdict::NewRound);
  recovery.TakeRound();
  EXPECT_EQ(recovery.Failed(false, t0 + 400ms), Verdict::NewRound);
  recovery.TakeRound();
  EXPECT_EQ(recovery.Failed(false, t0 + 500ms), Verdict::Spent);

  // A device that errs now and then goes on for ever.
  CInterruptInRecovery occasional;
  for (int second = 0; second < 100; ++second) {
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(occasional.Failed(second % 2 == 0, t0 + second * 1s + i * 150ms), Verdict::NewRound);
      occasional.TakeRound();
    }
  }
}

TEST(UsbRoute, ReportIdsAndStringsTravelAsOnTheWire) {
  // Report ID 0 is left out of the transfer; any other is sent with the data.
  const std::vector<std::uint8_t> unnumbered = {0x00, 0x3F, 0x82, 0x10};
  const UsbReport plain = SplitReportId(unnumbered);
  EXPECT_EQ(plain.id, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(plain.data.begin(), plain.data.end()),
            std::vector<std::uint8_t>({0x3F, 0x82, 0x10}));
  const std::vector<std::uint8_t> numbered = {0x05, 0x01};
  const UsbReport tagged = SplitReportId(numbered);
  EXPECT_EQ(tagged.id, 5);
  EXPECT_EQ(tagged.data.size(), 2u);

  // String descriptors come from the device: only the bytes it claimed and sent count.
  const std::vector<std::uint8_t> rho = {10, 3, 'R', 0, 'h', 0, 'o', 0, 0x01, 0x26};
  EXPECT_EQ(StringDescriptorText(rho), u"Rho\u2601");
  EXPECT_EQ(StringDescriptorText(std::span(rho).first(7)), u"Rh");         // cut short in transit
  EXPECT_EQ(StringDescriptorText(std::vector<std::uint8_t>{5, 3, 'R', 0, 'h', 0}), u"R");  // claims 5
  EXPECT_EQ(StringDescriptorText(std::vector<std::uint8_t>{4, 2, 'R', 0}), u"");           // not a string
  EXPECT_EQ(StringDescriptorText(std::vector<std::uint8_t>{3}), u"");
}

// A fake sysfs: USB devices with their interfaces, below a real host
// controller or below dummy_hcd.
class UsbEnumerationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_rootDirectory.Valid()); }

  void AddDevice(const std::string& name, const char* vendor, const char* product, unsigned bus, unsigned address,
                 std::vector<const char*> interfaceClasses, bool dummyHcd = false) {
    const fs::path device = m_root / "devices" / (dummyHcd ? "platform/dummy_hcd.0" : "pci0000:00") / name;
    fs::create_directories(device);
    std::ofstream(device / "idVendor") << vendor << "\n";
    std::ofstream(device / "idProduct") << product << "\n";
    std::ofstream(device / "busnum") << bus << "\n";
    std::ofstream(device / "devnum") << address << "\n";
    const fs::path list = m_root / "bus" / "usb" / "devices";
    fs::create_directories(list);
    fs::create_directory_symlink(device, list / name);
    for (std::size_t i = 0; i < interfaceClasses.size(); ++i) {
      const std::string interfaceName = name + ":1." + std::to_string(i);
      fs::create_directories(device / interfaceName);
      std::ofstream(device / interfaceName / "bInterfaceClass") << interfaceClasses[i] << "\n";
      fs::create_directory_symlink(device / interfaceName, list / interfaceName);
    }
  }

  CTempDirectory m_rootDirectory{"quillon-usb"};
  const fs::path m_root = m_rootDirectory.Path();
};

TEST_F(UsbEnumerationTest, DevicesWithAHidInterfaceAreListedByTheirUsbfsNode) {
  AddDevice("usb1", "1d6b", "0002", 1, 1, {"09"});
  AddDevice("1-2", "1a2b", "0c01", 1, 12, {"01", "01", "03"});
  AddDevice("2-1", "1a2b", "0c02", 2, 3, {"03"}, true);
  AddDevice("1-3", "0781", "5581", 1, 4, {"08"});
  const std::vector<HidInterfaceInfo> found = CLibusbBackend(m_root.string(), "/dev").Enumerate();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, "/dev/bus/usb/001/012#vid_1a2b&pid_0c01");
  EXPECT_EQ(found[0].productId, 0x0c01);
  EXPECT_EQ(found[1].path, "/dev/bus/usb/002/003#vid_1a2b&pid_0c02");
  EXPECT_TRUE(CLibusbBackend((m_root / "nothing").string(), "/dev").Enumerate().empty());

  LogCapture log;
  Clock::SetTimeScale(2);
  const std::vector<HidInterfaceInfo> scaled = CLibusbBackend(m_root.string(), "/dev").Enumerate();
  Clock::SetTimeScale(1);
  ASSERT_EQ(scaled.size(), 1u);
  EXPECT_EQ(scaled[0].path, "/dev/bus/usb/002/003#vid_1a2b&pid_0c02");
  EXPECT_TRUE(log.Contains("USB: /dev/bus/usb/001/012 is a real device and is left alone: "
                           "a time scale other than 1 is for virtual devices only"));
}

// A backend that lists what the test says and opens the paths it allows.
class CListedBackend final : public CHidBackend {
 public:
  CListedBackend(std::vector<HidInterfaceInfo> listed, std::set<std::string> openable)
      : m_listed(std::move(listed)), m_openable(std::move(openable)) {}
  std::vector<HidInterfaceInfo> Enumerate() override { return m_listed; }
  std::unique_ptr<CHidDevice> Open(const std::string& path) override {
    return m_openable.contains(path) ? std::make_unique<CFakeHidDevice>() : nullptr;
  }

 private:
  std::vector<HidInterfaceInfo> m_listed;
  std::set<std::string> m_openable;
};

TEST(UsbRoute, TheDefaultTakesUsbWhereItOpensAndHidrawOtherwise) {
  const std::string usbApp = "/dev/bus/usb/001/012#vid_1a2b&pid_0c01";
  const std::string hidrawApp = "/dev/hidraw0#vid_1a2b&pid_0c01";
  const std::string hidrawOther = "/dev/hidraw1#vid_046d&pid_c52b";
  const auto make = [&](std::set<std::string> usbOpens) {
    return CAutomaticHidBackend(
        std::make_unique<CListedBackend>(std::vector<HidInterfaceInfo>{{usbApp, 0x1a2b, 0x0c01}}, usbOpens),
        std::make_unique<CListedBackend>(
            std::vector<HidInterfaceInfo>{{hidrawApp, 0x1a2b, 0x0c01}, {hidrawOther, 0x046d, 0xc52b}},
            std::set<std::string>{hidrawApp, hidrawOther}));
  };
  {
    CAutomaticHidBackend backend = make({usbApp});
    const std::vector<HidInterfaceInfo> listed = backend.Enumerate();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].path, usbApp);  // discovery tries the USB route first
    LogCapture log;
    EXPECT_NE(backend.Open(usbApp), nullptr);
    EXPECT_TRUE(log.Contains("HID route: USB for " + usbApp +
                             ": its usbfs node could be opened (--hid-backend=hidraw takes hidraw)"));
  }
  {
    CAutomaticHidBackend backend = make({});
    backend.Enumerate();
    LogCapture log;
    EXPECT_EQ(backend.Open(usbApp), nullptr);
    EXPECT_NE(backend.Open(hidrawApp), nullptr);
    EXPECT_NE(backend.Open(hidrawOther), nullptr);
    const std::string expected[] = {
        "HID route: the USB route cannot open " + usbApp + "; the device's hidraw node is tried next",
        "HID route: hidraw for " + hidrawApp + ": the device's usbfs node could not be opened",
        "HID route: hidraw for " + hidrawOther + ": the device has no usbfs node this program can see"};
    EXPECT_TRUE(log.ContainsInOrder(expected));
  }
}

}  // namespace
