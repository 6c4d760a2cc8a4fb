#pragma once
// Holds off the system's sleep and shutdown while the device is written: a
// machine that suspends or powers off in the middle of a write leaves firmware
// that may not start. The lock lasts as long as the object.
#include <functional>
#include <memory>
#include <string>

class CSleepInhibitor {
 public:
  virtual ~CSleepInhibitor() = default;
};

// Takes a lock for `why` (shown to the user who tries to suspend); null when
// no lock could be taken, and the run goes on without one.
using SleepInhibitorFactory = std::function<std::unique_ptr<CSleepInhibitor>(const std::string& why)>;

// The desktop's locks: logind's "block" inhibitor on sleep and shutdown, asked
// for on the system bus, and one on the lid switch where logind grants it;
// and the desktop portal's lock on the session's end (sign-out), on the
// session bus. Each one refused, or without its bus (containers, minimal
// installs, a run without a desktop), is logged and the run goes on without
// it; null when none was granted.
std::unique_ptr<CSleepInhibitor> InhibitSleepAndShutdown(const std::string& why);
