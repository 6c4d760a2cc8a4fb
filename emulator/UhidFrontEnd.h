#pragma once
// The device as a HID device of the running kernel, made through the uhid
// driver: the host is whoever opens its hidraw node.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/EmuFrontEnd.h"
#include "emulator/EmuTrace.h"
#include "emulator/UhidDevice.h"

class CUhidFrontEnd final : public CEmuFrontEnd {
 public:
  CUhidFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string uhidNode);

  bool Attach(const EmuIdentity& identity) override;
  void Detach(const char* why) override;
  const std::string& Name() const override { return m_name; }
  bool HostConnected() const override { return m_open; }
  void SendInput(const std::vector<std::uint8_t>& report) override;
  void PollDescriptors(std::vector<pollfd>& fds) const override;
  void Serve(std::span<const pollfd> fds) override;
  // uhid never makes the host's write wait for the device: a transfer time
  // modelled for it could not slow the host, only make the device fall ever
  // further behind it.
  bool OutputReportsUnpaced() const override { return true; }

 private:
  void OnEvent(UhidEvent event);
  // Completes a request when the model has answered it, unless the device it came to has gone.
  EmuAnswer AnswerFor(std::function<void(CUhidDevice&, const std::vector<std::uint8_t>&)> reply);

  CEmuFrontEndSink& m_sink;
  CEmuTrace& m_trace;
  const std::string m_node;
  std::string m_name;  // "<uhid node>#vid_..&pid_.." while the device is there
  std::unique_ptr<CUhidDevice> m_device;
  std::uint64_t m_deviceNumber = 0;  // which device that is: answers due to an earlier one are dropped
  bool m_open = false;  // whether the host has it open
};
