#pragma once
// Test rig for the upgrader: a scripted HID device at the platform boundary
// that answers the inventory queries, and an upgrader whose processor
// sequences are replaced by recorders so that routing can be observed.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid/Reports.h"
#include "platform/HidDevice.h"
#include "upgrader/UpgradeLPC18XX.h"

// One processor as the scripted device reports it; an absent field is a
// query the device leaves unanswered.
struct ScriptedProcessor {
  std::optional<std::uint8_t> typeCode;
  std::optional<std::array<std::uint8_t, 4>> versionBytes;  // answer bytes 4..7
};

class CScriptedHidDevice : public CHidDevice {
 public:
  std::optional<std::uint8_t> m_count;  // absent: the count query goes unanswered
  std::vector<ScriptedProcessor> m_processors;
  std::u16string m_productString = u"Quillon Test";
  // Fill the whole buffer with the name, leaving no room for a terminator.
  bool m_fillWithoutTerminator = false;

  HidReadResult ReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_pending.empty() || m_cancels > 0; });
    if (m_pending.empty()) {
      --m_cancels;
      return HidReadResult::Cancelled;
    }
    const auto& next = m_pending.front();
    received = std::min(report.size(), next.size());
    std::copy_n(next.begin(), received, report.begin());
    m_pending.pop_front();
    return HidReadResult::Report;
  }

  void CancelRead() override {
    {
      std::lock_guard lock(m_mutex);
      ++m_cancels;
    }
    m_changed.notify_all();
  }

  bool WriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t) override {
    std::lock_guard lock(m_mutex);
    m_sent.emplace_back(report.begin(), report.end());
    if (auto answer = AnswerTo(report)) {
      m_pending.push_back(*answer);
      m_changed.notify_all();
    }
    return true;
  }

  bool SetOutputReport(std::span<const std::uint8_t> report) override { return Record(report); }
  bool GetInputReport(std::span<std::uint8_t>) override { return false; }
  bool SetFeatureReport(std::span<const std::uint8_t> report) override { return Record(report); }

  bool GetProductString(std::span<char16_t> buffer) override {
    std::lock_guard lock(m_mutex);
    ++m_productStringRequests;
    if (buffer.empty()) {
      return false;
    }
    if (m_fillWithoutTerminator) {
      for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = m_productString[i % m_productString.size()];
      }
      return true;
    }
    const std::size_t units = std::min(buffer.size() - 1, m_productString.size());
    std::copy_n(m_productString.begin(), units, buffer.begin());
    buffer[units] = u'\0';
    return true;
  }

  // Every report the host sent, in order, by any route.
  std::vector<std::vector<std::uint8_t>> Sent() const {
    std::lock_guard lock(m_mutex);
    return m_sent;
  }
  int ProductStringRequests() const {
    std::lock_guard lock(m_mutex);
    return m_productStringRequests;
  }

 private:
  bool Record(std::span<const std::uint8_t> report) {
    std::lock_guard lock(m_mutex);
    m_sent.emplace_back(report.begin(), report.end());
    return true;
  }

  std::optional<std::vector<std::uint8_t>> AnswerTo(std::span<const std::uint8_t> request) const {
    if (request.size() < 4 || request[1] != CMD_GROUP_SYSTEM) {
      return std::nullopt;
    }
    std::vector<std::uint8_t> answer(kInputReportLength, 0);
    answer[2] = CMD_GROUP_SYSTEM;
    answer[3] = request[2];
    const std::size_t number = request[3];
    const ScriptedProcessor* processor =
        number >= 1 && number <= m_processors.size() ? &m_processors[number - 1] : nullptr;
    switch (request[2]) {
      case SYS_GET_MCU_COUNT:
        if (!m_count) return std::nullopt;
        answer[4] = *m_count;
        return answer;
      case SYS_GET_MCU_TYPE:
        if (processor == nullptr || !processor->typeCode) return std::nullopt;
        answer[4] = *processor->typeCode;
        return answer;
      case SYS_GET_MCU_VERSION:
        if (processor == nullptr || !processor->versionBytes) return std::nullopt;
        std::copy(processor->versionBytes->begin(), processor->versionBytes->end(), answer.begin() + 4);
        return answer;
      default:
        return std::nullopt;
    }
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::vector<std::uint8_t>> m_pending;
  int m_cancels = 0;
  std::vector<std::vector<std::uint8_t>> m_sent;
  int m_productStringRequests = 0;
};

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
    m_helper.m_hDevice = device;
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
