// Fault injection: the faults and injections the public operations set (from
// any thread; what acts on the device is posted to the loop), and the
// unplugs and halts they make happen on the loop's thread.
#include <algorithm>

#include "emulator/DeviceEmulator.h"

namespace {
constexpr std::uint8_t kKindStatus = 0xEE;
}  // namespace

// ---- the public operations ----

void CDeviceEmulator::SetFaults(const EmuFaults& faults) {
  std::lock_guard lock(m_mutex);
  m_faults = faults;
  m_unplugCommandsSeen = 0;
  m_recordHaltsMade = 0;
  m_blockHaltsMade = 0;
  if (faults.unplugAtMs >= 0) {
    Post([this, at = faults.unplugAtMs] {
      Schedule(static_cast<double>(at), Scheduled::EScope::Free, [this] { LeaveByFault("unplugged at the set time"); });
    });
  }
}

EmuFaults CDeviceEmulator::Faults() const {
  std::lock_guard lock(m_mutex);
  return m_faults;
}

void CDeviceEmulator::SetChipFaults(const CEmuBluetoothChip::Faults& faults) {
  std::lock_guard lock(m_mutex);
  if (m_chip) m_chip->SetFaults(faults);
}

void CDeviceEmulator::InjectInputReport(std::vector<std::uint8_t> report) {
  report.resize(kEmuInputReportLength, 0);
  Post([this, report = std::move(report)]() mutable {
    m_trace.Event(Now(), "NOTE", "injected input report");
    QueueInput(std::move(report));
  });
}

void CDeviceEmulator::InjectUartReport(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> report(kEmuInputReportLength, 0);
  const std::size_t count = std::min(bytes.size(), kUartBytesPerReport);
  report[2] = kKindUartData;
  report[3] = static_cast<std::uint8_t>(count);
  std::copy_n(bytes.begin(), count, report.begin() + 4);
  InjectInputReport(std::move(report));
}

void CDeviceEmulator::InjectStatus(std::uint32_t status) {
  std::vector<std::uint8_t> report(kEmuInputReportLength, 0);
  report[2] = kKindStatus;
  for (int i = 0; i < 4; ++i) report[3 + i] = static_cast<std::uint8_t>(status >> (8 * i));
  InjectInputReport(std::move(report));
}

void CDeviceEmulator::UnplugCable() {
  Post([this] { PullCable("cable pulled"); });
}

void CDeviceEmulator::PlugCable() {
  Post([this] { PlugIn(); });
}

// ---- on the loop's thread ----

void CDeviceEmulator::Unplug() {
  AfterAnswer([this] { LeaveByFault("unplugged after the set number of records"); });
}

void CDeviceEmulator::LeaveByFault(const char* why) {
  if (!m_present) return;
  Detach(why);
  if (m_faults.replugAfterMs >= 0) {
    Schedule(Now() + static_cast<double>(m_faults.replugAfterMs), Scheduled::EScope::Bus, [this] { PlugIn(); });
  }
}

void CDeviceEmulator::PlugIn() {
  if (m_present) return;
  ++m_busGeneration;  // forget a pending return from a restart
  // The cable powers the chip too: it starts again from what its flash holds.
  if (m_chip) m_chip->PowerCycle();
  BootDevice(m_firmware->MustStayInLoader());
  Attach();
}

void CDeviceEmulator::ScheduleFaultsAfterRequest(EVhidType type, std::span<const std::uint8_t> payload) {
  if (m_faults.unplugAfterTransfers != 0 && m_counters.transfers == m_faults.unplugAfterTransfers) {
    Schedule(m_answerAt, Scheduled::EScope::Bus, [this] { LeaveByFault("unplugged after the set number of transfers"); });
  }
  const std::vector<std::uint8_t>& prefix = m_faults.unplugAfterCommand;
  if (prefix.empty() || (type != EVhidType::Output && type != EVhidType::SetOutput)) return;
  if (payload.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), payload.begin())) return;
  if (++m_unplugCommandsSeen != m_faults.unplugAfterCommandCount) return;
  Schedule(m_answerAt, Scheduled::EScope::Free, [this] { PullCable("cable pulled after the set command"); });
}

// Power is gone: off the bus, and a restart under way does not come back.
void CDeviceEmulator::PullCable(const char* why) {
  if (m_present) Detach(why);
  ++m_busGeneration;
}

// The halts that faults.haltInDuringRecords/Blocks ask for, each once the
// host has come to its record or DFU block.
std::uint32_t CDeviceEmulator::TakeInterruptInHalts() {
  const auto due = [](std::uint32_t reached, std::uint32_t spacing, std::uint32_t asked) {
    return std::min(reached / spacing, asked);
  };
  const std::uint32_t records = due(m_firmware->RecordsReceived(), kEmuHaltRecordSpacing, m_faults.haltInDuringRecords);
  const std::optional<ChipDfuProgress> dfu = m_chip ? m_chip->DfuProgress() : std::nullopt;
  const std::uint32_t blocks =
      dfu && dfu->inLoader ? due(dfu->nextBlock, kEmuHaltBlockSpacing, m_faults.haltInDuringBlocks) : 0;
  std::uint32_t halts = 0;
  for (; m_recordHaltsMade < records; ++m_recordHaltsMade) ++halts;
  for (; m_blockHaltsMade < blocks; ++m_blockHaltsMade) ++halts;
  return halts;
}
