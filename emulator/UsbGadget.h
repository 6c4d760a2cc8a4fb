#pragma once
// One USB device played from user space: a configfs gadget with one FunctionFS
// function, bound to a USB device controller (UDC). On a board with a USB
// device port the UDC is that port, and the device is a real USB device for
// the computer at the other end of the cable; in a test machine it is
// dummy_hcd's dummy_udc.0, whose host side is the same machine's USB stack.
//
// The kernel's composite layer answers SET_ADDRESS, the device, configuration
// and string descriptors and SET_CONFIGURATION itself; this class sees the
// requests addressed to the function's interfaces (endpoint 0) and its own
// endpoints. Requests that need the device model (SET_REPORT, GET_REPORT,
// interrupt OUT) go to the owner as events; descriptors and SET_IDLE are
// answered here.
//
// Pacing: each pipe has two buffers, as a device's double-buffered endpoint
// does: while the device handles one transfer the host may complete the
// next, and the one after that does not complete (the controller NAKs it)
// until the owner has called TakeNextInterruptOut / TakeNextControl for the
// first. An input report is written when the host polls for it.
//
// Everything the host sends is untrusted: lengths are checked against the
// report sizes before a data stage is read, and requests the device does
// not have are stalled.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmuEventQueue.h"

struct UsbGadgetIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string manufacturer;
  std::string product;  // empty: the device has no product string
  std::string serialNumber;
  bool interruptOut = true;  // the HID interface has an interrupt-OUT endpoint
  std::vector<std::uint8_t> reportDescriptor;
  std::uint16_t inputReportLength = 0;   // without report-ID byte (the reports are unnumbered)
  std::uint16_t outputReportLength = 0;  // also the feature report's length
  // A consumer-control HID interface (volume and mute; its own report
  // descriptor, interrupt IN only) as interface 0, before the others, as a
  // composite audio device may have it. Nothing is ever sent on it; the
  // requests the host's HID driver makes to set it up are answered, any
  // other is stalled and noted ("consumer-control interface: request stalled").
  bool consumerControl = false;
};

struct UsbGadgetEvent {
  enum class EKind {
    Configured,    // the host selected the configuration: the endpoints work
    Unconfigured,  // the host or an unbind took the configuration away
    InterruptOut,  // a report on the interrupt-OUT pipe (`data`)
    SetReport,     // SET_REPORT with its data stage taken (`reportType`, `data`)
    GetReport,     // GET_REPORT(Input): answer with ReplyGetReport (`length` = wLength)
    InputSent,     // the host took the report given to SendInput (or the pipe went away)
    InputHalted,   // the interrupt-IN endpoint halted, as HaltInterruptIn asked
    Request        // any other endpoint-0 request, answered or stalled here (`text`)
  };
  explicit UsbGadgetEvent(EKind what) : kind(what) {}
  EKind kind;
  std::uint8_t reportType = 0;  // SetReport: 2 output, 3 feature
  std::uint16_t length = 0;
  std::vector<std::uint8_t> data;  // as it came over the wire: no report-ID byte
  std::string text;
};

class CUsbGadget {
 public:
  inline static constexpr std::uint8_t kReportTypeInput = 1;
  inline static constexpr std::uint8_t kReportTypeOutput = 2;
  inline static constexpr std::uint8_t kReportTypeFeature = 3;

  // Makes the gadget under configfs (`/sys/kernel/config`), mounts its
  // FunctionFS, writes the descriptors and binds it to `udc` (empty: the only
  // or first UDC of /sys/class/udc). Null, with `error` set, when a step fails;
  // what was made is taken down again.
  static std::unique_ptr<CUsbGadget> Create(const std::string& udc, const UsbGadgetIdentity& identity,
                                            std::string& error);
  // Unbinds (the device leaves the host's bus) and takes the gadget down.
  ~CUsbGadget();
  CUsbGadget(const CUsbGadget&) = delete;
  CUsbGadget& operator=(const CUsbGadget&) = delete;

  int ReadyFd() const { return m_events.ReadyFd(); }
  std::vector<UsbGadgetEvent> TakeEvents() { return m_events.Take(); }
  // The UDC the gadget is bound to.
  const std::string& Udc() const { return m_udc; }

  // Hands an input report (without report-ID byte) to the interrupt-IN pipe;
  // false while the previous one has not been taken (InputSent not yet seen).
  bool SendInput(std::span<const std::uint8_t> report);
  bool InputBusy();
  // Halts the interrupt-IN endpoint once no report waits on it (a controller
  // may refuse to halt an IN endpoint with a transfer queued): the host's
  // transfers on it end with a stall until it clears the halt. An InputHalted
  // event follows each.
  void HaltInterruptIn();
  // The device has handled a transfer taken on that pipe: its buffer is free.
  void TakeNextInterruptOut();
  void TakeNextControl();
  // Answers the pending GET_REPORT with `report` (cut to wLength), or stalls it.
  void ReplyGetReport(std::optional<std::vector<std::uint8_t>> report);

 private:
  struct Paths;
  CUsbGadget(const UsbGadgetIdentity& identity, std::unique_ptr<Paths> paths);
  bool Open(std::string& error);
  void ServeControl();
  void HandleSetup(const std::uint8_t* setup);
  void HandleConsumerControlSetup(const std::uint8_t* setup);
  void Note(const std::string& what, const std::uint8_t* setup);
  void ReadInterruptOut();
  void WriteInterruptIn();
  void Stall(bool directionIn);
  void AnswerIn(std::span<const std::uint8_t> data, std::uint16_t wLength);
  void AckOut();
  bool WaitForBuffer(int& taken);

  const UsbGadgetIdentity m_identity;
  std::unique_ptr<Paths> m_paths;
  std::string m_udc;
  int m_ep0 = -1;
  int m_epIn = -1;
  int m_epOut = -1;
  int m_stopFd = -1;
  CEmuEventQueue<UsbGadgetEvent> m_events;

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_stopping = false;
  bool m_enabled = false;
  int m_outTaken = 0;      // transfers taken on the pipe and not yet handled by the device
  int m_controlTaken = 0;
  std::optional<std::vector<std::uint8_t>> m_input;  // the report the IN pipe holds
  bool m_inputBusy = false;
  unsigned m_haltsAsked = 0;  // halts of the IN pipe still to be made
  bool m_getReportPending = false;
  std::optional<std::optional<std::vector<std::uint8_t>>> m_getReportReply;

  std::thread m_control;
  std::thread m_outReader;
  std::thread m_inWriter;
};
