#include "emulator/GadgetFrontEnd.h"

#include <algorithm>
#include <optional>
#include <span>

CGadgetFrontEnd::CGadgetFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string udc,
                                 const EmulatorConfig& config)
    : m_sink(sink),
      m_trace(trace),
      m_udc(std::move(udc)),
      m_manufacturer(config.manufacturerString),
      m_serialNumber(config.serialNumber),
      m_consumerControl(config.consumerControlInterface) {}

bool CGadgetFrontEnd::Attach(const EmuIdentity& identity) {
  UsbGadgetIdentity usb;
  usb.vendorId = kEmuVendorId;
  usb.productId = identity.productId;
  usb.manufacturer = m_manufacturer;
  usb.product = identity.product;
  usb.serialNumber = m_serialNumber;
  usb.interruptOut = identity.interruptOut;
  usb.consumerControl = m_consumerControl;
  usb.reportDescriptor = EmuReportDescriptor();
  usb.inputReportLength = static_cast<std::uint16_t>(kEmuInputReportLength - 1);
  usb.outputReportLength = static_cast<std::uint16_t>(kEmuOutputReportLength - 1);
  ++m_gadgetNumber;
  std::string error;
  m_gadget = CUsbGadget::Create(m_udc, usb, error);
  const std::string tags = EmuDeviceTags(identity.productId);
  if (!m_gadget) {
    m_trace.Event(m_sink.Now(), "ERROR", "cannot make the USB device " + tags + ": " + error);
    return false;
  }
  m_name = "usb:" + m_gadget->Udc() + tags;
  m_trace.Event(m_sink.Now(), "ATTACH", m_name + (usb.interruptOut ? "" : " (no interrupt-OUT endpoint)"));
  return true;
}

void CGadgetFrontEnd::Detach(const char* why) {
  // Unbound from its controller, the device leaves the host's bus.
  m_gadget.reset();
  if (m_configured) {
    m_configured = false;
    m_sink.OnHostDisconnected(why);
  }
  m_name.clear();
}

void CGadgetFrontEnd::PollDescriptors(std::vector<pollfd>& fds) const {
  if (m_gadget) fds.push_back({m_gadget->ReadyFd(), POLLIN, 0});
}

void CGadgetFrontEnd::Serve(std::span<const pollfd> fds) {
  const std::uint64_t gadget = m_gadgetNumber;
  for (const pollfd& entry : fds) {
    if (!m_gadget || entry.fd != m_gadget->ReadyFd() || !(entry.revents & POLLIN)) continue;
    for (UsbGadgetEvent& event : m_gadget->TakeEvents()) {
      if (gadget != m_gadgetNumber || !m_gadget) break;  // the device left while its events were handled
      OnEvent(std::move(event));
      // A transfer the host completed into the pipe's second buffer is
      // handled only after what the last one made due (an unplug after it).
      m_sink.RunDue();
    }
  }
}

void CGadgetFrontEnd::SendInput(const std::vector<std::uint8_t>& report) {
  m_trace.Transfer(m_sink.Now(), "d2h", VhidTypeName(EVhidType::InputReport), report);
  if (m_gadget && report.size() > 1) m_gadget->SendInput(std::span(report).subspan(1));
}

EmuAnswer CGadgetFrontEnd::AnswerFor(std::function<void(CUsbGadget&, const std::vector<std::uint8_t>&)> reply) {
  return [this, gadget = m_gadgetNumber, reply = std::move(reply)](EVhidType type, std::vector<std::uint8_t> answer) {
    if (gadget != m_gadgetNumber || !m_gadget) return;
    m_trace.Transfer(m_sink.Now(), "d2h", VhidTypeName(type), answer);
    reply(*m_gadget, answer);
  };
}

// The host's USB driver leaves the report-ID byte out of every transfer (the
// reports are unnumbered); the firmware takes reports in vhid's form, so the 0
// goes back in front. The gadget takes the next transfer on a pipe only when
// the model has completed the last one: the host is paced as by a real device.
void CGadgetFrontEnd::OnEvent(UsbGadgetEvent event) {
  const std::uint64_t gadget = m_gadgetNumber;
  using EKind = UsbGadgetEvent::EKind;
  std::vector<std::uint8_t> report;
  if (event.kind == EKind::InterruptOut || event.kind == EKind::SetReport) {
    report.reserve(event.data.size() + 1);
    report.push_back(0);
    report.insert(report.end(), event.data.begin(), event.data.end());
  }
  switch (event.kind) {
    case EKind::Configured:
      if (m_configured) return;
      m_configured = true;
      m_sink.OnHostConnected(m_name + ": configured by the host", true);
      return;
    case EKind::Unconfigured:
      if (!m_configured) return;
      m_configured = false;
      m_sink.OnHostDisconnected("host deconfigured the device");
      return;
    case EKind::InterruptOut:
      // The interrupt pipe's completion is not traced: it carries nothing back.
      m_sink.OnHostRequest(EVhidType::Output, report, EEmuAnswerScope::Bus,
                         [this, gadget](EVhidType, std::vector<std::uint8_t>) {
                           if (gadget == m_gadgetNumber && m_gadget) m_gadget->TakeNextInterruptOut();
                         });
      HaltInterruptInWhenDue();
      return;
    case EKind::SetReport:
      m_sink.OnHostRequest(
          event.reportType == CUsbGadget::kReportTypeFeature ? EVhidType::SetFeature : EVhidType::SetOutput, report,
          EEmuAnswerScope::Bus,
          AnswerFor([](CUsbGadget& device, const std::vector<std::uint8_t>&) { device.TakeNextControl(); }));
      HaltInterruptInWhenDue();
      return;
    case EKind::GetReport: {
      // wLength counts the report without its ID byte; the model counts it with.
      const std::size_t length = std::min<std::size_t>(event.length, kEmuInputReportLength - 1) + 1;
      const std::uint8_t request[3] = {0, static_cast<std::uint8_t>(length), 0};
      m_sink.OnHostRequest(EVhidType::GetInput, request, EEmuAnswerScope::Bus,
                         AnswerFor([](CUsbGadget& device, const std::vector<std::uint8_t>& reply) {
                           if (reply[0] != 0 || reply.size() < 2) {
                             device.ReplyGetReport(std::nullopt);
                             return;
                           }
                           device.ReplyGetReport(std::vector<std::uint8_t>(reply.begin() + 2, reply.end()));
                         }));
      return;
    }
    case EKind::InputSent:
      return;  // the pump sends the next report
    case EKind::InputHalted:
      m_trace.Event(m_sink.Now(), "NOTE", "interrupt IN halted");
      return;
    case EKind::Request:
      m_trace.Event(m_sink.Now(), "NOTE", "endpoint 0: " + event.text);
      return;
  }
}

// The halts the faults ask for, on the interrupt-IN endpoint.
void CGadgetFrontEnd::HaltInterruptInWhenDue() {
  if (!m_gadget) return;
  for (std::uint32_t halts = m_sink.TakeInterruptInHalts(); halts > 0; --halts) m_gadget->HaltInterruptIn();
}
