#pragma once
// The device as a USB device on a USB device controller (a configfs gadget
// with FunctionFS): the host is the USB host at the other end, which
// configures the device and polls its interrupt-IN pipe.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/EmuFrontEnd.h"
#include "emulator/EmuTrace.h"
#include "emulator/EmulatorConfig.h"
#include "emulator/UsbGadget.h"

class CGadgetFrontEnd final : public CEmuFrontEnd {
 public:
  // `udc` empty: the first of /sys/class/udc.
  CGadgetFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string udc, const EmulatorConfig& config);

  bool Attach(const EmuIdentity& identity) override;
  void Detach(const char* why) override;
  const std::string& Name() const override { return m_name; }
  bool HostConnected() const override { return m_configured; }
  void SendInput(const std::vector<std::uint8_t>& report) override;
  void PollDescriptors(std::vector<pollfd>& fds) const override;
  void Serve(std::span<const pollfd> fds) override;
  // The interrupt-IN endpoint holds one report until the host polls it; the
  // gadget's InputSent wakes the loop when it is free again.
  bool InputPipeBusy() const override { return m_gadget && m_gadget->InputBusy(); }
  bool InputQueueBounded() const override { return true; }

 private:
  void OnEvent(UsbGadgetEvent event);
  // Completes a request when the model has answered it, unless the gadget it came to has gone.
  EmuAnswer AnswerFor(std::function<void(CUsbGadget&, const std::vector<std::uint8_t>&)> reply);
  void HaltInterruptInWhenDue();

  CEmuFrontEndSink& m_sink;
  CEmuTrace& m_trace;
  const std::string m_udc;  // the controller asked for
  const std::string m_manufacturer;
  const std::string m_serialNumber;
  const bool m_consumerControl;
  std::string m_name;  // "usb:<udc>#vid_..&pid_.." while the device is there
  std::unique_ptr<CUsbGadget> m_gadget;
  std::uint64_t m_gadgetNumber = 0;  // which gadget that is: answers due to an earlier one are dropped
  bool m_configured = false;  // whether the host has configured it
};
