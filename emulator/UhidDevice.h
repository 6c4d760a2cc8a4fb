#pragma once
// One HID device made with the kernel's uhid driver (/dev/uhid): the kernel
// presents it like a USB HID device (hid-generic binds it, hidraw gives it a
// node), and hands every host transfer to us as an event.
//
// uhid keeps at most 32 unread events per device and drops the rest ("Output
// queue is full" in the kernel log), and it gives the host's write() no
// back-pressure. So a reader thread of our own takes every event as soon as it
// is there and queues it, however slowly the consumer models the device; the
// process runs at real-time priority (UseRealTimePriority) so that the writing
// host never keeps that reader from the processor.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "emulator/EmuEventQueue.h"

// Puts the calling thread, and every thread it starts from now on, at
// real-time priority; false when the system does not allow it. (Programs it
// starts would inherit it too: start them from another thread.) Call it before a device is created: the event
// reader alone at real-time priority is not enough, as it still waits whenever
// another thread of the process, preempted by the writing host, holds a lock
// it needs (the event queue's, the allocator's), and the kernel drops events
// meanwhile (measured: about 1,700 of 28,000 in one upgrade).
bool UseRealTimePriority();

struct UhidIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string name;  // what HIDIOCGRAWNAME gives the host
  std::string phys;
  std::vector<std::uint8_t> reportDescriptor;
};

struct UhidEvent {
  enum class EKind {
    Start,      // a driver bound the device
    Stop,       // the driver let it go
    Open,       // the first host file was opened
    Close,      // the last host file was closed
    Output,     // write() or HIDIOCSOUTPUT
    GetReport,  // HIDIOCGINPUT / HIDIOCGFEATURE: must be answered with ReplyGetReport
    SetReport   // HIDIOCSFEATURE: must be answered with ReplySetReport
  };
  EKind kind = EKind::Start;
  std::uint32_t requestId = 0;   // GetReport, SetReport
  std::uint8_t reportNumber = 0;  // GetReport, SetReport
  std::uint8_t reportType = 0;    // UHID_FEATURE_REPORT, UHID_OUTPUT_REPORT or UHID_INPUT_REPORT
  std::vector<std::uint8_t> data;  // Output, SetReport: the bytes as the host passed them
};

class CUhidDevice {
 public:
  // Opens `uhidNode` and creates the device. Null, with `error` set, when either step fails.
  static std::unique_ptr<CUhidDevice> Create(const std::string& uhidNode, const UhidIdentity& identity,
                                             std::string& error);
  // Destroys the device (it leaves the bus) and ends the reader.
  ~CUhidDevice();
  CUhidDevice(const CUhidDevice&) = delete;
  CUhidDevice& operator=(const CUhidDevice&) = delete;

  // Readable (POLLIN) while events wait in TakeEvents.
  int ReadyFd() const { return m_events.ReadyFd(); }
  // Every event taken from the kernel so far, in the kernel's order.
  std::vector<UhidEvent> TakeEvents() { return m_events.Take(); }

  // An input report without report-ID byte (the device's reports are unnumbered).
  bool SendInput(std::span<const std::uint8_t> report);
  // `error` 0 answers with `data`; otherwise the host's request fails (EIO).
  bool ReplyGetReport(std::uint32_t requestId, std::uint16_t error, std::span<const std::uint8_t> data);
  bool ReplySetReport(std::uint32_t requestId, std::uint16_t error);

 private:
  CUhidDevice(int fd, int stopFd);
  void ReadEvents();
  bool Send(const void* event, std::size_t size);

  const int m_fd;
  const int m_stopFd;
  CEmuEventQueue<UhidEvent> m_events;
  std::thread m_reader;
};
