// The updater program, run silently as an installer runs it, against the
// device emulator: in this process where the test must look into the device
// (flash, chip image, faults changed between runs), otherwise as the program
// quillon-devemu. Exit codes, kept or deleted logs and the device afterwards
// are what is checked.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "app/testing/PrivateSystemBus.h"
#include "app/testing/StandInImages.h"
#include "emulator/DeviceEmulator.h"
#include "platform/Clock.h"
#include "platform/HidDevice.h"
#include "upgrader/FirmwareUpgrade.h"

namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// The updater's clock runs ten times faster: the fixed waits of one upgrade
// (about 10 s of program time) take about a second, while the three-second
// request time-outs stay far above an answer's delay on a loaded machine.
constexpr double kUpdaterScale = 10;
// The emulator answers without its bus timing model, its own waits
// (restart, erase) ten times faster.
constexpr double kEmulatorScale = 10;
const Strings kFastEmulator = {"--timing", "off", "--time-scale", "10"};

constexpr std::size_t kBankBLength = 209672;
constexpr std::uint32_t kImageEntryPoint = 0x1A006201;
constexpr std::size_t kImageLines = 27963;

// Host-to-device payloads (lower-case hex) as the trace shows them.
const char kEnterLoader[] = "003efc";
const char kExitLoader[] = "003efe";
const char kBegin[] = "003f81";
const char kRecord[] = "003f82";

class EndToEndUpgrade : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_tree.Valid()); }
  void TearDown() override {
    if (m_emulator) m_emulator->Stop();
  }

  static EmulatorConfig FastConfig() {
    EmulatorConfig config;
    config.timing = EmuTiming::Off;
    config.timeScale = kEmulatorScale;
    return config;
  }
  // The main microcontroller and the third controller, no Bluetooth chip.
  static EmulatorConfig MainOnlyConfig() {
    EmulatorConfig config = FastConfig();
    config.processors = {{kEmuCodeMain, e2e::kOlderL}, {kEmuCodeThird, e2e::kBuiltInA}};
    config.useBluetoothChip = false;
    return config;
  }

  void StartInProcess(const EmulatorConfig& config) {
    m_emulator = std::make_unique<CDeviceEmulator>(config);
    ASSERT_TRUE(m_emulator->Start(m_tree.Bus().string()));
    ASSERT_TRUE(e2e::WaitForDevice(m_tree.Bus(), std::chrono::seconds(30)));
  }

  void StartProgram(const Strings& arguments) {
    Strings all = kFastEmulator;
    all.insert(all.end(), arguments.begin(), arguments.end());
    ASSERT_TRUE(m_program.Start(m_tree.Bus(), all)) << m_program.Errors();
  }

  e2e::UpdaterRun Run(double scale = kUpdaterScale) {
    e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S"}, scale);
    EXPECT_TRUE(run.result.started);
    EXPECT_FALSE(run.result.timedOut) << "the updater did not end";
    return run;
  }

  fs::path TraceFile() const { return m_tree.Root() / "trace.jsonl"; }

  // The emulated flash holds exactly the memory the embedded HEX image describes.
  void ExpectFlashHoldsImage() const {
    const std::vector<std::uint8_t> expected = e2e::ReadBytes(e2e::BuildDir() / "images/standin/lpc18xx.bin");
    ASSERT_EQ(expected.size(), e2e::kBankALength + kBankBLength);
    std::vector<std::uint8_t> flash = m_emulator->ReadMainFlash(e2e::kBankA, e2e::kBankALength);
    const std::vector<std::uint8_t> bankB = m_emulator->ReadMainFlash(e2e::kBankB, kBankBLength);
    flash.insert(flash.end(), bankB.begin(), bankB.end());
    ASSERT_EQ(flash.size(), expected.size());
    const auto mismatch = std::mismatch(flash.begin(), flash.end(), expected.begin());
    EXPECT_TRUE(mismatch.first == flash.end()) << "first difference at offset " << (mismatch.first - flash.begin());
    EXPECT_EQ(m_emulator->EntryPoint(), kImageEntryPoint);
    EXPECT_EQ(m_emulator->LoaderError(), "");
  }

  // A fresh upgrader on the device, as the controller's reload makes it.
  std::string MainVersionAsLoaded() const {
    UseVhidBackend(m_tree.Bus().string());
    std::unique_ptr<CFirmwareUpgrade> upgrader = CreateCFirmwareUpgrade();
    if (!upgrader) return "no device";
    std::string version;
    upgrader->SetActiveMCU(0);
    upgrader->GetDeviceFWVersionString(&version);
    return version;
  }

  e2e::CTestTree m_tree;
  std::unique_ptr<CDeviceEmulator> m_emulator;
  e2e::CEmulatorProgram m_program;
};

TEST_F(EndToEndUpgrade, SilentRunUpgradesTheMainMicrocontroller) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  StartInProcess(MainOnlyConfig());

  // A result that cannot be written is told, and changes nothing else.
  const std::string result = (m_tree.Root() / "missing" / "result.json").string();
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S", "--result-json=" + result}, kUpdaterScale);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "quillon-upgrade: cannot write the result to " + result + ": No such file or directory\n");
  EXPECT_TRUE(e2e::ContainsMessage(run.log, "Result not written to [" + result + "]: No such file or directory"));
  EXPECT_TRUE(run.keptLogs.empty()) << "a successful run deletes its log";
  EXPECT_TRUE(e2e::ContainsInOrder(
      run.log, {"ParseParam S - SilentMode [1]", "VersionCheckingHardcodedCompare", "EnterBootloader - Command sent",
                "Bootloader Ready try [", "flashAllOS m_numMCU = 2", "FlashOS mcuIndex = 0",
                "InitFirmwareUpgradeL LoaderVersion 3.02", "L::InitFirmwareUpgradeL - success[TRUE]",
                ">>> WriteToP total lines = 27963", ">>> Estimated binary size = 587075",
                "L::EndFirmwareUpgrade - success[TRUE]", "Finish", "ExitBootloader", "Q7V-R try [",
                "Return Code = 0x0", "End of Log"}))
      << "log of " << run.log.size() << " lines";
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "FlashOS mcuIndex = 1")) << "the third controller is not walked";

  ExpectFlashHoldsImage();
  EXPECT_EQ(m_emulator->RecordsReceived(), kImageLines);
  EXPECT_FALSE(m_emulator->InBootloader());
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->ProcessorVersion(1), e2e::kBuiltInA);
  // Power-up, the bootloader, the application again: no other restart.
  EXPECT_EQ(m_emulator->Counters().attaches, 3u);
  EXPECT_EQ(MainVersionAsLoaded(), "Version : 20171003");
}

struct NoUpgradeCase {
  friend void PrintTo(const NoUpgradeCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  Strings emulator;         // quillon-devemu options; {} = no device at all
  int exitStatus;
  bool logKept;
  std::size_t entries;      // SYS_ENTER_LOADER commands the device saw
  std::size_t exits;        // SYS_EXIT_LOADER commands
  Strings logLines;         // in order, in the kept log
  std::string transcript;   // the end of what --transcript printed
};

const char kNothingUpgraded[] = "No firmware upgrade is performed. Device has the same or newer firmware.\n";

const NoUpgradeCase kNoUpgradeCases[] = {
    {"UpToDate",
     {"--mcu", "33:2017/10/03", "--mcu", "8:2015/10/22", "--mcu", "13:2015/09/28"},
     4,
     false,
     0,
     0,
     {},
     kNothingUpgraded},
    // Without a Bluetooth processor its version reads as 0, older than the
    // built-in one: the run enters the bootloader, finds the main processor
    // as new as its image, writes nothing and sends the device back.
    {"UpToDateWithoutBluetooth",
     {"--mcu", "33:2017/10/03", "--mcu", "8:2015/10/22", "--no-chip"},
     4,
     false,
     1,
     1,
     {},
     kNothingUpgraded},
    {"NoDevice",
     {},
     1,
     true,
     0,
     0,
     {"CFlashDlg::LoadDevice - hRes[80004005]", "CFlashDlg::No HIDDevice", "SilentMode",
      "Return Code = 0x80000001", "CFlashApp::ExitInstance - Done", "End of Log"},
     ""},
};

class EndToEndNoUpgrade : public EndToEndUpgrade, public ::testing::WithParamInterface<NoUpgradeCase> {};

TEST_P(EndToEndNoUpgrade, RunEndsWithoutWriting) {
  const NoUpgradeCase& c = GetParam();
  if (!c.emulator.empty()) {
    Strings arguments = c.emulator;
    arguments.insert(arguments.end(), {"--trace", TraceFile().string()});
    StartProgram(arguments);
  }
  const fs::path result = m_tree.Root() / "result.json";
  const e2e::UpdaterRun run =
      e2e::RunUpdater(m_tree, {"/S", "--transcript", "--result-json=" + result.string()}, kUpdaterScale);
  ASSERT_TRUE(run.result.started);
  ASSERT_FALSE(run.result.timedOut) << "the updater did not end";
  EXPECT_EQ(run.result.exitStatus, c.exitStatus) << run.result.err;
  EXPECT_TRUE(run.result.out.ends_with(c.transcript)) << run.result.out;
  EXPECT_EQ(run.result.out.empty(), c.transcript.empty()) << run.result.out;
  EXPECT_EQ(run.keptLogs.size(), c.logKept ? 1u : 0u);
  // Only a run that found a device has a result to write.
  EXPECT_EQ(fs::exists(result), !c.emulator.empty());
  if (fs::exists(result)) {
    EXPECT_EQ(e2e::CheckedResult(result).substr(0, 21), "exit 4 0x00000004 log");
  }
  if (c.logKept) {
    EXPECT_TRUE(e2e::ContainsInOrder(run.log, c.logLines));
  }
  // A silent run is quiet unless it failed; then one line tells the outcome and the kept log.
  if (c.logKept && run.keptLogs.size() == 1) {
    EXPECT_EQ(run.result.err, "quillon-upgrade: no device was found (exit code 1); log kept in " +
                                  fs::canonical(run.keptLogs[0]).string() + "\n");
  } else {
    EXPECT_EQ(run.result.err, "");
  }
  if (!c.emulator.empty()) {
    EXPECT_EQ(m_program.Terminate(), 0);
    const Strings trace = e2e::TraceLines(TraceFile());
    EXPECT_EQ(e2e::CountHostTransfers(trace, kEnterLoader), c.entries);
    EXPECT_EQ(e2e::CountHostTransfers(trace, kExitLoader), c.exits);
    EXPECT_EQ(e2e::CountHostTransfers(trace, kBegin), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, EndToEndNoUpgrade, ::testing::ValuesIn(kNoUpgradeCases),
                         [](const ::testing::TestParamInfo<NoUpgradeCase>& info) { return info.param.name; });

struct UnplugCase {
  friend void PrintTo(const UnplugCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  std::uint32_t records;  // the device leaves after this many records
};

// Before and after the record that carries the application's version stamp:
// either way the bootloader never starts an image whose finish it did not
// verify, so the device comes back in its bootloader, reporting no version.
const UnplugCase kUnplugCases[] = {
    {"BeforeTheVersionStamp", 10},
    {"AfterTheVersionStamp", 5000},
};

class EndToEndUnplug : public EndToEndUpgrade, public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(EndToEndUnplug, RunFailsAndTheNextRunRecovers) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  const UnplugCase& c = GetParam();
  EmulatorConfig config = MainOnlyConfig();
  config.faults.unplugAfterRecords = c.records;
  StartInProcess(config);

  const e2e::UpdaterRun failed = Run();
  EXPECT_EQ(failed.result.exitStatus, 7) << failed.result.err;
  ASSERT_EQ(failed.keptLogs.size(), 1u) << "a failed run keeps its log";
  EXPECT_TRUE(e2e::ContainsInOrder(failed.log, {"L::InitFirmwareUpgradeL - success[TRUE]", e2e::kUpgradeError,
                                                "ExitBootloader", "Return Code = 0x80000007", "End of Log"}));
  EXPECT_FALSE(e2e::ContainsMessage(failed.log, "L::EndFirmwareUpgradeL")) << "no finish after a failed write";
  EXPECT_EQ(m_emulator->RecordsReceived(), c.records);
  EXPECT_FALSE(m_emulator->Present());

  m_emulator->SetFaults(EmuFaults{});
  m_emulator->PlugCable();
  ASSERT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& e) { return e.Present(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(m_emulator->InBootloader());
  EXPECT_EQ(m_emulator->ProcessorVersion(0), 0u);

  const e2e::UpdaterRun recovered = e2e::RunUpdater(m_tree, {"/S"}, kUpdaterScale);
  EXPECT_EQ(recovered.result.exitStatus, 0) << recovered.result.err;
  EXPECT_EQ(recovered.keptLogs, failed.keptLogs) << "only the failed run's log is left";
  EXPECT_FALSE(e2e::ContainsMessage(recovered.log, "EnterBootloader - Command sent"));
  EXPECT_TRUE(e2e::ContainsInOrder(recovered.log, {"L::EndFirmwareUpgrade - success[TRUE]", "Q7V-R try [",
                                                   "Return Code = 0x0"}));
  ExpectFlashHoldsImage();
  EXPECT_FALSE(m_emulator->InBootloader());
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
}

INSTANTIATE_TEST_SUITE_P(Records, EndToEndUnplug, ::testing::ValuesIn(kUnplugCases),
                         [](const ::testing::TestParamInfo<UnplugCase>& info) { return info.param.name; });

TEST_F(EndToEndUpgrade, BootloaderThatNeverAppearsEndsTheRunWithoutFailure) {
  StartProgram({"--loader-never-appears", "--no-chip", "--trace", TraceFile().string()});
  // Sixty-one presence checks a second apart: run the clock faster still.
  const e2e::UpdaterRun run = Run(20);
  EXPECT_EQ(run.result.exitStatus, 4) << run.result.err;
  EXPECT_TRUE(run.keptLogs.empty()) << "not entering the bootloader is not a failure";
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"EnterBootloader - Command sent", "ExitBootloader",
                                             "Return Code = 0x4", "End of Log"}));
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Bootloader Ready try"));
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "FlashOS mcuIndex"));
  EXPECT_EQ(m_program.Terminate(), 0);
  const Strings trace = e2e::TraceLines(TraceFile());
  EXPECT_EQ(e2e::CountHostTransfers(trace, kEnterLoader), 1u);
  EXPECT_EQ(e2e::CountHostTransfers(trace, kBegin), 0u);
}

struct LoaderFaultCase {
  friend void PrintTo(const LoaderFaultCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  Strings emulator;
  Strings logLines;  // in order, in the kept log
  bool recordsSent;
};

const LoaderFaultCase kLoaderFaultCases[] = {
    {"BeginAnsweredWithError",
     {"--begin-status", "1"},
     {"L::InitFirmwareUpgradeL -> error code 0x1", "L::InitFirmwareUpgradeL - success[FALSE]", e2e::kUpgradeError},
     false},
    // The device's verification is the only check of the transfer.
    {"RecordRefusedByTheDevice",
     {"--reject-record", "100"},
     {"L::EndFirmwareUpgradeL -> error code 0x4A52", "L::EndFirmwareUpgrade - success[FALSE]", e2e::kUpgradeError},
     true},
};

class EndToEndLoaderFault : public EndToEndUpgrade, public ::testing::WithParamInterface<LoaderFaultCase> {};

TEST_P(EndToEndLoaderFault, RunFailsAndKeepsItsLog) {
  const LoaderFaultCase& c = GetParam();
  Strings arguments = c.emulator;
  arguments.insert(arguments.end(), {"--no-chip", "--mcu", "33:2016/05/12", "--trace", TraceFile().string()});
  StartProgram(arguments);
  const fs::path result = m_tree.Root() / "result.json";
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S", "--result-json=" + result.string()}, kUpdaterScale);
  EXPECT_EQ(run.result.exitStatus, 7) << run.result.err;
  ASSERT_EQ(run.keptLogs.size(), 1u);
  const std::string keptLog = fs::canonical(run.keptLogs[0]).string();
  EXPECT_EQ(run.result.err,
            "quillon-upgrade: the upgrade of a processor failed (exit code 7); log kept in " + keptLog + "\n");
  // No system bus in the run's environment: the run goes on without the lock.
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"CSleepInhibitor - No system bus", "FlashOS mcuIndex = 0"}));
  EXPECT_EQ(e2e::CheckedResult(result),
            "exit 7 0x80000007 log " + keptLog + "\n"
                "0 main-microcontroller 20160512 - image-newer " + (c.recordsSent ? "written" : "not-written") +
                " failed\n");
  Strings expected = c.logLines;
  expected.insert(expected.end(), {"ExitBootloader", "Return Code = 0x80000007", "End of Log"});
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, expected));
  // The bootloader does not start an application whose finish it did not
  // verify: the device stays in its bootloader, ready for the next run.
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Q7V-R try ["));
  EXPECT_EQ(m_program.Terminate(), 0);
  const Strings trace = e2e::TraceLines(TraceFile());
  EXPECT_EQ(e2e::CountHostTransfers(trace, kRecord), c.recordsSent ? kImageLines : 0u);
  EXPECT_EQ(e2e::CountHostTransfers(trace, kExitLoader), 1u) << "the device is asked to return to its application";
}

INSTANTIATE_TEST_SUITE_P(Faults, EndToEndLoaderFault, ::testing::ValuesIn(kLoaderFaultCases),
                         [](const ::testing::TestParamInfo<LoaderFaultCase>& info) { return info.param.name; });

TEST_F(EndToEndUpgrade, SilentRunUpgradesEveryProcessor) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  EmulatorConfig config = FastConfig();
  config.processors = {
      {kEmuCodeMain, e2e::kOlderL}, {kEmuCodeThird, e2e::kBuiltInA}, {kEmuCodeBluetoothA, e2e::kOlderB}};
  StartInProcess(config);

  const fs::path result = m_tree.Root() / "result.json";
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S", "--result-json=" + result.string()}, kUpdaterScale);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "") << "a successful silent run is quiet";
  EXPECT_TRUE(run.keptLogs.empty());
  EXPECT_EQ(e2e::CheckedResult(result),
            "exit 0 0x00000000 log -\n"
            "0 main-microcontroller 20160512 20171003 image-newer written upgraded\n"
            "1 third-controller 20151022 20151022 not-asked not-written skipped\n"
            "2 bluetooth 20140630 20150928 image-newer written upgraded\n");
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"FlashOS mcuIndex = 0", "L::EndFirmwareUpgrade - success[TRUE]",
                                             "FlashOS mcuIndex = 2", "Finish", "Q7V-R try [", "Return Code = 0x0"}));
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "FlashOS mcuIndex = 1"));

  ExpectFlashHoldsImage();
  const std::vector<std::uint8_t> dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
  ASSERT_GT(dfu.size(), e2e::kDfuSuffixLength);
  const std::vector<std::uint8_t> stored = m_emulator->BluetoothImage();
  EXPECT_EQ(stored.size(), dfu.size() - e2e::kDfuSuffixLength);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), dfu.begin(), dfu.end() - e2e::kDfuSuffixLength))
      << "the chip holds the DFU file without its suffix";
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->ProcessorVersion(1), e2e::kBuiltInA);
  EXPECT_EQ(m_emulator->ProcessorVersion(2), e2e::kBuiltInB);
  EXPECT_FALSE(m_emulator->InBootloader());
  EXPECT_FALSE(m_emulator->BridgeOn());
}

// A request to end that comes while a processor is written waits: the run
// finishes that processor, sends the device back to its application, does not
// start the next processor, and ends with exit code 7 and its log kept.
struct StopCase {
  friend void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  std::function<bool(const CDeviceEmulator&)> moment;  // when the signals are sent
  std::vector<int> signals;
  EmuFaults faults;
  // Whether the Bluetooth chip is written: the processor being written at the
  // moment was the last one; unset: decided by whether the request came
  // before the chip's turn (the moment lies between two processors).
  std::optional<bool> bluetoothWritten;
  Strings logLines;  // in order, in the kept log
  // Instead of signals: the run shows its progress window on an X server of
  // its own, which is killed at the moment (the display gone).
  bool loseDisplay = false;
};

EmuFaults SlowFinish() {
  EmuFaults faults;
  faults.finishDelayMs = 300;  // well within the updater's 1 s wait for the finish
  return faults;
}

const StopCase kStopCases[] = {
    {"WhileRecordsAreWritten",
     [](const CDeviceEmulator& e) { return e.RecordsReceived() >= 1000; },
     {SIGTERM, SIGINT},
     {},
     false,
     // Sent back to back, the two may arrive in either order.
     {"while writing; the run stops once the device is safe", "again while writing",
      "L::EndFirmwareUpgrade - success[TRUE]", "Stopped on request before processor 1"}},
    // After the main microcontroller's last record, while the device (slowly)
    // checks its finish; on a loaded machine the request may come only once
    // the chip's turn has begun, which the log then shows.
    {"BetweenProcessors",
     [](const CDeviceEmulator& e) { return e.RecordsReceived() == kImageLines; },
     {SIGINT},
     SlowFinish(),
     std::nullopt,
     {"Request to end [SIGINT] while writing"}},
    {"WhileBluetoothBlocksAreWritten",
     [](const CDeviceEmulator& e) { return e.Counters().uartBytesToChip >= 100'000; },
     {SIGHUP},
     {},
     true,
     {"FlashOS mcuIndex = 2", "Request to end [SIGHUP] while writing", "L::FirmwareUpgradeWriteB - Upgrade done",
      "Exiting UART Firmware upgrade mode", "Stopped on request after the last processor"}},
    {"DisplayLostWhileRecordsAreWritten",
     [](const CDeviceEmulator& e) { return e.RecordsReceived() >= 1000; },
     {},
     {},
     false,
     {"The display is gone", "Request to end [the lost display] while writing",
      "L::EndFirmwareUpgrade - success[TRUE]", "Stopped on request before processor 1"},
     true},
};

// An X server of the test's own, for a run whose display is to go away; its
// display name, or empty when it did not come up. The number is one no other
// server holds (no lock file, no socket), so that the socket waited for is this one's.
std::string StartPrivateDisplay(CChildProcess& server) {
  for (int offset = 0; offset < 800; ++offset) {
    const std::string number = std::to_string(100 + (::getpid() + offset) % 800);
    const fs::path socket = "/tmp/.X11-unix/X" + number;
    if (fs::exists("/tmp/.X" + number + "-lock") || fs::exists(socket)) continue;
    ProgramLaunch launch;
    launch.program = "/usr/bin/Xvfb";
    launch.arguments = {":" + number, "-nolisten", "tcp", "-screen", "0", "800x600x24"};
    if (!server.Start(launch)) return {};
    for (int i = 0; i < 1000 && server.Running(); ++i) {
      if (fs::exists(socket)) return ":" + number;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }
  return {};
}

class EndToEndStopRequest : public EndToEndUpgrade, public ::testing::WithParamInterface<StopCase> {};

// Both clocks four times faster only: the chip's download is cut into steps
// whose 10 s time-out must outlast a loaded machine's stalls while the
// signals arrive (a tenth of it, 1 s, did not always).
constexpr double kStopScale = 4;

TEST_P(EndToEndStopRequest, RunStopsOnceTheDeviceIsSafe) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  const StopCase& c = GetParam();
#if defined(__SANITIZE_THREAD__)
  // On a real X display Qt starts threads of its own (D-Bus among them) in
  // libraries ThreadSanitizer does not instrument; it reports races inside
  // them and halts the program. The other builds run this row.
  if (c.loseDisplay) GTEST_SKIP() << "Qt's own threads on an X display are not instrumented";
#endif
  EmulatorConfig config = FastConfig();
  config.processors = {
      {kEmuCodeMain, e2e::kOlderL}, {kEmuCodeThird, e2e::kBuiltInA}, {kEmuCodeBluetoothA, e2e::kOlderB}};
  config.faults = c.faults;
  config.timeScale = kStopScale;
  StartInProcess(config);

  ProgramLaunch launch = e2e::UpdaterLaunch(m_tree, {c.loseDisplay ? "/P" : "/S"}, kStopScale);
  CChildProcess display;
  if (c.loseDisplay) {
    const std::string name = StartPrivateDisplay(display);
    ASSERT_FALSE(name.empty()) << "no X server of the test's own";
    std::erase(launch.unsetEnv, "DISPLAY");
    launch.setEnv["DISPLAY"] = name;
  }
  bool sent = false;
  const CDeviceEmulator& emulator = *m_emulator;
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, launch, std::chrono::seconds(240), [&](CChildProcess& updater) {
    if (sent || !c.moment(emulator)) return;
    // Ended at once, its clients' connections broken; by TERM, so that it
    // removes its lock and socket for the servers of later tests.
    if (c.loseDisplay) display.Signal(SIGTERM);
    for (const int number : c.signals) updater.Signal(number);
    sent = true;
  });
  ASSERT_TRUE(sent) << "the run ended before the moment came\n" << run.result.err << run.logText;
  EXPECT_FALSE(run.result.timedOut);
  EXPECT_EQ(run.result.termSignal, 0) << "the request ended the run at once";
  EXPECT_EQ(run.result.exitStatus, 7) << run.result.err;
  ASSERT_EQ(run.keptLogs.size(), 1u) << "a stopped run keeps its log";
  const std::string stopped = "quillon-upgrade: the upgrade was stopped on request (exit code 7); log kept in " +
                              fs::canonical(run.keptLogs[0]).string() + "\n";
  if (c.loseDisplay) {  // after what the toolkit said of its display
    EXPECT_NE(run.result.err.find("The X11 connection broke"), std::string::npos) << run.result.err;
    EXPECT_TRUE(run.result.err.ends_with(stopped)) << run.result.err;
  } else {
    EXPECT_EQ(run.result.err, stopped);
  }
  const bool bluetoothWritten =
      c.bluetoothWritten.value_or(e2e::ContainsInOrder(run.log, {"FlashOS mcuIndex = 2", "Request to end ["}));
  Strings expected = c.logLines;
  expected.insert(expected.end(), {"ExitBootloader", "The device is safe; ending as requested",
                                   "The upgrade was stopped on request", "Return Code = 0x80000007", "End of Log"});
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, expected)) << run.logText;
  for (const int number : c.signals)
    EXPECT_TRUE(e2e::ContainsMessage(run.log, std::string("Request to end [SIG") + sigabbrev_np(number) + "]"));
  EXPECT_EQ(e2e::ContainsMessage(run.log, "FlashOS mcuIndex = 2"), bluetoothWritten);
  EXPECT_EQ(e2e::ContainsMessage(run.log, "Stopped on request before processor 1"), !bluetoothWritten);
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Upgrade is successful"));

  // The device is back in its application with every processor whole.
  ExpectFlashHoldsImage();
  EXPECT_FALSE(m_emulator->InBootloader());
  EXPECT_FALSE(m_emulator->BridgeOn());
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->ProcessorVersion(2), bluetoothWritten ? e2e::kBuiltInB : e2e::kOlderB);
  EXPECT_EQ(m_emulator->BluetoothImage().empty(), !bluetoothWritten);
}

INSTANTIATE_TEST_SUITE_P(Moments, EndToEndStopRequest, ::testing::ValuesIn(kStopCases),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

// Sleep, shutdown, the lid switch and the session's end are held off from the
// bootloader entry to the end of the run, on a real bus with stand-ins for
// logind and the desktop portal, whether the run succeeds or fails.
TEST_F(EndToEndUpgrade, SleepIsHeldOffFromTheBootloaderEntryToTheEndOfTheRun) {
  e2e::CPrivateSystemBus bus;
  ASSERT_TRUE(bus.Start(m_tree.SystemBusSocket(), true)) << bus.Errors();
  EmulatorConfig config = MainOnlyConfig();
  config.faults.unplugAfterRecords = 10;
  StartInProcess(config);
  struct Case {
    const char* name;
    EmuFaults faults;
    int exitStatus;
    const char* why;      // the product name the device gives in its application or its bootloader
    const char* entry;    // logged at the bootloader entry, or right after it when the device is in it
    const char* written;  // logged while the lock is held
  };
  // The failed run leaves the device in its bootloader, where the next run starts.
  const Case cases[] = {
      {"failure", config.faults, 7, "Writing new firmware to Aurelix Rho USB Audio", "EnterBootloader - Command sent",
       e2e::kUpgradeError},
      {"success", EmuFaults{}, 0, "Writing new firmware to Aurelix Rho", "FlashOS mcuIndex = 0",
       "L::EndFirmwareUpgrade - success[TRUE]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_emulator->SetFaults(c.faults);
    if (!m_emulator->Present()) m_emulator->PlugCable();
    ASSERT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& e) { return e.Present(); }, std::chrono::seconds(30)));
    const std::vector<e2e::Inhibitor> expected = {{"sleep:shutdown", "quillon-upgrade", c.why, "block"},
                                                  {"handle-lid-switch", "quillon-upgrade", c.why, "block"}};
    // The portal's flag 1 is the end of the session.
    const std::vector<e2e::PortalLock> expectedOfPortal = {{"1", c.why}};
    std::atomic<bool> running = true;
    std::vector<e2e::Inhibitor> seen;
    std::vector<e2e::PortalLock> seenByPortal;
    std::thread watcher([&] {
      while (running) {
        for (const e2e::Inhibitor& lock : bus.Inhibitors().value_or(std::vector<e2e::Inhibitor>{}))
          if (std::find(seen.begin(), seen.end(), lock) == seen.end()) seen.push_back(lock);
        for (const e2e::PortalLock& lock : bus.PortalLocks().value_or(std::vector<e2e::PortalLock>{}))
          if (std::find(seenByPortal.begin(), seenByPortal.end(), lock) == seenByPortal.end())
            seenByPortal.push_back(lock);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const e2e::UpdaterRun run = Run();
    running = false;
    watcher.join();
    EXPECT_EQ(run.result.exitStatus, c.exitStatus) << run.result.err;
    EXPECT_EQ(seen, expected) << "the locks logind saw while the run wrote";
    EXPECT_EQ(seenByPortal, expectedOfPortal) << "the locks the desktop portal saw while the run wrote";
    EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"CSleepInhibitor - Sleep and shutdown held off",
                                               "CSleepInhibitor - Lid switch held off",
                                               "CSleepInhibitor - The session's end held off", c.entry,
                                               "L::InitFirmwareUpgradeL - success[TRUE]", c.written, "ExitBootloader",
                                               "CSleepInhibitor - Sleep and shutdown no longer held off",
                                               "Return Code = "}));
    EXPECT_EQ(bus.Inhibitors(), std::vector<e2e::Inhibitor>{}) << "released at the end of the run";
    EXPECT_EQ(bus.PortalLocks(), std::vector<e2e::PortalLock>{}) << "released at the end of the run";
  }

  // Buses without logind and the portal: the (forced) run goes on without the locks.
  bus.StopLogind();
  const e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S", "/F"}, kUpdaterScale);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"CSleepInhibitor - No lock from logind",
                                             "CSleepInhibitor - No session-end lock from the desktop portal",
                                             "EnterBootloader - Command sent",
                                             "L::EndFirmwareUpgrade - success[TRUE]", "Return Code = 0x0"}));
}

}  // namespace
