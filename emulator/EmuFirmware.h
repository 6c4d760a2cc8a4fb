#pragma once
// The device's firmware as the host meets it: the application (inventory,
// bootloader entry, UART bridge) and the HID bootloader (the same inventory,
// the main loader, the third controller's loader, exit). It sees only reports;
// timing, the bus and the Bluetooth chip are reached through CEmuFirmwarePort.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/EmuFlash.h"
#include "emulator/EmulatorConfig.h"
#include "emulator/HexRecordLoader.h"
#include "emulator/ThirdControllerLoader.h"

// What the firmware asks of the hardware around it. Every action takes effect
// after the answer to the request being handled has gone out.
class CEmuFirmwarePort {
 public:
  virtual ~CEmuFirmwarePort() = default;
  // Sends an interrupt-in report `delayMs` after the current request's answer.
  virtual void SendInputReport(std::vector<std::uint8_t> report, double delayMs) = 0;
  // Restarts the microcontroller: off the bus, back under the other identity.
  virtual void Restart(bool intoBootloader) = 0;
  // Cable pulled (an injected fault).
  virtual void Unplug() = 0;
  // Bytes for the Bluetooth chip's UART.
  virtual void UartToChip(std::span<const std::uint8_t> bytes) = 0;
  // A line for the trace.
  virtual void Note(const std::string& text) = 0;
  // Device time in milliseconds.
  virtual double NowMs() = 0;
};

class CEmuFirmware {
 public:
  // `faults` stays owned by the caller and may change between requests.
  CEmuFirmware(const EmulatorConfig& config, EmuFaults& faults, CEmuFirmwarePort& port);

  // Starts the application or the bootloader (power-up or restart).
  void Boot(bool intoBootloader);
  bool InBootloader() const { return m_inBootloader; }
  bool BridgeOn() const { return m_bridge; }
  // True when a power-up or exit should land in the bootloader instead (no valid application).
  bool MustStayInLoader() const;

  // True for the commands that the host sends as request/reply transactions
  // (inventory queries, I2C write); the others are its class requests.
  static bool IsTransaction(std::span<const std::uint8_t> report);
  // An output report by interrupt-out or SET_REPORT (Output); false = stall.
  bool HandleOutputReport(std::span<const std::uint8_t> report);
  // SET_REPORT (Feature): the device has no feature reports; accepted and ignored.
  bool HandleFeatureReport(std::span<const std::uint8_t> report);
  // GET_REPORT (Input); no value = stall.
  std::optional<std::vector<std::uint8_t>> HandleGetInput(std::uint8_t reportId, std::size_t length);

  // Version word of processor `index` as the inventory reports it.
  std::uint32_t ProcessorVersion(std::size_t index) const;
  void SetChipVersionSource(std::function<std::uint32_t()> source) { m_chipVersion = std::move(source); }

  CEmuFlash& MainFlash() { return m_mainFlash; }
  CEmuFlash& ThirdFlash() { return m_thirdFlash; }
  const CEmuHexLoader& HexLoader() const { return m_hexLoader; }
  const CEmuThirdLoader& ThirdLoader() const { return m_thirdLoader; }
  std::uint32_t RecordsReceived() const { return m_hexLoader.RecordCount(); }

 private:
  enum class EGetInputSource { None, LoaderVersion, ThirdLoaderVersion, ThirdErase };

  void HandleSystem(std::span<const std::uint8_t> report);
  bool HandleLoader(std::span<const std::uint8_t> report);
  bool HandleUartData(std::span<const std::uint8_t> report);
  void Answer(std::vector<std::uint8_t> report);
  void SendStatus(std::uint32_t status, double delayMs);

  const EmulatorConfig& m_config;
  EmuFaults& m_faults;
  CEmuFirmwarePort& m_port;
  CEmuFlash m_mainFlash;
  CEmuFlash m_thirdFlash;
  CEmuHexLoader m_hexLoader;
  CEmuThirdLoader m_thirdLoader;
  std::function<std::uint32_t()> m_chipVersion;

  bool m_inBootloader = false;
  // The bootloader starts the main application only after a finish it verified;
  // a begin takes that away until the next verified finish.
  bool m_mainApplicationValid = true;
  bool m_bridge = false;
  bool m_loaderArmed = false;
  EGetInputSource m_getInputSource = EGetInputSource::None;
  double m_thirdEraseDoneAt = 0;
  bool m_thirdEraseFailed = false;
};
