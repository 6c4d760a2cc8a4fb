// The scripted vhid device's sockets on Windows: a loopback TCP listener
// through Winsock, and a loopback UDP socket that sends itself a datagram to
// wake the serving thread out of select(). Windows has only the TCP form.
#include <algorithm>
#include <climits>

#include "hid/testing/VhidPeerSockets.h"
#include "platform/windows/Winsock.h"

namespace {

// Binds `socket` to an ephemeral port of 127.0.0.1; the address it got, port 0 on failure.
sockaddr_in BindLoopback(SOCKET socket) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    address.sin_port = 0;
  return address;
}

// Waits until one of `sockets` is readable; false when select() fails.
bool WaitReadable(fd_set& sockets) { return select(0, &sockets, nullptr, nullptr, nullptr) != SOCKET_ERROR; }

class CWindowsPeerSockets final : public CVhidPeerSockets {
 public:
  // Owns both sockets from here on, also when setting them up fails.
  CWindowsPeerSockets(SOCKET listener, SOCKET wake) : m_listener(listener), m_wake(wake) {}
  ~CWindowsPeerSockets() override {
    CloseConnection();
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    if (m_wake != INVALID_SOCKET) closesocket(m_wake);
  }
  CWindowsPeerSockets(const CWindowsPeerSockets&) = delete;
  CWindowsPeerSockets& operator=(const CWindowsPeerSockets&) = delete;

  // Listens on an ephemeral loopback port, and gives the wake-up socket an
  // address to send to; false when any of it fails.
  bool Listen() {
    if (m_listener == INVALID_SOCKET || m_wake == INVALID_SOCKET) return false;
    const sockaddr_in listening = BindLoopback(m_listener);
    m_wakeAddress = BindLoopback(m_wake);
    u_long on = 1;
    if (listening.sin_port == 0 || m_wakeAddress.sin_port == 0 || listen(m_listener, 4) != 0 ||
        ioctlsocket(m_wake, FIONBIO, &on) != 0)
      return false;
    m_port = ntohs(listening.sin_port);
    return true;
  }

  std::uint16_t Port() const override { return m_port; }

  Ready Wait() override {
    fd_set reads;
    FD_ZERO(&reads);
    FD_SET(m_wake, &reads);
    FD_SET(m_listener, &reads);
    if (m_connection != INVALID_SOCKET) FD_SET(m_connection, &reads);
    if (!WaitReadable(reads)) return {};
    const bool woken = FD_ISSET(m_wake, &reads);
    if (woken) DrainWake();
    return {woken, FD_ISSET(m_listener, &reads) != 0,
            m_connection != INVALID_SOCKET && FD_ISSET(m_connection, &reads)};
  }

  bool Accept() override {
    const SOCKET accepted = accept(m_listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) return false;
    if (m_connection != INVALID_SOCKET) {
      closesocket(accepted);
      return false;
    }
    m_connection = accepted;
    return true;
  }

  bool Connected() const override { return m_connection != INVALID_SOCKET; }

  // Each recv waits in select() with the wake-up too: a local shutdown need
  // not end a receive that waits already.
  bool ReceiveExact(std::span<std::uint8_t> buffer) override {
    std::size_t done = 0;
    while (done < buffer.size()) {
      fd_set reads;
      FD_ZERO(&reads);
      FD_SET(m_connection, &reads);
      FD_SET(m_wake, &reads);
      if (!WaitReadable(reads) || FD_ISSET(m_wake, &reads)) return false;
      const int length = static_cast<int>(std::min<std::size_t>(buffer.size() - done, INT_MAX));
      const int got = recv(m_connection, reinterpret_cast<char*>(buffer.data() + done), length, 0);
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  bool SendAll(std::span<const std::uint8_t> bytes) override {
    if (m_connection == INVALID_SOCKET) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int length = static_cast<int>(std::min<std::size_t>(bytes.size() - done, INT_MAX));
      const int sent = send(m_connection, reinterpret_cast<const char*>(bytes.data() + done), length, 0);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }

  void Shutdown() override {
    if (m_connection != INVALID_SOCKET) shutdown(m_connection, SD_BOTH);
  }

  void CloseConnection() override {
    if (m_connection != INVALID_SOCKET) closesocket(m_connection);
    m_connection = INVALID_SOCKET;
  }

  void Wake() override {
    const char one = 1;
    sendto(m_wake, &one, 1, 0, reinterpret_cast<const sockaddr*>(&m_wakeAddress), sizeof m_wakeAddress);
  }

 private:
  void DrainWake() {
    char bytes[64];
    while (recv(m_wake, bytes, sizeof bytes, 0) > 0) {
    }
  }

  const SOCKET m_listener;
  const SOCKET m_wake;  // a UDP socket bound to loopback; Wake() sends it a datagram
  sockaddr_in m_wakeAddress{};
  SOCKET m_connection = INVALID_SOCKET;
  std::uint16_t m_port = 0;
};

}  // namespace

std::unique_ptr<CVhidPeerSockets> ListenOnVhidSocket(const std::string&) { return nullptr; }

std::unique_ptr<CVhidPeerSockets> ListenOnVhidLoopback() {
  if (!WinsockStarted()) return nullptr;
  auto sockets = std::make_unique<CWindowsPeerSockets>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP),
                                                       socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!sockets->Listen()) return nullptr;
  return sockets;
}
