#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace {

// The lock file of `name`: characters other than letters, digits and '-' become '_'.
std::string LockFilePath(std::string_view name) {
  std::string path = "/run/lock/quillon-";
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    path += plain ? c : '_';
  }
  return path + ".lock";
}

}  // namespace

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
    TakeLockFile(name);
    return;
  }
  m_error = errno;
  m_state = m_error == EADDRINUSE ? State::AlreadyRunning : State::Unavailable;
  if (m_state == State::AlreadyRunning) m_error = 0;
  ::close(m_fd);
  m_fd = -1;
}

void CInstanceLock::TakeLockFile(std::string_view name) {
  // Read-only is enough for flock, so a file another user created still serves.
  m_fileFd = ::open(LockFilePath(name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (m_fileFd < 0) return;
  if (::flock(m_fileFd, LOCK_EX | LOCK_NB) == 0) return;
  const bool held = errno == EWOULDBLOCK;
  ::close(m_fileFd);
  m_fileFd = -1;
  if (held) {
    // A copy in another network namespace holds it.
    ::close(m_fd);
    m_fd = -1;
    m_state = State::AlreadyRunning;
  }
}

CInstanceLock::~CInstanceLock() { Release(); }

std::string CInstanceLock::ErrorText() const { return m_error != 0 ? std::strerror(m_error) : std::string(); }

void CInstanceLock::Release() {
  if (m_fileFd >= 0) {
    ::close(m_fileFd);
    m_fileFd = -1;
  }
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
    m_state = State::Released;
  }
}
