#pragma once
// The far end of the UART bridge: the Bluetooth chip, or any stand-in a test
// puts there. Bytes toward the host leave through the send function given at
// creation, on any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "emulator/BluetoothChip.h"
#include "emulator/EmulatorConfig.h"

class CEmuChipPort {
 public:
  using SendFunction = std::function<void(std::span<const std::uint8_t>)>;
  virtual ~CEmuChipPort() = default;
  // Bytes from the host, already paced at the UART's speed.
  virtual void OnUartBytes(std::span<const std::uint8_t> bytes) = 0;
  // The chip's application version word; 0 when it holds none.
  virtual std::uint32_t VersionWord() const = 0;
  // The image written by the last complete download; empty if there was none.
  virtual std::vector<std::uint8_t> StoredImage() const { return {}; }
  virtual void SetFaults(const CEmuBluetoothChip::Faults&) {}
  // What the chip's BCSP link saw; all zero for a peer without one.
  virtual ChipLinkCounts LinkCounts() const { return {}; }
  // Requests the chip refused as not valid in its state.
  virtual std::uint64_t RefusedRequests() const { return 0; }
  // Power lost and back (the cable was pulled): the chip keeps only its flash.
  virtual void PowerCycle() {}
  // Where the chip's DFU loader stands; nothing for a peer without one.
  virtual std::optional<ChipDfuProgress> DfuProgress() const { return std::nullopt; }
};

using EmuChipFactory = std::function<std::unique_ptr<CEmuChipPort>(CEmuChipPort::SendFunction)>;

// The emulated Bluetooth chip, configured from `config`.
std::unique_ptr<CEmuChipPort> MakeBluetoothChipPort(const EmulatorConfig& config, CEmuChipPort::SendFunction send);
// The emulated Bluetooth chip with a chip configuration of the caller's own.
std::unique_ptr<CEmuChipPort> MakeBluetoothChipPort(CEmuBluetoothChip::Config chipConfig,
                                                    CEmuChipPort::SendFunction send);
