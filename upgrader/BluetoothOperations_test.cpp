// The upgrader's Bluetooth operations on a fake device: the bridge commands,
// and the UART hook that the restarted HID reader feeds.
#include <gtest/gtest.h>

#include "app/log/Log.h"
#include "bluetooth/UartBridge.h"
#include "bluetooth/testing/TestChip.h"
#include "ui/DialogProgress.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

class CTestUpgrader : public CUpgradeLPC18XX {
 public:
  CHIDHelper& Helper() { return m_helper; }
};

Bytes BridgeCommand(std::uint8_t code) {
  Bytes report(65, 0);
  report[1] = 0x3E;
  report[2] = code;
  return report;
}

TEST(BluetoothUpgradeTest, BridgeModeCommandsAndTheUartHook) {
  LogCapture log;
  DrainHostQueue();
  auto device = std::make_shared<CFakeHidDevice>();
  {
    CTestUpgrader upgrader;
    upgrader.Helper().AttachDevice(device);

    EXPECT_EQ(upgrader.InitFirmwareUpgradeB(1234), 1);
    ASSERT_FALSE(device->Sent().empty());
    EXPECT_EQ(device->Sent()[0], BridgeCommand(0x06));
    EXPECT_TRUE(log.ContainsInOrder(
        std::vector<std::string>{"Entering UART Firmware upgrade mode", "L::InitFirmwareUpgradeB - success[TRUE]"}));

    // The restarted reader hands UART data reports to the bridge's queue.
    device->PushInputReport({0x00, 0x00, 0x28, 0x02, 0xAA, 0xBB, 0xCC});
    ASSERT_TRUE(UartRxWaitFor(std::chrono::seconds(30)));
    std::uint8_t byte = 0;
    Bytes received;
    while (received.size() < 2 && UartRxWaitFor(std::chrono::seconds(30)) && UartGetByte(byte)) received.push_back(byte);
    EXPECT_EQ(received, (Bytes{0xAA, 0xBB}));

    device->ClearSent();
    EXPECT_EQ(upgrader.EndFirmwareUpgradeB(), 1);
    EXPECT_EQ(device->Sent(), std::vector<Bytes>{BridgeCommand(0x07)});
    EXPECT_TRUE(log.ContainsInOrder(
        std::vector<std::string>{"Exiting UART Firmware upgrade mode", "L::EndFirmwareUpgradeB - success[TRUE]"}));

    CFakeProgress surface;
    CDialogProgress progress(surface);
    EXPECT_EQ(upgrader.FirmwareUpgradeWriteB(nullptr, 100, progress), 0);
  }
  DrainHostQueue();
}

}  // namespace
