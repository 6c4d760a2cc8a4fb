// The upgrader against devices on a vhid bus: a scripted device for the
// inventory protocol, and the device emulator for the whole loading path.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/log/Log.h"
#include "emulator/DeviceEmulator.h"
#include "hid/DeviceIdentity.h"
#include "hid/testing/VhidTestPeer.h"
#include "platform/testing/TempDirectory.h"
#include "upgrader/testing/UpgraderTestSupport.h"

namespace {

using Strings = std::vector<std::string>;
using HostMessage = CVhidTestPeer::HostMessage;

constexpr std::uint8_t kVhidOutput = 0x10;

std::u16string PathText(const char16_t* path) { return path != nullptr ? std::u16string(path) : std::u16string(); }

std::string PointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return text;
}

bool Contains(const std::u16string& text, const std::u16string& part) { return text.find(part) != std::u16string::npos; }

// A device that reports no processors.
void AnswerEmptyInventory(CVhidTestPeer& peer, const HostMessage& message) {
  CVhidTestPeer::AnswerOk(peer, message);
  if (message.type == kVhidOutput && message.payload.size() >= 3 && message.payload[1] == CMD_GROUP_SYSTEM &&
      message.payload[2] == SYS_GET_MCU_COUNT) {
    std::vector<std::uint8_t> answer(kInputReportLength, 0);
    answer[2] = CMD_GROUP_SYSTEM;
    peer.SendInputReport(answer);
  }
}

class UpgraderOnBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_busDirectory.Valid());
    UseVhidBackend(m_bus);
  }
  void TearDown() override {
    m_peer.reset();
    m_emulator.reset();
  }

  CVhidTestPeer& Plug(std::uint16_t productId) {
    m_peer = std::make_unique<CVhidTestPeer>(m_bus, kVendorId, productId, "0", "Scripted Device");
    m_peer->SetHandler(&AnswerEmptyInventory);
    return *m_peer;
  }

  CTempDirectory m_busDirectory{"quillon-upg"};
  const std::string m_bus = m_busDirectory.Path().string();
  std::unique_ptr<CVhidTestPeer> m_peer;
  std::unique_ptr<CDeviceEmulator> m_emulator;
};

TEST_F(UpgraderOnBusTest, BootloaderWithoutProcessors) {
  Plug(kBootloaderProductId);
  auto upgrader = CreateCFirmwareUpgrade();
  ASSERT_NE(upgrader, nullptr);
  EXPECT_EQ(upgrader->IsBootloader(), 1u);
  EXPECT_EQ(upgrader->GetMCUCount(), 0u);
  EXPECT_EQ(upgrader->SetActiveMCU(0), E_FAIL);
  // The product ID asked for, not the one that answered.
  EXPECT_EQ(upgrader->GetProductID(), kApplicationProductId);
  char16_t name[126];
  EXPECT_EQ(upgrader->GetProductName(name, 252), S_OK);
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho");
}

TEST_F(UpgraderOnBusTest, ReopenReplacesKeptPath) {
  Plug(kBootloaderProductId);
  CInspectableUpgrader upgrader;
  ASSERT_EQ(upgrader.Init(), S_OK);
  EXPECT_TRUE(Contains(PathText(upgrader.GetDevicePath()), u"pid_0c02"));
  EXPECT_EQ(upgrader.IsBootloader(), 1u);

  // The device restarts with its application identity.
  upgrader.CloseChannel();
  m_peer.reset();
  Plug(kApplicationProductId);
  ASSERT_EQ(upgrader.OpenDeviceHandle(), S_OK);
  EXPECT_TRUE(Contains(PathText(upgrader.GetDevicePath()), u"pid_0c01"));
  EXPECT_EQ(upgrader.IsBootloader(), 0u);
}

TEST_F(UpgraderOnBusTest, SilentDeviceGivesNoUpgrader) {
  Plug(kApplicationProductId).SetHandler(&CVhidTestPeer::AnswerOk);
  LogCapture log;
  EXPECT_EQ(CreateCFirmwareUpgrade(), nullptr);
  EXPECT_TRUE(log.ContainsInOrder(Strings{"L::InitMCUData", "L::Init - hRes[80004005]",
                                          "CFirmwareUpgrade::CreateCFirmwareUpgrade - L Init Fail"}));
  EXPECT_FALSE(log.Contains("L::Num MCU [1]"));
}

TEST_F(UpgraderOnBusTest, LoadsEmulatedDevice) {
  EmulatorConfig config;
  config.processors = {
      {kEmuCodeMain, EmuVersionWord(0x2016, 0x05, 0x12)},
      {kEmuCodeThird, EmuVersionWord(0x2015, 0x10, 0x22)},
      {kEmuCodeBluetoothA, EmuVersionWord(0x2014, 0x06, 0x30)},
  };
  config.productString = "Aurelix Rho USB Audio";
  m_emulator = std::make_unique<CDeviceEmulator>(config);
  ASSERT_TRUE(m_emulator->Start(m_bus));
  ASSERT_TRUE(m_emulator->WaitFor([](const CDeviceEmulator& emulator) { return emulator.Present(); },
                                  std::chrono::seconds(10)));

  LogCapture log;
  auto upgrader = CreateCFirmwareUpgrade();
  ASSERT_NE(upgrader, nullptr);

  // Device loading as the controller does it.
  char16_t name[126];
  ASSERT_EQ(upgrader->GetProductName(name, 252), S_OK);
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho USB Audio");
  ASSERT_EQ(upgrader->GetMCUCount(), 3u);
  ASSERT_EQ(upgrader->SetActiveMCU(0), S_OK);
  std::string version;
  upgrader->GetDeviceFWVersionString(&version);
  EXPECT_EQ(version, "Version : 20160512");
  std::string versions;
  upgrader->GetAllFWVersionString(versions);
  EXPECT_EQ(versions, "L:20160512 A:20151022 B:20140630");

  const std::uint32_t expectedTypes[] = {AXFLASH_MCU_TYPE_P, AXFLASH_MCU_TYPE_M, AXFLASH_MCU_TYPE_B};
  const std::uint16_t expectedBlocks[] = {32, 48, 32};
  for (std::uint32_t index = 0; index < 3; ++index) {
    std::uint32_t type = 0;
    EXPECT_EQ(upgrader->GetMCUType(index, &type), S_OK);
    EXPECT_EQ(type, expectedTypes[index]);
    ASSERT_EQ(upgrader->SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader->GetBlockSize(), expectedBlocks[index]);
  }

  // Main processor older, third controller as built in, Bluetooth from 2014.
  EXPECT_EQ(upgrader->VersionCheckingHardcodedCompare(), 0);
  const int expectedVerdicts[] = {1, 0, 1};
  for (std::uint32_t index = 0; index < 3; ++index) {
    ASSERT_EQ(upgrader->SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader->CanUpgradeCurrentActiveMCU(), expectedVerdicts[index]);
  }

  EXPECT_TRUE(log.ContainsInOrder(Strings{
      "L::P", "L::ConstructInit", "L::Init", "HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[0]",
      "L::InitMCUData", "L::Num MCU [3]", "L::Num MCU [3]",
      "L::Get MCU [0] Type...", "L::MCU [0] Type [33]", "L::Get MCU [0] Ver...", "L::MCU [0] ver [12052016]",
      "L::Get MCU [1] Type...", "L::MCU [1] Type [8]", "L::Get MCU [1] Ver...", "L::MCU [1] ver [22102015]",
      "L::Get MCU [2] Type...", "L::MCU [2] Type [13]", "L::Get MCU [2] Ver...", "L::MCU [2] ver [30062014]",
      "L::Init - hRes[00000000]",
      "CFirmwareUpgrade::CreateCFirmwareUpgrade - L pFirmwareUpgrade[" + PointerText(upgrader.get()) + "]",
      "L::GetProductName - Name[Aurelix Rho USB Audio] hRes[00000000]",
      "L::GetDeviceFWVersionString - m_indexMCU[0]",
      "VersionCheckingHardcodedCompare",
      "L: File 2017/10/03 against Dev 2016/05/12. 1",
      "B: File 2015/09/28 against Dev 2014/06/30. 1",
      "A: File 2015/10/22 against Dev 2015/10/22. 0",
      "Overall Status: 0"}));

  upgrader.reset();
  EXPECT_TRUE(log.ContainsInOrder(Strings{"L::~L", "L::~L - END", "CFirmwareUpgrade::~CFirmwareUpgrade"}));
}

}  // namespace
