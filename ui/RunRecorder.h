#pragma once
// CRunRecorder: fills in the run record (the caller's) as the run goes: the
// device and its processors' versions when it is loaded, each processor's
// verdict, whether its writing began, and its outcome. Without a record it
// does nothing and asks the device nothing.
#include <cstdint>
#include <span>

#include "ui/RunRecord.h"

class CFirmwareUpgrade;

class CRunRecorder {
 public:
  // `record` must outlive the recorder; null keeps no record.
  void Attach(RunRecord* record) { m_record = record; }

  // The first load fills in the device (`productName` as the device gave it)
  // and each processor's type and version before the run; a reload, the
  // versions after it. Asks `upgrader` for each processor's type and version.
  void DeviceLoaded(CFirmwareUpgrade& upgrader, std::span<const char16_t> productName, std::uint32_t processorCount);
  // Nothing is newer overall: no processor is written.
  void AllSkipped();
  // Processor `index` is of a type this updater does not write.
  void Skipped(std::uint32_t index);
  // The verdict on processor `index`: forced when not `checked`, else what
  // `canFlash` (CanUpgradeCurrentActiveMCU) says; 0 and -1 hold it back.
  void Judged(std::uint32_t index, bool checked, int canFlash);
  void WritingBegins(std::uint32_t index);
  void Finished(std::uint32_t index, bool upgraded);

 private:
  // The record of processor `index`; null when no record is kept or the device has no such processor.
  ProcessorRecord* RecordOf(std::uint32_t index);

  RunRecord* m_record = nullptr;
};
