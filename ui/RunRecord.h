#pragma once
// What one run did to the device, for the machine-readable result: the device
// and, per processor, its versions before and after, the verdict, and whether
// it was written.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Whether the built-in image is newer than the processor's firmware.
enum class ProcessorVerdict {
  NotAsked,     // the run did not compare this processor
  ImageNewer,   // the processor is written
  Same,         // skipped: the device runs the built-in version
  DeviceNewer,  // skipped: the device runs a newer version
  Forced,       // written without comparing (/F)
};

enum class ProcessorOutcome {
  NotReached,  // the run ended before this processor (an earlier failure, no bootloader)
  Skipped,     // not written: not newer, nothing newer overall, or a type this updater does not write
  Upgraded,
  Failed,
};

struct ProcessorRecord {
  std::optional<std::uint32_t> type;  // AXFLASH_MCU_TYPE_*; empty when the device did not tell
  std::string versionBefore;          // as the updater shows it; empty when unknown
  std::string versionAfter;           // empty unless the device was read again after a successful run
  ProcessorVerdict verdict = ProcessorVerdict::NotAsked;
  bool written = false;  // writing began
  ProcessorOutcome outcome = ProcessorOutcome::NotReached;
};

struct RunRecord {
  bool deviceFound = false;
  std::uint16_t productId = 0;
  std::string productName;
  std::vector<ProcessorRecord> processors;
};

// The names the machine-readable result gives verdicts and outcomes.
inline const char* VerdictName(ProcessorVerdict verdict) {
  switch (verdict) {
    case ProcessorVerdict::ImageNewer:
      return "image-newer";
    case ProcessorVerdict::Same:
      return "same";
    case ProcessorVerdict::DeviceNewer:
      return "device-newer";
    case ProcessorVerdict::Forced:
      return "forced";
    case ProcessorVerdict::NotAsked:
      break;
  }
  return "not-asked";
}

inline const char* OutcomeName(ProcessorOutcome outcome) {
  switch (outcome) {
    case ProcessorOutcome::Skipped:
      return "skipped";
    case ProcessorOutcome::Upgraded:
      return "upgraded";
    case ProcessorOutcome::Failed:
      return "failed";
    case ProcessorOutcome::NotReached:
      break;
  }
  return "not-reached";
}
