// The real quillon-upgrade, run silently as an installer runs it, upgrading
// the device emulator through the kernel's HID stack: the emulator is a uhid
// device in this process, or a USB device on dummy_hcd that the kernel's
// usbhid driver takes; the updater finds and opens its hidraw nodes as it
// would a real device's. Both run their clocks faster (--time-scale).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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
  void StartUsb(EmulatorConfig config) {
    config.keepTrace = true;
    m_emulator = kernel_test::StartOnUsbGadget(config);
    ASSERT_TRUE(m_emulator);
    ASSERT_TRUE(kernel_test::WaitForNode(kEmuVendorId, kEmuApplicationProductId, 10s));
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

  // The updater on the hidraw backend, its default: no --vhid-bus.
  ProgramLaunch Launch(double scale = kUpdaterScale) const {
    ProgramLaunch launch = e2e::UpdaterLaunch(m_tree, {"/S"}, scale);
    std::erase_if(launch.arguments, [](const std::string& a) { return a.starts_with("--vhid-bus="); });
    return launch;
  }

  e2e::UpdaterRun Run(const ProgramLaunch& launch) {
    e2e::UpdaterRun run = e2e::RunUpdater(m_tree, launch, 200s);
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
  const std::vector<std::uint8_t> dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
  ASSERT_GT(dfu.size(), e2e::kDfuSuffixLength);
  const std::vector<std::uint8_t> stored = m_emulator->BluetoothImage();
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), dfu.begin(), dfu.end() - e2e::kDfuSuffixLength))
      << "the chip holds the DFU file without its suffix (" << stored.size() << " bytes stored)";
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->ProcessorVersion(2), e2e::kBuiltInB);
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

  // The user "nobody" needs to reach the run directory and write its log there.
  fs::permissions(m_tree.Root(), fs::perms::owner_all | fs::perms::others_exec);
  fs::permissions(m_tree.RunDir(), fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(m_tree.SeenDir(), fs::perms::all | fs::perms::sticky_bit);
  ProgramLaunch launch = Launch();
  launch.arguments.insert(launch.arguments.begin(),
                          {"--reuid=65534", "--regid=65534", "--clear-groups", launch.program});
  launch.program = "/usr/bin/setpriv";
  const e2e::UpdaterRun run = Run(launch);
  EXPECT_EQ(run.result.exitStatus, 1) << run.result.err;
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "no permission to open " + path)) << run.logText;
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "scripts/install-udev-rule")) << run.logText;
  EXPECT_EQ(m_emulator->Counters().connections, 0u);
}

// The hidraw route to USB devices. usbhid sends every output report, write()
// and HIDIOCSOUTPUT alike, on the interrupt-OUT pipe where the device has one:
// a device that takes class requests only as SET_REPORT(Output), as the
// Windows host sends them, cannot be upgraded this way, and the run must fail.
// Without that endpoint every output report goes as SET_REPORT(Output).
struct HidrawUsbCase {
  const char* name;
  bool strict;
  bool interruptOut;
};

class KernelUsbHidraw : public KernelUpgrade, public ::testing::WithParamInterface<HidrawUsbCase> {};

TEST_P(KernelUsbHidraw, MainProcessor) {
  const HidrawUsbCase& device = GetParam();
  EmulatorConfig config = Config({}, false);
  config.strictRoutes = device.strict;
  config.applicationInterruptOut = device.interruptOut;
  config.bootloaderInterruptOut = device.interruptOut;
  StartUsb(config);
  // The strict device never leaves for its bootloader: the updater's clock
  // runs faster through its sixty-one presence checks.
  // The default route to a USB device whose usbfs node opens is USB: hidraw is chosen.
  ProgramLaunch launch = Launch(device.strict ? 5 : kUpdaterScale);
  launch.arguments.push_back("--hid-backend=hidraw");
  const auto start = std::chrono::steady_clock::now();
  const e2e::UpdaterRun run = Run(launch);
  kernel_test::Routes routes = ReportRoutes(std::string(device.name) + ", hidraw route", run,
                                            std::chrono::steady_clock::now() - start);
  if (device.strict) {
    EXPECT_NE(run.result.exitStatus, 0) << run.result.err << run.logText;
    ASSERT_EQ(run.keptLogs.size(), 1u) << "a failed run keeps its log";
    std::cout << "[ log      ] " << run.keptLogs[0].filename().string() << ":\n" << run.logText;
    EXPECT_GT(routes["bootloader entry"]["refused"].count, 0u) << "the entry came on the interrupt pipe and was ignored";
    EXPECT_EQ(routes["bootloader entry"]["SET_OUTPUT"].count, 0u);
    EXPECT_FALSE(m_emulator->InBootloader());
    EXPECT_EQ(m_emulator->RecordsReceived(), 0u);
    return;
  }
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err << run.logText;
  EXPECT_TRUE(run.keptLogs.empty());
  ExpectFlashHoldsImage();
  EXPECT_EQ(m_emulator->Counters().refusedRoutes, 0u);
  const char* route = device.interruptOut ? "OUTPUT" : "SET_OUTPUT";
  const char* other = device.interruptOut ? "SET_OUTPUT" : "OUTPUT";
  for (const char* kind : {"inventory", "bootloader entry", "loader begin", "record", "loader finish"}) {
    EXPECT_GT(routes[kind][route].count, 0u) << kind;
    EXPECT_EQ(routes[kind][other].count, 0u) << kind;
  }
  EXPECT_EQ(routes["record"][route].count, m_emulator->RecordsReceived());
  EXPECT_GT(routes["status poll"]["GET_INPUT"].count, 0u);
}

INSTANTIATE_TEST_SUITE_P(, KernelUsbHidraw,
                         ::testing::Values(HidrawUsbCase{"StrictDevice", true, true},
                                           HidrawUsbCase{"DefaultDevice", false, true},
                                           HidrawUsbCase{"NoInterruptOut", false, false}),
                         [](const ::testing::TestParamInfo<HidrawUsbCase>& info) { return info.param.name; });

}  // namespace
