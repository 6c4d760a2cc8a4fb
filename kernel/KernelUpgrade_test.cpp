// The real quillon-upgrade, run silently as an installer runs it, upgrading
// the device emulator through the kernel's HID stack: the emulator is a uhid
// device in this process, or a USB device on dummy_hcd that the kernel's
// usbhid driver takes; the updater finds and opens its hidraw nodes as it
// would a real device's. Both run their clocks faster (--time-scale).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "app/testing/StandInImages.h"
#include "emulator/DeviceEmulator.h"
#include "kernel/KernelTest.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// Both clocks run twice as fast. Faster still, the updater's request
// time-outs (500 ms of program time) would come near to what a guest without
// hardware virtualisation takes to answer while its host is busy.
constexpr double kUpdaterScale = 2;
constexpr double kEmulatorScale = 2;

class KernelUpgrade : public kernel_test::CKernelTest {
 protected:
  void SetUp() override {
    CKernelTest::SetUp();
    ASSERT_TRUE(m_tree.Valid());
    if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  }
  void TearDown() override {
    if (m_emulator) m_emulator->Stop();
    CKernelTest::TearDown();
  }

  static EmulatorConfig Config(EmuFaults faults = {}, bool bluetooth = true) {
    EmulatorConfig config;
    config.timing = EmuTiming::Off;
    config.timeScale = kEmulatorScale;
    config.processors = {{kEmuCodeMain, e2e::kOlderL}, {kEmuCodeThird, e2e::kBuiltInA}};
    if (bluetooth) config.processors.push_back({kEmuCodeBluetoothA, e2e::kOlderB});
    config.useBluetoothChip = bluetooth;
    config.faults = faults;
    return config;
  }

  void Start(EmuFaults faults = {}, bool bluetooth = true) {
    m_emulator = kernel_test::StartOnUhid(Config(faults, bluetooth));
    ASSERT_TRUE(m_emulator);
    ASSERT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s));
  }

  // The emulator as a USB device, its trace kept for the routes.
  void StartUsb(EmulatorConfig config, std::uint16_t productId = kEmuApplicationProductId) {
    config.keepTrace = true;
    m_emulator = kernel_test::StartOnUsbGadget(config);
    ASSERT_TRUE(m_emulator);
    ASSERT_TRUE(kernel_test::WaitForNode(kEmuVendorId, productId, 10s));
  }

  // The routes the emulator saw, printed with the run's outcome and time.
  kernel_test::Routes ReportRoutes(const std::string& what, const e2e::UpdaterRun& run,
                                   std::chrono::steady_clock::duration took) const {
    const kernel_test::Routes routes = kernel_test::RoutesOf(m_emulator->Trace());
    std::cout << "[ routes   ] " << what << ": exit " << run.result.exitStatus << " after "
              << std::chrono::duration<double>(took).count() << " s; requests as the device saw them:\n"
              << kernel_test::DescribeRoutes(routes, kEmulatorScale);
    return routes;
  }

  // The updater on real devices (no --vhid-bus): its default route (USB where
  // the usbfs node opens, hidraw otherwise; uhid devices have no usbfs node),
  // or the one `backend` names.
  ProgramLaunch Launch(double scale = kUpdaterScale, const std::string& backend = "") const {
    ProgramLaunch launch = e2e::UpdaterLaunch(m_tree, {"/S"}, scale);
    std::erase_if(launch.arguments, [](const std::string& a) { return a.starts_with("--vhid-bus="); });
    if (!backend.empty()) launch.arguments.push_back("--hid-backend=" + backend);
    return launch;
  }

  // The same run as the user "nobody", who needs to reach the run directory and write its log there.
  ProgramLaunch AsNobody(ProgramLaunch launch) const {
    fs::permissions(m_tree.Root(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(m_tree.RunDir(), fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(m_tree.SeenDir(), fs::perms::all | fs::perms::sticky_bit);
    launch.arguments.insert(launch.arguments.begin(),
                            {"--reuid=65534", "--regid=65534", "--clear-groups", launch.program});
    launch.program = "/usr/bin/setpriv";
    return launch;
  }

  void UsbRouteUntilUnplugged();

  void ExpectBluetoothImageManifested() const {
    const std::vector<std::uint8_t> dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
    ASSERT_GT(dfu.size(), e2e::kDfuSuffixLength);
    const std::vector<std::uint8_t> stored = m_emulator->BluetoothImage();
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), dfu.begin(), dfu.end() - e2e::kDfuSuffixLength))
        << "the chip holds the DFU file without its suffix (" << stored.size() << " bytes stored)";
    EXPECT_EQ(m_emulator->ProcessorVersion(2), e2e::kBuiltInB) << "the chip runs the new image";
  }

  e2e::UpdaterRun Run(const ProgramLaunch& launch) {
    e2e::UpdaterRun run = e2e::RunUpdater(m_tree, launch, 900s);
    EXPECT_TRUE(run.result.started);
    EXPECT_FALSE(run.result.timedOut) << "the updater did not end";
    return run;
  }

  void ExpectFlashHoldsImage() const {
    const std::vector<std::uint8_t> expected = e2e::ReadBytes(e2e::BuildDir() / "images/standin/lpc18xx.bin");
    ASSERT_GT(expected.size(), e2e::kBankALength);
    std::vector<std::uint8_t> flash = m_emulator->ReadMainFlash(e2e::kBankA, e2e::kBankALength);
    const std::vector<std::uint8_t> bankB = m_emulator->ReadMainFlash(e2e::kBankB, expected.size() - e2e::kBankALength);
    flash.insert(flash.end(), bankB.begin(), bankB.end());
    EXPECT_TRUE(flash == expected) << "the emulated flash differs from the image";
    EXPECT_EQ(m_emulator->LoaderError(), "");
  }

  e2e::CTestTree m_tree;
  std::unique_ptr<CDeviceEmulator> m_emulator;
};

TEST_F(KernelUpgrade, WholeDevice) {
  Start();
  const e2e::UpdaterRun run = Run(Launch());
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err << run.logText;
  EXPECT_TRUE(run.keptLogs.empty());
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"OpenDeviceHandle - hRes[00000000] IsBootloader[0]",
                                             "Bootloader Ready try [", "FlashOS mcuIndex = 0",
                                             "L::EndFirmwareUpgrade - success[TRUE]", "FlashOS mcuIndex = 2",
                                             "Q7V-R try [", "L::MCU [0] ver [03102017]", "L::MCU [2] ver [28092015]",
                                             "Return Code = 0x0"}));
  ExpectFlashHoldsImage();
  ExpectBluetoothImageManifested();
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_FALSE(m_emulator->InBootloader());
}

TEST_F(KernelUpgrade, UnpluggedDuringTheRecordsThenTheNextRunCompletes) {
  EmuFaults faults;
  faults.unplugAfterRecords = 5000;
  Start(faults, false);

  const e2e::UpdaterRun failed = Run(Launch());
  EXPECT_EQ(failed.result.exitStatus, 7) << failed.result.err << failed.logText;
  EXPECT_EQ(failed.keptLogs.size(), 1u) << "a failed run keeps its log";
  EXPECT_TRUE(e2e::ContainsInOrder(failed.log, {"L::InitFirmwareUpgradeL - success[TRUE]", e2e::kUpgradeError,
                                                "Return Code = 0x80000007", "End of Log"}));
  EXPECT_EQ(m_emulator->RecordsReceived(), 5000u);

  m_emulator->SetFaults(EmuFaults{});
  m_emulator->PlugCable();
  ASSERT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuBootloaderProductId, 10s))
      << "an unfinished image keeps the device in its bootloader";

  const e2e::UpdaterRun recovered = Run(Launch());
  EXPECT_EQ(recovered.result.exitStatus, 0) << recovered.result.err << recovered.logText;
  EXPECT_EQ(recovered.keptLogs, failed.keptLogs) << "only the failed run's log is left";
  EXPECT_TRUE(e2e::ContainsInOrder(recovered.log, {"OpenDeviceHandle - hRes[00000000] IsBootloader[1]",
                                                   "L::EndFirmwareUpgrade - success[TRUE]", "Return Code = 0x0"}));
  ExpectFlashHoldsImage();
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
}

TEST_F(KernelUpgrade, BootloaderNeverAppears) {
  EmuFaults faults;
  faults.loaderNeverAppears = true;
  Start(faults, false);
  // Sixty-one presence checks a second apart: the updater's clock runs faster here.
  const e2e::UpdaterRun run = Run(Launch(5));
  EXPECT_EQ(run.result.exitStatus, 4) << run.result.err << run.logText;
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"EnterBootloader - Command sent", "Return Code = 0x4"}));
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Bootloader Ready try"));
}

// Without udev (as in a fresh system without the project's rule) the node is
// root's, mode 0600: a normal user's run names the node and the fix.
TEST_F(KernelUpgrade, NodeTheUserCannotOpen) {
  Start({}, false);
  const std::optional<HidInterfaceInfo> node = kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s);
  ASSERT_TRUE(node);
  const std::string path = node->path.substr(0, node->path.find('#'));
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  ASSERT_EQ(status.st_uid, 0u);
  ASSERT_EQ(status.st_mode & 0777, 0600u);

  const e2e::UpdaterRun run = Run(AsNobody(Launch()));
  EXPECT_EQ(run.result.exitStatus, 1) << run.result.err;
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "no permission to open " + path)) << run.logText;
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "scripts/install-udev-rule")) << run.logText;
  EXPECT_EQ(m_emulator->Counters().connections, 0u);
}

// The hidraw route to USB devices. usbhid sends every output report, write()
// and HIDIOCSOUTPUT alike, on the interrupt-OUT pipe where the device has one:
// a device that takes class requests only as SET_REPORT(Output), as the
// Windows host sends them, cannot be upgraded this way, and the run must fail.
TEST_F(KernelUpgrade, HidrawRouteCannotUpgradeTheStrictDevice) {
  EmulatorConfig config = Config({}, false);
  config.strictRoutes = true;
  StartUsb(config);
  // The bootloader entry is ignored: the run ends as one whose bootloader
  // never appeared, "not done" (4), which deletes its log. The updater's
  // clock runs faster through its sixty-one presence checks.
  auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(Launch(5, "hidraw"));
  kernel_test::Routes routes =
      ReportRoutes("StrictDevice, hidraw route", run, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(run.result.exitStatus, 4) << run.result.err << run.logText;
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"EnterBootloader - Command sent", "Return Code = 0x4"}));
  EXPECT_GT(routes["bootloader entry"]["refused"].count, 0u) << "the entry came on the interrupt pipe and was ignored";
  EXPECT_EQ(routes["bootloader entry"]["SET_OUTPUT"].count, 0u);
  EXPECT_FALSE(m_emulator->InBootloader());
  m_emulator->Stop();

  // A device an interrupted run left in its bootloader ignores the loader's
  // commands too: the upgrade fails and keeps its log.
  config.processors[0].version = 0;
  StartUsb(config, kEmuBootloaderProductId);
  start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun failed = Run(Launch(kUpdaterScale, "hidraw"));
  routes = ReportRoutes("StrictDevice in its bootloader, hidraw route", failed, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(failed.result.exitStatus, 7) << failed.result.err << failed.logText;
  ASSERT_EQ(failed.keptLogs.size(), 1u) << "a failed run keeps its log";
  std::cout << "[ log      ] " << failed.keptLogs[0].filename().string() << ", where it fails:\n";
  for (const std::string& line : failed.log) {
    if (line.find("Loader") != std::string::npos || line.find("rror") != std::string::npos ||
        line.find("Return Code") != std::string::npos)
      std::cout << "  " << line << "\n";
  }
  EXPECT_GT(routes["loader version"]["refused"].count, 0u);
  EXPECT_EQ(m_emulator->RecordsReceived(), 0u);
}

// Whole main-processor upgrades through hidraw against USB devices that take
// every route, with and without an interrupt-OUT endpoint. Without it every
// output report goes as SET_REPORT(Output), as on Windows.
class KernelUsbHidraw : public KernelUpgrade, public ::testing::WithParamInterface<bool> {};

TEST_P(KernelUsbHidraw, UpgradesTheMainProcessor) {
  const bool interruptOut = GetParam();
  EmulatorConfig config = Config({}, false);
  config.applicationInterruptOut = interruptOut;
  config.bootloaderInterruptOut = interruptOut;
  StartUsb(config);
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(Launch(kUpdaterScale, "hidraw"));
  kernel_test::Routes routes =
      ReportRoutes(interruptOut ? "DefaultDevice, hidraw route" : "NoInterruptOut, hidraw route", run,
                   std::chrono::steady_clock::now() - start);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err << run.logText;
  EXPECT_TRUE(run.keptLogs.empty());
  ExpectFlashHoldsImage();
  const char* route = interruptOut ? "OUTPUT" : "SET_OUTPUT";
  const char* other = interruptOut ? "SET_OUTPUT" : "OUTPUT";
  for (const char* kind : {"inventory", "bootloader entry", "loader begin", "record", "loader finish"}) {
    EXPECT_GT(routes[kind][route].count, 0u) << kind;
    EXPECT_EQ(routes[kind][other].count, 0u) << kind;
  }
  EXPECT_EQ(routes["record"][route].count, m_emulator->RecordsReceived());
  EXPECT_GT(routes["status poll"]["GET_INPUT"].count, 0u);
}

INSTANTIATE_TEST_SUITE_P(, KernelUsbHidraw, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "DefaultDevice" : "NoInterruptOut";
                         });

// The USB route (the default where the usbfs node opens, as for root here)
// against the strict device: every request on the pipe the Windows host uses,
// nothing refused, the whole device upgraded. The device halts its
// interrupt-IN endpoint three times during the records and three times
// during the DFU blocks, as a marginal cable or hub fails a transfer now and
// then: the session rides through each stall.
TEST_F(KernelUpgrade, UsbRouteUpgradesTheStrictDevice) {
  EmulatorConfig config = Config();
  config.strictRoutes = true;
  config.faults.haltInDuringRecords = 3;
  config.faults.haltInDuringBlocks = 3;
  StartUsb(config);
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(Launch());
  kernel_test::Routes routes = ReportRoutes("StrictDevice, USB route", run, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err << run.logText;
  EXPECT_TRUE(run.keptLogs.empty());
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"HID route: USB for /dev/bus/usb/", "FlashOS mcuIndex = 0",
                                             "L::EndFirmwareUpgrade - success[TRUE]", "FlashOS mcuIndex = 2",
                                             "Return Code = 0x0"}));
  ExpectFlashHoldsImage();
  ExpectBluetoothImageManifested();
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->Counters().refusedRoutes, 0u);
  EXPECT_GT(routes["inventory"]["OUTPUT"].count, 0u);
  for (const char* kind : {"bootloader entry", "loader begin", "record", "loader finish", "bootloader exit",
                           "bridge on/off", "UART chunk"}) {
    EXPECT_GT(routes[kind]["SET_OUTPUT"].count, 0u) << kind;
    EXPECT_EQ(routes[kind]["OUTPUT"].count, 0u) << kind;
  }
  EXPECT_EQ(routes["record"]["SET_OUTPUT"].count, m_emulator->RecordsReceived());
  EXPECT_GT(routes["status poll"]["GET_INPUT"].count, 0u);
  const std::vector<std::string> trace = m_emulator->Trace();
  EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                          [](const std::string& line) { return line.find("interrupt IN halted") != std::string::npos; }),
            6);
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "interrupt in stalled; the reads are queued again once the halt is cleared"));
  EXPECT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s))
      << "the kernel's driver holds the interface again: the hidraw node is back";
}

// A composite device whose consumer-control interface (volume and mute;
// interface 0, its own report descriptor, interrupt IN only) comes before the
// vendor interface, with the same IDs. Each route passes the buttons over by
// their report descriptor and upgrades the whole device; the emulator's trace
// shows no request to them (the kernel's driver keeps them for the run).
// On the USB route no driver holds the vendor interface at the start, as a
// run that was killed leaves it: the updater asks the device for that
// interface's report descriptor itself, with the length its HID descriptor
// declares (the buttons' still comes from sysfs, usbhid keeping them).
struct CompositeCase {
  const char* name;
  const char* backend;  // empty: the default, the USB route here
  const char* skipped;  // the start of the log line that passes the buttons over
  bool vendorInterfaceUnbound;
};

// Takes the application's vendor interface (number 2 behind the buttons and
// the audio stand-in) from usbhid.
bool UnbindVendorInterface() {
  const fs::path driver = "/sys/bus/usb/drivers/usbhid";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(driver, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(":1.2")) continue;
    std::ifstream vendor(fs::canonical(entry.path(), error).parent_path() / "idVendor");
    std::string id;
    if (!std::getline(vendor, id) || id != "1a2b") continue;
    std::ofstream(driver / "unbind") << name;
    return !fs::exists(entry.path());
  }
  return false;
}

class KernelUsbComposite : public KernelUpgrade, public ::testing::WithParamInterface<CompositeCase> {};

TEST_P(KernelUsbComposite, UpgradesTheWholeDevice) {
  const CompositeCase& c = GetParam();
  EmulatorConfig config = Config();
  config.consumerControlInterface = true;
  StartUsb(config);
  if (c.vendorInterfaceUnbound) {
    ASSERT_TRUE(UnbindVendorInterface());
  }
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(Launch(kUpdaterScale, c.backend));
  ReportRoutes(std::string("composite device, ") + c.name, run, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err << run.logText;
  EXPECT_TRUE(run.keptLogs.empty());
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {c.skipped, "OpenDeviceHandle - hRes[00000000] IsBootloader[0]",
                                             "FlashOS mcuIndex = 0", "L::EndFirmwareUpgrade - success[TRUE]",
                                             "FlashOS mcuIndex = 2", "Return Code = 0x0"}))
      << run.logText;
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "skipped: it has no vendor-defined collection (usage page 0x000c)"));
  ExpectFlashHoldsImage();
  ExpectBluetoothImageManifested();
  const std::vector<std::string> trace = m_emulator->Trace();
  EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                          [](const std::string& line) {
                            return line.find("consumer-control interface: request stalled") != std::string::npos;
                          }),
            0)
      << "a request went to the buttons";
  if (c.vendorInterfaceUnbound) {
    // The emulator's report descriptor is 33 bytes long.
    const auto asked = [&trace](const std::string& length) {
      return std::any_of(trace.begin(), trace.end(), [&length](const std::string& line) {
        return line.find("GET_DESCRIPTOR(Report) answered (bmRequestType 81 bRequest 06 wValue 2200 wIndex 0002 "
                         "wLength " + length + ")") != std::string::npos;
      });
    };
    EXPECT_TRUE(asked("33"));
    EXPECT_FALSE(asked("4096"));
  }
}

INSTANTIATE_TEST_SUITE_P(, KernelUsbComposite,
                         ::testing::Values(CompositeCase{"UsbRoute", "", "USB: interface 0 of /dev/bus/usb/", true},
                                           CompositeCase{"HidrawRoute", "hidraw", "hidraw: /dev/hidraw", false}),
                         [](const ::testing::TestParamInfo<CompositeCase>& info) { return info.param.name; });

// The USB route against the strict device, unplugged while it writes the
// records: every request so far on the pipe the Windows host uses and taken,
// exit 7 with the log kept; plugged in again, the device is back in its
// bootloader and held by the kernel's driver (its hidraw node is there).
void KernelUpgrade::UsbRouteUntilUnplugged() {
  EmuFaults faults;
  faults.unplugAfterRecords = 1000;
  EmulatorConfig config = Config(faults, false);
  config.strictRoutes = true;
  StartUsb(config);
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun failed = Run(Launch());
  kernel_test::Routes routes =
      ReportRoutes("StrictDevice unplugged after 1,000 records, USB route", failed, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(failed.result.exitStatus, 7) << failed.result.err << failed.logText;
  EXPECT_EQ(failed.keptLogs.size(), 1u) << "a failed run keeps its log";
  EXPECT_TRUE(e2e::ContainsInOrder(failed.log, {"HID route: USB for /dev/bus/usb/", "L::InitFirmwareUpgradeL - success[TRUE]",
                                                e2e::kUpgradeError, "Return Code = 0x80000007"}));
  EXPECT_EQ(m_emulator->RecordsReceived(), 1000u);
  EXPECT_EQ(m_emulator->Counters().refusedRoutes, 0u);
  EXPECT_GT(routes["inventory"]["OUTPUT"].count, 0u);
  for (const char* kind : {"bootloader entry", "loader version", "loader begin", "record"}) {
    EXPECT_GT(routes[kind]["SET_OUTPUT"].count, 0u) << kind;
    EXPECT_EQ(routes[kind]["OUTPUT"].count, 0u) << kind;
  }
  EXPECT_GT(routes["status poll"]["GET_INPUT"].count, 0u);

  m_emulator->SetFaults(EmuFaults{});
  m_emulator->PlugCable();
  ASSERT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuBootloaderProductId, 10s))
      << "replugged, the device is back in its bootloader, held by the kernel's driver";
}

TEST_F(KernelUpgrade, UsbRouteTakesTheStrictDeviceUntilUnplugged) { UsbRouteUntilUnplugged(); }

// The same, then a second run finds the device in its bootloader and completes.
TEST_F(KernelUpgrade, UsbRouteUnpluggedDuringTheRecordsThenTheNextRunCompletes) {
  UsbRouteUntilUnplugged();
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun recovered = Run(Launch());
  ReportRoutes("the next run, USB route", recovered, std::chrono::steady_clock::now() - start);
  EXPECT_EQ(recovered.result.exitStatus, 0) << recovered.result.err << recovered.logText;
  EXPECT_TRUE(e2e::ContainsInOrder(recovered.log, {"HID route: USB for", "OpenDeviceHandle - hRes[00000000] IsBootloader[1]",
                                                   "L::EndFirmwareUpgrade - success[TRUE]", "Return Code = 0x0"}));
  ExpectFlashHoldsImage();
  EXPECT_EQ(m_emulator->Counters().refusedRoutes, 0u);
  EXPECT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s))
      << "the kernel's driver holds the interface again: the hidraw node is back";
}

// A signal that ends the dialog while it waits with the device loaded on the
// USB route: the process ends by the signal, and the interface is back with
// the kernel's driver (its hidraw node is there again) without a replug.
TEST_F(KernelUpgrade, UsbRouteGivesTheInterfaceBackWhenASignalEndsTheDialog) {
  StartUsb(Config({}, false));
  ProgramLaunch launch = Launch();
  std::erase(launch.arguments, "/S");
  launch.setEnv["QT_QPA_PLATFORM"] = "offscreen";
  bool sent = false;
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, launch, 120s, [&](CChildProcess& updater) {
    if (sent) return;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(m_tree.RunDir(), error))
      if (ReadWholeFile(entry.path()).find("CFlashDlg::LoadDevice - hRes[00000000]") != std::string::npos)
        sent = updater.Signal(SIGTERM);
  });
  ASSERT_TRUE(sent) << run.result.err << run.logText;
  EXPECT_EQ(run.result.termSignal, SIGTERM) << run.result.err << run.logText;
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"taken from the kernel's driver for this run",
                                             "Request to end [SIGTERM]; ending now", "given back to the kernel's driver"}))
      << run.logText;
  EXPECT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s))
      << "the kernel's driver holds the interface again: the hidraw node is back";
}

// Without udev both of the device's nodes are root's, mode 0600. A user who
// may open neither gets exit 1 and a log naming the usbfs node and the fix;
// one who may open only the hidraw node gets the hidraw route, with which the
// strict device cannot be upgraded.
TEST_F(KernelUpgrade, UsbNodesTheUserCannotOpen) {
  EmulatorConfig config = Config({}, false);
  config.strictRoutes = true;
  StartUsb(config);
  const std::optional<HidInterfaceInfo> node = kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s);
  ASSERT_TRUE(node);
  const std::string hidraw = node->path.substr(0, node->path.find('#'));
  const e2e::UpdaterRun refused = Run(AsNobody(Launch()));
  EXPECT_EQ(refused.result.exitStatus, 1) << refused.result.err;
  EXPECT_TRUE(e2e::ContainsMessage(refused.log, "USB: no permission to open /dev/bus/usb/")) << refused.logText;
  EXPECT_TRUE(e2e::ContainsMessage(refused.log, "no permission to open " + hidraw)) << refused.logText;
  EXPECT_TRUE(e2e::ContainsMessage(refused.log, "scripts/install-udev-rule")) << refused.logText;
  EXPECT_EQ(m_emulator->Counters().transfers, 0u);

  fs::permissions(hidraw, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read |
                              fs::perms::others_write);
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(AsNobody(Launch(5)));
  ReportRoutes("StrictDevice, usbfs node not open to the user", run, std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "HID route: hidraw for " + hidraw)) << run.logText;
  EXPECT_EQ(run.result.exitStatus, 4) << run.result.err << run.logText;
  EXPECT_GT(m_emulator->Counters().refusedRoutes, 0u);
}

}  // namespace
