// The sleep and shutdown lock, and the lid-switch lock, through logind's
// Inhibit call on the system bus (sd-bus). logind keeps a lock for as long as
// the returned descriptor is open, so a lock is its descriptor: closing it
// releases the lock, and so does the process's end, however it ends.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/log/Log.h"
#include "platform/SleepInhibitor.h"

namespace {

// logind answers at once; a bus that does not answer within this real time
// must not hold up the upgrade.
constexpr std::uint64_t kInhibitCallTimeoutUs = 5'000'000;

// Each lock is a descriptor that logind hands out; the lid-switch lock may be missing.
class CLogindInhibitor final : public CSleepInhibitor {
 public:
  CLogindInhibitor(int sleepLock, int lidLock) : m_sleepLock(sleepLock), m_lidLock(lidLock) {}
  ~CLogindInhibitor() override {
    if (m_lidLock >= 0) ::close(m_lidLock);
    ::close(m_sleepLock);
    LogMessage("CSleepInhibitor - Sleep and shutdown no longer held off");
  }
  CLogindInhibitor(const CLogindInhibitor&) = delete;
  CLogindInhibitor& operator=(const CLogindInhibitor&) = delete;

 private:
  int m_sleepLock;
  int m_lidLock;
};

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
  sd_bus* openedBus = nullptr;
  const int result = sd_bus_open_system(&openedBus);
  const std::unique_ptr<sd_bus, BusCloser> bus(openedBus);
  if (result < 0) {
    LogMessage("CSleepInhibitor - No system bus [%s], going on without holding off sleep", std::strerror(-result));
    return nullptr;
  }
  std::string reason;
  const int sleepLock = TakeLock(bus.get(), "sleep:shutdown", why, reason);
  if (sleepLock < 0) {
    LogMessage("CSleepInhibitor - No lock from logind [%s], going on without holding off sleep", reason);
    return nullptr;
  }
  // The reason is in the user's language; the log keeps to English.
  LogMessage("CSleepInhibitor - Sleep and shutdown held off");
  // logind suspends on a closed lid despite a sleep lock unless the lid
  // switch is locked too (its default LidSwitchIgnoreInhibited=yes). That
  // lock is asked for apart, so that its refusal keeps the sleep lock.
  const int lidLock = TakeLock(bus.get(), "handle-lid-switch", why, reason);
  if (lidLock < 0)
    LogMessage("CSleepInhibitor - No lid-switch lock from logind [%s], a closed lid may still suspend", reason);
  else
    LogMessage("CSleepInhibitor - Lid switch held off");
  return std::make_unique<CLogindInhibitor>(sleepLock, lidLock);
}
