// The upgrader's Bluetooth operations: the UART bridge mode switch and the DFU download.
#include <array>

#include "app/log/Log.h"
#include "bluetooth/DfuDownload.h"
#include "bluetooth/UartBridge.h"
#include "hid/ClassRequest.h"
#include "hid/Reports.h"
#include "upgrader/UpgradeLPC18XX.h"

int CUpgradeLPC18XX::FirmwareUpgradeWriteB(const std::uint8_t* image, std::uint32_t size, CProgressSurface& dialog) {
  if (image == nullptr && size != 0) return 0;
  const std::span<const std::uint8_t> bytes = image != nullptr ? std::span(image, size) : std::span<const std::uint8_t>();
  return DownloadDfuImage(m_helper.m_hDevice, m_helper.m_readerStopped, bytes, dialog);
}

void CUpgradeLPC18XX::SetUartFirmwareUpgradeMode(int enter) {
  std::array<std::uint8_t, kOutputReportLength> report{};
  report[1] = CMD_GROUP_SYSTEM;
  report[2] = enter == 1 ? SYS_UART_BRIDGE_ENTER : SYS_UART_BRIDGE_EXIT;
  SendClassRequest(m_helper, report);
  LogMessage(enter != 0 ? "Entering UART Firmware upgrade mode" : "Exiting UART Firmware upgrade mode");
}

int CUpgradeLPC18XX::InitFirmwareUpgradeB(std::uint32_t) {
  SetUartFirmwareUpgradeMode(1);
  // The restarted reader hands every UART data report to the bridge's receive queue.
  m_helper.SetUartDataHook(&UartRxPush);
  m_helper.StopHIDInterruptThread();
  m_helper.StartHIDInterruptThread();
  LogMessage("L::InitFirmwareUpgradeB - success[%s]", "TRUE");
  return 1;
}

int CUpgradeLPC18XX::EndFirmwareUpgradeB() {
  SetUartFirmwareUpgradeMode(0);
  LogMessage("L::EndFirmwareUpgradeB - success[%s]", "TRUE");
  return 1;
}
