#include "ui/EndRequest.h"

#include "app/log/Log.h"

CEndRequest::Answer CEndRequest::Request(const std::string& what) {
  std::lock_guard lock(m_mutex);
  if (!m_writing) {
    m_granted = true;
    LogMessage("CEndRequest - Request to end [%s]; ending now", what);
    return Answer::EndNow;
  }
  Defer(what);
  return Answer::Deferred;
}

bool CEndRequest::Query(const std::string& what) {
  std::lock_guard lock(m_mutex);
  if (!m_writing) {
    LogMessage("CEndRequest - Asked whether the program may end [%s]; it may, and goes on until it is ended", what);
    return true;
  }
  Defer(what);
  return false;
}

void CEndRequest::Defer(const std::string& what) {
  if (++m_deferred == 1)
    LogMessage("CEndRequest - Request to end [%s] while writing; the run stops once the device is safe", what);
  else
    LogMessage("CEndRequest - Request to end [%s] again while writing; still waiting for the device to be safe",
               what);
}

bool CEndRequest::BeginWriting() {
  std::lock_guard lock(m_mutex);
  if (m_granted) return false;
  m_writing = true;
  return true;
}

void CEndRequest::EndWriting() {
  std::lock_guard lock(m_mutex);
  if (!m_writing) return;
  m_writing = false;
  if (m_deferred > 0) {
    m_stopped = true;
    // What was asked is done now: the requests are granted.
    m_granted = true;
    LogMessage("CEndRequest - The device is safe; ending as requested");
  }
}

bool CEndRequest::Pending() const {
  std::lock_guard lock(m_mutex);
  return m_writing && m_deferred > 0;
}

bool CEndRequest::Stopped() const {
  std::lock_guard lock(m_mutex);
  return m_stopped;
}
