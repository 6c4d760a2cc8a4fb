#include "platform/InstanceLock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

CInstanceLock::CInstanceLock(std::string_view name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract namespace: sun_path starts with a NUL and the name is not NUL-terminated.
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) {
    m_error = ENAMETOOLONG;
    return;
  }
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  // Close-on-exec, so a program this process starts never inherits the lock.
  m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) {
    m_error = errno;
    return;
  }
  if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
    m_state = State::Held;
    return;
  }
  m_error = errno;
  m_state = m_error == EADDRINUSE ? State::AlreadyRunning : State::Unavailable;
  if (m_state == State::AlreadyRunning) m_error = 0;
  ::close(m_fd);
  m_fd = -1;
}

CInstanceLock::~CInstanceLock() { Release(); }

void CInstanceLock::Release() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
    m_state = State::Released;
  }
}
