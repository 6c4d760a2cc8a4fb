#pragma once
// A private D-Bus daemon in the place of the system bus and of the session
// bus, with logind played by python3-dbusmock's logind template and the
// desktop portal's Inhibit by a template of ours: the sleep inhibitor is
// tested against a real bus and real Inhibit calls, never against the
// machine's logind or desktop.
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
// One lock the portal holds: its flags, as text, and its reason.
using PortalLock = std::array<std::string, 2>;

class CPrivateSystemBus {
 public:
  // Starts dbus-daemon listening on `socket` (its configuration beside it)
  // and, with `withLogind`, the logind and portal stand-ins; true once they answer.
  bool Start(const std::filesystem::path& socket, bool withLogind);
  std::string Address() const { return "unix:path=" + m_socket.string(); }
  // Ends the logind and portal stand-ins; the bus stays, without them.
  void StopLogind();
  // The locks the logind stand-in holds now; empty when it cannot be asked.
  std::optional<std::vector<Inhibitor>> Inhibitors() const;
  // The locks the portal stand-in holds now; empty when it cannot be asked.
  std::optional<std::vector<PortalLock>> PortalLocks() const;
  std::string Errors() const { return m_daemon.Errors() + m_logind.Errors() + m_portal.Errors(); }

 private:
  std::filesystem::path m_socket;
  CChildProcess m_daemon;
  CChildProcess m_logind;
  CChildProcess m_portal;
};

}  // namespace e2e
