#include <windows.h>

#include <atomic>

#include "app/EndSignals.h"
#include "app/log/Log.h"

namespace {

std::atomic<CEndRequest*> g_request = nullptr;

const char* EventName(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    default:
      return "console event";
  }
}

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD type) {
  CEndRequest* const request = g_request;
  if (request == nullptr) return FALSE;
  if (request->Request(EventName(type)) == CEndRequest::Answer::EndNow) {
    // The default handler ends the process; the log is written out first.
    StopLog();
    return FALSE;
  }
  // The system ends the process as soon as the handler of a closed console
  // returns: it never returns, so the run can stop where the device is safe
  // and the program end with its own code. Log-off and shutdown never come
  // here: Windows does not send them to a process that loads user32
  // (SetConsoleCtrlHandler); the dialog's window hears of the session's end.
  if (type == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

CEndSignals::CEndSignals(CEndRequest& request) : m_request(request) {
  g_request = &m_request;
  if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE))
    LogMessage("CEndSignals - Console handler not installed [%d]", static_cast<int>(GetLastError()));
}

CEndSignals::~CEndSignals() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_request = nullptr;
}
