// The HID channel and the upgrader against the device emulator running as its
// own program (quillon-devemu), as a user would start it from a shell.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/log/Log.h"
#include "app/testing/EndToEndRig.h"
#include "hid/DeviceIdentity.h"
#include "hid/HIDHelper.h"
#include "hid/HidDiscovery.h"
#include "hid/Reports.h"
#include "platform/Clock.h"
#include "platform/HidDevice.h"
#include "upgrader/FirmwareUpgrade.h"

namespace {

using Strings = std::vector<std::string>;
using Report = std::array<std::uint8_t, kOutputReportLength>;

// Program time runs ten times faster than real time on both sides; the
// emulator answers without its bus timing model.
constexpr double kTimeScale = 10;
const Strings kFastEmulator = {"--timing", "off", "--time-scale", "10"};

// A bound on waits for the device to change state; only reached when it never does.
constexpr auto kStateChangeBound = std::chrono::seconds(20);

bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kStateChangeBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

Report SystemCommand(std::uint8_t code, std::uint8_t parameter = 0) {
  Report report{};
  report[1] = CMD_GROUP_SYSTEM;
  report[2] = code;
  report[3] = parameter;
  return report;
}

std::u16string Text(const std::unique_ptr<char16_t[]>& path) { return path ? std::u16string(path.get()) : u""; }

class EndToEndDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_tree.Valid());
    UseVhidBackend(m_tree.Bus().string());
    Clock::SetTimeScale(kTimeScale);
  }
  void TearDown() override { Clock::SetTimeScale(1); }

  void StartEmulator(const Strings& arguments) {
    Strings all = kFastEmulator;
    all.insert(all.end(), arguments.begin(), arguments.end());
    ASSERT_TRUE(m_emulator.Start(m_tree.Bus(), all)) << m_emulator.Errors();
  }

  static bool Present(std::uint16_t productId) { return IsHidDevicePresent(kVendorId, productId) == 1; }

  e2e::CTestTree m_tree;
  e2e::CEmulatorProgram m_emulator;
};

// Count, types and versions of the default device, read over the channel the
// way the upgrader's inventory does.
void ExpectDefaultInventory(CHIDHelper& helper) {
  Report count = SystemCommand(SYS_GET_MCU_COUNT);
  ASSERT_EQ(helper.CommandTransaction(count), 1);
  EXPECT_EQ(count[2], CMD_GROUP_SYSTEM);
  EXPECT_EQ(count[4], 3);

  const std::uint8_t types[] = {33, 8, 13};
  const std::array<std::uint8_t, 4> versions[] = {{0x12, 0x05, 0x16, 0x20}, {0x22, 0x10, 0x15, 0x20},
                                                  {0x30, 0x06, 0x14, 0x20}};
  for (std::uint8_t number = 1; number <= 3; ++number) {
    Report type = SystemCommand(SYS_GET_MCU_TYPE, number);
    ASSERT_EQ(helper.CommandTransaction(type), 1);
    EXPECT_EQ(type[4], types[number - 1]) << "processor " << int{number};
    Report version = SystemCommand(SYS_GET_MCU_VERSION, number);
    ASSERT_EQ(helper.CommandTransaction(version), 1);
    EXPECT_TRUE(std::equal(versions[number - 1].begin(), versions[number - 1].end(), version.begin() + 4))
        << "processor " << int{number};
  }
}

TEST_F(EndToEndDevice, ChannelFollowsTheDeviceThroughBothIdentitiesUntilItIsUnplugged) {
  StartEmulator({"--start-in-loader"});
  ASSERT_TRUE(Present(kBootloaderProductId));
  ASSERT_FALSE(Present(kApplicationProductId));

  // Asked for the application, the channel falls back to the bootloader.
  CHIDHelper helper;
  std::unique_ptr<char16_t[]> path;
  std::uint16_t productId = 0;
  ASSERT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, &productId, &path), S_OK);
  EXPECT_EQ(helper.IsBootloader(), 1u);
  EXPECT_NE(Text(path).find(u"pid_0c02"), std::u16string::npos);
  EXPECT_EQ(helper.ReaderStopped(), 0u);
  char16_t name[126] = {};
  EXPECT_FALSE(helper.GetProductString(name, sizeof(name))) << "the bootloader reports no product string";
  ExpectDefaultInventory(helper);

  // Leaving the bootloader: the device goes, its reader ends, the application comes.
  Report exit = SystemCommand(SYS_EXIT_LOADER);
  ASSERT_TRUE(helper.Device()->SetOutputReport(exit));
  ASSERT_TRUE(Eventually([&] { return helper.ReaderStopped() == 1; }));
  ASSERT_TRUE(Eventually([] { return Present(kApplicationProductId) && !Present(kBootloaderProductId); }));
  helper.CloseDeviceHandle();

  ASSERT_EQ(helper.OpenDeviceHandle(kVendorId, kApplicationProductId, 0, &productId, &path), S_OK);
  EXPECT_EQ(helper.IsBootloader(), 0u);
  EXPECT_NE(Text(path).find(u"pid_0c01"), std::u16string::npos);
  ASSERT_TRUE(helper.GetProductString(name, sizeof(name)));
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho USB Audio");
  ExpectDefaultInventory(helper);

  // The entry pair switches it back; mode 2 opens the bootloader identity only.
  Report enter = SystemCommand(SYS_PRE_ENTER_LOADER);
  enter[3] = 0x00;
  enter[4] = 0x07;
  enter[5] = 0x01;
  ASSERT_TRUE(helper.Device()->SetOutputReport(enter));
  enter[2] = SYS_ENTER_LOADER;
  ASSERT_TRUE(helper.Device()->SetOutputReport(enter));
  ASSERT_TRUE(Eventually([&] { return helper.ReaderStopped() == 1; }));
  ASSERT_TRUE(Eventually([] { return Present(kBootloaderProductId) && !Present(kApplicationProductId); }));
  helper.CloseDeviceHandle();
  ASSERT_EQ(helper.OpenDeviceHandle(kVendorId, kBootloaderProductId, 2, nullptr, &path), S_OK);
  EXPECT_EQ(helper.IsBootloader(), 1u);
  EXPECT_EQ(helper.ReaderStopped(), 0u);

  // Pulling the plug (the emulator program ends) ends the reader; nothing answers any more.
  EXPECT_EQ(m_emulator.Terminate(), 0);
  ASSERT_TRUE(Eventually([&] { return helper.ReaderStopped() == 1; }));
  EXPECT_FALSE(Present(kBootloaderProductId));
  EXPECT_FALSE(Present(kApplicationProductId));
  Report count = SystemCommand(SYS_GET_MCU_COUNT);
  EXPECT_EQ(helper.CommandTransaction(count), 0);
  helper.CloseDeviceHandle();
}

struct InventoryCase {
  friend void PrintTo(const InventoryCase& c, std::ostream* out) { *out << c.name; }
  const char* name;
  Strings processors;  // --mcu values
  std::vector<std::uint32_t> types;
  std::vector<std::uint16_t> blocks;
  std::string versions;  // GetAllFWVersionString
  int overall;           // VersionCheckingHardcodedCompare: 0 = something is newer
  std::vector<int> verdicts;
  Strings comparisons;  // the comparison lines of the overall check, in order
};

// Verdicts as the controller sees them: the third controller's difference
// decides for the main processor, and the Bluetooth chip is written whenever
// its year is not 2014 (the only year its versions are compared in).
const InventoryCase kInventoryCases[] = {
    {"OlderMainAndBluetooth",
     {},
     {AXFLASH_MCU_TYPE_P, AXFLASH_MCU_TYPE_M, AXFLASH_MCU_TYPE_B},
     {32, 48, 32},
     "L:20160512 A:20151022 B:20140630",
     0,
     {1, 0, 1},
     {"L: File 2017/10/03 against Dev 2016/05/12. 1", "B: File 2015/09/28 against Dev 2014/06/30. 1",
      "A: File 2015/10/22 against Dev 2015/10/22. 0", "Overall Status: 0"}},
    {"EverythingAsBuiltIn",
     {"33:2017/10/03", "8:2015/10/22", "13:2015/09/28"},
     {AXFLASH_MCU_TYPE_P, AXFLASH_MCU_TYPE_M, AXFLASH_MCU_TYPE_B},
     {32, 48, 32},
     "L:20171003 A:20151022 B:20150928",
     1,
     {0, 0, 1},
     {"L: File 2017/10/03 against Dev 2017/10/03. 0", "B: File 2015/09/28 against Dev 2015/09/28. 0",
      "A: File 2015/10/22 against Dev 2015/10/22. 0", "Overall Status: 1"}},
    {"NewerDeviceSecondBluetoothType",
     {"33:2018/01/02", "8:2016/01/01", "14:2016/03/04"},
     {AXFLASH_MCU_TYPE_P, AXFLASH_MCU_TYPE_M, AXFLASH_MCU_TYPE_B},
     {32, 48, 32},
     "L:20180102 A:20160101 B:20160304",
     2,
     {-1, 0, 1},
     {"L: File 2017/10/03 against Dev 2018/01/02. -1", "B: File 2015/09/28 against Dev 2016/03/04. -1",
      "A: File 2015/10/22 against Dev 2016/01/01. 0", "Overall Status: 2"}},
};

class EndToEndInventory : public EndToEndDevice, public ::testing::WithParamInterface<InventoryCase> {};

TEST_P(EndToEndInventory, UpgraderReadsTheDeviceAsTheControllerDoes) {
  const InventoryCase& c = GetParam();
  Strings arguments;
  for (const auto& processor : c.processors) arguments.insert(arguments.end(), {"--mcu", processor});
  StartEmulator(arguments);

  LogCapture log;
  std::unique_ptr<CFirmwareUpgrade> upgrader = CreateCFirmwareUpgrade();
  ASSERT_NE(upgrader, nullptr);
  EXPECT_EQ(upgrader->IsBootloader(), 0u);
  char16_t name[126] = {};
  ASSERT_EQ(upgrader->GetProductName(name, sizeof(name)), S_OK);
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho USB Audio");

  ASSERT_EQ(upgrader->GetMCUCount(), c.types.size());
  // Verdicts exist once the overall check has run, as in the controller.
  EXPECT_EQ(upgrader->VersionCheckingHardcodedCompare(), c.overall);
  for (std::uint32_t index = 0; index < c.types.size(); ++index) {
    std::uint32_t type = 0;
    EXPECT_EQ(upgrader->GetMCUType(index, &type), S_OK);
    EXPECT_EQ(type, c.types[index]) << "processor " << index;
    ASSERT_EQ(upgrader->SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader->GetBlockSize(), c.blocks[index]) << "processor " << index;
    EXPECT_EQ(upgrader->CanUpgradeCurrentActiveMCU(), c.verdicts[index]) << "processor " << index;
  }
  std::string versions;
  upgrader->GetAllFWVersionString(versions);
  EXPECT_EQ(versions, c.versions);
  ASSERT_EQ(upgrader->SetActiveMCU(0), S_OK);
  std::string first;
  upgrader->GetDeviceFWVersionString(&first);
  EXPECT_EQ(first, "Version : " + c.versions.substr(2, 8));

  Strings expected = {"HIDHelper::OpenDeviceHandle - hRes[00000000] IsBootloader[0]", "L::InitMCUData",
                      "L::Num MCU [3]"};
  for (std::uint32_t index = 0; index < c.types.size(); ++index) {
    expected.push_back("L::Get MCU [" + std::to_string(index) + "] Type...");
    expected.push_back("L::Get MCU [" + std::to_string(index) + "] Ver...");
  }
  expected.push_back("L::Init - hRes[00000000]");
  expected.push_back("L::GetProductName - Name[Aurelix Rho USB Audio] hRes[00000000]");
  expected.push_back("VersionCheckingHardcodedCompare");
  expected.insert(expected.end(), c.comparisons.begin(), c.comparisons.end());
  EXPECT_TRUE(log.ContainsInOrder(expected)) << ::testing::PrintToString(log.Messages());
  upgrader.reset();
  EXPECT_EQ(m_emulator.Terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, EndToEndInventory, ::testing::ValuesIn(kInventoryCases),
                         [](const ::testing::TestParamInfo<InventoryCase>& info) { return info.param.name; });

}  // namespace
