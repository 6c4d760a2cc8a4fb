// The scripted vhid device's sockets on Linux: a UNIX or loopback TCP
// listener, an eventfd to wake the serving thread out of its poll().
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "hid/testing/VhidPeerSockets.h"

namespace {

class CPosixPeerSockets final : public CVhidPeerSockets {
 public:
  // Owns `listenFd` from here on, also when listening on it fails.
  explicit CPosixPeerSockets(int listenFd) : m_listenFd(listenFd), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~CPosixPeerSockets() override {
    CloseConnection();
    if (m_listenFd >= 0) close(m_listenFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
  }
  CPosixPeerSockets(const CPosixPeerSockets&) = delete;
  CPosixPeerSockets& operator=(const CPosixPeerSockets&) = delete;

  // Binds the listener to `address` and listens; false when any of it fails.
  bool Listen(const sockaddr* address, socklen_t length) {
    return m_listenFd >= 0 && m_wakeFd >= 0 && bind(m_listenFd, address, length) == 0 && listen(m_listenFd, 4) == 0;
  }

  // Records the port the system chose for the loopback listener.
  bool TakeBoundPort() {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return false;
    m_port = ntohs(bound.sin_port);
    return true;
  }

  std::uint16_t Port() const override { return m_port; }

  Ready Wait() override {
    pollfd entries[3] = {{m_wakeFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}, {m_connectionFd, POLLIN, 0}};
    if (poll(entries, m_connectionFd >= 0 ? 3 : 2, -1) < 0) return {};
    if (entries[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t drained = read(m_wakeFd, &count, sizeof count);
    }
    return {entries[0].revents != 0, (entries[1].revents & POLLIN) != 0,
            m_connectionFd >= 0 && entries[2].revents != 0};
  }

  bool Accept() override {
    const int accepted = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) return false;
    if (m_connectionFd >= 0) {
      close(accepted);
      return false;
    }
    m_connectionFd = accepted;
    return true;
  }

  bool Connected() const override { return m_connectionFd >= 0; }

  bool ReceiveExact(std::span<std::uint8_t> buffer) override {
    std::size_t done = 0;
    while (done < buffer.size()) {
      const ssize_t got = recv(m_connectionFd, buffer.data() + done, buffer.size() - done, 0);
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  bool SendAll(std::span<const std::uint8_t> bytes) override {
    if (m_connectionFd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = send(m_connectionFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }

  void Shutdown() override {
    if (m_connectionFd >= 0) shutdown(m_connectionFd, SHUT_RDWR);
  }

  void CloseConnection() override {
    if (m_connectionFd >= 0) close(m_connectionFd);
    m_connectionFd = -1;
  }

  void Wake() override {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
  }

 private:
  const int m_listenFd;
  const int m_wakeFd;
  int m_connectionFd = -1;
  std::uint16_t m_port = 0;
};

}  // namespace

std::unique_ptr<CVhidPeerSockets> ListenOnVhidSocket(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return nullptr;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  auto sockets = std::make_unique<CPosixPeerSockets>(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sockets->Listen(reinterpret_cast<const sockaddr*>(&address), sizeof address)) return nullptr;
  return sockets;
}

std::unique_ptr<CVhidPeerSockets> ListenOnVhidLoopback() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto sockets = std::make_unique<CPosixPeerSockets>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sockets->Listen(reinterpret_cast<const sockaddr*>(&address), sizeof address) || !sockets->TakeBoundPort())
    return nullptr;
  return sockets;
}
