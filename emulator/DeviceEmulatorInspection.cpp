// The inspection operations tests and tools use; each may be called from any
// thread and takes the loop's lock for what the loop changes.
#include <cstdio>

#include "emulator/DeviceEmulator.h"

bool CDeviceEmulator::Present() const {
  std::lock_guard lock(m_mutex);
  return m_present;
}

bool CDeviceEmulator::HostAttached() const {
  std::lock_guard lock(m_mutex);
  return HostConnected();
}

bool CDeviceEmulator::InBootloader() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->InBootloader();
}

bool CDeviceEmulator::BridgeOn() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->BridgeOn();
}

std::string CDeviceEmulator::SocketPath() const {
  std::lock_guard lock(m_mutex);
  return m_frontEnd ? m_frontEnd->Name() : std::string();
}

std::uint32_t CDeviceEmulator::ProcessorVersion(std::size_t index) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->ProcessorVersion(index);
}

std::vector<std::uint8_t> CDeviceEmulator::ReadMainFlash(std::uint32_t address, std::size_t length) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->MainFlash().Read(address, length);
}

std::vector<std::uint8_t> CDeviceEmulator::ReadThirdFlash(std::uint32_t address, std::size_t length) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->ThirdFlash().Read(address, length);
}

std::vector<std::uint8_t> CDeviceEmulator::BluetoothImage() const {
  std::lock_guard lock(m_mutex);
  return m_chip ? m_chip->StoredImage() : std::vector<std::uint8_t>{};
}

std::uint32_t CDeviceEmulator::RecordsReceived() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->RecordsReceived();
}

std::uint32_t CDeviceEmulator::EntryPoint() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->HexLoader().EntryPoint();
}

std::string CDeviceEmulator::LoaderError() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->HexLoader().FirstError();
}

EmuCounters CDeviceEmulator::Counters() const {
  std::lock_guard lock(m_mutex);
  return m_counters;
}

std::vector<std::string> CDeviceEmulator::Trace() const { return m_trace.Lines(); }

std::uint64_t CDeviceEmulator::ChipRefusedRequests() const { return m_chip ? m_chip->RefusedRequests() : 0; }

std::optional<ChipDfuProgress> CDeviceEmulator::ChipProgress() const {
  if (!m_chip) return std::nullopt;
  return m_chip->DfuProgress();
}

bool CDeviceEmulator::WaitFor(const std::function<bool(const CDeviceEmulator&)>& predicate,
                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate(*this)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

ChipLinkCounts CDeviceEmulator::ChipLinkStats() const { return m_chip ? m_chip->LinkCounts() : ChipLinkCounts{}; }

std::string CDeviceEmulator::ChipLinkSummary() const {
  if (!m_chip) return {};
  const ChipLinkCounts counts = m_chip->LinkCounts();
  char text[200];
  std::snprintf(text, sizeof text,
                "host frames %llu, chip retransmissions %llu, host frames abandoned after their header %llu, "
                "damaged %llu",
                static_cast<unsigned long long>(counts.hostFrames),
                static_cast<unsigned long long>(counts.retransmissions),
                static_cast<unsigned long long>(counts.abandonedHostFrames),
                static_cast<unsigned long long>(counts.damagedHostFrames));
  return text;
}
