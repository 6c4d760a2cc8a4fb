// The Bluetooth chip's upgrade end to end: the updater program, run silently,
// against the device emulator in this process, whose chip is looked into
// afterwards. A clean run, a run over a noisy UART, slow class requests, a
// cable pulled in the middle of the download and chip faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/testing/EndToEndRig.h"
#include "app/testing/StandInImages.h"
#include "emulator/BluetoothChip.h"
#include "emulator/DeviceEmulator.h"
#include "emulator/EmuChipPort.h"

namespace {

using Strings = std::vector<std::string>;

// Program time runs ten times faster in both the updater and the emulator: the
// download's fixed waits (about 2 s) take a fifth of a second, while its
// shortest time-out (3 s) stays 300 ms of real time.
constexpr double kTimeScale = 10;
// Without the bus timing model the UART is the only transfer that takes time;
// at this speed it takes next to none.
constexpr std::uint32_t kFastBaud = 100'000'000;

constexpr std::size_t kDfuBlock = 1023;

class EndToEndBluetooth : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_tree.Valid());
    m_dfu = e2e::ReadBytes(e2e::BuildDir() / "images/bc08.dfu");
    ASSERT_GT(m_dfu.size(), e2e::kDfuSuffixLength);
  }
  void TearDown() override {
    if (m_watcher.joinable()) m_watcher.join();
    if (m_emulator) m_emulator->Stop();
  }

  // Main microcontroller and third controller as new as the built-in images
  // unless `mainToo`; the Bluetooth chip older.
  void Start(const CEmuBluetoothChip::Faults& chipFaults, bool mainToo = false) {
    EmulatorConfig config;
    config.timing = m_classRequestMs ? EmuTiming::FullSpeed : EmuTiming::Off;
    config.classRequestMs = m_classRequestMs.value_or(config.classRequestMs);
    config.timeScale = m_timeScale;
    config.uartBaud = m_classRequestMs ? config.uartBaud : kFastBaud;
    config.processors = {{kEmuCodeMain, mainToo ? e2e::kOlderL : e2e::kBuiltInL},
                         {kEmuCodeThird, e2e::kBuiltInA},
                         {kEmuCodeBluetoothA, e2e::kOlderB}};
    CEmuBluetoothChip::Config chip;
    chip.timeScale = m_timeScale;
    chip.initialVersion = e2e::kOlderB;
    chip.blockBusyMs = 0;
    chip.retransmitMs = m_chipRetransmitMs;
    chip.faults = chipFaults;
    // Without the chip's 5 ms busy time after each block, a functional run does
    // not spend a status poll and a 20 ms pause per block.
    m_emulator = std::make_unique<CDeviceEmulator>(config, [chip](CEmuChipPort::SendFunction send) {
      return MakeBluetoothChipPort(chip, std::move(send));
    });
    ASSERT_TRUE(m_emulator->Start(m_tree.Bus().string()));
    ASSERT_TRUE(e2e::WaitForDevice(m_tree.Bus(), std::chrono::seconds(30)));
  }

  e2e::UpdaterRun Run() {
    e2e::UpdaterRun run = e2e::RunUpdater(m_tree, {"/S"}, m_timeScale, std::chrono::seconds(300));
    EXPECT_TRUE(run.result.started);
    EXPECT_FALSE(run.result.timedOut) << "the updater did not end";
    return run;
  }

  std::vector<std::uint8_t> Image() const {
    return {m_dfu.begin(), m_dfu.end() - static_cast<std::ptrdiff_t>(e2e::kDfuSuffixLength)};
  }

  // The chip holds exactly the DFU file without its suffix.
  void ExpectChipHoldsImage() const {
    const std::vector<std::uint8_t> stored = m_emulator->BluetoothImage();
    const std::vector<std::uint8_t> image = Image();
    ASSERT_EQ(stored.size(), image.size());
    const auto mismatch = std::mismatch(stored.begin(), stored.end(), image.begin());
    EXPECT_TRUE(mismatch.first == stored.end()) << "first difference at offset " << (mismatch.first - stored.begin());
  }

  // The UART bytes a run sent beyond those of one clean download, per byte of
  // the image: what retransmissions cost on the wire.
  void PrintCost(const char* what, const e2e::UpdaterRun& run) const {
    const EmuCounters counters = m_emulator->Counters();
    std::printf("[ %s ] wall %.2f s (program time x%.0f), UART bytes to the chip %llu (%.3f per image byte), "
                "to the host %llu\n",
                what, run.result.wallSeconds, m_timeScale,
                static_cast<unsigned long long>(counters.uartBytesToChip),
                static_cast<double>(counters.uartBytesToChip) / static_cast<double>(Image().size()),
                static_cast<unsigned long long>(counters.uartBytesToHost));
  }

  double m_timeScale = kTimeScale;
  // With a value: full-speed USB timing, this long per class request, and the UART at its real speed.
  std::optional<double> m_classRequestMs;
  std::uint32_t m_chipRetransmitMs = CEmuBluetoothChip::Config{}.retransmitMs;
  e2e::CTestTree m_tree;
  std::vector<std::uint8_t> m_dfu;
  std::unique_ptr<CDeviceEmulator> m_emulator;
  std::thread m_watcher;
};

TEST_F(EndToEndBluetooth, WholeDeviceUpgradeWritesTheChipAndReportsItsNewVersion) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  Start({}, true);

  const e2e::UpdaterRun run = Run();
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_TRUE(run.keptLogs.empty()) << "a successful run deletes its log";
  const std::size_t blocks = (Image().size() + kDfuBlock - 1) / kDfuBlock;
  EXPECT_TRUE(e2e::ContainsInOrder(
      run.log, {"FlashOS mcuIndex = 0", "L::EndFirmwareUpgrade - success[TRUE]", "FlashOS mcuIndex = 2",
                "Entering UART Firmware upgrade mode", "L::FirmwareUpgradeWriteB starts",
                "Last block: ", "L::FirmwareUpgradeWriteB - Upgrade done", "L::FirmwareUpgradeWriteB ends",
                "Exiting UART Firmware upgrade mode", "Finish",
                // The upgrader made after the run reads the new versions.
                "L::MCU [0] ver [03102017]", "L::MCU [2] ver [28092015]", "Return Code = 0x0"}))
      << "log of " << run.log.size() << " lines";
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "BTDownload: ")) << "the chip took every block";
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Link Establisment failed"));
  EXPECT_EQ(blocks, 1508u) << "the embedded image is the known one";

  ExpectChipHoldsImage();
  EXPECT_EQ(m_emulator->ProcessorVersion(0), e2e::kBuiltInL);
  EXPECT_EQ(m_emulator->ProcessorVersion(1), e2e::kBuiltInA);
  EXPECT_EQ(m_emulator->ProcessorVersion(2), e2e::kBuiltInB);
  EXPECT_FALSE(m_emulator->InBootloader());
  EXPECT_FALSE(m_emulator->BridgeOn());
  PrintCost("clean", run);
}

// One UART byte in 10,000 lost or corrupted (half each) in each direction: a
// download frame arrives whole about 9 times in 10, the link layer repeats the
// others, and the run still ends with the exact image.
TEST_F(EndToEndBluetooth, NoisyUartStillDeliversTheExactImage) {
  if (!e2e::EmbedsStandInImages()) GTEST_SKIP() << "this build embeds other images than the stand-ins";
  CEmuBluetoothChip::Faults noise;
  noise.hostToChipLossRate = noise.hostToChipCorruptRate = 0.5e-4;
  noise.chipToHostLossRate = noise.chipToHostCorruptRate = 0.5e-4;
  noise.seed = 20240611;
  // Link establishment over a lossy UART may need several rounds of its
  // messages; at a tenth its 3 s time-out is too short for a loaded machine
  // under the sanitizers, so this run keeps half of it.
  m_timeScale = 2;
  Start(noise);

  const e2e::UpdaterRun run = Run();
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_TRUE(run.keptLogs.empty());
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"L::FirmwareUpgradeWriteB - Upgrade done", "L::MCU [2] ver [28092015]",
                                             "Return Code = 0x0"}));
  ExpectChipHoldsImage();
  EXPECT_EQ(m_emulator->ProcessorVersion(2), e2e::kBuiltInB);
  // Every lost frame is sent again, so more bytes cross the UART than in a clean run.
  EXPECT_GT(m_emulator->Counters().uartBytesToChip, Image().size() + Image().size() / 50);
  PrintCost("1 byte in 10,000 lost or corrupted", run);
}

// A host whose every class request takes 4 ms, and a chip that resends an
// unacknowledged answer after 60 ms: a download block's 18 or more requests
// take longer than that, so the acknowledgement of the chip's answer must
// not wait behind the block. Blocks 1 to 60 cost the chip next to no
// retransmissions (with the acknowledgement in the block's header: one per
// block); then the cable is pulled. At a fifth of program time the chip's
// 60 ms stay 12 ms of real time, room for a loaded machine's stalls.
TEST_F(EndToEndBluetooth, SlowClassRequestsCostTheChipNoRetransmissions) {
  m_classRequestMs = 4;
  m_chipRetransmitMs = 60;
  m_timeScale = 5;
  Start({});
  CDeviceEmulator& emulator = *m_emulator;
  std::atomic<bool> runEnded{false};
  std::optional<ChipLinkCounts> atBlock1;
  std::optional<ChipLinkCounts> atBlock60;
  m_watcher = std::thread([&] {
    const auto reached = [&](std::uint32_t block) {
      emulator.WaitFor(
          [&](const CDeviceEmulator& e) {
            const std::optional<ChipDfuProgress> progress = e.ChipProgress();
            return runEnded.load() || (progress && progress->inLoader && progress->nextBlock >= block);
          },
          std::chrono::seconds(300));
      return !runEnded.load();
    };
    if (!reached(1)) return;
    atBlock1 = emulator.ChipLinkStats();
    if (!reached(60)) return;
    atBlock60 = emulator.ChipLinkStats();
    emulator.UnplugCable();
  });

  const e2e::UpdaterRun run = Run();
  runEnded = true;
  m_watcher.join();
  ASSERT_TRUE(atBlock1 && atBlock60) << "the download did not reach block 60: " << run.logText;
  EXPECT_EQ(run.result.exitStatus, 7) << "the cable was pulled";
  EXPECT_LE(atBlock60->retransmissions - atBlock1->retransmissions, 6u);
}

TEST_F(EndToEndBluetooth, CablePulledDuringTheDownloadFailsTheRun) {
  Start({});
  // Pulled once a third of the image has crossed the UART.
  const std::size_t third = Image().size() / 3;
  CDeviceEmulator& emulator = *m_emulator;
  std::atomic<bool> runEnded{false};
  m_watcher = std::thread([&emulator, &runEnded, third] {
    const auto farEnough = [third](const CDeviceEmulator& e) { return e.Counters().uartBytesToChip >= third; };
    emulator.WaitFor([&](const CDeviceEmulator& e) { return runEnded.load() || farEnough(e); },
                     std::chrono::seconds(300));
    if (farEnough(emulator)) emulator.UnplugCable();
  });

  const e2e::UpdaterRun run = Run();
  runEnded = true;
  m_watcher.join();
  EXPECT_EQ(run.result.exitStatus, 7) << run.result.err;
  EXPECT_EQ(run.keptLogs.size(), 1u) << "a failed run keeps its log";
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, {"L::FirmwareUpgradeWriteB starts", "L::FirmwareUpgradeWriteB ends",
                                             "Return Code = 0x80000007"}))
      << run.logText;
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Upgrade done"));
  EXPECT_FALSE(m_emulator->Present());
  EXPECT_TRUE(m_emulator->BluetoothImage().empty()) << "the chip never completed a download";
}

struct ChipFaultCase {
  friend void PrintTo(const ChipFaultCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  CEmuBluetoothChip::Faults faults;
  Strings logLines;  // in order, in the kept log
};

CEmuBluetoothChip::Faults ErrorAtBlock(std::int32_t block) {
  CEmuBluetoothChip::Faults faults;
  faults.errorAtBlock = block;
  return faults;
}

CEmuBluetoothChip::Faults ErrorNeverClears() {
  CEmuBluetoothChip::Faults faults;
  faults.dfuError = CEmuBluetoothChip::EDfuErrorFault::NeverClears;
  return faults;
}

CEmuBluetoothChip::Faults StatusNeverSettles() {
  CEmuBluetoothChip::Faults faults;
  faults.statusNeverSettles = true;
  return faults;
}

const ChipFaultCase kChipFaultCases[] = {
    // The chip refuses block 5: its answer is logged, the status shows
    // dfuERROR, and the download ends as a failure after the clear-status.
    {"ErrorAfterABlock",
     ErrorAtBlock(5),
     {"L::FirmwareUpgradeWriteB starts", "BTDownload: 01 00 00 00 ", "BTGetStatus: ",
      "L::FirmwareUpgradeWriteB - dfuERROR, blocks sent[6]", "L::FirmwareUpgradeWriteB ends",
      "Error: Device upgrade error!!!", "Return Code = 0x80000007"}},
    // A loader stuck in dfuERROR before any block: clear-status and status
    // requests repeat until the step's time-out.
    {"ErrorThatNeverClears",
     ErrorNeverClears(),
     {"L::FirmwareUpgradeWriteB starts", "BTGetStatus: ", "BT time-out!", "L::FirmwareUpgradeWriteB ends",
      "Return Code = 0x80000007"}},
    // After the final block the loader never leaves its manifestation phase.
    {"StatusNeverSettles",
     StatusNeverSettles(),
     {"Last block: ", "BT time-out!", "L::FirmwareUpgradeWriteB ends", "Return Code = 0x80000007"}},
};

class EndToEndBluetoothChipFault : public EndToEndBluetooth, public ::testing::WithParamInterface<ChipFaultCase> {};

TEST_P(EndToEndBluetoothChipFault, RunFailsWithTheFailureLogged) {
  const ChipFaultCase& c = GetParam();
  Start(c.faults);

  const e2e::UpdaterRun run = Run();
  EXPECT_EQ(run.result.exitStatus, 7) << run.result.err;
  EXPECT_EQ(run.keptLogs.size(), 1u) << "a failed run keeps its log";
  EXPECT_TRUE(e2e::ContainsInOrder(run.log, c.logLines)) << run.logText;
  EXPECT_FALSE(e2e::ContainsMessage(run.log, "Upgrade done"));
  EXPECT_TRUE(m_emulator->BluetoothImage().empty()) << "the chip never completed a download";
}

INSTANTIATE_TEST_SUITE_P(Faults, EndToEndBluetoothChipFault, ::testing::ValuesIn(kChipFaultCases),
                         [](const ::testing::TestParamInfo<ChipFaultCase>& info) { return info.param.name; });

}  // namespace
