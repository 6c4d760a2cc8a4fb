#pragma once
// CUpgradeLPC18XX: the device's upgrader. It embeds the HID channel, takes the
// processor inventory, answers versions and verdicts, and routes the write
// sequence to the programming sequence of the active processor's type, which
// the sequences of loader/ and bluetooth/ carry out on the channel:
//   UpgradeLPC18XX.cpp        construction, inventory, routing
//   Versions.cpp              versions and verdicts
//   ImagePreparation.cpp      images made ready for their writer
//   BootloaderOperations.cpp  bootloader entry and exit, main microcontroller, third controller type
//   BluetoothOperations.cpp   UART bridge mode and the DFU download
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hid/HIDHelper.h"
#include "loader/md5/Md5.h"
#include "upgrader/FirmwareUpgrade.h"

// Firmware version: BCD year in bits 0-15, month in bits 16-23, day in bits 24-31.
using McuVersion = std::uint32_t;

class CUpgradeLPC18XX : public CFirmwareUpgrade {
 public:
  CUpgradeLPC18XX();
  ~CUpgradeLPC18XX() override;

  // CFirmwareUpgrade
  HRESULT PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage, std::uint32_t* outSize,
                               std::unique_ptr<std::uint8_t[]>* outBuffer) override;
  HRESULT GetFirmwareImage(std::uint32_t size, const std::uint8_t* image, std::uint32_t* outSize,
                           std::unique_ptr<std::uint8_t[]>* outBuffer) override;
  int VersionCheckingHardcodedCompare() override;
  HRESULT GetProductName(char16_t* buffer, std::uint32_t sizeBytes) override;
  std::uint16_t GetBlockSize() override;
  int GetDeviceFWVersionString(std::string* version) override;
  int GetAllFWVersionString(std::string& versions) override;
  std::uint32_t ReservedQuery(std::uint32_t a, std::uint32_t b, std::uint32_t c) override;
  int InitFirmwareUpgrade(std::uint32_t imageSize) override;
  int FirmwareUpgradeWrite(const std::uint8_t* block, std::uint16_t length) override;
  int EndFirmwareUpgrade() override;
  HRESULT SetActiveMCU(std::uint32_t index) override;
  HRESULT GetMCUType(std::uint32_t index, std::uint32_t* type) override;
  HRESULT Init() override;

  std::uint32_t IsBootloader() override;
  std::uint32_t GetUpgradedCount() override;
  int CanUpgradeCurrentActiveMCU() override;
  int EnterBootloader() override;
  int ExitBootloader() override;
  int WriteToP(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) override;
  int FirmwareUpgradeWriteB(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) override;

  // Operations this upgrader adds, in their fixed order.
  virtual void ConstructInit();                                                 // 25
  virtual HRESULT OpenDeviceHandle();                                           // 26
  virtual int ReservedCheck(std::uint32_t value);                               // 27
  virtual int InitFirmwareUpgradeM(std::uint32_t imageSize);                    // 28
  virtual int FirmwareUpgradeWriteM(const std::uint8_t* data, std::uint32_t length);  // 29
  virtual int EndFirmwareUpgradeM();                                            // 30
  virtual int InitFirmwareUpgradeL(std::uint32_t imageSize);                    // 31
  virtual int FirmwareUpgradeWriteL(const std::uint8_t* image, std::uint32_t size);  // 32
  virtual int EndFirmwareUpgradeL();                                            // 33
  virtual int InitFirmwareUpgradeB(std::uint32_t imageSize);                    // 34
  virtual int FirmwareUpgradeWriteBlockB(const std::uint8_t* block, std::uint32_t length);  // 35
  virtual int EndFirmwareUpgradeB();                                            // 36
  virtual int InitMCUData();                                                    // 37

  // Sends the UART bridge command: enter when `enter` is 1, leave otherwise.
  void SetUartFirmwareUpgradeMode(int enter);

 protected:
  // Type code, version and block length of processor `index`; 0 for an index
  // the inventory does not hold.
  std::uint32_t TypeCodeAt(std::uint32_t index) const;
  McuVersion VersionAt(std::uint32_t index) const;
  std::uint16_t BlockSizeAt(std::uint32_t index) const;
  // Reads type code, version and block length of processor `index` into the
  // inventory; a value the answer did not carry stays 0. False when a query
  // got no answer at all.
  bool ReadProcessor(std::uint32_t index, std::span<std::uint8_t> buffer);

  std::uint32_t m_writeOpen = 0;
  CHIDHelper m_helper;
  std::vector<std::uint32_t> m_mcuTypes;
  std::vector<McuVersion> m_mcuVersions;
  std::vector<std::uint16_t> m_blockSizes;
  std::uint32_t m_writeAddressM = 0;
  std::uint32_t m_isBootloader = 0;
  std::uint32_t m_rawImageSum = 0;
  std::int32_t m_verdictL = 0;
  std::int32_t m_verdictA = 0;
  std::int32_t m_verdictB = 0;
  std::uint32_t m_upgradedCount = 0;
  // The digest of what the main microcontroller and third controller loaders send.
  CMd5 m_md5;
};
