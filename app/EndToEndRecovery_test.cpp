// An upgrade cut short at any point, by the cable (the device loses power and
// keeps what its flash holds) or by the host (the updater killed, the device
// left powered as it was), and the next run the user starts: it must restore
// the device. Each row prints one line of the recovery table that
// scripts/fault-table puts into docs/faults.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "app/testing/StandInImages.h"
#include "emulator/DeviceEmulator.h"

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// As in the other end-to-end tests: program and device time ten times faster;
// the updater's time-outs twice as long in real time under the sanitizers,
// whose slower transfers met them on a busy machine.
constexpr double kUpdaterScale = kSanitized ? 5 : 10;
// A first run whose device vanished at its bootloader entry polls for it 61
// times a second apart: that run's clock goes faster still.
constexpr double kLongWaitScale = 2 * kUpdaterScale;
constexpr double kEmulatorScale = 10;
// Longer than the chip's wait for a reset reply's acknowledgement and its restart, scaled.
constexpr std::chrono::milliseconds kSettle{200};

constexpr std::uint32_t kImageRecords = 27963;
constexpr std::uint32_t kDfuBlocks = 1508;  // data blocks of the embedded DFU image
constexpr std::uint8_t kDfuDownloadIdle = 5;  // bState: a download open, the next block awaited

// A row costs one or two images written (the Bluetooth image takes seconds
// over vhid): the test suite runs the rows below, the sanitizer builds the
// first two of them; QUILLON_RECOVERY_POINTS=all (scripts/fault-table) runs
// every row. Chosen for what they leave: a host gone mid-records and
// mid-download (the chip in its loader, a download open, on the strict chip
// and on the basic one, which refuses the abort), power lost at the erase, at
// the bootloader entry and mid-download.
const char* const kTestedRows[] = {"Host_middle_record",  "Host_middle_DFU_block_strict",  "Cable_begin__erase_",
                                   "Cable_enter",         "Cable_middle_DFU_block_strict", "Host_middle_DFU_block_basic"};
constexpr std::size_t kSanitizedRows = 2;

bool RowRuns(const std::string& name) {
  const char* const points = std::getenv("QUILLON_RECOVERY_POINTS");
  if (points != nullptr && std::string(points) == "all") return true;
  const std::size_t rows = kSanitized ? kSanitizedRows : std::size(kTestedRows);
  return std::find(kTestedRows, kTestedRows + rows, name) != kTestedRows + rows;
}

// Which processor the runs write. The main microcontroller's rows play a
// device without a Bluetooth chip (with one, its image would be written too
// whenever the main one is); the chip's rows a device whose main
// microcontroller is at its built-in version. Each row pays for one image.
enum class EWrites { Main, Bluetooth };
enum class ECut { Cable, Host };
// The emulated chip's loader: lenient, strict (refuses what USB DFU 1.1 does
// not allow in its state), or basic (knows only the download's requests and
// refuses the abort).
enum class EChip { Lenient, Strict, Basic };

// When a cut comes. A command makes the emulator pull its own cable right
// after it answered that output report (exact); otherwise the test watches the
// updater's log and the device and cuts when the line or the state shows.
struct Moment {
  Bytes command;  // report ID, group, code
  std::uint32_t count = 1;
  const char* logLine = nullptr;
  std::function<bool(const CDeviceEmulator&)> device;
};

struct Point {
  std::string name;
  EWrites writes;
  Moment cable;
  Moment host;
};

Moment Command(std::uint8_t group, std::uint8_t code, std::uint32_t count = 1) { return {{0x00, group, code}, count, nullptr, nullptr}; }
Moment LogLine(const char* line) { return {{}, 1, line, nullptr}; }
Moment Device(std::function<bool(const CDeviceEmulator&)> device) { return {{}, 1, nullptr, std::move(device)}; }
Moment Records(std::uint32_t count) {
  return Device([count](const CDeviceEmulator& e) { return e.RecordsReceived() >= count; });
}
Moment BlocksTaken(std::uint32_t count) {
  return Device([count](const CDeviceEmulator& e) {
    const std::optional<ChipDfuProgress> chip = e.ChipProgress();
    return chip && chip->inLoader && chip->nextBlock >= count;
  });
}

constexpr std::uint8_t kSystem = 0x3E;
constexpr std::uint8_t kLoader = 0x3F;
constexpr std::uint8_t kUart = 0x28;

// After each kind of request of a whole-device upgrade at least once.
const Point kPoints[] = {
    // The inventory takes a few milliseconds: the host is killed at its first answer.
    {"inventory", EWrites::Main, Command(kSystem, 0x01),
     Device([](const CDeviceEmulator& e) { return e.Counters().transfers >= 1; })},
    {"pre-enter", EWrites::Main, Command(kSystem, 0x0B), LogLine("EnterBootloader")},
    {"enter", EWrites::Main, Command(kSystem, 0xFC), LogLine("EnterBootloader - Command sent")},
    {"loader version", EWrites::Main, Command(kLoader, 0x80), LogLine("L::InitFirmwareUpgrade")},
    {"begin (erase)", EWrites::Main, Command(kLoader, 0x81), LogLine("InitFirmwareUpgradeL LoaderVersion")},
    {"first record", EWrites::Main, Command(kLoader, 0x82), Records(1)},
    {"middle record", EWrites::Main, Command(kLoader, 0x82, kImageRecords / 2), Records(kImageRecords / 2)},
    {"last record", EWrites::Main, Command(kLoader, 0x82, kImageRecords), Records(kImageRecords)},
    {"finish", EWrites::Main, Command(kLoader, 0x88), LogLine("L::EndFirmwareUpgradeL")},
    {"exit", EWrites::Main, Command(kSystem, 0xFE), LogLine("ExitBootloader")},
    {"bridge enter", EWrites::Bluetooth, Command(kSystem, 0x06), LogLine("L::InitFirmwareUpgradeB - success[TRUE]")},
    {"first UART chunk", EWrites::Bluetooth, Command(kUart, 0x00), LogLine("L::FirmwareUpgradeWriteB")},
    {"loader link set-up", EWrites::Bluetooth, LogLine("BTReset: "), LogLine("BTReset: ")},
    {"first DFU block", EWrites::Bluetooth, BlocksTaken(1), BlocksTaken(1)},
    {"middle DFU block", EWrites::Bluetooth, BlocksTaken(kDfuBlocks / 2), BlocksTaken(kDfuBlocks / 2)},
    {"last DFU block", EWrites::Bluetooth, BlocksTaken(kDfuBlocks), BlocksTaken(kDfuBlocks)},
    // The manifestation lasts a few milliseconds: both cuts come when the
    // zero-length block that starts it has been answered.
    {"manifestation", EWrites::Bluetooth, LogLine("Last block: "), LogLine("Last block: ")},
    {"chip reset", EWrites::Bluetooth, LogLine("L::FirmwareUpgradeWriteB - Upgrade done"),
     LogLine("L::FirmwareUpgradeWriteB - Upgrade done")},
    {"bridge exit", EWrites::Bluetooth, Command(kSystem, 0x07), LogLine("L::EndFirmwareUpgradeB")},
};

struct RecoveryCase {
  friend void PrintTo(const RecoveryCase& c, std::ostream* out) { *out << c.name; }
  std::string name;
  Point point;
  ECut cut;
  EChip chip;
};

// Output reports of the first run, counted from the emulator's power-up: a
// run that writes the main microcontroller sends about 27,980, one that
// writes the Bluetooth chip about 27,000 (UART chunks vary with timing).
constexpr std::uint32_t kMainRunReports = 27980;
constexpr std::uint32_t kBluetoothRunReports = 26000;
constexpr int kRandomPointsPerRun = 2;

std::vector<RecoveryCase> AllCases() {
  std::vector<RecoveryCase> cases;
  auto add = [&](const Point& point, ECut cut, EChip chip) {
    std::string name = std::string(cut == ECut::Cable ? "Cable_" : "Host_") + point.name +
                       (chip == EChip::Strict ? "_strict" : chip == EChip::Basic ? "_basic" : "");
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    cases.push_back({name, point, cut, chip});
  };
  for (const Point& point : kPoints) {
    // The chip's loader matters only where it is written; a cut that
    // leaves it in its loader is taken against the strict chip.
    const EChip chip = point.writes == EWrites::Bluetooth ? EChip::Strict : EChip::Lenient;
    add(point, ECut::Cable, chip);
    add(point, ECut::Host, chip);
  }
  // One lenient chip where the host left it mid-download.
  add(kPoints[14], ECut::Host, EChip::Lenient);
  // The basic chip wherever the host leaves it: a download it holds open
  // cannot be aborted. (A cable cut makes its loader forget the download.)
  for (const Point& point : kPoints) {
    if (point.writes == EWrites::Bluetooth) add(point, ECut::Host, EChip::Basic);
  }
  // Evenly spread random points of a fixed seed: one in each slice of a run's reports.
  std::mt19937 random(2026);
  for (const EWrites writes : {EWrites::Main, EWrites::Bluetooth}) {
    const std::uint32_t total = writes == EWrites::Main ? kMainRunReports : kBluetoothRunReports;
    const std::uint32_t slice = total / kRandomPointsPerRun;
    for (int i = 0; i < kRandomPointsPerRun; ++i) {
      const std::uint32_t report = slice * static_cast<std::uint32_t>(i) + 1 + random() % slice;
      add({"report " + std::to_string(report), writes, {{0x00}, report, nullptr, nullptr}, {}}, ECut::Cable,
          writes == EWrites::Bluetooth ? EChip::Strict : EChip::Lenient);
    }
  }
  return cases;
}

// Follows the updater's log file while it is written.
class CLogTail {
 public:
  explicit CLogTail(fs::path directory) : m_directory(std::move(directory)) {}

  // True once `line` is in the log (as part of a message).
  bool Reached(const char* line) {
    Read();
    return m_text.find(line) != std::string::npos;
  }

 private:
  void Read() {
    if (m_file.empty()) {
      std::error_code error;
      for (const fs::directory_entry& entry : fs::directory_iterator(m_directory, error)) {
        if (entry.path().filename().string().starts_with("Upgrade-")) m_file = entry.path();
      }
      if (m_file.empty()) return;
    }
    std::ifstream in(m_file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(m_text.size()));
    m_text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path m_directory;
  fs::path m_file;
  std::string m_text;
};

class EndToEndRecovery : public ::testing::TestWithParam<RecoveryCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(m_tree.Valid()); }
  void TearDown() override {
    if (m_emulator) m_emulator->Stop();
  }

  static EmulatorConfig ConfigFor(const RecoveryCase& c) {
    EmulatorConfig config;
    config.timing = EmuTiming::Off;
    config.timeScale = kEmulatorScale;
    if (c.point.writes == EWrites::Main) {
      config.processors = {{kEmuCodeMain, e2e::kOlderL}, {kEmuCodeThird, e2e::kBuiltInA}};
      config.useBluetoothChip = false;
    } else {
      config.processors = {
          {kEmuCodeMain, e2e::kBuiltInL}, {kEmuCodeThird, e2e::kBuiltInA}, {kEmuCodeBluetoothA, e2e::kOlderB}};
    }
    config.strictDfu = c.chip == EChip::Strict;
    config.basicDfu = c.chip == EChip::Basic;
    if (c.cut == ECut::Cable && !c.point.cable.command.empty()) {
      config.faults.unplugAfterCommand = c.point.cable.command;
      config.faults.unplugAfterCommandCount = c.point.cable.count;
    }
    return config;
  }

  // The device as the next run finds it.
  std::string DeviceState() const {
    if (!m_emulator->Present()) return "off the bus";
    std::string state = m_emulator->InBootloader() ? "bootloader" : "application";
    if (m_emulator->BridgeOn()) state += ", bridge on";
    if (m_emulator->InBootloader() && m_emulator->ProcessorVersion(0) == 0) state += ", main erased";
    if (const std::optional<ChipDfuProgress> chip = m_emulator->ChipProgress(); chip && chip->inLoader) {
      char text[64];
      std::snprintf(text, sizeof text, ", chip loader bState %u", unsigned{chip->state});
      state += text;
      if (chip->nextBlock != 0) state += " at block " + std::to_string(chip->nextBlock);
    }
    return state;
  }

  // Every processor at its built-in version.
  bool AllBuiltIn(const RecoveryCase& c) const {
    return m_emulator->ProcessorVersion(0) == e2e::kBuiltInL && m_emulator->ProcessorVersion(1) == e2e::kBuiltInA &&
           (c.point.writes == EWrites::Main || m_emulator->ProcessorVersion(2) == e2e::kBuiltInB);
  }

  bool Whole(const RecoveryCase& c) const {
    const std::optional<ChipDfuProgress> chip = m_emulator->ChipProgress();
    return m_emulator->Present() && !m_emulator->InBootloader() && !m_emulator->BridgeOn() && AllBuiltIn(c) &&
           !(chip && chip->inLoader);
  }

  void ExpectMainImage() const {
    const Bytes expected = e2e::ReadBytes(e2e::BuildDir() / "images/standin/lpc18xx.bin");
    Bytes flash = m_emulator->ReadMainFlash(e2e::kBankA, e2e::kBankALength);
    const Bytes bankB = m_emulator->ReadMainFlash(e2e::kBankB, expected.size() - e2e::kBankALength);
    flash.insert(flash.end(), bankB.begin(), bankB.end());
    EXPECT_TRUE(flash == expected) << "the main microcontroller's flash holds its image";
  }

  void ExpectBluetoothImage() const {
    const Bytes dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
    ASSERT_GT(dfu.size(), e2e::kDfuSuffixLength);
    const Bytes stored = m_emulator->BluetoothImage();
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), dfu.begin(), dfu.end() - e2e::kDfuSuffixLength) &&
                stored.size() == dfu.size() - e2e::kDfuSuffixLength)
        << "the chip holds the whole image, manifested";
  }

  e2e::CTestTree m_tree;
  std::unique_ptr<CDeviceEmulator> m_emulator;
};

TEST_P(EndToEndRecovery, NextRunRestoresTheDevice) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  const RecoveryCase& c = GetParam();
  if (!RowRuns(c.name)) GTEST_SKIP() << "run by QUILLON_RECOVERY_POINTS=all (scripts/fault-table)";
  m_emulator = std::make_unique<CDeviceEmulator>(ConfigFor(c));
  ASSERT_TRUE(m_emulator->Start(m_tree.Bus().string()));
  ASSERT_TRUE(e2e::WaitForDevice(m_tree.Bus(), std::chrono::seconds(30)));

  // The first run, cut at its point.
  const Moment& moment = c.cut == ECut::Cable ? c.point.cable : c.point.host;
  const bool watched = moment.logLine != nullptr || moment.device != nullptr;
  const bool longWait = c.cut == ECut::Cable && (c.point.name == "enter" || c.point.name == "pre-enter");
  CLogTail log(m_tree.RunDir());
  bool cut = !watched;
  const auto firstStart = std::chrono::steady_clock::now();
  const e2e::UpdaterRun first = e2e::RunUpdater(
      m_tree, e2e::UpdaterLaunch(m_tree, {"/S"}, longWait ? kLongWaitScale : kUpdaterScale),
      std::chrono::seconds(240), [&](CChildProcess& updater) {
        if (cut) return;
        if (moment.logLine != nullptr ? !log.Reached(moment.logLine) : !moment.device(*m_emulator)) return;
        cut = true;
        if (c.cut == ECut::Host) {
          updater.Signal(SIGKILL);
        } else {
          m_emulator->UnplugCable();
        }
      });
  const double firstSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - firstStart).count();
  ASSERT_TRUE(first.result.started);
  EXPECT_FALSE(first.result.timedOut);
  ASSERT_TRUE(cut) << "the first run ended before its point\n" << first.logText;
  std::string firstOutcome;
  if (c.cut == ECut::Host) {
    EXPECT_EQ(first.result.termSignal, SIGKILL) << "the run ended before it was killed\n" << first.logText;
    firstOutcome = "killed";
    // The device sees its host go; a chip told to reset just before the kill
    // goes down once its reply's acknowledgement has waited long enough.
    EXPECT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& e) { return !e.HostAttached(); },
                                    std::chrono::seconds(10)));
    std::this_thread::sleep_for(kSettle);
  } else {
    firstOutcome = "exit " + std::to_string(first.result.exitStatus);
    EXPECT_FALSE(m_emulator->Present()) << "the cable stays out until it is plugged in again";
    // The cable goes back in once the run has ended, as a user would do it.
    m_emulator->PlugCable();
    ASSERT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& e) { return e.Present(); }, std::chrono::seconds(30)));
  }
  const std::string between = DeviceState();
  // Every processor at its built-in version already: nothing is written (exit
  // 4), and a device left in its bootloader is sent back to its application.
  const bool nothingToWrite = AllBuiltIn(c);
  const std::optional<ChipDfuProgress> chipBetween = m_emulator->ChipProgress();
  if (c.cut == ECut::Cable && chipBetween && chipBetween->inLoader) {
    EXPECT_EQ(chipBetween->nextBlock, 0u) << "power lost, the chip's loader forgot its download";
  }

  // The second run, with nothing in its way.
  m_emulator->SetFaults(EmuFaults{});
  const auto secondStart = std::chrono::steady_clock::now();
  const e2e::UpdaterRun second = e2e::RunUpdater(m_tree, {"/S"}, kUpdaterScale);
  const double secondSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - secondStart).count();
  ASSERT_TRUE(second.result.started);
  EXPECT_FALSE(second.result.timedOut);
  // The Bluetooth rows' chip is the strict one unless the row names another.
  const char* const chipNamed = c.point.writes == EWrites::Main ? ""
                                : c.chip == EChip::Basic         ? ", basic chip"
                                : c.chip == EChip::Lenient       ? ", lenient chip"
                                                                 : "";
  std::printf("[ recovery ] %s | %s%s | %s (%.1f s) | %s | exit %d (%.1f s)\n",
              c.cut == ECut::Cable ? "cable" : "host", c.point.name.c_str(), chipNamed, firstOutcome.c_str(), firstSeconds,
              between.c_str(), second.result.exitStatus, secondSeconds);
  EXPECT_EQ(second.result.exitStatus, nothingToWrite ? 4 : 0) << between << "\n" << second.logText;
  EXPECT_TRUE(Whole(c)) << "after the second run: " << DeviceState() << "\n" << second.logText;
  if (c.point.writes == EWrites::Main) {
    ExpectMainImage();
  } else {
    ExpectBluetoothImage();
  }
  if (chipBetween && chipBetween->inLoader) {
    // Taken from the state it reported, not opened as an application.
    EXPECT_TRUE(e2e::ContainsMessage(second.log, "Chip already in its loader")) << second.logText;
    EXPECT_FALSE(e2e::ContainsMessage(second.log, "BTDetach")) << second.logText;
  }
  if (c.chip == EChip::Strict) {
    // The opening message, which goes to every chip, is the application's:
    // the strict chip's loader refuses it, and nothing else.
    const bool loaderOpened = chipBetween && chipBetween->inLoader;
    EXPECT_EQ(m_emulator->ChipRefusedRequests(), loaderOpened ? 1u : 0u) << "the strict chip refused a request";
  }
  if (c.chip == EChip::Basic && chipBetween && chipBetween->inLoader && chipBetween->nextBlock != 0 &&
      chipBetween->state <= kDfuDownloadIdle) {
    // A download left open, which the basic chip does not let the abort end.
    EXPECT_TRUE(e2e::ContainsMessage(second.log, "L::FirmwareUpgradeWriteB - Loader not back in dfuIDLE, restarting it"))
        << second.logText;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, EndToEndRecovery, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<RecoveryCase>& info) { return info.param.name; });

}  // namespace
