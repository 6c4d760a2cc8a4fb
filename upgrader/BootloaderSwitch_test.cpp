// Bootloader entry and exit against the emulated device on a private vhid bus:
// what is sent, when the device is reopened, and what is reported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "app/log/Log.h"
#include "emulator/DeviceEmulator.h"
#include "platform/Clock.h"
#include "platform/HidDevice.h"
#include "platform/testing/TempDirectory.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

// Program time runs this much faster: the presence checks a second apart take 20 ms.
// Fast enough for 61 presence checks a second apart, slow enough that a loaded
// machine still answers within the channel's scaled time-outs.
constexpr double kTimeScale = 10;

class BootloaderSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_busDirectory.Valid());
    UseVhidBackend(m_bus);
    Clock::SetTimeScale(kTimeScale);
  }

  void TearDown() override {
    m_upgrader.reset();
    if (m_emulator) m_emulator->Stop();
    Clock::SetTimeScale(1);
    UseHidrawBackend();
  }

  // Null when the emulator could not start; tests assert on it before going on.
  CDeviceEmulator* StartDevice(const EmuFaults& faults = {}, bool inBootloader = false) {
    EmulatorConfig config;
    config.timing = EmuTiming::Off;
    config.timeScale = kTimeScale;
    config.reenumerationDelayMs = 300;  // back before the first presence check, a second later
    config.useBluetoothChip = false;
    config.processors = {{33, 0x12052016}};
    config.startInBootloader = inBootloader;
    config.faults = faults;
    config.busForm = m_busForm;
    m_emulator = std::make_unique<CDeviceEmulator>(config);
    return m_emulator->Start(m_bus) ? m_emulator.get() : nullptr;
  }

  // Null when the factory found no usable device; tests assert on it before going on.
  CFirmwareUpgrade* OpenUpgrader() {
    m_upgrader = CreateCFirmwareUpgrade();
    return m_upgrader.get();
  }

  CTempDirectory m_busDirectory{"quillon-switch"};
  const std::string m_bus = m_busDirectory.Path().string();
  std::unique_ptr<CDeviceEmulator> m_emulator;
  std::unique_ptr<CFirmwareUpgrade> m_upgrader;
  EmuBusForm m_busForm = EmuBusForm::Socket;
};

// The switch over both forms of the bus: a UNIX socket file or a file naming a TCP port.
class BootloaderSwitchFormTest : public BootloaderSwitchTest, public ::testing::WithParamInterface<EmuBusForm> {
 protected:
  void SetUp() override {
    BootloaderSwitchTest::SetUp();
    m_busForm = GetParam();
  }
};

INSTANTIATE_TEST_SUITE_P(Forms, BootloaderSwitchFormTest, ::testing::Values(EmuBusForm::Socket, EmuBusForm::Tcp),
                         [](const auto& info) { return info.param == EmuBusForm::Tcp ? "Tcp" : "Socket"; });

TEST_P(BootloaderSwitchFormTest, EnterFindsTheBootloaderAtTheFirstCheckAndExitBringsTheApplicationBack) {
  CDeviceEmulator* device = StartDevice();
  ASSERT_NE(device, nullptr);
  CFirmwareUpgrade* upgrader = OpenUpgrader();
  ASSERT_NE(upgrader, nullptr);
  LogCapture log;
  ASSERT_EQ(upgrader->EnterBootloader(), 1);
  EXPECT_EQ(upgrader->IsBootloader(), 1u);
  EXPECT_TRUE(device->InBootloader());
  const std::string entered[] = {"EnterBootloader", "EnterBootloader - Command sent",
                                 "Bootloader Ready try [0] success[1]",
                                 "HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[1]"};
  EXPECT_TRUE(log.ContainsInOrder(entered));

  ASSERT_EQ(upgrader->ExitBootloader(), 1);
  EXPECT_EQ(upgrader->IsBootloader(), 0u);
  EXPECT_FALSE(device->InBootloader());
  const std::string left[] = {"ExitBootloader", "Q7V-R try [0] success[1]",
                              "HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[0]"};
  EXPECT_TRUE(log.ContainsInOrder(left));
}

TEST_F(BootloaderSwitchTest, NothingIsSentWhenTheDeviceIsAlreadyWhereItShouldBe) {
  {
    CDeviceEmulator* device = StartDevice({}, true);
    ASSERT_NE(device, nullptr);
    CFirmwareUpgrade* upgrader = OpenUpgrader();
    ASSERT_NE(upgrader, nullptr);
    const auto before = device->Counters().transfers;
    LogCapture log;
    EXPECT_EQ(upgrader->EnterBootloader(), 1);
    EXPECT_EQ(device->Counters().transfers, before);
    EXPECT_FALSE(log.Contains("EnterBootloader - Command sent"));
    m_upgrader.reset();
    device->Stop();
  }
  CDeviceEmulator* device = StartDevice();
  ASSERT_NE(device, nullptr);
  CFirmwareUpgrade* upgrader = OpenUpgrader();
  ASSERT_NE(upgrader, nullptr);
  const auto before = device->Counters().transfers;
  EXPECT_EQ(upgrader->ExitBootloader(), 1);
  EXPECT_EQ(device->Counters().transfers, before);
  EXPECT_FALSE(device->InBootloader());
}

TEST_F(BootloaderSwitchTest, BootloaderThatNeverAppearsOrCannotBeOpenedFailsTheEntry) {
  struct Case {
    const char* name;
    EmuFaults faults;
    bool readyLine;
  };
  EmuFaults never;
  never.loaderNeverAppears = true;
  EmuFaults refuses;
  refuses.loaderRefusesConnections = true;
  for (const Case& c : {Case{"never appears", never, false}, Case{"cannot be opened", refuses, true}}) {
    CDeviceEmulator* device = StartDevice(c.faults);
    ASSERT_NE(device, nullptr);
    CFirmwareUpgrade* upgrader = OpenUpgrader();
    ASSERT_NE(upgrader, nullptr);
    LogCapture log;
    const std::uint64_t start = Clock::NowMs();
    EXPECT_EQ(upgrader->EnterBootloader(), 0) << c.name;
    const std::uint64_t waited = Clock::NowMs() - start;
    EXPECT_EQ(upgrader->IsBootloader(), 0u) << c.name;
    EXPECT_EQ(log.Contains("Bootloader Ready try [0] success[1]"), c.readyLine) << c.name;
    if (!c.readyLine) {
      // All 61 presence checks, a second apart, ran before the entry gave up.
      EXPECT_GE(waited, 100u + 61u * 1000u) << c.name;
    }
    m_upgrader.reset();
    device->Stop();
  }
}

TEST_F(BootloaderSwitchTest, AReplugSinceTheOpenIsHealedByReopeningFirst) {
  CDeviceEmulator* device = StartDevice();
  ASSERT_NE(device, nullptr);
  CFirmwareUpgrade* upgrader = OpenUpgrader();
  ASSERT_NE(upgrader, nullptr);
  {
    // The reader ends by itself once the device is gone.
    LogCapture readerEnd;
    device->UnplugCable();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!readerEnd.Contains("HIDHelper::HIDInterruptThread - Exit Event") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(readerEnd.Contains("HIDHelper::HIDInterruptThread - Exit Event"));
  }
  device->PlugCable();
  ASSERT_TRUE(device->WaitFor([](const CDeviceEmulator& e) { return e.Present(); }, std::chrono::seconds(10)));
  LogCapture log;
  ASSERT_EQ(upgrader->EnterBootloader(), 1);
  const std::string expected[] = {"EnterBootloader", "HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[0]",
                                  "EnterBootloader - Command sent", "Bootloader Ready try [0] success[1]"};
  EXPECT_TRUE(log.ContainsInOrder(expected));
  EXPECT_TRUE(device->InBootloader());
}

}  // namespace
