// vhid connections on Windows: loopback TCP through Winsock, and a loopback
// socket pair whose byte wakes the receiver out of select(). Windows has only
// the TCP form of a device.
#include <algorithm>
#include <climits>
#include <utility>

#include "platform/VhidConnection.h"
#include "platform/windows/Winsock.h"

namespace {

// Closes a socket when it goes out of scope, unless released.
class CSocket {
 public:
  explicit CSocket(SOCKET socket) : m_socket(socket) {}
  ~CSocket() {
    if (m_socket != INVALID_SOCKET) closesocket(m_socket);
  }
  CSocket(CSocket&& other) noexcept : m_socket(std::exchange(other.m_socket, INVALID_SOCKET)) {}
  CSocket& operator=(CSocket&&) = delete;
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  SOCKET Get() const { return m_socket; }
  bool Valid() const { return m_socket != INVALID_SOCKET; }

 private:
  SOCKET m_socket;
};

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Each send leaves at once instead of waiting for the acknowledgement of the last.
bool SetNoDelay(SOCKET socket) {
  const BOOL on = TRUE;
  return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// What select() saw on a connection's socket.
struct Readiness {
  bool ready = false;   // readable, writable or failed, as asked
  bool woken = false;   // the wake-up socket is readable
  bool failed = false;  // select() itself failed
};

// Waits for `socket` to be readable (or writable, with its failure in the
// exception set) and, when `wake` is valid, for `wake` to be readable. With a
// `deadline` (program time) the wait ends there.
Readiness Wait(SOCKET socket, bool forWriting, SOCKET wake, std::optional<std::uint64_t> deadline) {
  Readiness result;
  timeval timeout{};
  if (deadline) {
    const std::uint64_t now = Clock::NowMs();
    if (now >= *deadline) return result;
    const int ms = VhidWaitMs(*deadline, now);
    timeout.tv_sec = ms / 1000;
    timeout.tv_usec = (ms % 1000) * 1000;
  }
  fd_set reads;
  fd_set writes;
  fd_set failures;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&failures);
  if (forWriting) {
    FD_SET(socket, &writes);
    FD_SET(socket, &failures);
  } else {
    FD_SET(socket, &reads);
  }
  if (wake != INVALID_SOCKET) FD_SET(wake, &reads);
  // The first argument is ignored by Winsock.
  const int count = select(0, &reads, &writes, &failures, deadline ? &timeout : nullptr);
  if (count == SOCKET_ERROR) {
    result.failed = true;
    return result;
  }
  result.ready = FD_ISSET(socket, &reads) || FD_ISSET(socket, &writes) || FD_ISSET(socket, &failures);
  result.woken = wake != INVALID_SOCKET && FD_ISSET(wake, &reads);
  return result;
}

// Connects the non-blocking `socket` to 127.0.0.1:`port` by `deadline` (program time).
bool ConnectLoopback(SOCKET socket, std::uint16_t port, std::uint64_t deadline) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
  const Readiness readiness = Wait(socket, true, INVALID_SOCKET, deadline);
  int error = 0;
  int errorLength = sizeof error;
  return readiness.ready &&
         getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLength) == 0 && error == 0;
}

std::uint16_t LocalPort(SOCKET socket) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// A connected loopback pair, non-blocking at both ends: a byte sent into
// `sender` makes `receiver` readable.
struct WakePair {
  CSocket sender;
  CSocket receiver;
};

std::optional<WakePair> MakeWakePair(std::uint64_t deadline) {
  CSocket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!listener.Valid() || bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.Get(), 1) != 0)
    return std::nullopt;
  CSocket sender(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!sender.Valid() || !SetNonBlocking(sender.Get()) || !SetNoDelay(sender.Get()) ||
      !ConnectLoopback(sender.Get(), LocalPort(listener.Get()), deadline))
    return std::nullopt;
  // Another program may have connected to the listener first: then there is no pair.
  sockaddr_in peer{};
  int peerLength = sizeof peer;
  CSocket receiver(accept(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength));
  if (!receiver.Valid() || ntohs(peer.sin_port) != LocalPort(sender.Get()) || !SetNonBlocking(receiver.Get()))
    return std::nullopt;
  return WakePair{std::move(sender), std::move(receiver)};
}

class CWindowsConnection final : public CVhidConnection {
 public:
  CWindowsConnection(CSocket socket, WakePair wake)
      : m_socket(std::move(socket)), m_wakeSender(std::move(wake.sender)), m_wakeReceiver(std::move(wake.receiver)) {}

  Receive ReceiveInto(std::span<std::uint8_t> space, std::size_t& received,
                      std::optional<std::uint64_t> deadline) override {
    const Readiness readiness =
        Wait(m_socket.Get(), false, deadline ? INVALID_SOCKET : m_wakeReceiver.Get(), deadline);
    if (readiness.failed) return Receive::Ended;
    if (readiness.woken) DrainWake();
    if (!readiness.ready) return readiness.woken ? Receive::Woken : Receive::TimedOut;
    const int length = static_cast<int>(std::min<std::size_t>(space.size(), INT_MAX));
    const int got = recv(m_socket.Get(), reinterpret_cast<char*>(space.data()), length, 0);
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return Receive::Woken;
    if (got <= 0) return Receive::Ended;
    received = static_cast<std::size_t>(got);
    return Receive::Data;
  }

  bool Send(std::span<const std::uint8_t> bytes, std::uint64_t deadline) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int length = static_cast<int>(std::min<std::size_t>(bytes.size() - done, INT_MAX));
      const int sent = send(m_socket.Get(), reinterpret_cast<const char*>(bytes.data() + done), length, 0);
      if (sent > 0) {
        done += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
      const Readiness readiness = Wait(m_socket.Get(), true, INVALID_SOCKET, deadline);
      if (!readiness.ready) return false;
    }
    return true;
  }

  void Wake() override {
    // A full pair means a wake-up is pending already.
    const char one = 1;
    send(m_wakeSender.Get(), &one, 1, 0);
  }

  // A local shutdown need not make a waiting select() return, so the receiver is woken too.
  void Shutdown() override {
    shutdown(m_socket.Get(), SD_BOTH);
    Wake();
  }

 private:
  void DrainWake() {
    char bytes[64];
    while (recv(m_wakeReceiver.Get(), bytes, sizeof bytes, 0) > 0) {
    }
  }

  CSocket m_socket;
  CSocket m_wakeSender;
  CSocket m_wakeReceiver;
};

}  // namespace

std::unique_ptr<CVhidConnection> ConnectVhidSocket(const std::string&, std::uint64_t) { return nullptr; }

std::unique_ptr<CVhidConnection> ConnectVhidLoopback(std::uint16_t port, std::uint64_t deadline) {
  if (!WinsockStarted()) return nullptr;
  CSocket connection(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!connection.Valid() || !SetNonBlocking(connection.Get()) || !SetNoDelay(connection.Get()) ||
      !ConnectLoopback(connection.Get(), port, deadline))
    return nullptr;
  std::optional<WakePair> wake = MakeWakePair(deadline);
  if (!wake) return nullptr;
  return std::make_unique<CWindowsConnection>(std::move(connection), std::move(*wake));
}
