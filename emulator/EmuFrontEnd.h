#pragma once
// How the emulated device meets its host: one port with a form for each way
// the device can appear (a vhid bus directory, the kernel's uhid driver, a USB
// device function). The loop owns one front end for its whole run; the front
// end turns what the host does into calls on the sink the loop gives it, and
// everything on both sides runs on the loop's thread.
#include <poll.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "emulator/VhidWire.h"

// Who the device is while it is on the bus: it changes when it restarts into
// or out of its bootloader.
struct EmuIdentity {
  std::uint16_t productId = 0;
  std::string product;  // the product string; empty: the device has none
  bool interruptOut = true;  // the HID interface has an interrupt-OUT endpoint
  bool refuseConnections = false;  // appears, but a host cannot open it
};

// What outlives the answer's wait: the device staying on the bus, or also the
// host's connection it came by.
enum class EEmuAnswerScope { Bus, Connection };

// Gets a request's completion, in vhid's form, when the modelled transfer ends.
using EmuAnswer = std::function<void(EVhidType, std::vector<std::uint8_t>)>;

class CEmuFrontEndSink {
 public:
  // Device time in milliseconds, for the trace.
  virtual double Now() const = 0;
  // A host opened the device (`where` goes to the trace). `pollsFromNow`: the
  // host polls the interrupt-IN pipe from this moment, so the next report may go at once.
  virtual void OnHostConnected(const std::string& where, bool pollsFromNow) = 0;
  virtual void OnHostDisconnected(const char* why) = 0;
  // One host request, in vhid's form (report ID in byte 0); `answer` is not
  // called when what `scope` names ends first.
  virtual void OnHostRequest(EVhidType type, std::span<const std::uint8_t> payload, EEmuAnswerScope scope,
                             EmuAnswer answer) = 0;
  // Carries out what has come due by now.
  virtual void RunDue() = 0;
  // How many interrupt-IN halts the faults ask for since the last question.
  virtual std::uint32_t TakeInterruptInHalts() = 0;

 protected:
  ~CEmuFrontEndSink() = default;
};

class CEmuFrontEnd {
 public:
  virtual ~CEmuFrontEnd() = default;

  // Appears on the bus as `identity` and writes ATTACH to the trace; false,
  // with ERROR in the trace, when the device cannot be made.
  virtual bool Attach(const EmuIdentity& identity) = 0;
  // Leaves the bus; a host that has the device open loses it with `why`.
  virtual void Detach(const char* why) = 0;
  // The device's name on the bus while it is there (SocketPath); empty otherwise.
  virtual const std::string& Name() const = 0;
  virtual bool HostConnected() const = 0;

  // An interrupt-IN report (report ID in byte 0), traced as it leaves.
  virtual void SendInput(const std::vector<std::uint8_t>& report) = 0;
  // Sends what the host has not taken yet, without waiting for it.
  virtual void Flush() {}

  // Adds the descriptors the loop waits on to `fds`; after the wait, Serve
  // gets the same entries back with their revents.
  virtual void PollDescriptors(std::vector<pollfd>& fds) const = 0;
  virtual void Serve(std::span<const pollfd> fds) = 0;

  // Output reports complete at once, however long the model takes: the host's
  // write never waits for the device.
  virtual bool OutputReportsUnpaced() const { return false; }
  // The interrupt-IN pipe holds a report the host has not taken yet.
  virtual bool InputPipeBusy() const { return false; }
  // Input reports wait until the host polls, which it may never do, so the
  // queue of them is bounded.
  virtual bool InputQueueBounded() const { return false; }
};

// The device's HID report descriptor: vendor-defined, no report IDs, an input
// report of 31 bytes and output and feature reports of 64 bytes each (the
// report lengths the host sees are one more: the report-ID byte 0).
const std::vector<std::uint8_t>& EmuReportDescriptor();

// "#vid_..&pid_..", the tags that name a device of the kernel's forms.
std::string EmuDeviceTags(std::uint16_t productId);
