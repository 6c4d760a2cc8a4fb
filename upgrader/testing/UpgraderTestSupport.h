#pragma once
// Test rig for the upgrader: a scripted HID device at the platform boundary
// that answers the inventory queries, and an upgrader whose processor
// sequences are replaced by recorders so that routing can be observed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hid/Reports.h"
#include "platform/testing/FakeHidDevice.h"
#include "upgrader/UpgradeLPC18XX.h"

// One processor as the scripted device reports it; an absent field is a
// query the device leaves unanswered.
struct ScriptedProcessor {
  std::optional<std::uint8_t> typeCode;
  std::optional<std::array<std::uint8_t, 4>> versionBytes;  // answer bytes 4..7
  // Lengths of the two answers; a shorter one leaves out the bytes from there on.
  std::size_t typeAnswerLength = kInputReportLength;
  std::size_t versionAnswerLength = kInputReportLength;
};

// The answer of the scripted inventory to `request`, if it gives one.
inline std::optional<CFakeHidDevice::Report> InventoryAnswer(std::optional<std::uint8_t> count,
                                                             const std::vector<ScriptedProcessor>& processors,
                                                             const CFakeHidDevice::Report& request) {
  if (request.size() < 4 || request[1] != CMD_GROUP_SYSTEM) {
    return std::nullopt;
  }
  CFakeHidDevice::Report answer(kInputReportLength, 0);
  answer[2] = CMD_GROUP_SYSTEM;
  answer[3] = request[2];
  const std::size_t number = request[3];
  const ScriptedProcessor* processor =
      number >= 1 && number <= processors.size() ? &processors[number - 1] : nullptr;
  switch (request[2]) {
    case SYS_GET_MCU_COUNT:
      if (!count) return std::nullopt;
      answer[4] = *count;
      return answer;
    case SYS_GET_MCU_TYPE:
      if (processor == nullptr || !processor->typeCode) return std::nullopt;
      answer[4] = *processor->typeCode;
      answer.resize(processor->typeAnswerLength);
      return answer;
    case SYS_GET_MCU_VERSION:
      if (processor == nullptr || !processor->versionBytes) return std::nullopt;
      std::copy(processor->versionBytes->begin(), processor->versionBytes->end(), answer.begin() + 4);
      answer.resize(processor->versionAnswerLength);
      return answer;
    default:
      return std::nullopt;
  }
}

// A device that answers the inventory queries as scripted (an absent count
// goes unanswered) and gives the product name "Quillon Test".
inline std::shared_ptr<CFakeHidDevice> ScriptedInventoryDevice(std::optional<std::uint8_t> count,
                                                               std::vector<ScriptedProcessor> processors = {}) {
  auto device = std::make_shared<CFakeHidDevice>();
  device->onSend = [&answers = *device, count, processors = std::move(processors)](const CFakeHidDevice::Report& request) {
    if (auto answer = InventoryAnswer(count, processors, request)) answers.PushInputReport(std::move(*answer));
  };
  device->onGetProductString = [](std::span<char16_t> buffer) {
    static constexpr std::u16string_view kName = u"Quillon Test";
    if (buffer.empty()) return false;
    const std::size_t units = std::min(buffer.size() - 1, kName.size());
    std::copy_n(kName.begin(), units, buffer.begin());
    buffer[units] = u'\0';  // cut to fit, always terminated
    return true;
  };
  return device;
}

// The upgrader with its processor sequences replaced by recorders, and with
// access to the state a device would otherwise have to produce.
class CInspectableUpgrader : public CUpgradeLPC18XX {
 public:
  // Result each recorded sequence step answers.
  int m_initResult = 1;
  int m_writeResult = 1;
  int m_endResult = 1;
  std::vector<std::string> m_calls;

  // Connects the channel to `device` as an open would, and starts its reader.
  void AttachDevice(const HidHandle& device) {
    m_helper.AttachDevice(device);
    m_helper.StartHIDInterruptThread();
  }

  // Closes the channel, as a caller does before reopening.
  void CloseChannel() { m_helper.CloseDeviceHandle(); }

  void SetBootloaderFlag(std::uint32_t value) { m_isBootloader = value; }

  // An inventory as InitMCUData would have read it.
  void SetInventory(const std::vector<std::uint32_t>& typeCodes, const std::vector<McuVersion>& versions) {
    m_mcuCount = static_cast<std::uint32_t>(typeCodes.size());
    m_mcuTypes = typeCodes;
    m_mcuVersions = versions;
    m_mcuVersions.resize(typeCodes.size(), 0);
    m_blockSizes.assign(typeCodes.size(), 32);
  }

  std::uint32_t RawImageSum() const { return m_rawImageSum; }
  std::uint32_t WriteOpen() const { return m_writeOpen; }
  const char* FileFilter() const { return m_fileFilter; }
  const char* DefaultExt() const { return m_defaultExt; }
  const char* FileMask() const { return m_fileMask; }
  std::int32_t VerdictL() const { return m_verdictL; }
  std::int32_t VerdictA() const { return m_verdictA; }
  std::int32_t VerdictB() const { return m_verdictB; }
  std::unique_ptr<char16_t[]>& DevicePathSlot() { return m_devicePath; }

  int InitFirmwareUpgradeM(std::uint32_t) override { return Record("InitM", m_initResult); }
  int FirmwareUpgradeWriteM(const std::uint8_t*, std::uint32_t) override { return Record("WriteM", m_writeResult); }
  int EndFirmwareUpgradeM() override { return Record("EndM", m_endResult); }
  int InitFirmwareUpgradeL(std::uint32_t) override { return Record("InitL", m_initResult); }
  int FirmwareUpgradeWriteL(const std::uint8_t*, std::uint32_t) override { return Record("WriteL", m_writeResult); }
  int EndFirmwareUpgradeL() override { return Record("EndL", m_endResult); }
  int InitFirmwareUpgradeB(std::uint32_t) override { return Record("InitB", m_initResult); }
  int EndFirmwareUpgradeB() override { return Record("EndB", m_endResult); }

 private:
  int Record(const char* name, int result) {
    m_calls.emplace_back(name);
    return result;
  }
};
