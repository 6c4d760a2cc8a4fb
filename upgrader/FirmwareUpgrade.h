#pragma once
// CFirmwareUpgrade: the interface through which the upgrade controller and the
// image loader drive a device. The base holds the fields every upgrader shares
// and implements the operations that need no device.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/WriteProgress.h"
#include "app/log/Status.h"

// Interface processor types, as GetMCUType reports them.
inline constexpr std::uint32_t AXFLASH_MCU_TYPE_M = 1;  // third controller type
inline constexpr std::uint32_t AXFLASH_MCU_TYPE_B = 2;  // Bluetooth chip
inline constexpr std::uint32_t AXFLASH_MCU_TYPE_P = 3;  // main microcontroller

// Results of CompareVersionStrings.
inline constexpr int CURR_VERSION_CHECK_OLDER = 0;
inline constexpr int CURR_VERSION_CHECK_SAME = 1;
inline constexpr int CURR_VERSION_CHECK_NEWER = 2;
inline constexpr int CURR_VERSION_CHECK_UNKNOWN = 3;

class CFirmwareUpgrade {
 public:
  CFirmwareUpgrade();
  CFirmwareUpgrade(const CFirmwareUpgrade&) = delete;
  CFirmwareUpgrade& operator=(const CFirmwareUpgrade&) = delete;

  // The generic interface, in its fixed order.
  virtual ~CFirmwareUpgrade();                                                      // 1
  virtual std::uint32_t GetReservedValue();                                          // 2
  virtual HRESULT PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage,
                                       std::uint32_t* outSize,
                                       std::unique_ptr<std::uint8_t[]>* outBuffer);  // 3
  virtual HRESULT GetFirmwareImage(std::uint32_t size, const std::uint8_t* image, std::uint32_t* outSize,
                                   std::unique_ptr<std::uint8_t[]>* outBuffer);      // 4
  virtual std::uint32_t GetVariant();                                                // 5
  virtual int CompareVersionStrings(std::string currentVersion, std::string newVersion);  // 6
  virtual int VersionCheckingHardcodedCompare();                                     // 7
  virtual HRESULT GetProductName(char16_t* buffer, std::uint32_t sizeBytes) = 0;     // 8
  virtual std::uint16_t GetBlockSize() = 0;                                          // 9
  virtual int GetDeviceFWVersionString(std::string* version) = 0;                    // 10
  virtual int GetAllFWVersionString(std::string& versions) = 0;                      // 11
  virtual std::uint32_t ReservedQuery(std::uint32_t a, std::uint32_t b, std::uint32_t c) = 0;  // 12
  virtual int InitFirmwareUpgrade(std::uint32_t imageSize) = 0;                      // 13
  virtual int FirmwareUpgradeWrite(const std::uint8_t* block, std::uint16_t length) = 0;  // 14
  virtual int EndFirmwareUpgrade() = 0;                                              // 15
  virtual std::uint32_t ReservedFlag();                                              // 16
  virtual std::uint8_t GetOptionFlag();                                              // 17
  virtual std::uint32_t GetMCUCount();                                               // 18
  virtual HRESULT SetActiveMCU(std::uint32_t index);                                 // 19
  virtual std::uint32_t GetActiveMCU();                                              // 20
  virtual HRESULT GetMCUType(std::uint32_t index, std::uint32_t* type);              // 21
  virtual std::uint16_t GetProductID();                                              // 22
  virtual const char16_t* GetDevicePath();                                           // 23
  virtual HRESULT Init() = 0;                                                        // 24

  // What the upgrade controller needs beyond the generic operations: bootloader
  // switching, per-processor verdicts and the whole-image writers. Reached
  // through the interface so that the controller works with any upgrader.
  virtual std::uint32_t IsBootloader() = 0;
  virtual std::uint32_t GetUpgradedCount() = 0;
  virtual int CanUpgradeCurrentActiveMCU() = 0;
  virtual int EnterBootloader() = 0;
  virtual int ExitBootloader() = 0;
  virtual int WriteToP(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) = 0;
  virtual int FirmwareUpgradeWriteB(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) = 0;

 protected:
  std::uint16_t m_productId = 0;
  std::uint32_t m_reservedValue = 0;
  std::uint32_t m_mcuCount = 1;
  std::uint32_t m_defaultMcuType = 0;
  std::uint32_t m_indexMCU = 0;
  std::uint32_t m_variant = 0;
  std::uint8_t m_optionFlag = 1;
  const char* m_fileFilter = nullptr;
  const char* m_defaultExt = nullptr;
  const char* m_fileMask = nullptr;
  std::unique_ptr<char16_t[]> m_devicePath;
};

// Constructs the device's upgrader, opens the device and reads its processor
// inventory; null when no usable device is there. The caller owns the result.
std::unique_ptr<CFirmwareUpgrade> CreateCFirmwareUpgrade();
