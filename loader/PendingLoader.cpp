// Stand-in until the bootloader sequences land: every operation fails.
#include "upgrader/UpgradeLPC18XX.h"

int CUpgradeLPC18XX::EnterBootloader() { return 0; }
int CUpgradeLPC18XX::ExitBootloader() { return 1; }
int CUpgradeLPC18XX::WriteToP(const std::uint8_t*, std::uint32_t, CProgressSurface&) { return 0; }
int CUpgradeLPC18XX::InitFirmwareUpgradeM(std::uint32_t) { return 0; }
int CUpgradeLPC18XX::FirmwareUpgradeWriteM(const std::uint8_t*, std::uint32_t) { return 0; }
int CUpgradeLPC18XX::EndFirmwareUpgradeM() { return 0; }
int CUpgradeLPC18XX::InitFirmwareUpgradeL(std::uint32_t) { return 0; }
int CUpgradeLPC18XX::FirmwareUpgradeWriteL(const std::uint8_t*, std::uint32_t) { return 0; }
int CUpgradeLPC18XX::EndFirmwareUpgradeL() { return 0; }
