#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/log/Log.h"
#include "upgrader/testing/UpgraderTestSupport.h"
#include "upgrader/Versions.h"

namespace {

// Inventory of the device: main microcontroller, third controller, Bluetooth chip.
const std::vector<std::uint32_t> kThreeProcessors = {MCU_CODE_L, MCU_CODE_M, MCU_CODE_BT_A};

// Versions are written as the raw words (day, month, BCD year) to pin the layout.
constexpr McuVersion kDeviceL = 0x03102017;  // 2017/10/03, as built in
constexpr McuVersion kDeviceA = 0x22102015;  // 2015/10/22, as built in
constexpr McuVersion kDeviceB = 0x28092015;  // 2015/09/28, as built in

struct DecisionCase {
  const char* name;
  std::vector<std::uint32_t> typeCodes;
  std::vector<McuVersion> versions;
  const char* deviceTextL;
  const char* deviceTextA;
  const char* deviceTextB;
  int verdictL;
  int compareB;
  int verdictB;
  int overall;
};

// Whether a user's device gets written rests on this table.
const DecisionCase kDecisionCases[] = {
    {"all as built in: nothing to do", kThreeProcessors, {kDeviceL, kDeviceA, kDeviceB},
     "2017/10/03", "2015/10/22", "2015/09/28", 0, 0, 1, 1},
    {"older third controller upgrades the main one", kThreeProcessors, {kDeviceL, 0x21102015, kDeviceB},
     "2017/10/03", "2015/10/21", "2015/09/28", 1, 0, 1, 0},
    {"newer third controller holds the main one back", kThreeProcessors, {kDeviceL, 0x01012016, 0x01012015},
     "2017/10/03", "2016/01/01", "2015/01/01", -1, 1, 1, 0},
    {"newer third controller wins over an older main one", kThreeProcessors, {0x01012016, 0x01012016, kDeviceB},
     "2016/01/01", "2016/01/01", "2015/09/28", -1, 0, 1, 2},
    {"newer main processor", kThreeProcessors, {0x01012018, kDeviceA, kDeviceB},
     "2018/01/01", "2015/10/22", "2015/09/28", -1, 0, 1, 2},
    {"older main processor", kThreeProcessors, {0x02102017, kDeviceA, kDeviceB},
     "2017/10/02", "2015/10/22", "2015/09/28", 1, 0, 1, 0},
    {"Bluetooth year 2014 follows the comparison", kThreeProcessors, {kDeviceL, kDeviceA, 0x31122014},
     "2017/10/03", "2015/10/22", "2014/12/31", 0, 1, 1, 0},
    {"newer Bluetooth still upgraded, status says device newer", kThreeProcessors, {kDeviceL, kDeviceA, 0x01012016},
     "2017/10/03", "2015/10/22", "2016/01/01", 0, -1, 1, 2},
    {"one processor: missing ones count as zero", {MCU_CODE_L}, {kDeviceL},
     "2017/10/03", "0000/00/00", "0000/00/00", 1, 1, 1, 0},
    {"no processors", {}, {}, "0000/00/00", "0000/00/00", "0000/00/00", 1, 1, 1, 0},
};

TEST(VersionDecision, TableOfDeviceVersions) {
  for (const auto& c : kDecisionCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    CInspectableUpgrader upgrader;
    upgrader.SetInventory(c.typeCodes, c.versions);

    EXPECT_EQ(upgrader.VersionCheckingHardcodedCompare(), c.overall);
    EXPECT_EQ(upgrader.VerdictL(), c.verdictL);
    EXPECT_EQ(upgrader.VerdictA(), 0);
    EXPECT_EQ(upgrader.VerdictB(), c.verdictB);

    const std::vector<std::string> expected = {
        "VersionCheckingHardcodedCompare",
        "L: File 2017/10/03 against Dev " + std::string(c.deviceTextL) + ". " + std::to_string(c.verdictL),
        "B: File 2015/09/28 against Dev " + std::string(c.deviceTextB) + ". " + std::to_string(c.compareB),
        "A: File 2015/10/22 against Dev " + std::string(c.deviceTextA) + ". 0",
        "Overall Status: " + std::to_string(c.overall),
    };
    EXPECT_TRUE(log.ContainsInOrder(expected));

    // The controller asks per processor after making it active.
    const int perProcessor[] = {c.verdictL, 0, c.verdictB};
    for (std::uint32_t index = 0; index < c.typeCodes.size(); ++index) {
      ASSERT_EQ(upgrader.SetActiveMCU(index), S_OK);
      EXPECT_EQ(upgrader.CanUpgradeCurrentActiveMCU(), perProcessor[index]) << "index " << index;
    }
  }
}

TEST(VersionDecision, VerdictsAreSameUntilCompared) {
  CInspectableUpgrader upgrader;
  upgrader.SetInventory(kThreeProcessors, {0, 0, 0});
  for (std::uint32_t index = 0; index < 3; ++index) {
    ASSERT_EQ(upgrader.SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader.CanUpgradeCurrentActiveMCU(), 0);
  }
}

TEST(VersionDecision, SecondBluetoothCodeAndUnknownCode) {
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_L, MCU_CODE_BT_B, 5}, {kDeviceL, kDeviceB, kDeviceB});
  upgrader.VersionCheckingHardcodedCompare();
  ASSERT_EQ(upgrader.SetActiveMCU(1), S_OK);
  EXPECT_EQ(upgrader.CanUpgradeCurrentActiveMCU(), 1);
  ASSERT_EQ(upgrader.SetActiveMCU(2), S_OK);
  EXPECT_EQ(upgrader.CanUpgradeCurrentActiveMCU(), 0);
}

TEST(VersionDisplay, AllVersionsAndActiveVersion) {
  struct Case {
    std::vector<std::uint32_t> typeCodes;
    std::vector<McuVersion> versions;
    std::uint32_t active;
    const char* all;
    const char* single;
  };
  const Case cases[] = {
      {kThreeProcessors, {kDeviceL, kDeviceA, kDeviceB}, 1, "L:20171003 A:20151022 B:20150928", "Version : 20151022"},
      {{MCU_CODE_L}, {kDeviceL}, 0, "L:20171003 A:000000 B:000000", "Version : 20171003"},
      // A processor count of 0: device loading still asks for processor 0.
      {{}, {}, 0, "L:000000 A:000000 B:000000", "Version : 000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.all);
    LogCapture log;
    CInspectableUpgrader upgrader;
    upgrader.SetInventory(c.typeCodes, c.versions);
    if (!c.typeCodes.empty()) {
      ASSERT_EQ(upgrader.SetActiveMCU(c.active), S_OK);
    }
    std::string all = "stale";
    EXPECT_EQ(upgrader.GetAllFWVersionString(all), 1);
    EXPECT_EQ(all, c.all);
    std::string single;
    EXPECT_EQ(upgrader.GetDeviceFWVersionString(&single), 1);
    EXPECT_EQ(single, c.single);
    EXPECT_EQ(upgrader.GetDeviceFWVersionString(nullptr), 1);
    EXPECT_TRUE(log.Contains("L::GetDeviceFWVersionString - m_indexMCU[" + std::to_string(c.active) + "]"));
  }
}

TEST(CompareVersionStrings, Cases) {
  struct Case {
    const char* current;
    const char* next;
    int result;
    const char* name;
  };
  const Case cases[] = {
      {"1.0.171003", "1.0.171004", CURR_VERSION_CHECK_OLDER, "CURR_VERSION_CHECK_OLDER"},
      {"1.0.171003", "1.1.171003", CURR_VERSION_CHECK_OLDER, "CURR_VERSION_CHECK_OLDER"},
      {"1.0.171003", "1.0.171003", CURR_VERSION_CHECK_SAME, "CURR_VERSION_CHECK_SAME"},
      {"1.0.180101", "1.0.171231", CURR_VERSION_CHECK_NEWER, "CURR_VERSION_CHECK_NEWER"},
      {"1.0.171003", "2.0.171003", CURR_VERSION_CHECK_UNKNOWN, "CURR_VERSION_CHECK_UNKNOWN"},
      {"1.0.17100", "1.0.17100", CURR_VERSION_CHECK_UNKNOWN, "CURR_VERSION_CHECK_UNKNOWN"},
      {"1.0.171003", "1.0.1710030", CURR_VERSION_CHECK_UNKNOWN, "CURR_VERSION_CHECK_UNKNOWN"},
      {"", "", CURR_VERSION_CHECK_UNKNOWN, "CURR_VERSION_CHECK_UNKNOWN"},
      // The separators are not read.
      {"1x0y171003", "1.0.171003", CURR_VERSION_CHECK_SAME, "CURR_VERSION_CHECK_SAME"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.current) + " vs " + c.next);
    LogCapture log;
    CInspectableUpgrader upgrader;
    EXPECT_EQ(upgrader.CompareVersionStrings(c.current, c.next), c.result);
    EXPECT_TRUE(log.Contains(std::string("Version Check Result [") + c.name + "]"));
  }
}

TEST(CompareVersionStrings, LogsPackedValues) {
  LogCapture log;
  CInspectableUpgrader upgrader;
  upgrader.CompareVersionStrings("1.0.171003", "1.0.171004");
  // 1 << 24 | 17 << 9 | 10 << 5 | 3
  const std::vector<std::string> expected = {"Curr Ver[16786243][01002343] New Ver[16786244][01002344]",
                                             "Version Check Result [CURR_VERSION_CHECK_OLDER]"};
  EXPECT_TRUE(log.ContainsInOrder(expected));
}

TEST(PrepareFirmwareImage, ByProcessorType) {
  struct Case {
    std::uint32_t typeCode;
    std::uint32_t size;
    HRESULT result;
    std::uint32_t outSize;
  };
  const Case cases[] = {
      {MCU_CODE_L, 100, S_OK, 100},    {MCU_CODE_M, 100, S_OK, 100},       {MCU_CODE_BT_A, 100, S_OK, 84},
      {MCU_CODE_BT_B, 100, S_OK, 84},  {MCU_CODE_BT_A, 16, S_OK, 0},       {MCU_CODE_BT_A, 15, E_FAIL, 0},
      {MCU_CODE_BT_B, 1, E_FAIL, 0},   {0, 100, E_FAIL, 0},                {5, 100, E_FAIL, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("type code " + std::to_string(c.typeCode) + " size " + std::to_string(c.size));
    CInspectableUpgrader upgrader;
    upgrader.SetInventory({c.typeCode}, {0});
    std::vector<std::uint8_t> image(c.size);
    for (std::size_t i = 0; i < image.size(); ++i) {
      image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    std::uint32_t outSize = 0;
    std::unique_ptr<std::uint8_t[]> buffer;
    EXPECT_EQ(upgrader.PrepareFirmwareImage(c.size, image.data(), &outSize, &buffer), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(outSize, c.outSize);
      ASSERT_NE(buffer, nullptr);
      EXPECT_NE(buffer.get(), image.data());
      // The whole image is copied, suffix included.
      EXPECT_EQ(std::memcmp(buffer.get(), image.data(), c.size), 0);
    } else {
      EXPECT_EQ(buffer, nullptr);
    }
  }
}

TEST(PrepareFirmwareImage, MissingArgumentsAreRefused) {
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_BT_A}, {0});
  const std::uint8_t image[32] = {};
  std::uint32_t outSize = 0;
  std::unique_ptr<std::uint8_t[]> buffer;
  LogCapture log;
  EXPECT_EQ(upgrader.PrepareFirmwareImage(32, nullptr, &outSize, &buffer), E_FAIL);
  EXPECT_EQ(upgrader.PrepareFirmwareImage(0, image, &outSize, &buffer), E_FAIL);
  EXPECT_EQ(upgrader.PrepareFirmwareImage(32, image, nullptr, &buffer), E_FAIL);
  EXPECT_EQ(upgrader.PrepareFirmwareImage(32, image, &outSize, nullptr), E_FAIL);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(outSize, 0u);
  EXPECT_TRUE(log.Contains("Invalid Parameters"));
}

TEST(PrepareFirmwareImage, CumulativeSumWrapsAndPrintsSigned) {
  struct Case {
    std::size_t size;
    std::uint32_t sum;
    const char* line;
  };
  // 8,421,505 bytes of 0xFF sum to 2,147,483,775, past the signed range.
  const Case cases[] = {
      {3, 765, "Raw Image Cumulative Sum = 765"},
      {8421505, 2147483775u, "Raw Image Cumulative Sum = -2147483521"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    CInspectableUpgrader upgrader;
    upgrader.SetInventory({MCU_CODE_L}, {0});
    const std::vector<std::uint8_t> image(c.size, 0xFF);
    std::uint32_t outSize = 0;
    std::unique_ptr<std::uint8_t[]> buffer;
    EXPECT_EQ(upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(image.size()), image.data(), &outSize, &buffer),
              S_OK);
    EXPECT_EQ(upgrader.RawImageSum(), c.sum);
    EXPECT_TRUE(log.Contains(c.line));
  }
}

}  // namespace
