#pragma once
// The device on a vhid bus directory (the device side of docs/vhid.md): a
// listener behind the device's file (a UNIX socket, or a file naming a TCP
// port on 127.0.0.1), one host connection at a time, and the connection's
// unsent bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/EmuFrontEnd.h"
#include "emulator/EmuTrace.h"
#include "emulator/EmulatorConfig.h"
#include "emulator/VhidWire.h"

class CVhidFrontEnd final : public CEmuFrontEnd {
 public:
  CVhidFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string busDirectory, EmuBusForm form);
  ~CVhidFrontEnd() override;
  CVhidFrontEnd(const CVhidFrontEnd&) = delete;
  CVhidFrontEnd& operator=(const CVhidFrontEnd&) = delete;

  bool Attach(const EmuIdentity& identity) override;
  void Detach(const char* why) override;
  const std::string& Name() const override { return m_path; }
  bool HostConnected() const override { return m_connectionFd >= 0; }
  void SendInput(const std::vector<std::uint8_t>& report) override;
  void Flush() override { FlushOutput(false); }
  void PollDescriptors(std::vector<pollfd>& fds) const override;
  void Serve(std::span<const pollfd> fds) override;

 private:
  void Accept();
  void ReadFromHost();
  void CloseConnection(const char* why);
  void SendMessage(EVhidType type, std::span<const std::uint8_t> payload);
  void FlushOutput(bool block);

  CEmuFrontEndSink& m_sink;
  CEmuTrace& m_trace;
  const std::string m_bus;
  const EmuBusForm m_form;
  EmuIdentity m_identity;
  std::string m_path;  // the device's file while it is on the bus
  int m_listenFd = -1;
  int m_connectionFd = -1;
  std::uint64_t m_connectionsClosed = 0;  // tells a request's handling that its connection ended
  CVhidReceiver m_receiver;
  std::vector<std::uint8_t> m_outBuffer;
};
