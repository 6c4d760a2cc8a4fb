#include "ui/RunRecorder.h"

#include <string>
#include <string_view>

#include "app/log/Utf16Text.h"
#include "upgrader/FirmwareUpgrade.h"

namespace {

// GetDeviceFWVersionString puts this before the version; the record keeps the version alone.
constexpr std::string_view kVersionLabel = "Version : ";

std::string WithoutVersionLabel(std::string version) {
  if (version.starts_with(kVersionLabel)) version.erase(0, kVersionLabel.size());
  return version;
}

// The verdict of CanUpgradeCurrentActiveMCU: only 0 and -1 hold a processor back.
ProcessorVerdict VerdictOf(int canFlash) {
  switch (canFlash) {
    case 0:
      return ProcessorVerdict::Same;
    case -1:
      return ProcessorVerdict::DeviceNewer;
    default:
      return ProcessorVerdict::ImageNewer;
  }
}

}  // namespace

void CRunRecorder::DeviceLoaded(CFirmwareUpgrade& upgrader, std::span<const char16_t> productName,
                                std::uint32_t processorCount) {
  if (m_record == nullptr) return;
  const bool reload = m_record->deviceFound;
  if (!reload) {
    m_record->deviceFound = true;
    m_record->productId = upgrader.GetProductID();
    m_record->productName = Utf16ToUtf8(productName.data(), productName.size());
    m_record->processors.resize(processorCount);
  }
  for (std::uint32_t i = 0; i < processorCount; ++i) {
    ProcessorRecord* const processor = RecordOf(i);
    if (processor == nullptr) break;
    std::uint32_t type = 0;
    if (!reload && SUCCEEDED(upgrader.GetMCUType(i, &type)) && type != 0) processor->type = type;
    std::string version;
    if (SUCCEEDED(upgrader.SetActiveMCU(i)) && upgrader.GetDeviceFWVersionString(&version) != 0)
      (reload ? processor->versionAfter : processor->versionBefore) = WithoutVersionLabel(std::move(version));
  }
}

void CRunRecorder::AllSkipped() {
  if (m_record == nullptr) return;
  for (ProcessorRecord& processor : m_record->processors) processor.outcome = ProcessorOutcome::Skipped;
}

void CRunRecorder::Skipped(std::uint32_t index) {
  if (ProcessorRecord* const processor = RecordOf(index)) processor->outcome = ProcessorOutcome::Skipped;
}

void CRunRecorder::Judged(std::uint32_t index, bool checked, int canFlash) {
  ProcessorRecord* const processor = RecordOf(index);
  if (processor == nullptr) return;
  processor->verdict = checked ? VerdictOf(canFlash) : ProcessorVerdict::Forced;
  if (canFlash == 0 || canFlash == -1) processor->outcome = ProcessorOutcome::Skipped;
}

void CRunRecorder::WritingBegins(std::uint32_t index) {
  if (ProcessorRecord* const processor = RecordOf(index)) processor->written = true;
}

void CRunRecorder::Finished(std::uint32_t index, bool upgraded) {
  if (ProcessorRecord* const processor = RecordOf(index))
    processor->outcome = upgraded ? ProcessorOutcome::Upgraded : ProcessorOutcome::Failed;
}

ProcessorRecord* CRunRecorder::RecordOf(std::uint32_t index) {
  return m_record != nullptr && index < m_record->processors.size() ? &m_record->processors[index] : nullptr;
}
