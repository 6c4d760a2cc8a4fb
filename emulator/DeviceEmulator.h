#pragma once
// The device emulator: plays one device with its firmware, flash, UART bridge
// and Bluetooth chip, models bus and UART timing, writes a trace and injects
// faults. Its front end (EmuFrontEnd.h) is a vhid bus directory (the device
// side of the vhid contract), the kernel's uhid driver, which makes it a HID
// device of the running kernel with a hidraw node, or a USB device function
// on a USB device controller (configfs and FunctionFS). Everything runs on one
// thread of its own (plus the uhid event reader or the gadget's endpoint
// threads); the operations below may be called from any thread.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmuChipPort.h"
#include "emulator/EmuFirmware.h"
#include "emulator/EmuFrontEnd.h"
#include "emulator/EmuTrace.h"
#include "emulator/EmulatorConfig.h"
#include "emulator/VhidWire.h"
#include "platform/ThreadChecker.h"

struct EmuCounters {
  std::uint64_t transfers = 0;       // host requests received
  std::uint64_t connections = 0;     // connections accepted (refused ones not counted); uhid: opens
  std::uint64_t attaches = 0;        // times the device appeared on the bus
  std::uint64_t inputReports = 0;    // interrupt-in reports sent
  std::uint64_t uartBytesToChip = 0;
  std::uint64_t uartBytesToHost = 0;
  std::uint64_t refusedRoutes = 0;   // commands a strict device ignored for the route they came by
};

class CDeviceEmulator : private CEmuFirmwarePort, private CEmuFrontEndSink {
 public:
  // `chipFactory` replaces the emulated Bluetooth chip (tests put their own peer there).
  explicit CDeviceEmulator(EmulatorConfig config, EmuChipFactory chipFactory = nullptr);
  ~CDeviceEmulator() override;
  CDeviceEmulator(const CDeviceEmulator&) = delete;
  CDeviceEmulator& operator=(const CDeviceEmulator&) = delete;

  // Appears on the bus `busDirectory` (which must exist) in the configured
  // form and serves it; false when the listener or its file cannot be made or
  // the trace file cannot be opened.
  bool Start(const std::string& busDirectory);
  // Appears as a HID device of the running kernel through `uhidNode` and serves
  // it; false when the device cannot be created or the trace file cannot be opened.
  bool StartOnUhid(const std::string& uhidNode = "/dev/uhid");
  // Appears as a USB device on the USB device controller `udc` (empty: the
  // first of /sys/class/udc) through a configfs gadget with FunctionFS, and
  // serves it; false when the gadget cannot be made or the trace file cannot be opened.
  bool StartOnUsbGadget(const std::string& udc = "");
  // Leaves the bus, ends the thread. Safe to call twice.
  void Stop();

  // Inspection.
  bool Present() const;
  // True while a host has the device open (a vhid connection, an open uhid
  // node, a configured USB gadget).
  bool HostAttached() const;
  bool InBootloader() const;
  bool BridgeOn() const;
  // The device's file on the bus (socket or port file); empty while off the
  // bus; for uhid "<uhid node>#vid_..&pid_.."; for USB "usb:<udc>#vid_..&pid_..".
  std::string SocketPath() const;
  std::uint32_t ProcessorVersion(std::size_t index) const;
  std::vector<std::uint8_t> ReadMainFlash(std::uint32_t address, std::size_t length) const;
  std::vector<std::uint8_t> ReadThirdFlash(std::uint32_t address, std::size_t length) const;
  std::vector<std::uint8_t> BluetoothImage() const;
  std::uint32_t RecordsReceived() const;
  std::uint32_t EntryPoint() const;
  std::string LoaderError() const;  // why the main loader refused a record; empty if none
  EmuCounters Counters() const;
  std::vector<std::string> Trace() const;
  // One line on the Bluetooth chip's link: host frames, the chip's
  // retransmissions, host frames abandoned after their header; empty without
  // a chip. Stop writes it to the trace as a CHIP_LINK event.
  std::string ChipLinkSummary() const;
  // The same counts as numbers; all 0 without a chip.
  ChipLinkCounts ChipLinkStats() const;
  // Requests the Bluetooth chip refused as not valid in its state; 0 without a chip.
  std::uint64_t ChipRefusedRequests() const;
  // The Bluetooth chip's DFU loader as it stands; nothing without the emulated chip.
  std::optional<ChipDfuProgress> ChipProgress() const;

  // Faults and injections.
  void SetFaults(const EmuFaults& faults);
  EmuFaults Faults() const;
  void SetChipFaults(const CEmuBluetoothChip::Faults& faults);
  // An interrupt-in report of any kind, as if the firmware had sent it.
  void InjectInputReport(std::vector<std::uint8_t> report);
  // A UART data report (kind 0x28) carrying up to 28 bytes.
  void InjectUartReport(std::span<const std::uint8_t> bytes);
  // A status report (kind 0xEE) with the given status word.
  void InjectStatus(std::uint32_t status);
  // Pulls the cable (the device leaves the bus) and plugs it back in (the
  // device and its Bluetooth chip power up again, keeping what their flash holds).
  void UnplugCable();
  void PlugCable();

  // Polls `predicate` until it holds or `timeout` (real time) has passed; for tests and tools.
  bool WaitFor(const std::function<bool(const CDeviceEmulator&)>& predicate, std::chrono::milliseconds timeout) const;

 private:
  // A UART data report: kind 0x28, the count, up to 28 bytes.
  static constexpr std::size_t kUartBytesPerReport = 28;
  static constexpr std::uint8_t kKindUartData = 0x28;

  struct Scheduled {
    enum class EScope { Free, Bus, Connection } scope = EScope::Free;
    std::uint64_t generation = 0;
    std::function<void()> action;
  };

  // CEmuFirmwarePort
  void SendInputReport(std::vector<std::uint8_t> report, double delayMs) override;
  void Restart(bool intoBootloader) override;
  void UartToChip(std::span<const std::uint8_t> bytes) override;
  void Note(const std::string& text) override;
  double NowMs() override;
  void Unplug() override;

  // CEmuFrontEndSink
  double Now() const override;
  void OnHostConnected(const std::string& where, bool pollsFromNow) override;
  void OnHostDisconnected(const char* why) override;
  void OnHostRequest(EVhidType type, std::span<const std::uint8_t> payload, EEmuAnswerScope scope,
                     EmuAnswer answer) override;
  void RunDue() override;
  std::uint32_t TakeInterruptInHalts() override;

  // The base a front end reports to, for code outside the class (make_unique).
  CEmuFrontEndSink& Sink() { return *this; }
  bool StartFrontEnd(std::unique_ptr<CEmuFrontEnd> frontEnd);
  // Hands `action` to the loop; from any thread.
  void Post(std::function<void()> action);

  // The loop, on its own thread.
  std::optional<timespec> PollTimeout(double nextDue) const;
  double RealToDevice(std::chrono::steady_clock::duration duration) const;
  void Schedule(double atMs, Scheduled::EScope scope, std::function<void()> action);
  void AfterAnswer(std::function<void()> action);
  void Run();
  void Attach();
  bool InterruptOutPresent() const;
  bool RouteRefused(EVhidType type, std::span<const std::uint8_t> payload);
  void Detach(const char* why);
  bool HostConnected() const;
  void QueueInput(std::vector<std::uint8_t> report);
  void PumpInput();
  double NextPumpTime() const;
  void OnChipBytes(std::vector<std::uint8_t> bytes);
  void BootDevice(bool intoBootloader);
  double ByteMs() const;

  // Faults, on the loop's thread.
  void LeaveByFault(const char* why);
  void PlugIn();
  void PullCable(const char* why);
  // The unplugs the faults ask for once the request just handled is answered.
  void ScheduleFaultsAfterRequest(EVhidType type, std::span<const std::uint8_t> payload);

  EmulatorConfig m_config;
  EmuFaults m_faults;
  EmuChipFactory m_chipFactory;
  CEmuTrace m_trace;

  mutable std::mutex m_mutex;
  std::unique_ptr<CEmuFirmware> m_firmware;
  std::chrono::steady_clock::time_point m_start;
  bool m_stopping = false;
  std::thread m_thread;
  // The loop's thread while it runs; the caller's once Stop has joined it.
  CThreadChecker m_loopThread;
  int m_wakeFd = -1;

  // Bus state. The front end is made by Start for the run and, declared after
  // the trace it writes to, goes before it.
  std::unique_ptr<CEmuFrontEnd> m_frontEnd;
  bool m_present = false;
  std::uint16_t m_productId = 0;
  std::uint64_t m_busGeneration = 1;
  std::uint64_t m_connectionGeneration = 1;
  std::multimap<double, Scheduled> m_schedule;

  // Timing of the current request's answer, and of the pipes.
  double m_replyFreeAt = 0;
  double m_answerAt = 0;
  std::vector<std::pair<std::vector<std::uint8_t>, double>> m_pendingReports;
  std::vector<std::function<void()>> m_afterAnswer;
  bool m_inRequest = false;
  std::deque<std::vector<std::uint8_t>> m_inputQueue;
  double m_inputSlotFreeAt = 0;
  std::deque<std::pair<double, std::uint8_t>> m_uartToHost;  // arrival time, byte
  double m_uartRxFreeAt = 0;
  double m_uartTxFreeAt = 0;
  EmuCounters m_counters;
  std::uint32_t m_unplugCommandsSeen = 0;  // reports matching faults.unplugAfterCommand
  std::uint32_t m_recordHaltsMade = 0;     // halts of faults.haltInDuringRecords made so far
  std::uint32_t m_blockHaltsMade = 0;

  std::mutex m_postMutex;
  std::vector<std::function<void()>> m_posted;

  // Declared last: destroyed first, so its thread ends before anything it calls back into.
  std::unique_ptr<CEmuChipPort> m_chip;
};
