#pragma once
// Everything the device emulator can be told: the device it plays, its timing
// and the faults it injects. Durations are in milliseconds of device time; the
// emulator divides each by `timeScale` before it waits.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/BluetoothChip.h"

// The device's USB identities and report sizes, as the device's own firmware
// carries them (kept apart from the updater's copy on purpose).
inline constexpr std::uint16_t kEmuVendorId = 0x1a2b;
inline constexpr std::uint16_t kEmuApplicationProductId = 0x0c01;
inline constexpr std::uint16_t kEmuBootloaderProductId = 0x0c02;
inline constexpr std::size_t kEmuInputReportLength = 32;
inline constexpr std::size_t kEmuOutputReportLength = 65;
inline constexpr std::size_t kEmuFeatureReportLength = 65;

// Processor type codes the device reports.
inline constexpr std::uint8_t kEmuCodeThird = 8;
inline constexpr std::uint8_t kEmuCodeBluetoothA = 13;
inline constexpr std::uint8_t kEmuCodeBluetoothB = 14;
inline constexpr std::uint8_t kEmuCodeMain = 33;

// Version word: day << 24 | month << 16 | year, every field BCD.
constexpr std::uint32_t EmuVersionWord(std::uint16_t bcdYear, std::uint8_t bcdMonth, std::uint8_t bcdDay) {
  return (std::uint32_t{bcdDay} << 24) | (std::uint32_t{bcdMonth} << 16) | bcdYear;
}

struct EmuProcessor {
  std::uint8_t typeCode = 0;
  // Version the processor starts with. For the main microcontroller and the
  // third controller it is written into their flash as a version stamp; for
  // the Bluetooth chip it is the chip's initial application version.
  std::uint32_t version = 0;
};

struct EmuFaults {
  // Unplug (leave the bus) once this many host requests have been answered; 0 = never.
  std::uint32_t unplugAfterTransfers = 0;
  // Unplug this long after Start; negative = never.
  std::int64_t unplugAtMs = -1;
  // Unplug when this many LDR_WRITE_RECORD reports have arrived since LDR_BEGIN; 0 = never.
  std::uint32_t unplugAfterRecords = 0;
  // Pull the cable once the host's `unplugAfterCommandCount`-th output report
  // that begins with these bytes (report ID, group, code, ...) has been
  // answered, counted from when the faults are set; empty = never. The device
  // stays off until PlugCable.
  std::vector<std::uint8_t> unplugAfterCommand;
  std::uint32_t unplugAfterCommandCount = 1;
  // After a fault unplug, plug back in after this long (the device boots); negative = stay away.
  std::int64_t replugAfterMs = -1;

  // The next this many inventory answers are not sent (the request itself completes).
  std::uint32_t dropAnswers = 0;
  // Extra delay before each inventory answer.
  std::uint32_t answerDelayMs = 0;

  // LDR_BEGIN: status word to answer (default 'O','K'), and whether to answer at all.
  std::optional<std::uint32_t> beginStatus;
  bool beginNeverAnswers = false;
  // LDR_FINISH: forced status word (otherwise the verification decides), extra delay, silence.
  std::optional<std::uint32_t> finishStatus;
  std::uint32_t finishDelayMs = 0;
  bool finishNeverAnswers = false;

  // After SYS_ENTER_LOADER the device leaves the bus and never comes back.
  bool loaderNeverAppears = false;
  // The bootloader's socket file appears, but connecting to it is refused.
  bool loaderRefusesConnections = false;
  // This LDR_WRITE_RECORD (1-based, counted since LDR_BEGIN) is refused;
  // like any refused record it shows only in LDR_FINISH's status. 0 = none.
  std::uint32_t rejectRecord = 0;

  // USB front end: the interrupt-IN endpoint halts (the host's reads on it
  // stall until it clears the halt) this many times during the records, at
  // every kEmuHaltRecordSpacing-th record since LDR_BEGIN, and this many
  // times during the Bluetooth chip's download, at every
  // kEmuHaltBlockSpacing-th DFU block. Trace: NOTE "interrupt IN halted".
  std::uint32_t haltInDuringRecords = 0;
  std::uint32_t haltInDuringBlocks = 0;
};

// Far enough apart that the halts do not come in bursts: a host may count
// errors per second, as the kernel's HID driver does.
inline constexpr std::uint32_t kEmuHaltRecordSpacing = 1000;
inline constexpr std::uint32_t kEmuHaltBlockSpacing = 100;

// How the device shows on a vhid bus: a UNIX socket file, or a file naming a
// TCP port on 127.0.0.1 for hosts without UNIX sockets (docs/vhid.md).
enum class EmuBusForm { Socket, Tcp };

enum class EmuTiming {
  Off,       // every answer at once
  FullSpeed  // one interrupt report per millisecond each way, `classRequestMs` per class request
};

struct EmulatorConfig {
  std::string productString = "Aurelix Rho USB Audio";
  // The bootloader reports no product string of its own.
  std::string bootloaderProductString;
  // USB front end: the device's other strings.
  std::string manufacturerString = "Aurelix";
  std::string serialNumber = "QDE0000001";
  // Whether each identity's HID interface has an interrupt-OUT endpoint. A
  // host sends its output reports as control SET_REPORT(Output) to one without.
  bool applicationInterruptOut = true;
  bool bootloaderInterruptOut = true;
  // A device that takes each command only on the route the Windows host sends
  // it by: the transactions (inventory queries, I2C write) as interrupt-OUT
  // reports where the identity has that endpoint, SET_REPORT(Output)
  // otherwise; every other command as SET_REPORT(Output). A command on any
  // other route completes as a transfer but is ignored (trace REFUSE "refused
  // route"). The default device takes every command on either route.
  bool strictRoutes = false;
  // USB front end: a consumer-control HID interface (volume and mute, its own
  // report descriptor, interrupt IN only) as interface 0, before the vendor
  // interface, as a composite audio device may have it. The device never
  // sends on it; a request to it other than the host driver's set-up is
  // stalled (trace NOTE "consumer-control interface: request stalled").
  bool consumerControlInterface = false;
  std::vector<EmuProcessor> processors = {
      {kEmuCodeMain, EmuVersionWord(0x2016, 0x05, 0x12)},
      {kEmuCodeThird, EmuVersionWord(0x2015, 0x10, 0x22)},
      {kEmuCodeBluetoothA, EmuVersionWord(0x2014, 0x06, 0x30)},
  };
  bool startInBootloader = false;
  EmuBusForm busForm = EmuBusForm::Socket;

  std::uint8_t loaderMajor = 3;
  std::uint8_t loaderMinor = 2;
  std::uint8_t thirdLoaderMajor = 3;
  std::uint8_t thirdLoaderMinor = 0;

  std::uint32_t reenumerationDelayMs = 1500;  // off the bus between leaving and coming back
  std::uint32_t beginEraseMs = 800;           // LDR_BEGIN's erase of the application area
  std::uint32_t finishMs = 20;                // LDR_FINISH's verification
  std::uint32_t thirdEraseBlockMs = 150;      // one LDR_M_ERASE_BLOCK

  EmuTiming timing = EmuTiming::FullSpeed;
  double classRequestMs = 1.0;
  double timeScale = 1.0;  // device time runs this many times faster than real time
  // Real milliseconds before each due time that the emulator polls instead of
  // sleeping. A sleeping thread wakes tens of microseconds late, and that
  // lateness adds to every modelled transfer; polling keeps the model to a few
  // microseconds at the cost of CPU. 0 = always sleep.
  double spinMs = 0.0;

  std::uint32_t uartBaud = 921600;  // 10 bits per byte on the bridged UART

  std::string traceFile;        // JSON-lines trace; empty = none
  bool keepTrace = false;       // also keep the trace lines in memory (Trace())
  bool useBluetoothChip = true;  // play the chip behind the UART bridge
  // The chip's DFU loader refuses requests not valid in its state, as USB DFU
  // 1.1 has it (CEmuBluetoothChip::Config::strictDfu).
  bool strictDfu = false;
  // The chip's DFU loader knows only the requests of the updater's download
  // and refuses DFU_ABORT (CEmuBluetoothChip::Config::basicDfu).
  bool basicDfu = false;
  // Resends of one reply after which the chip gives its link up and starts
  // link establishment again (CEmuBluetoothChip::Config::retransmitLimit); 0 = none.
  std::uint32_t chipRetransmitLimit = 0;
  // The chip's dfuDNBUSY time after each download block, in ms before scaling.
  std::uint32_t chipBlockBusyMs = 5;

  EmuFaults faults;
  CEmuBluetoothChip::Faults chipFaults;
};
