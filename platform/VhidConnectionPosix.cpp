// vhid connections on Linux: UNIX stream sockets and loopback TCP, an eventfd
// to wake the receiver out of its poll().
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/VhidConnection.h"

namespace {

// Closes a descriptor when it goes out of scope, unless released.
class CFd {
 public:
  explicit CFd(int fd) : m_fd(fd) {}
  ~CFd() {
    if (m_fd >= 0) close(m_fd);
  }
  CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_fd; }
  int Release() { return std::exchange(m_fd, -1); }

 private:
  int m_fd;
};

class CPosixConnection final : public CVhidConnection {
 public:
  CPosixConnection(int fd, int wakeFd) : m_fd(fd), m_wakeFd(wakeFd) {}
  ~CPosixConnection() override {
    close(m_wakeFd);
    close(m_fd);
  }
  CPosixConnection(const CPosixConnection&) = delete;
  CPosixConnection& operator=(const CPosixConnection&) = delete;

  Receive ReceiveInto(std::span<std::uint8_t> space, std::size_t& received,
                      std::optional<std::uint64_t> deadline) override {
    pollfd entries[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    int timeoutMs = -1;
    if (deadline) {
      const std::uint64_t now = Clock::NowMs();
      if (now >= *deadline) return Receive::TimedOut;
      timeoutMs = VhidWaitMs(*deadline, now);
    }
    const int ready = poll(entries, deadline ? 1 : 2, timeoutMs);
    if (ready < 0) return errno == EINTR ? Receive::Woken : Receive::Ended;
    if (ready == 0) return Receive::TimedOut;
    if (!deadline && entries[1].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof count);
    }
    if (entries[0].revents == 0) return Receive::Woken;
    const ssize_t got = recv(m_fd, space.data(), space.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return Receive::Woken;
    if (got <= 0) return Receive::Ended;
    received = static_cast<std::size_t>(got);
    return Receive::Data;
  }

  bool Send(std::span<const std::uint8_t> bytes, std::uint64_t deadline) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        done += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent == 0 || errno != EAGAIN) return false;
      if (!WaitWritable(m_fd, deadline)) return false;
    }
    return true;
  }

  void Wake() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
  }

  void Shutdown() override { shutdown(m_fd, SHUT_RDWR); }

  // Waits until `fd` can take bytes (or has finished connecting); false when
  // `deadline` (program time) passes first or the wait fails.
  static bool WaitWritable(int fd, std::uint64_t deadline) {
    for (;;) {
      const std::uint64_t now = Clock::NowMs();
      if (now >= deadline) return false;
      pollfd entry{fd, POLLOUT, 0};
      const int ready = poll(&entry, 1, VhidWaitMs(deadline, now));
      if (ready > 0) return true;
      if (ready == 0 || errno != EINTR) return false;
    }
  }

 private:
  const int m_fd;
  const int m_wakeFd;  // eventfd that kicks the receiver out of poll()
};

// Connects the fresh socket `fd` to `address` by `deadline`, then makes the
// connection with its wake-up; nullptr when either fails. Sends and receives
// never block (MSG_DONTWAIT), whatever the descriptor's mode.
std::unique_ptr<CVhidConnection> Connect(CFd fd, const sockaddr* address, socklen_t length, std::uint64_t deadline) {
  if (fd.Get() < 0) return nullptr;
  if (connect(fd.Get(), address, length) != 0) {
    if (errno != EINPROGRESS) return nullptr;
    int error = 0;
    socklen_t errorLength = sizeof error;
    if (!CPosixConnection::WaitWritable(fd.Get(), deadline) ||
        getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0)
      return nullptr;
  }
  CFd wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wakeFd.Get() < 0) return nullptr;
  return std::make_unique<CPosixConnection>(fd.Release(), wakeFd.Release());
}

}  // namespace

std::unique_ptr<CVhidConnection> ConnectVhidSocket(const std::string& path, std::uint64_t deadline) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return nullptr;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return Connect(CFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)),
                 reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
}

std::unique_ptr<CVhidConnection> ConnectVhidLoopback(std::uint16_t port, std::uint64_t deadline) {
  // Non-blocking, so that a listener whose backlog is full cannot hold the connect past the deadline.
  CFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  if (fd.Get() < 0 || setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return nullptr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Connect(std::move(fd), reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
}
