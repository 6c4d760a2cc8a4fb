// Stand-in until the Bluetooth path lands: every operation fails.
#include "upgrader/UpgradeLPC18XX.h"

int CUpgradeLPC18XX::FirmwareUpgradeWriteB(const std::uint8_t*, std::uint32_t, CProgressSurface&) { return 0; }
int CUpgradeLPC18XX::InitFirmwareUpgradeB(std::uint32_t) { return 0; }
int CUpgradeLPC18XX::EndFirmwareUpgradeB() { return 0; }
void CUpgradeLPC18XX::SetUartFirmwareUpgradeMode(int) {}
