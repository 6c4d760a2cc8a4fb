#pragma once
// A private D-Bus daemon in the place of the system bus, with logind played by
// python3-dbusmock's logind template: the sleep inhibitor is tested against a
// real bus and a real Inhibit call, never against the machine's logind.
#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/testing/ProgramRunner.h"

namespace e2e {

// One lock logind holds: what, who, why, mode.
using Inhibitor = std::array<std::string, 4>;

class CPrivateSystemBus {
 public:
  // Starts dbus-daemon listening on `socket` (its configuration beside it)
  // and, with `withLogind`, the logind stand-in; true once it answers.
  bool Start(const std::filesystem::path& socket, bool withLogind);
  std::string Address() const { return "unix:path=" + m_socket.string(); }
  // Ends the logind stand-in; the bus stays, without logind on it.
  void StopLogind();
  // The locks the logind stand-in holds now; empty when it cannot be asked.
  std::optional<std::vector<Inhibitor>> Inhibitors() const;
  std::string Errors() const { return m_daemon.Errors() + m_logind.Errors(); }

 private:
  std::filesystem::path m_socket;
  CChildProcess m_daemon;
  CChildProcess m_logind;
};

}  // namespace e2e
