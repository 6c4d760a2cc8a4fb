#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/log/Log.h"
#include "upgrader/FirmwareUpgrade.h"

namespace {

using Strings = std::vector<std::string>;

// The base with every device operation answered trivially, to observe what
// the base itself does.
class CBareUpgrade : public CFirmwareUpgrade {
 public:
  HRESULT GetProductName(char16_t*, std::uint32_t) override { return E_FAIL; }
  std::uint16_t GetBlockSize() override { return 0; }
  int GetDeviceFWVersionString(std::string*) override { return 1; }
  int GetAllFWVersionString(std::string&) override { return 1; }
  std::uint32_t ReservedQuery(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  int InitFirmwareUpgrade(std::uint32_t) override { return 0; }
  int FirmwareUpgradeWrite(const std::uint8_t*, std::uint16_t) override { return 0; }
  int EndFirmwareUpgrade() override { return 0; }
  HRESULT Init() override { return E_FAIL; }
  std::uint32_t IsBootloader() override { return 0; }
  std::uint32_t GetUpgradedCount() override { return 0; }
  int CanUpgradeCurrentActiveMCU() override { return 0; }
  int EnterBootloader() override { return 0; }
  int ExitBootloader() override { return 0; }
  int WriteToP(const std::uint8_t*, std::uint32_t, CWriteProgress&) override { return 0; }
  int FirmwareUpgradeWriteB(const std::uint8_t*, std::uint32_t, CWriteProgress&) override { return 0; }

  void SetDefaultType(std::uint32_t type) { m_defaultMcuType = type; }
};

TEST(FirmwareUpgradeBase, FreshObject) {
  LogCapture log;
  {
    CBareUpgrade upgrade;
    EXPECT_EQ(upgrade.GetMCUCount(), 1u);
    EXPECT_EQ(upgrade.GetActiveMCU(), 0u);
    EXPECT_EQ(upgrade.GetOptionFlag(), 1u);
    EXPECT_EQ(upgrade.GetVariant(), 0u);

    upgrade.SetDefaultType(AXFLASH_MCU_TYPE_B);
    std::uint32_t type = 99;
    EXPECT_EQ(upgrade.GetMCUType(0, &type), S_OK);
    EXPECT_EQ(type, AXFLASH_MCU_TYPE_B);
    type = 99;
    EXPECT_EQ(upgrade.GetMCUType(1, &type), E_FAIL);
    EXPECT_EQ(type, 99u);
  }
  EXPECT_TRUE(log.ContainsInOrder(Strings{"CFirmwareUpgrade::CFirmwareUpgrade", "CFirmwareUpgrade::~CFirmwareUpgrade"}));
}

TEST(FirmwareUpgradeBase, SetActiveMCUOutOfRangeKeepsActive) {
  CBareUpgrade upgrade;
  EXPECT_EQ(upgrade.SetActiveMCU(1), E_FAIL);
  EXPECT_EQ(upgrade.GetActiveMCU(), 0u);
  EXPECT_EQ(upgrade.SetActiveMCU(0), S_OK);
}

TEST(FirmwareUpgradeBase, PrepareCopiesOrRefuses) {
  CBareUpgrade upgrade;
  const std::uint8_t image[5] = {1, 2, 3, 4, 5};
  {
    LogCapture log;
    std::uint32_t outSize = 0;
    std::unique_ptr<std::uint8_t[]> buffer;
    EXPECT_EQ(upgrade.PrepareFirmwareImage(0, image, &outSize, &buffer), E_FAIL);
    EXPECT_EQ(buffer, nullptr);
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].rfind("CFirmwareUpgrade::PrepareFirmwareImage - rawImageSize[0] pRawImage[", 0), 0u);
    EXPECT_EQ(messages[1], "Invalid Parameters");
  }
  std::uint32_t outSize = 0;
  std::unique_ptr<std::uint8_t[]> buffer;
  ASSERT_EQ(upgrade.PrepareFirmwareImage(sizeof(image), image, &outSize, &buffer), S_OK);
  EXPECT_EQ(outSize, sizeof(image));
  EXPECT_NE(buffer.get(), image);
  EXPECT_EQ(std::memcmp(buffer.get(), image, sizeof(image)), 0);
}

TEST(FirmwareUpgradeBase, GetFirmwareImageCopyOutlivesInput) {
  CBareUpgrade upgrade;
  auto input = std::make_unique<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{9, 8, 7});
  std::uint32_t outSize = 0;
  std::unique_ptr<std::uint8_t[]> copy;
  LogCapture log;
  ASSERT_EQ(upgrade.GetFirmwareImage(3, input->data(), &outSize, &copy), S_OK);
  EXPECT_TRUE(log.Messages().empty());
  input.reset();
  EXPECT_EQ(outSize, 3u);
  EXPECT_EQ(copy[0], 9);
  EXPECT_EQ(copy[2], 7);

  std::unique_ptr<std::uint8_t[]> none;
  const std::uint8_t byte = 1;
  EXPECT_EQ(upgrade.GetFirmwareImage(0, &byte, &outSize, &none), E_FAIL);
  EXPECT_EQ(upgrade.GetFirmwareImage(1, nullptr, &outSize, &none), E_FAIL);
  EXPECT_EQ(none, nullptr);
}

}  // namespace
