#include "app/testing/PrivateSystemBus.h"

#include <systemd/sd-bus.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

namespace e2e {

namespace {

namespace fs = std::filesystem;

// The distribution's interpreter, which python3-dbusmock is installed for.
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kPortalTemplate[] = QUILLON_E2E_SOURCE_DIR "/app/testing/portal_inhibit.py";

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

// The reply of `method` (no arguments) on the bus at `address`, or null.
std::unique_ptr<sd_bus_message, MessageUnref> CallWithoutArguments(const std::string& address, const char* destination,
                                                                   const char* path, const char* interface,
                                                                   const char* method) {
  sd_bus* made = nullptr;
  if (sd_bus_new(&made) < 0) return nullptr;
  const std::unique_ptr<sd_bus, BusCloser> bus(made);
  if (sd_bus_set_address(bus.get(), address.c_str()) < 0 || sd_bus_set_bus_client(bus.get(), 1) < 0 ||
      sd_bus_start(bus.get()) < 0)
    return nullptr;
  sd_bus_message* received = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int called = sd_bus_call_method(bus.get(), destination, path, interface, method, &error, &received, "");
  sd_bus_error_free(&error);
  std::unique_ptr<sd_bus_message, MessageUnref> reply(received);
  if (called < 0) return nullptr;
  return reply;
}

std::optional<std::vector<Inhibitor>> ListInhibitors(const std::string& address) {
  const auto reply = CallWithoutArguments(address, "org.freedesktop.login1", "/org/freedesktop/login1",
                                          "org.freedesktop.login1.Manager", "ListInhibitors");
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)") < 0) return std::nullopt;
  std::vector<Inhibitor> inhibitors;
  const char* fields[4] = {};
  std::uint32_t uid = 0;
  std::uint32_t pid = 0;
  while (sd_bus_message_read(reply.get(), "(ssssuu)", &fields[0], &fields[1], &fields[2], &fields[3], &uid, &pid) >
         0)
    inhibitors.push_back({fields[0], fields[1], fields[2], fields[3]});
  return inhibitors;
}

std::optional<std::vector<PortalLock>> ListPortalLocks(const std::string& address) {
  const auto reply = CallWithoutArguments(address, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                                          "org.freedesktop.portal.Inhibit", "Locks");
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(us)") < 0) return std::nullopt;
  std::vector<PortalLock> locks;
  std::uint32_t flags = 0;
  const char* reason = nullptr;
  while (sd_bus_message_read(reply.get(), "(us)", &flags, &reason) > 0) locks.push_back({std::to_string(flags), reason});
  return locks;
}

}  // namespace

bool CPrivateSystemBus::Start(const fs::path& socket, bool withLogind) {
  m_socket = socket;
  const fs::path config = socket.parent_path() / "system-bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n"
                           "  <listen>unix:path="
                        << socket.string()
                        << "</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow user=\"*\"/><allow own=\"*\"/>\n"
                           "    <allow send_destination=\"*\"/><allow receive_sender=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n";
  ProgramLaunch daemon;
  daemon.program = "/usr/bin/dbus-daemon";
  daemon.arguments = {"--config-file=" + config.string(), "--nofork", "--nopidfile"};
  if (!m_daemon.Start(daemon)) return false;
  if (!WaitFor([&] { return fs::exists(socket); }, std::chrono::seconds(10))) return false;
  if (!withLogind) return true;
  ProgramLaunch logind;
  logind.program = kPython;
  logind.arguments = {"-m", "dbusmock", "--template", "logind"};
  logind.setEnv["DBUS_SYSTEM_BUS_ADDRESS"] = Address();
  ProgramLaunch portal = logind;
  portal.arguments = {"-m", "dbusmock", "--template", kPortalTemplate};
  portal.setEnv["DBUS_SESSION_BUS_ADDRESS"] = Address();
  if (!m_logind.Start(logind) || !m_portal.Start(portal)) return false;
  return WaitFor([&] { return Inhibitors().has_value() && PortalLocks().has_value(); }, std::chrono::seconds(30));
}

void CPrivateSystemBus::StopLogind() {
  for (CChildProcess* standIn : {&m_logind, &m_portal}) {
    standIn->Signal(SIGTERM);
    standIn->Wait(std::chrono::seconds(10));
  }
}

std::optional<std::vector<Inhibitor>> CPrivateSystemBus::Inhibitors() const { return ListInhibitors(Address()); }

std::optional<std::vector<PortalLock>> CPrivateSystemBus::PortalLocks() const { return ListPortalLocks(Address()); }

}  // namespace e2e
