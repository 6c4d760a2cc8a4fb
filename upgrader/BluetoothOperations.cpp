// The upgrader's Bluetooth operations: the UART bridge mode switch and the DFU download.
#include "app/log/Log.h"
#include "bluetooth/BridgeMode.h"
#include "bluetooth/DfuDownload.h"
#include "upgrader/UpgradeLPC18XX.h"

int CUpgradeLPC18XX::FirmwareUpgradeWriteB(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) {
  if (image == nullptr && size != 0) return 0;
  const std::span<const std::uint8_t> bytes = image != nullptr ? std::span(image, size) : std::span<const std::uint8_t>();
  return DownloadDfuImage(m_helper.Device(), m_helper.ReaderStoppedFlag(), bytes, progress);
}

void CUpgradeLPC18XX::SetUartFirmwareUpgradeMode(int enter) { SendUartBridgeMode(m_helper, enter); }

int CUpgradeLPC18XX::InitFirmwareUpgradeB(std::uint32_t) {
  SetUartFirmwareUpgradeMode(1);
  RouteUartDataToBridge(m_helper);
  LogMessage("L::InitFirmwareUpgradeB - success[%s]", "TRUE");
  return 1;
}

int CUpgradeLPC18XX::EndFirmwareUpgradeB() {
  SetUartFirmwareUpgradeMode(0);
  LogMessage("L::EndFirmwareUpgradeB - success[%s]", "TRUE");
  return 1;
}
