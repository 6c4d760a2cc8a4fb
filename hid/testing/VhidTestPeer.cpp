#include "hid/testing/VhidTestPeer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

constexpr auto kTestWait = std::chrono::seconds(10);

std::vector<std::uint8_t> Frame(std::uint8_t type, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> frame(4 + payload.size());
  frame[0] = type;
  frame[2] = static_cast<std::uint8_t>(payload.size());
  frame[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

bool ReadExact(int fd, std::uint8_t* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = recv(fd, buffer + done, length - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

CVhidTestPeer::CVhidTestPeer(std::string busDirectory, std::uint16_t vendorId, std::uint16_t productId,
                             std::string suffix, std::string productString, Form form)
    : m_productString(std::move(productString)),
      m_helloVendorId(vendorId),
      m_helloProductId(productId),
      m_handler(&CVhidTestPeer::AnswerOk) {
  char name[64];
  std::snprintf(name, sizeof name, "/vid_%04x&pid_%04x#%s.%s", vendorId, productId, suffix.c_str(),
                form == Form::Tcp ? "tcp" : "sock");
  m_socketPath = busDirectory + name;
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) throw std::runtime_error("no eventfd");
  if (form == Form::Tcp) {
    ListenOnTcp();
  } else {
    ListenOnSocket();
  }
  m_thread = std::thread([this] { Serve(); });
}

void CVhidTestPeer::ListenOnSocket() {
  sockaddr_un address{};
  if (m_socketPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
  m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listenFd, 4) != 0)
    throw std::runtime_error("cannot serve " + m_socketPath);
}

// Listens on an ephemeral port of 127.0.0.1, then writes the port file under
// a name the host ignores and renames it, so it never names a port not yet served.
void CVhidTestPeer::ListenOnTcp() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listenFd < 0 || bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listenFd, 4) != 0 || getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot serve " + m_socketPath);
  const std::string staging = m_socketPath + ".new";
  std::ofstream(staging) << ntohs(address.sin_port) << '\n';
  std::filesystem::rename(staging, m_socketPath);
}

CVhidTestPeer::~CVhidTestPeer() {
  Unplug();
  m_thread.join();
  close(m_wakeFd);
}

void CVhidTestPeer::SetHelloIds(std::uint16_t vendorId, std::uint16_t productId) {
  std::lock_guard lock(m_mutex);
  m_helloVendorId = vendorId;
  m_helloProductId = productId;
}

void CVhidTestPeer::SetHandler(Handler handler) {
  std::lock_guard lock(m_mutex);
  m_handler = std::move(handler);
}

void CVhidTestPeer::AnswerOk(CVhidTestPeer& peer, const HostMessage& message) {
  const std::uint8_t ok[] = {0};
  switch (message.type) {
    case 0x10:
    case 0x11:
    case 0x12:
      peer.SendMessage(static_cast<std::uint8_t>(message.type + 0x80), ok);
      break;
    case 0x13: {
      std::size_t length = message.payload.size() >= 3 ? (message.payload[1] | message.payload[2] << 8) : 0;
      std::vector<std::uint8_t> reply(1 + length, 0);
      peer.SendMessage(0x93, reply);
      break;
    }
    default:
      break;
  }
}

bool CVhidTestPeer::SendInputReport(std::span<const std::uint8_t> report) { return SendMessage(0x02, report); }

bool CVhidTestPeer::SendMessage(std::uint8_t type, std::span<const std::uint8_t> payload) {
  return SendRaw(Frame(type, payload));
}

bool CVhidTestPeer::SendRaw(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(m_mutex);
  return SendLocked(bytes);
}

bool CVhidTestPeer::SendLocked(std::span<const std::uint8_t> bytes) {
  if (m_connectionFd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = send(m_connectionFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

void CVhidTestPeer::CloseConnectionLocked() {
  if (m_connectionFd >= 0) {
    // Only shut down here: the serving thread may be polling the descriptor,
    // so it is closed there.
    shutdown(m_connectionFd, SHUT_RDWR);
  }
}

void CVhidTestPeer::UnplugLocked() {
  if (m_unplugged) return;
  m_unplugged = true;
  CloseConnectionLocked();
  unlink(m_socketPath.c_str());
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
  m_changed.notify_all();
}

void CVhidTestPeer::Unplug() {
  std::lock_guard lock(m_mutex);
  UnplugLocked();
}

bool CVhidTestPeer::WaitConnected() {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, kTestWait, [&] { return m_connectionFd >= 0 || m_unplugged; }) &&
         m_connectionFd >= 0;
}

bool CVhidTestPeer::WaitMessages(std::size_t count) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, kTestWait, [&] { return m_messages.size() >= count; });
}

std::vector<CVhidTestPeer::HostMessage> CVhidTestPeer::Messages() const {
  std::lock_guard lock(m_mutex);
  return m_messages;
}

void CVhidTestPeer::Serve() {
  for (;;) {
    int connection = -1;
    {
      std::lock_guard lock(m_mutex);
      if (m_unplugged) break;
      connection = m_connectionFd;
    }
    pollfd entries[3] = {{m_wakeFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}, {connection, POLLIN, 0}};
    if (poll(entries, connection >= 0 ? 3 : 2, -1) < 0) continue;
    if (entries[0].revents) continue;  // unplug: looked at above

    if (entries[1].revents & POLLIN) {
      const int accepted = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (accepted >= 0) {
        std::lock_guard lock(m_mutex);
        if (m_connectionFd >= 0 || m_unplugged) {
          close(accepted);  // one connection at a time
        } else {
          m_connectionFd = accepted;
          std::vector<std::uint8_t> hello{1,
                                          static_cast<std::uint8_t>(m_helloVendorId),
                                          static_cast<std::uint8_t>(m_helloVendorId >> 8),
                                          static_cast<std::uint8_t>(m_helloProductId),
                                          static_cast<std::uint8_t>(m_helloProductId >> 8),
                                          32,
                                          65,
                                          65};
          hello.insert(hello.end(), m_productString.begin(), m_productString.end());
          SendLocked(Frame(0x01, hello));
          m_changed.notify_all();
        }
      }
    }

    if (connection >= 0 && entries[2].revents) {
      std::uint8_t header[4];
      HostMessage message;
      bool ok = ReadExact(connection, header, sizeof header);
      if (ok) {
        message.type = header[0];
        message.payload.resize(header[2] | header[3] << 8);
        ok = message.payload.empty() || ReadExact(connection, message.payload.data(), message.payload.size());
      }
      if (!ok) {
        // The host closed: wait for the next connection.
        std::lock_guard lock(m_mutex);
        close(m_connectionFd);
        m_connectionFd = -1;
        m_changed.notify_all();
        continue;
      }
      Handler handler;
      {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
        handler = m_handler;
        m_changed.notify_all();
      }
      if (handler) handler(*this, message);
    }
  }
  std::lock_guard lock(m_mutex);
  if (m_connectionFd >= 0) close(m_connectionFd);
  m_connectionFd = -1;
  close(m_listenFd);
  m_listenFd = -1;
}
