// The sleep and shutdown lock, and the lid-switch lock, through logind's
// Inhibit call on the system bus (sd-bus). logind keeps a lock for as long as
// the returned descriptor is open, so a lock is its descriptor: closing it
// releases the lock, and so does the process's end, however it ends.
// The desktop's lock on the end of the session goes through the desktop
// portal on the session bus.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/log/Log.h"
#include "platform/SleepInhibitor.h"

namespace {

// logind answers at once; a bus that does not answer within this real time
// must not hold up the upgrade.
constexpr std::uint64_t kInhibitCallTimeoutUs = 5'000'000;

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
// The portal's flag for the end of the session (log-out).
constexpr std::uint32_t kInhibitLogout = 1;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
};

std::string Reason(const BusError& error, int result) {
  return error.error.message != nullptr ? error.error.message : std::strerror(-result);
}

// The desktop portal's lock on the end of the session (sign-out), which the
// desktop asks about before it ends the session. The portal keeps it until
// its request object is closed or this connection goes, so the connection
// stays open with the lock.
class CSessionEndLock {
 public:
  CSessionEndLock(std::unique_ptr<sd_bus, BusCloser> bus, std::string request)
      : m_bus(std::move(bus)), m_request(std::move(request)) {}
  ~CSessionEndLock() {
    sd_bus_call_method(m_bus.get(), kPortal, m_request.c_str(), "org.freedesktop.portal.Request", "Close", nullptr,
                       nullptr, "");
  }
  CSessionEndLock(const CSessionEndLock&) = delete;
  CSessionEndLock& operator=(const CSessionEndLock&) = delete;

 private:
  std::unique_ptr<sd_bus, BusCloser> m_bus;
  std::string m_request;
};

// The locks taken; a descriptor of -1 or a null session lock is one not granted.
class CHeldLocks final : public CSleepInhibitor {
 public:
  CHeldLocks(int sleepLock, int lidLock, std::unique_ptr<CSessionEndLock> sessionLock)
      : m_sleepLock(sleepLock), m_lidLock(lidLock), m_sessionLock(std::move(sessionLock)) {}
  ~CHeldLocks() override {
    m_sessionLock.reset();
    if (m_lidLock >= 0) ::close(m_lidLock);
    if (m_sleepLock >= 0) {
      ::close(m_sleepLock);
      LogMessage("CSleepInhibitor - Sleep and shutdown no longer held off");
    } else {
      LogMessage("CSleepInhibitor - The session's end no longer held off");
    }
  }
  CHeldLocks(const CHeldLocks&) = delete;
  CHeldLocks& operator=(const CHeldLocks&) = delete;

 private:
  int m_sleepLock;
  int m_lidLock;
  std::unique_ptr<CSessionEndLock> m_sessionLock;
};

// The portal's lock on the session's end for `why`, or null with the reason.
std::unique_ptr<CSessionEndLock> TakeSessionEndLock(const std::string& why, std::string& reason) {
  sd_bus* openedBus = nullptr;
  int result = sd_bus_open_user(&openedBus);
  std::unique_ptr<sd_bus, BusCloser> bus(openedBus);
  if (result >= 0) result = sd_bus_set_method_call_timeout(bus.get(), kInhibitCallTimeoutUs);
  BusError error;
  sd_bus_message* receivedReply = nullptr;
  if (result >= 0)
    result = sd_bus_call_method(bus.get(), kPortal, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit",
                                "Inhibit", &error.error, &receivedReply, "sua{sv}", "", kInhibitLogout, 1, "reason",
                                "s", why.c_str());
  const std::unique_ptr<sd_bus_message, MessageUnref> reply(receivedReply);
  const char* request = nullptr;
  if (result >= 0) result = sd_bus_message_read(reply.get(), "o", &request);
  if (result < 0) {
    reason = Reason(error, result);
    return nullptr;
  }
  return std::make_unique<CSessionEndLock>(std::move(bus), request);
}

// One "block" lock on `what`: a descriptor of this process's own, or -1 with
// the reason in `reason`.
int TakeLock(sd_bus* bus, const char* what, const std::string& why, std::string& reason) {
  sd_bus_message* madeCall = nullptr;
  int result = sd_bus_message_new_method_call(bus, &madeCall, "org.freedesktop.login1", "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "Inhibit");
  const std::unique_ptr<sd_bus_message, MessageUnref> call(madeCall);
  if (result >= 0) result = sd_bus_message_append(call.get(), "ssss", what, "quillon-upgrade", why.c_str(), "block");
  BusError error;
  sd_bus_message* receivedReply = nullptr;
  if (result >= 0) result = sd_bus_call(bus, call.get(), kInhibitCallTimeoutUs, &error.error, &receivedReply);
  const std::unique_ptr<sd_bus_message, MessageUnref> reply(receivedReply);
  int descriptor = -1;
  if (result >= 0) result = sd_bus_message_read(reply.get(), "h", &descriptor);
  if (result < 0) {
    reason = Reason(error, result);
    return -1;
  }
  // The reply owns the descriptor it carries; the lock needs one of its own.
  const int own = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  if (own < 0) reason = std::strerror(errno);
  return own;
}

}  // namespace

std::unique_ptr<CSleepInhibitor> InhibitSleepAndShutdown(const std::string& why) {
  int sleepLock = -1;
  int lidLock = -1;
  sd_bus* openedBus = nullptr;
  const int result = sd_bus_open_system(&openedBus);
  const std::unique_ptr<sd_bus, BusCloser> bus(openedBus);
  std::string reason;
  if (result < 0) {
    LogMessage("CSleepInhibitor - No system bus [%s], going on without holding off sleep", std::strerror(-result));
  } else if (sleepLock = TakeLock(bus.get(), "sleep:shutdown", why, reason); sleepLock < 0) {
    LogMessage("CSleepInhibitor - No lock from logind [%s], going on without holding off sleep", reason);
  } else {
    // The reason is in the user's language; the log keeps to English.
    LogMessage("CSleepInhibitor - Sleep and shutdown held off");
    // logind suspends on a closed lid despite a sleep lock unless the lid
    // switch is locked too (its default LidSwitchIgnoreInhibited=yes). That
    // lock is asked for apart, so that its refusal keeps the sleep lock.
    lidLock = TakeLock(bus.get(), "handle-lid-switch", why, reason);
    if (lidLock < 0)
      LogMessage("CSleepInhibitor - No lid-switch lock from logind [%s], a closed lid may still suspend", reason);
    else
      LogMessage("CSleepInhibitor - Lid switch held off");
  }
  // logind's locks do not stop a desktop's sign-out, which ends the session's
  // processes: the desktop asks the portal's lock holders first.
  std::unique_ptr<CSessionEndLock> sessionLock = TakeSessionEndLock(why, reason);
  if (sessionLock)
    LogMessage("CSleepInhibitor - The session's end held off");
  else
    LogMessage("CSleepInhibitor - No session-end lock from the desktop portal [%s], signing out may end the run",
               reason);
  if (sleepLock < 0 && !sessionLock) return nullptr;
  return std::make_unique<CHeldLocks>(sleepLock, lidLock, std::move(sessionLock));
}
