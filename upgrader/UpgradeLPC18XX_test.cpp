#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "platform/Clock.h"
#include "upgrader/testing/UpgraderTestSupport.h"

namespace {

using Strings = std::vector<std::string>;

// How the log shows a pointer.
std::string PointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return text;
}

std::shared_ptr<CFakeHidDevice> ThreeProcessorDevice() {
  return ScriptedInventoryDevice(3, {
                                        {MCU_CODE_L, std::array<std::uint8_t, 4>{0x03, 0x10, 0x17, 0x20}},
                                        {MCU_CODE_M, std::array<std::uint8_t, 4>{0x22, 0x10, 0x15, 0x20}},
                                        {MCU_CODE_BT_A, std::array<std::uint8_t, 4>{0x28, 0x09, 0x15, 0x20}},
                                    });
}

TEST(UpgraderLifecycle, ConstructionPresetsAndLogOrder) {
  LogCapture log;
  {
    CInspectableUpgrader upgrader;
    EXPECT_EQ(upgrader.GetVariant(), 2u);
    EXPECT_EQ(upgrader.GetOptionFlag(), 0u);
    EXPECT_STREQ(upgrader.FileFilter(), "KES Files *.kes|All Files (*.*)|*.*||");
    EXPECT_STREQ(upgrader.DefaultExt(), "kes");
    EXPECT_STREQ(upgrader.FileMask(), "*.kes");
    EXPECT_TRUE(log.ContainsInOrder(
        Strings{"CFirmwareUpgrade::CFirmwareUpgrade", "HIDHelper::HIDHelper", "L::P", "L::ConstructInit"}));
    // Before any inventory, the preset single processor has nothing behind it.
    EXPECT_EQ(upgrader.GetBlockSize(), 0u);
    EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 0);
  }
  EXPECT_TRUE(log.ContainsInOrder(
      Strings{"L::~L", "L::~L - END", "HIDHelper::~HIDHelper", "CFirmwareUpgrade::~CFirmwareUpgrade"}));
}

TEST(UpgraderInventory, ThreeProcessors) {
  auto device = ThreeProcessorDevice();
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  ASSERT_EQ(upgrader.InitMCUData(), 1);
  ASSERT_EQ(upgrader.GetMCUCount(), 3u);

  const std::uint32_t expectedTypes[] = {AXFLASH_MCU_TYPE_P, AXFLASH_MCU_TYPE_M, AXFLASH_MCU_TYPE_B};
  const std::uint16_t expectedBlocks[] = {32, 48, 32};
  for (std::uint32_t index = 0; index < 3; ++index) {
    std::uint32_t type = 0;
    EXPECT_EQ(upgrader.GetMCUType(index, &type), S_OK);
    EXPECT_EQ(type, expectedTypes[index]);
    ASSERT_EQ(upgrader.SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader.GetBlockSize(), expectedBlocks[index]);
  }
  std::string versions;
  upgrader.GetAllFWVersionString(versions);
  EXPECT_EQ(versions, "L:20171003 A:20151022 B:20150928");

  // Queries on the wire: count, then type and version per processor numbered from 1.
  const auto sent = device->Sent();
  ASSERT_EQ(sent.size(), 7u);
  const std::uint8_t expectedQueries[7][2] = {{SYS_GET_MCU_COUNT, 0}, {SYS_GET_MCU_TYPE, 1}, {SYS_GET_MCU_VERSION, 1},
                                              {SYS_GET_MCU_TYPE, 2},  {SYS_GET_MCU_VERSION, 2}, {SYS_GET_MCU_TYPE, 3},
                                              {SYS_GET_MCU_VERSION, 3}};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(sent[i].size(), kOutputReportLength);
    EXPECT_EQ(sent[i][0], 0x00);
    EXPECT_EQ(sent[i][1], CMD_GROUP_SYSTEM);
    EXPECT_EQ(sent[i][2], expectedQueries[i][0]) << "query " << i;
    EXPECT_EQ(sent[i][3], expectedQueries[i][1]) << "query " << i;
  }
}

TEST(UpgraderInventory, UnknownTypeCodeHasNothingBehindIt) {
  LogCapture log;
  auto device = ScriptedInventoryDevice(1, {{5, std::array<std::uint8_t, 4>{0x03, 0x10, 0x17, 0x20}}});
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  ASSERT_EQ(upgrader.InitMCUData(), 1);

  std::uint32_t type = 77;
  EXPECT_EQ(upgrader.GetMCUType(0, &type), S_OK);
  EXPECT_EQ(type, 77u);
  EXPECT_TRUE(log.Contains("L::GetMCUType - Index[0] Type[77]"));
  EXPECT_TRUE(log.Contains("L::MCU [0] ver [00000000]"));
  ASSERT_EQ(upgrader.SetActiveMCU(0), S_OK);
  EXPECT_EQ(upgrader.GetBlockSize(), 0u);
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(10), 0);
  EXPECT_TRUE(upgrader.m_calls.empty());
}

TEST(UpgraderInventory, DeviceThatStopsAnsweringIsNotAskedAgain) {
  LogCapture log;
  // Processor 2's version goes unanswered; processor 3 would answer.
  auto device = ScriptedInventoryDevice(3, {{MCU_CODE_L, std::array<std::uint8_t, 4>{0x03, 0x10, 0x17, 0x20}},
                                            {MCU_CODE_M, std::nullopt},
                                            {MCU_CODE_BT_A, std::array<std::uint8_t, 4>{0x28, 0x09, 0x15, 0x20}}});
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  ASSERT_EQ(upgrader.InitMCUData(), 1);
  ASSERT_EQ(upgrader.GetMCUCount(), 3u);
  EXPECT_EQ(device->Sent().size(), 5u);

  std::string versions;
  upgrader.GetAllFWVersionString(versions);
  EXPECT_EQ(versions, "L:20171003 A:000000 B:000000");
  std::uint32_t type = 0;
  EXPECT_EQ(upgrader.GetMCUType(1, &type), S_OK);
  EXPECT_EQ(type, AXFLASH_MCU_TYPE_M);
  type = 77;
  EXPECT_EQ(upgrader.GetMCUType(2, &type), S_OK);
  EXPECT_EQ(type, 77u);
  EXPECT_FALSE(log.Contains("L::MCU [1] ver [00000000]"));
  EXPECT_TRUE(log.ContainsInOrder(Strings{"L::Get MCU [1] Ver...", "L::InitMCUData - no answer, MCU [1] and later not read"}));
  EXPECT_FALSE(log.Contains("L::Get MCU [2] Type..."));
  ASSERT_EQ(upgrader.SetActiveMCU(2), S_OK);
  EXPECT_TRUE(log.Contains("L::SetActiveMCU - def L type"));
  EXPECT_STREQ(upgrader.DefaultExt(), "hex");
  EXPECT_EQ(upgrader.GetBlockSize(), 0u);
}

TEST(UpgraderInventory, ValuesAnAnswerDidNotCarryAreZero) {
  LogCapture log;
  // Each short answer leaves off the bytes it should carry, while the buffer
  // behind them held an earlier answer: processor 1's type code behind its own
  // version answer and processor 2's type answer, processor 3's zeros behind
  // the last byte of its version.
  const std::array<std::uint8_t, 4> version{0x03, 0x10, 0x17, 0x20};
  auto device = ScriptedInventoryDevice(3, {{MCU_CODE_L, version, 5, 4},
                                            {MCU_CODE_BT_A, version, 4},
                                            {MCU_CODE_M, version, kInputReportLength, 7}});
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  ASSERT_EQ(upgrader.InitMCUData(), 1);
  EXPECT_EQ(device->Sent().size(), 7u);

  const std::uint32_t expectedTypes[] = {AXFLASH_MCU_TYPE_P, 77, AXFLASH_MCU_TYPE_M};
  for (std::uint32_t index = 0; index < 3; ++index) {
    std::uint32_t type = 77;
    EXPECT_EQ(upgrader.GetMCUType(index, &type), S_OK);
    EXPECT_EQ(type, expectedTypes[index]) << "processor " << index;
    // A version not read leaves the processor without a block length, as a failed query does.
    ASSERT_EQ(upgrader.SetActiveMCU(index), S_OK);
    EXPECT_EQ(upgrader.GetBlockSize(), 0u) << "processor " << index;
  }
  std::string versions;
  upgrader.GetAllFWVersionString(versions);
  EXPECT_EQ(versions, "L:000000 A:000000 B:000000");
  EXPECT_FALSE(log.Contains("L::MCU [1] Type [33]"));
  for (const char* line : {"L::MCU [0] ver", "L::MCU [1] Type", "L::MCU [2] ver"}) {
    for (const auto& message : log.Messages()) EXPECT_EQ(message.find(line), std::string::npos) << message;
  }
}

TEST(UpgraderInventory, NoProcessors) {
  auto device = ScriptedInventoryDevice(0);
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  ASSERT_EQ(upgrader.InitMCUData(), 1);
  EXPECT_EQ(upgrader.GetMCUCount(), 0u);
  EXPECT_EQ(upgrader.SetActiveMCU(0), E_FAIL);

  // Device loading reads processor 0 although there is none.
  std::string version;
  EXPECT_EQ(upgrader.GetDeviceFWVersionString(&version), 1);
  EXPECT_EQ(version, "Version : 000000");
  EXPECT_EQ(upgrader.GetBlockSize(), 0u);
  EXPECT_EQ(upgrader.CanUpgradeCurrentActiveMCU(), 0);
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(10), 0);
  const std::uint8_t image[32] = {};
  std::uint32_t outSize = 0;
  std::unique_ptr<std::uint8_t[]> buffer;
  EXPECT_EQ(upgrader.PrepareFirmwareImage(sizeof(image), image, &outSize, &buffer), E_FAIL);
}

TEST(UpgraderInventory, UnansweredCountFails) {
  auto device = ScriptedInventoryDevice(std::nullopt);
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  EXPECT_EQ(upgrader.InitMCUData(), 0);
  EXPECT_EQ(upgrader.GetMCUCount(), 1u);

  // An answer that ends before the count byte is no count either.
  auto shortAnswer = std::make_shared<CFakeHidDevice>();
  shortAnswer->onSend = [&answers = *shortAnswer](const CFakeHidDevice::Report&) {
    answers.PushInputReport({0x00, 0x00, CMD_GROUP_SYSTEM, SYS_GET_MCU_COUNT});
  };
  CInspectableUpgrader second;
  second.AttachDevice(shortAnswer);
  EXPECT_EQ(second.InitMCUData(), 0);
  EXPECT_EQ(second.GetMCUCount(), 1u);
}

// A device that reports 255 processors and then answers no query of theirs,
// silently or while it streams reports of another kind. The inventory ends
// after the first unanswered query, with the device's count and nothing else.
TEST(UpgraderInventory, DeviceThatGoesQuietAfterTheCountEndsTheInventoryAtOnce) {
  // The count is awaited in real time, so a busy machine cannot miss it; from
  // the first query after it, program time runs ten times faster. The bound is
  // for the test's sake only, far below the minutes it took to ask all 255.
  constexpr double kQuietTimeScale = 10;
  constexpr std::uint64_t kBoundMs = 60'000;
  for (const bool streams : {false, true}) {
    SCOPED_TRACE(streams ? "streaming" : "silent");
    Clock::SetTimeScale(1);
    LogCapture log;
    auto device = ScriptedInventoryDevice(255);
    std::atomic<std::uint64_t> quietFrom{0};
    device->onSend = [&quietFrom, answer = device->onSend](const CFakeHidDevice::Report& request) {
      if (request[2] != SYS_GET_MCU_COUNT && quietFrom == 0) {
        Clock::SetTimeScale(kQuietTimeScale);
        quietFrom = Clock::NowMs();
      }
      answer(request);
    };
    std::atomic<bool> stop{false};
    std::thread stream;
    if (streams) {
      stream = std::thread([&] {
        while (!stop) {
          device->PushInputReport({0x00, 0x00, CMD_GROUP_UART_DATA, 0x00});
          Clock::SleepMs(100);
        }
      });
    }
    CInspectableUpgrader upgrader;
    upgrader.AttachDevice(device);
    EXPECT_EQ(upgrader.InitMCUData(), 1);
    const std::uint64_t quietFor = Clock::NowMs() - quietFrom;
    stop = true;
    if (stream.joinable()) stream.join();

    std::printf("inventory of a device that goes quiet (%s): ends %llu ms of program time after the count\n",
                streams ? "streaming" : "silent", static_cast<unsigned long long>(quietFor));
    EXPECT_LT(quietFor, kBoundMs);
    EXPECT_EQ(device->Sent().size(), 2u) << "the count and the first type query";
    EXPECT_EQ(upgrader.GetMCUCount(), 255u);
    for (const std::uint32_t index : {0u, 254u}) {
      std::uint32_t type = 77;
      EXPECT_EQ(upgrader.GetMCUType(index, &type), S_OK);
      EXPECT_EQ(type, 77u);
    }
    std::string versions;
    upgrader.GetAllFWVersionString(versions);
    EXPECT_EQ(versions, "L:000000 A:000000 B:000000");
    EXPECT_TRUE(log.Contains("L::InitMCUData - no answer, MCU [0] and later not read"));
  }
  Clock::SetTimeScale(1);
}

TEST(UpgraderInventory, IndexesOutOfRange) {
  LogCapture log;
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_L, MCU_CODE_M, MCU_CODE_BT_A}, {1, 2, 3});
  ASSERT_EQ(upgrader.SetActiveMCU(1), S_OK);

  for (const std::uint32_t index : {3u, 4u, 0xFFFFFFFFu}) {
    std::uint32_t type = 42;
    EXPECT_EQ(upgrader.GetMCUType(index, &type), E_FAIL);
    EXPECT_EQ(type, 42u);
    EXPECT_EQ(upgrader.SetActiveMCU(index), E_FAIL);
    EXPECT_EQ(upgrader.GetActiveMCU(), 1u);
  }
  EXPECT_TRUE(log.Contains("L::GetMCUType - Index[3] Type[42]"));
  EXPECT_EQ(upgrader.GetMCUType(0, nullptr), E_FAIL);
}

TEST(UpgraderActiveProcessor, ImageFileDescriptionByType) {
  struct Case {
    std::uint32_t typeCode;
    const char* line;
    const char* filter;
    const char* ext;
    const char* mask;
  };
  const Case cases[] = {
      {MCU_CODE_M, "L::SetActiveMCU - M type", "KES Files *.kes|All Files (*.*)|*.*||", "kes", "*.kes"},
      {MCU_CODE_BT_A, "L::SetActiveMCU - D type", "DFU Files *.dfu|All Files (*.*)|*.*||", "dfu", "*.dfu"},
      {MCU_CODE_BT_B, "L::SetActiveMCU - D type", "DFU Files *.dfu|All Files (*.*)|*.*||", "dfu", "*.dfu"},
      {MCU_CODE_L, "L::SetActiveMCU - def L type", "HEX Files *.hex|All Files (*.*)|*.*||", "hex", "*.hex"},
      {0, "L::SetActiveMCU - def L type", "HEX Files *.hex|All Files (*.*)|*.*||", "hex", "*.hex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typeCode);
    LogCapture log;
    CInspectableUpgrader upgrader;
    // The active processor is the second, so the first entry's type must not decide.
    upgrader.SetInventory({99, c.typeCode}, {0, 0});
    ASSERT_EQ(upgrader.SetActiveMCU(1), S_OK);
    EXPECT_TRUE(log.ContainsInOrder(Strings{"L::SetActiveMCU - index[1]", c.line}));
    EXPECT_STREQ(upgrader.FileFilter(), c.filter);
    EXPECT_STREQ(upgrader.DefaultExt(), c.ext);
    EXPECT_STREQ(upgrader.FileMask(), c.mask);
  }
  LogCapture log;
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_BT_A}, {0});
  EXPECT_EQ(upgrader.SetActiveMCU(1), E_FAIL);
  EXPECT_EQ(log.Messages().back(), "L::SetActiveMCU - index[1]");
}

TEST(UpgraderProductName, BootloaderAnswersFixedNameWithoutAskingDevice) {
  LogCapture log;
  auto device = ThreeProcessorDevice();
  int productStringRequests = 0;
  device->onGetProductString = [&productStringRequests](std::span<char16_t>) {
    ++productStringRequests;
    return false;
  };
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  upgrader.SetBootloaderFlag(1);

  char16_t name[126];
  std::fill(std::begin(name), std::end(name), u'#');
  EXPECT_EQ(upgrader.GetProductName(name, sizeof(name)), S_OK);
  EXPECT_EQ(std::u16string(name), u"Aurelix Rho");
  EXPECT_EQ(productStringRequests, 0);

  // The name and its terminator need 24 bytes.
  char16_t small[12];
  EXPECT_EQ(upgrader.GetProductName(small, 23), E_FAIL);
  EXPECT_EQ(upgrader.GetProductName(small, 24), S_OK);
  EXPECT_EQ(std::u16string(small), u"Aurelix Rho");
  for (const auto& message : log.Messages()) {
    EXPECT_EQ(message.find("GetProductName"), std::string::npos) << message;
  }
}

TEST(UpgraderProductName, ApplicationAsksDevice) {
  LogCapture log;
  auto device = ThreeProcessorDevice();
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  char16_t name[126];
  EXPECT_EQ(upgrader.GetProductName(name, sizeof(name)), S_OK);
  EXPECT_EQ(std::u16string(name), u"Quillon Test");
  EXPECT_TRUE(log.Contains("L::GetProductName - Name[Quillon Test] hRes[00000000]"));
}

TEST(UpgraderProductName, NameFillingTheBufferIsTerminatedInside) {
  LogCapture log;
  auto device = ThreeProcessorDevice();
  // The name fills the whole buffer, leaving no room for a terminator.
  device->onGetProductString = [](std::span<char16_t> buffer) {
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = u"ABCD"[i % 4];
    return true;
  };
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  // One unit more than handed over, to see that nothing beyond is touched.
  char16_t name[127];
  name[126] = u'!';
  EXPECT_EQ(upgrader.GetProductName(name, 252), S_OK);
  EXPECT_EQ(name[125], u'\0');
  EXPECT_EQ(name[126], u'!');
  EXPECT_EQ(std::u16string(name).size(), 125u);
  std::string expected;
  for (int i = 0; i < 125; ++i) {
    expected += "ABCD"[i % 4];
  }
  EXPECT_TRUE(log.Contains("L::GetProductName - Name[" + expected + "] hRes[00000000]"));
}

TEST(UpgraderProductName, InvalidBufferOrNoDevice) {
  LogCapture log;
  CInspectableUpgrader upgrader;
  char16_t name[8] = {u'x'};
  EXPECT_EQ(upgrader.GetProductName(nullptr, 252), E_FAIL);
  EXPECT_TRUE(log.Contains("L::GetProductName - Buffer Invalid!![0000000000000000] Size[252]"));
  EXPECT_EQ(upgrader.GetProductName(name, 0), E_FAIL);
  EXPECT_TRUE(log.Contains("L::GetProductName - Buffer Invalid!![" + PointerText(name) + "] Size[0]"));
  // A single byte cannot hold even the terminator.
  EXPECT_EQ(upgrader.GetProductName(name, 1), E_FAIL);
  EXPECT_TRUE(log.Contains("L::GetProductName - Buffer Invalid!![" + PointerText(name) + "] Size[1]"));
  // No device open: the channel gives nothing, and the buffer is still safe to format.
  std::fill(std::begin(name), std::end(name), u'y');
  EXPECT_EQ(upgrader.GetProductName(name, sizeof(name)), E_FAIL);
  EXPECT_TRUE(log.Contains("L::GetProductName - Name[yyyyyyy] hRes[80004005]"));
}

TEST(UpgraderDevicePath, FailedReopenDropsTheKeptPath) {
  LogCapture log;
  CInspectableUpgrader upgrader;
  upgrader.DevicePathSlot() = std::make_unique<char16_t[]>(8);
  upgrader.SetBootloaderFlag(1);
  EXPECT_LT(upgrader.OpenDeviceHandle(), 0);
  EXPECT_EQ(upgrader.GetDevicePath(), nullptr);
  EXPECT_TRUE(log.Contains("HIDHelper::OpenDeviceHandle - hRes[80004005] IsBootloader[0]"));
}

TEST(UpgraderFactory, NoDeviceGivesNoUpgrader) {
  LogCapture log;
  EXPECT_EQ(CreateCFirmwareUpgrade(), nullptr);
  EXPECT_TRUE(log.ContainsInOrder(Strings{"L::Init", "L::Init - hRes[80004005]",
                                          "CFirmwareUpgrade::CreateCFirmwareUpgrade - L Init Fail", "L::~L",
                                          "CFirmwareUpgrade::CreateCFirmwareUpgrade - L pFirmwareUpgrade[0000000000000000]"}));
}

struct RoutingCase {
  std::uint32_t typeCode;
  const char* init;
  const char* write;  // null: the block is accepted without a call
  const char* end;
};

TEST(UpgraderRouting, SequenceGoesToTheActiveProcessorsType) {
  const RoutingCase cases[] = {
      {MCU_CODE_L, "InitL", "WriteL", "EndL"},
      {MCU_CODE_M, "InitM", "WriteM", "EndM"},
      {MCU_CODE_BT_A, "InitB", nullptr, "EndB"},
      {MCU_CODE_BT_B, "InitB", nullptr, "EndB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typeCode);
    CInspectableUpgrader upgrader;
    upgrader.SetInventory({0, c.typeCode}, {0, 0});
    ASSERT_EQ(upgrader.SetActiveMCU(1), S_OK);
    upgrader.m_writeResult = 7;
    const std::uint8_t block[32] = {};
    EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 1);
    EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), c.write != nullptr ? 7 : 1);
    EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 1);
    Strings expected = {c.init};
    if (c.write != nullptr) {
      expected.push_back(c.write);
    }
    expected.push_back(c.end);
    EXPECT_EQ(upgrader.m_calls, expected);
    EXPECT_EQ(upgrader.GetUpgradedCount(), 1u);
  }
}

TEST(UpgraderRouting, UnknownTypeAnswersZero) {
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_L, 0}, {0, 0});
  ASSERT_EQ(upgrader.SetActiveMCU(1), S_OK);
  const std::uint8_t block[32] = {};
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 0);
  EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 0);
  EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 0);
  EXPECT_TRUE(upgrader.m_calls.empty());
  EXPECT_EQ(upgrader.GetUpgradedCount(), 0u);
}

TEST(UpgraderRouting, WriteSequenceStates) {
  const std::uint8_t block[32] = {};
  CInspectableUpgrader upgrader;
  upgrader.SetInventory({MCU_CODE_L}, {0});
  ASSERT_EQ(upgrader.SetActiveMCU(0), S_OK);

  // Nothing open yet.
  EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 0);
  EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 0);
  EXPECT_EQ(upgrader.GetUpgradedCount(), 0u);
  EXPECT_TRUE(upgrader.m_calls.empty());

  // A failed start leaves the sequence closed.
  upgrader.m_initResult = 0;
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 0);
  EXPECT_EQ(upgrader.WriteOpen(), 0u);
  EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 0);
  upgrader.m_initResult = 1;
  upgrader.m_calls.clear();

  // First sequence; a second start while open fails without a call.
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 1);
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 0);
  EXPECT_EQ(upgrader.WriteOpen(), 1u);
  EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 1);
  EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 1);
  EXPECT_EQ(upgrader.m_calls, (Strings{"InitL", "WriteL", "EndL"}));
  EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 0);

  // A failed end closes the sequence and does not count.
  upgrader.m_endResult = 0;
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 1);
  EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 0);
  EXPECT_EQ(upgrader.WriteOpen(), 0u);
  EXPECT_EQ(upgrader.GetUpgradedCount(), 1u);

  // Second successful sequence.
  upgrader.m_endResult = 1;
  EXPECT_EQ(upgrader.InitFirmwareUpgrade(100), 1);
  EXPECT_EQ(upgrader.EndFirmwareUpgrade(), 1);
  EXPECT_EQ(upgrader.GetUpgradedCount(), 2u);
}

TEST(UpgraderRouting, BluetoothBlocksSendNothing) {
  auto device = ThreeProcessorDevice();
  CInspectableUpgrader upgrader;
  upgrader.AttachDevice(device);
  upgrader.SetInventory({MCU_CODE_L, MCU_CODE_M, MCU_CODE_BT_A}, {0, 0, 0});
  ASSERT_EQ(upgrader.SetActiveMCU(2), S_OK);
  ASSERT_EQ(upgrader.InitFirmwareUpgrade(1000), 1);
  const std::uint8_t block[32] = {1, 2, 3};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(upgrader.FirmwareUpgradeWrite(block, sizeof(block)), 1);
  }
  EXPECT_TRUE(device->Sent().empty());
  EXPECT_EQ(upgrader.m_calls, (Strings{"InitB"}));
}

}  // namespace
