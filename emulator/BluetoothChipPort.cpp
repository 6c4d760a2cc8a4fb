// The emulated Bluetooth chip at the far end of the UART bridge.
#include "emulator/BluetoothChip.h"
#include "emulator/EmuChipPort.h"

namespace {
class CBluetoothChipPort final : public CEmuChipPort {
 public:
  CBluetoothChipPort(CEmuBluetoothChip::Config config, SendFunction send) : m_chip(std::move(config), std::move(send)) {}
  void OnUartBytes(std::span<const std::uint8_t> bytes) override { m_chip.OnUartBytes(bytes); }
  std::uint32_t VersionWord() const override { return m_chip.VersionWord(); }
  std::vector<std::uint8_t> StoredImage() const override { return m_chip.StoredImage(); }
  void SetFaults(const CEmuBluetoothChip::Faults& faults) override { m_chip.SetFaults(faults); }
  ChipLinkCounts LinkCounts() const override { return m_chip.LinkCounts(); }
  std::uint64_t RefusedRequests() const override { return m_chip.RefusedRequests(); }
  void PowerCycle() override { m_chip.PowerCycle(); }
  std::optional<ChipDfuProgress> DfuProgress() const override { return m_chip.DfuProgress(); }

 private:
  CEmuBluetoothChip m_chip;
};
}  // namespace

std::unique_ptr<CEmuChipPort> MakeBluetoothChipPort(const EmulatorConfig& config, CEmuChipPort::SendFunction send) {
  CEmuBluetoothChip::Config chipConfig;
  chipConfig.timeScale = config.timeScale;
  chipConfig.faults = config.chipFaults;
  chipConfig.strictDfu = config.strictDfu;
  chipConfig.basicDfu = config.basicDfu;
  chipConfig.retransmitLimit = config.chipRetransmitLimit;
  chipConfig.blockBusyMs = config.chipBlockBusyMs;
  for (const EmuProcessor& processor : config.processors) {
    if (processor.typeCode == kEmuCodeBluetoothA || processor.typeCode == kEmuCodeBluetoothB) {
      chipConfig.initialVersion = processor.version;
    }
  }
  return MakeBluetoothChipPort(std::move(chipConfig), std::move(send));
}

std::unique_ptr<CEmuChipPort> MakeBluetoothChipPort(CEmuBluetoothChip::Config chipConfig,
                                                    CEmuChipPort::SendFunction send) {
  return std::make_unique<CBluetoothChipPort>(std::move(chipConfig), std::move(send));
}
