#include "platform/InstanceLock.h"

#include <windows.h>

#include <string>

#include "app/log/Utf16Text.h"

CInstanceLock::CInstanceLock(std::string_view name) {
  const std::u16string wide = Utf8ToUtf16(name);
  const std::wstring mutexName(wide.begin(), wide.end());
  // Not inherited, so a program this process starts never holds the lock; the
  // system frees it when this process ends, even after a crash.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, mutexName.c_str());
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    // A mutex another user made without sharing it still means a copy runs.
    m_state = error == ERROR_ACCESS_DENIED ? State::AlreadyRunning : State::Unavailable;
    m_error = m_state == State::Unavailable ? static_cast<int>(error) : 0;
    return;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    m_state = State::AlreadyRunning;
    return;
  }
  m_mutex = mutex;
  m_state = State::Held;
}

CInstanceLock::~CInstanceLock() { Release(); }

std::string CInstanceLock::ErrorText() const {
  if (m_error == 0) return {};
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(m_error), 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(m_error) : message;
}

void CInstanceLock::Release() {
  if (m_mutex != nullptr) {
    CloseHandle(static_cast<HANDLE>(m_mutex));
    m_mutex = nullptr;
    m_state = State::Released;
  }
}
