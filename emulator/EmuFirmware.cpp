#include "emulator/EmuFirmware.h"

#include <algorithm>

namespace {
constexpr std::uint8_t kGroupSystem = 0x3E;
constexpr std::uint8_t kGroupLoader = 0x3F;
constexpr std::uint8_t kGroupUartData = 0x28;
constexpr std::uint8_t kGroupI2cWrite = 0x20;
constexpr std::uint8_t kKindStatus = 0xEE;

constexpr std::uint8_t kGetMcuCount = 0x01;
constexpr std::uint8_t kGetMcuType = 0x02;
constexpr std::uint8_t kGetMcuVersion = 0x03;
constexpr std::uint8_t kBridgeEnter = 0x06;
constexpr std::uint8_t kBridgeExit = 0x07;
constexpr std::uint8_t kPreEnterLoader = 0x0B;
constexpr std::uint8_t kEnterLoader = 0xFC;
constexpr std::uint8_t kExitLoader = 0xFE;

constexpr std::uint8_t kLoaderVersion = 0x80;
constexpr std::uint8_t kLoaderBegin = 0x81;
constexpr std::uint8_t kLoaderRecord = 0x82;
constexpr std::uint8_t kLoaderFinish = 0x88;
constexpr std::uint8_t kThirdVersion = 0x90;
constexpr std::uint8_t kThirdErase = 0x91;
constexpr std::uint8_t kThirdWrite = 0x93;
constexpr std::uint8_t kThirdFinish = 0x98;

constexpr std::uint8_t kNegative = 0x80;  // answer byte 3 of a query the device cannot answer
constexpr std::size_t kMaxUartOut = 60;
constexpr std::size_t kDigestOffset = 3;
constexpr std::size_t kDigestLength = 16;

std::vector<std::uint8_t> NewInputReport(std::uint8_t kind) {
  std::vector<std::uint8_t> report(kEmuInputReportLength, 0);
  report[2] = kind;
  return report;
}

// The entry parameter bytes 3..5 that both entry commands carry.
bool HasEntryParameters(std::span<const std::uint8_t> report) {
  return report.size() >= 6 && report[3] == 0x00 && report[4] == 0x07 && report[5] == 0x01;
}

std::uint32_t Le32(std::span<const std::uint8_t> bytes) {
  return bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
}
}  // namespace

CEmuFirmware::CEmuFirmware(const EmulatorConfig& config, EmuFaults& faults, CEmuFirmwarePort& port)
    : m_config(config),
      m_faults(faults),
      m_port(port),
      m_mainFlash({{kEmuBankA, kEmuBankSize}, {kEmuBankB, kEmuBankSize}}),
      m_thirdFlash({{0, kEmuThirdBlockCount * kEmuThirdBlockSize}}),
      m_hexLoader(m_mainFlash),
      m_thirdLoader(m_thirdFlash) {
  for (const EmuProcessor& processor : config.processors) {
    if (processor.typeCode == kEmuCodeMain && processor.version == 0) m_mainApplicationValid = false;
    if (processor.version == 0) continue;
    if (processor.typeCode == kEmuCodeMain) m_mainFlash.WriteVersionStamp(kEmuMainStampAddress, processor.version);
    if (processor.typeCode == kEmuCodeThird) m_thirdFlash.WriteVersionStamp(kEmuThirdStampOffset, processor.version);
  }
}

void CEmuFirmware::Boot(bool intoBootloader) {
  m_inBootloader = intoBootloader;
  m_bridge = false;
  m_loaderArmed = false;
  m_getInputSource = EGetInputSource::None;
  m_thirdEraseFailed = false;
  m_hexLoader.Abandon();
  m_thirdLoader.Abandon();
}

bool CEmuFirmware::MustStayInLoader() const { return !m_mainApplicationValid; }

std::uint32_t CEmuFirmware::ProcessorVersion(std::size_t index) const {
  if (index >= m_config.processors.size()) return 0;
  const EmuProcessor& processor = m_config.processors[index];
  switch (processor.typeCode) {
    case kEmuCodeMain: return m_mainApplicationValid ? m_mainFlash.VersionAt(kEmuMainStampAddress) : 0;
    case kEmuCodeThird: return m_thirdFlash.VersionAt(kEmuThirdStampOffset);
    case kEmuCodeBluetoothA:
    case kEmuCodeBluetoothB: return m_chipVersion ? m_chipVersion() : processor.version;
    default: return processor.version;
  }
}

void CEmuFirmware::Answer(std::vector<std::uint8_t> report) {
  if (m_faults.dropAnswers > 0) {
    --m_faults.dropAnswers;
    m_port.Note("answer dropped");
    return;
  }
  m_port.SendInputReport(std::move(report), m_faults.answerDelayMs);
}

void CEmuFirmware::SendStatus(std::uint32_t status, double delayMs) {
  std::vector<std::uint8_t> report = NewInputReport(kKindStatus);
  for (int i = 0; i < 4; ++i) report[3 + i] = static_cast<std::uint8_t>(status >> (8 * i));
  m_port.SendInputReport(std::move(report), delayMs);
}

bool CEmuFirmware::IsTransaction(std::span<const std::uint8_t> report) {
  if (report.size() < 3) return false;
  if (report[1] == kGroupI2cWrite) return true;
  return report[1] == kGroupSystem &&
         (report[2] == kGetMcuCount || report[2] == kGetMcuType || report[2] == kGetMcuVersion);
}

bool CEmuFirmware::HandleOutputReport(std::span<const std::uint8_t> report) {
  if (report.empty() || report[0] != 0) return false;  // the device has no numbered reports
  if (report.size() < 3) return true;
  switch (report[1]) {
    case kGroupSystem: HandleSystem(report); return true;
    case kGroupLoader: return HandleLoader(report);
    case kGroupUartData: return HandleUartData(report);
    case kGroupI2cWrite: {
      std::vector<std::uint8_t> answer = NewInputReport(kGroupI2cWrite);
      answer[3] = report.size() > 3 ? report[3] : 0;
      Answer(std::move(answer));
      return true;
    }
    default: return true;
  }
}

bool CEmuFirmware::HandleFeatureReport(std::span<const std::uint8_t> report) { return !report.empty() && report[0] == 0; }

void CEmuFirmware::HandleSystem(std::span<const std::uint8_t> report) {
  const std::uint8_t code = report[2];
  const std::uint8_t number = report.size() > 3 ? report[3] : 0;
  const std::size_t count = m_config.processors.size();
  std::vector<std::uint8_t> answer = NewInputReport(kGroupSystem);
  answer[1] = code;
  switch (code) {
    case kGetMcuCount:
      answer[4] = static_cast<std::uint8_t>(std::min<std::size_t>(count, 255));
      Answer(std::move(answer));
      return;
    case kGetMcuType:
    case kGetMcuVersion:
      if (number == 0 || number > count) {
        answer[3] = kNegative;
      } else if (code == kGetMcuType) {
        answer[4] = m_config.processors[number - 1u].typeCode;
      } else {
        const std::uint32_t version = ProcessorVersion(number - 1u);
        answer[4] = static_cast<std::uint8_t>(version >> 24);
        answer[5] = static_cast<std::uint8_t>(version >> 16);
        answer[6] = static_cast<std::uint8_t>(version & 0xFF);
        answer[7] = static_cast<std::uint8_t>(version >> 8);
      }
      Answer(std::move(answer));
      return;
    case kBridgeEnter:
      m_bridge = true;
      m_port.Note("UART bridge on");
      return;
    case kBridgeExit:
      m_bridge = false;
      m_port.Note("UART bridge off");
      return;
    case kPreEnterLoader:
      m_loaderArmed = !m_inBootloader && HasEntryParameters(report);
      return;
    case kEnterLoader:
      if (m_loaderArmed && HasEntryParameters(report)) {
        m_loaderArmed = false;
        m_port.Note("restart into the bootloader");
        m_port.Restart(true);
      }
      return;
    case kExitLoader:
      if (m_inBootloader) {
        m_port.Note("restart into the application");
        m_port.Restart(false);
      }
      return;
    default:
      return;
  }
}

bool CEmuFirmware::HandleLoader(std::span<const std::uint8_t> report) {
  if (!m_inBootloader) {
    m_port.Note("loader command ignored: the application runs");
    return true;
  }
  switch (report[2]) {
    case kLoaderVersion:
      m_getInputSource = EGetInputSource::LoaderVersion;
      return true;
    case kThirdVersion:
      m_getInputSource = EGetInputSource::ThirdLoaderVersion;
      return true;
    case kLoaderBegin: {
      if (report.size() < 7) return false;
      const std::uint32_t status = m_hexLoader.Begin(Le32(report.subspan(3, 4)));
      m_mainApplicationValid = false;
      if (m_faults.beginNeverAnswers) {
        m_port.Note("begin left unanswered");
        return true;
      }
      SendStatus(m_faults.beginStatus.value_or(status), m_config.beginEraseMs);
      return true;
    }
    case kLoaderRecord: {
      if (report.size() < 4 || report[3] > report.size() - 4) return false;
      if (m_faults.rejectRecord != 0 && m_hexLoader.RecordCount() + 1 == m_faults.rejectRecord) {
        m_hexLoader.RefuseNext();
      }
      m_hexLoader.WriteRecord(report.subspan(4, report[3]));
      if (m_faults.unplugAfterRecords != 0 && m_hexLoader.Begun() &&
          m_hexLoader.RecordCount() == m_faults.unplugAfterRecords) {
        m_port.Unplug();
      }
      return true;
    }
    case kLoaderFinish: {
      if (report.size() < kDigestOffset + kDigestLength) return false;
      std::uint32_t status = m_hexLoader.Finish(report.subspan<kDigestOffset, kDigestLength>());
      if (status == kEmuStatusOk) m_mainApplicationValid = true;
      if (!m_hexLoader.FirstError().empty()) m_port.Note("finish: " + m_hexLoader.FirstError());
      if (m_faults.finishNeverAnswers) {
        m_port.Note("finish left unanswered");
        return true;
      }
      status = m_faults.finishStatus.value_or(status);
      SendStatus(status, static_cast<double>(m_config.finishMs) + m_faults.finishDelayMs);
      return true;
    }
    case kThirdErase: {
      if (report.size() < 7) return false;
      const std::uint32_t parameter = Le32(report.subspan(3, 4));
      m_getInputSource = EGetInputSource::ThirdErase;
      m_thirdEraseFailed = (parameter & 0xFFFF) != 0 || !m_thirdLoader.EraseBlock(parameter >> 16);
      m_thirdEraseDoneAt = m_port.NowMs() + m_config.thirdEraseBlockMs;
      return true;
    }
    case kThirdWrite: {
      if (report.size() < 4 || report[3] > report.size() - 4) return false;
      m_thirdLoader.Write(report.subspan(4, report[3]));
      return true;
    }
    case kThirdFinish: {
      if (report.size() < kDigestOffset + kDigestLength) return false;
      const std::uint32_t status = m_thirdLoader.Finish(report.subspan<kDigestOffset, kDigestLength>());
      if (!m_thirdLoader.FirstError().empty()) m_port.Note("third finish: " + m_thirdLoader.FirstError());
      SendStatus(status, m_config.finishMs);
      return true;
    }
    default:
      return true;
  }
}

bool CEmuFirmware::HandleUartData(std::span<const std::uint8_t> report) {
  if (report.size() < 4) return false;
  const std::size_t count = report[3];
  if (count > kMaxUartOut || count > report.size() - 4) return false;
  if (!m_bridge) {
    m_port.Note("UART data dropped: bridge off");
    return true;
  }
  m_port.UartToChip(report.subspan(4, count));
  return true;
}

std::optional<std::vector<std::uint8_t>> CEmuFirmware::HandleGetInput(std::uint8_t reportId, std::size_t length) {
  if (reportId != 0 || length == 0) return std::nullopt;
  std::vector<std::uint8_t> report = NewInputReport(kGroupLoader);
  switch (m_getInputSource) {
    case EGetInputSource::LoaderVersion:
      report[3] = m_config.loaderMajor;
      report[4] = m_config.loaderMinor;
      break;
    case EGetInputSource::ThirdLoaderVersion:
      report[3] = m_config.thirdLoaderMajor;
      report[4] = m_config.thirdLoaderMinor;
      break;
    case EGetInputSource::ThirdErase:
      report[3] = m_thirdEraseFailed ? 0xFF : (m_port.NowMs() < m_thirdEraseDoneAt ? 0x01 : 0x00);
      break;
    case EGetInputSource::None:
      report[2] = 0;
      break;
  }
  report.resize(std::min(length, report.size()));
  return report;
}
