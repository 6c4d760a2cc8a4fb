#pragma once
// The operating system's requests to end the program, handed to the run's
// CEndRequest: on Linux SIGINT, SIGTERM, SIGHUP and SIGPIPE (a terminal, or
// the program reading the output, that goes away);
// on Windows the console's control events (Ctrl+C, Ctrl+Break, the console
// closed), which reach the program only while it is attached to a console;
// the session's end reaches the dialog's window. A request granted at once ends the process as
// the system would have; one deferred lets the run stop where the device is
// safe. Installed for the object's lifetime; one per process.
#include <thread>

#include "ui/EndRequest.h"

class CEndSignals {
 public:
  explicit CEndSignals(CEndRequest& request);
  ~CEndSignals();
  CEndSignals(const CEndSignals&) = delete;
  CEndSignals& operator=(const CEndSignals&) = delete;

 private:
  CEndRequest& m_request;
#ifndef _WIN32
  void Watch();
  std::thread m_watcher;
#endif
};
