#include "emulator/UhidFrontEnd.h"

#include <linux/uhid.h>

#include <cerrno>
#include <span>

#include "emulator/EmulatorConfig.h"

namespace {
constexpr std::uint16_t kUsbStall = EPIPE;  // what a stalled control request gives a USB host driver
}  // namespace

CUhidFrontEnd::CUhidFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string uhidNode)
    : m_sink(sink), m_trace(trace), m_node(std::move(uhidNode)) {}

bool CUhidFrontEnd::Attach(const EmuIdentity& identity) {
  const std::string name = m_node + EmuDeviceTags(identity.productId);
  UhidIdentity uhid;
  uhid.vendorId = kEmuVendorId;
  uhid.productId = identity.productId;
  uhid.name = identity.product;
  uhid.phys = "quillon-devemu";
  uhid.reportDescriptor = EmuReportDescriptor();
  ++m_deviceNumber;
  std::string error;
  m_device = CUhidDevice::Create(m_node, uhid, error);
  if (!m_device) {
    m_trace.Event(m_sink.Now(), "ERROR", "cannot create the uhid device " + name + ": " + error);
    return false;
  }
  m_name = name;
  m_trace.Event(m_sink.Now(), "ATTACH", name);
  return true;
}

void CUhidFrontEnd::Detach(const char* why) {
  // UHID_DESTROY: the kernel removes the HID device and its hidraw node, and
  // every open file of it fails from then on.
  m_device.reset();
  if (m_open) {
    m_open = false;
    m_sink.OnHostDisconnected(why);
  }
  m_name.clear();
}

void CUhidFrontEnd::PollDescriptors(std::vector<pollfd>& fds) const {
  if (m_device) fds.push_back({m_device->ReadyFd(), POLLIN, 0});
}

void CUhidFrontEnd::Serve(std::span<const pollfd> fds) {
  const std::uint64_t device = m_deviceNumber;
  for (const pollfd& entry : fds) {
    if (!m_device || entry.fd != m_device->ReadyFd() || !(entry.revents & POLLIN)) continue;
    for (UhidEvent& event : m_device->TakeEvents()) {
      if (device != m_deviceNumber || !m_device) break;  // the device left while its events were handled
      OnEvent(std::move(event));
    }
  }
}

void CUhidFrontEnd::SendInput(const std::vector<std::uint8_t>& report) {
  // The reports are unnumbered: the kernel takes them without the report-ID byte.
  m_trace.Transfer(m_sink.Now(), "d2h", VhidTypeName(EVhidType::InputReport), report);
  if (m_device && report.size() > 1) m_device->SendInput(std::span(report).subspan(1));
}

EmuAnswer CUhidFrontEnd::AnswerFor(std::function<void(CUhidDevice&, const std::vector<std::uint8_t>&)> reply) {
  return [this, device = m_deviceNumber, reply = std::move(reply)](EVhidType type, std::vector<std::uint8_t> answer) {
    if (device != m_deviceNumber || !m_device) return;
    m_trace.Transfer(m_sink.Now(), "d2h", VhidTypeName(type), answer);
    reply(*m_device, answer);
  };
}

// uhid hands over the host's buffer as hidraw got it: output and feature data
// still begin with the report-ID byte 0x00, which a USB device never receives
// (the host's USB driver leaves it out of the transfer). The firmware takes
// reports in vhid's form, report ID in byte 0, so the buffer goes to it as it
// is; one that does not start with 0 is refused there, as a USB device would
// not take a 65-byte transfer for its 64-byte report. write() and HIDIOCSOUTPUT
// both arrive as UHID_OUTPUT, so every output report is taken as the
// interrupt-out one: the firmware accepts each command on either path anyway.
void CUhidFrontEnd::OnEvent(UhidEvent event) {
  using EKind = UhidEvent::EKind;
  switch (event.kind) {
    case EKind::Start:
    case EKind::Stop:
      return;
    case EKind::Open:
      if (m_open) return;
      m_open = true;
      m_sink.OnHostConnected(m_name, true);
      return;
    case EKind::Close:
      if (!m_open) return;
      m_open = false;
      m_sink.OnHostDisconnected("host closed the device");
      return;
    case EKind::Output:
      // Nothing goes back: the host's write has long returned.
      m_sink.OnHostRequest(EVhidType::Output, event.data, EEmuAnswerScope::Bus,
                         [](EVhidType, std::vector<std::uint8_t>) {});
      return;
    case EKind::SetReport: {
      if (event.reportType != UHID_FEATURE_REPORT && event.reportType != UHID_OUTPUT_REPORT) {
        m_trace.Event(m_sink.Now(), "NOTE", "SET_REPORT of an input report refused");
        m_device->ReplySetReport(event.requestId, kUsbStall);
        return;
      }
      // A set request that is never answered keeps the host's ioctl waiting
      // for 5 s and then fails it with EIO, so every one is answered.
      const EVhidType type = event.reportType == UHID_FEATURE_REPORT ? EVhidType::SetFeature : EVhidType::SetOutput;
      m_sink.OnHostRequest(type, event.data, EEmuAnswerScope::Bus,
                         AnswerFor([id = event.requestId](CUhidDevice& device, const std::vector<std::uint8_t>& reply) {
                           device.ReplySetReport(id, reply[0] == 0 ? 0 : kUsbStall);
                         }));
      return;
    }
    case EKind::GetReport: {
      if (event.reportType != UHID_INPUT_REPORT) {
        m_trace.Event(m_sink.Now(), "NOTE", "GET_REPORT of a feature or output report refused");
        m_device->ReplyGetReport(event.requestId, kUsbStall, {});
        return;
      }
      // The request carries no length: answer the whole report, [0x00, payload...],
      // which is what a USB host driver gives the caller; the kernel cuts it to
      // the caller's buffer.
      const std::uint8_t request[3] = {event.reportNumber, static_cast<std::uint8_t>(kEmuInputReportLength), 0};
      m_sink.OnHostRequest(EVhidType::GetInput, request, EEmuAnswerScope::Bus,
                         AnswerFor([id = event.requestId](CUhidDevice& device, const std::vector<std::uint8_t>& reply) {
                           device.ReplyGetReport(id, reply[0] == 0 ? 0 : kUsbStall, std::span(reply).subspan(1));
                         }));
      return;
    }
  }
}
