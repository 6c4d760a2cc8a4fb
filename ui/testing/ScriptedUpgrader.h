#pragma once
// Test support: an upgrader that plays a script instead of talking to a
// device, and records every call in order. Upgraders made by one factory
// share the script and the record, as the reload after an upgrade makes a
// second one.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "upgrader/FirmwareUpgrade.h"

struct ScriptedProcessor {
  std::uint32_t type = AXFLASH_MCU_TYPE_P;
  bool typeQueryFails = false;
  int verdict = 1;  // CanUpgradeCurrentActiveMCU
};

struct UpgraderScript {
  std::u16string productName = u"Aurelix Rho";
  HRESULT productNameStatus = S_OK;
  std::string version = "1.00";
  std::vector<ScriptedProcessor> processors{ScriptedProcessor{}};
  int overallVerdict = 0;  // VersionCheckingHardcodedCompare
  bool inBootloader = false;
  int enterBootloaderResult = 1;
  std::optional<HRESULT> prepareStatus;  // unset: the base copy
  int initResult = 1;
  int writeWholeResult = 1;  // WriteToP and FirmwareUpgradeWriteB
  std::uint16_t blockSize = 64;
  int failBlock = -1;  // index of the block write that fails
  int endResult = 1;
  // When set, block write number `holdBlock` (or the whole-image write) waits until Release().
  bool holdWrite = false;
  int holdBlock = 0;
  // Called before each block write with the block's index.
  std::function<void(int)> onBlock;

  // Filled in by the upgraders.
  std::vector<std::string> Calls() const;
  std::vector<std::uint16_t> BlockLengths() const;
  int UpgradersMade() const;
  bool WriteEntered() const;
  void WaitUntilWriteEntered() const;
  void Release();

  void Record(std::string call);
  void RecordBlock(std::uint16_t length);
  void HoldIfAsked();
  void CountUpgrader();

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_calls;
  std::vector<std::uint16_t> m_blocks;
  int m_made = 0;
  bool m_entered = false;
  bool m_released = false;
};

class CScriptedUpgrader : public CFirmwareUpgrade {
 public:
  explicit CScriptedUpgrader(std::shared_ptr<UpgraderScript> script);

  HRESULT PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* rawImage, std::uint32_t* outSize,
                               std::unique_ptr<std::uint8_t[]>* outBuffer) override;
  HRESULT GetProductName(char16_t* buffer, std::uint32_t sizeBytes) override;
  std::uint16_t GetBlockSize() override;
  int GetDeviceFWVersionString(std::string* version) override;
  int GetAllFWVersionString(std::string& versions) override;
  std::uint32_t ReservedQuery(std::uint32_t, std::uint32_t, std::uint32_t) override { return 0; }
  int InitFirmwareUpgrade(std::uint32_t imageSize) override;
  int FirmwareUpgradeWrite(const std::uint8_t* block, std::uint16_t length) override;
  int EndFirmwareUpgrade() override;
  HRESULT SetActiveMCU(std::uint32_t index) override;
  HRESULT GetMCUType(std::uint32_t index, std::uint32_t* type) override;
  HRESULT Init() override { return S_OK; }
  std::uint32_t IsBootloader() override;
  std::uint32_t GetUpgradedCount() override { return m_upgraded; }
  int CanUpgradeCurrentActiveMCU() override;
  int VersionCheckingHardcodedCompare() override;
  int EnterBootloader() override;
  int ExitBootloader() override;
  int WriteToP(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) override;
  int FirmwareUpgradeWriteB(const std::uint8_t* image, std::uint32_t size, CWriteProgress& progress) override;

 private:
  std::shared_ptr<UpgraderScript> m_script;
  std::uint32_t m_upgraded = 0;
  int m_blockIndex = 0;
};
