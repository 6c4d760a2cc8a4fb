// The upgrader's bootloader operations: switching the device between its
// application and its bootloader, and the write sequences of the main
// microcontroller (Intel HEX records) and the third controller type.
#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "loader/BootloaderSwitch.h"
#include "loader/HexWriter.h"
#include "loader/MainLoader.h"
#include "loader/ThirdController.h"
#include "upgrader/UpgradeLPC18XX.h"

int CUpgradeLPC18XX::EnterBootloader() {
  LogMessage("EnterBootloader");
  if (m_helper.ReaderStopped() != 0) {
    // The device was reset or replugged since it was opened: reopen it first,
    // then decide whether a restart is needed.
    m_helper.CloseDeviceHandle();
    if (FAILED(OpenDeviceHandle())) {
      LogMessage("EnterBootloader - OpenDeviceHandle() failed");
      return 0;
    }
  }
  if (IsBootloader() != 0) return 1;

  m_isBootloader = 0;
  if (!RestartInBootloader(m_helper)) return 0;
  m_helper.OpenDeviceHandle(kVendorId, kBootloaderProductId, 2, nullptr, &m_devicePath);
  const int result = m_helper.Device() != nullptr ? 1 : 0;
  m_isBootloader = m_helper.IsBootloader();
  return result;
}

int CUpgradeLPC18XX::ExitBootloader() {
  LogMessage("ExitBootloader");
  if (m_helper.ReaderStopped() != 0) {
    m_helper.CloseDeviceHandle();
    if (FAILED(OpenDeviceHandle())) return 0;
  }
  if (IsBootloader() == 0) return 1;

  m_isBootloader = 0;
  if (!RestartInApplication(m_helper)) return 0;
  const int result = FAILED(OpenDeviceHandle()) ? 0 : 1;
  m_isBootloader = m_helper.IsBootloader();
  return result;
}

int CUpgradeLPC18XX::InitFirmwareUpgradeL(std::uint32_t /*imageSize*/) {
  LogMessage("L::InitFirmwareUpgrade");
  if (IsBootloader() == 0) return 0;
  return BeginMainLoader(m_helper, m_md5);
}

int CUpgradeLPC18XX::WriteToP(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) {
  if (image == nullptr) return 0;
  return SendHexRecords(m_helper, m_md5, std::span(image, size), ">>> WriteToP total lines = %d", &progress);
}

int CUpgradeLPC18XX::FirmwareUpgradeWriteL(const std::uint8_t* image, std::uint32_t size) {
  if (image == nullptr) return 0;
  return SendHexRecords(m_helper, m_md5, std::span(image, size), ">>> WriteToL total lines = %d", nullptr);
}

int CUpgradeLPC18XX::EndFirmwareUpgradeL() {
  LogMessage("L::EndFirmwareUpgradeL");
  return FinishMainLoader(m_helper, m_md5);
}

int CUpgradeLPC18XX::InitFirmwareUpgradeM(std::uint32_t /*imageSize*/) {
  LogMessage("L::InitFirmwareUpgradeM");
  return BeginThirdController(m_helper, m_md5, m_writeAddressM);
}

int CUpgradeLPC18XX::FirmwareUpgradeWriteM(const std::uint8_t* data, std::uint32_t length) {
  return WriteThirdController(m_helper, m_md5, m_writeAddressM, data, length);
}

int CUpgradeLPC18XX::EndFirmwareUpgradeM() { return FinishThirdController(m_helper, m_md5); }
