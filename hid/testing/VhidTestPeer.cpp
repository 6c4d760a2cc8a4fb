#include "hid/testing/VhidTestPeer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "hid/testing/VhidPeerSockets.h"

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
  m_sockets = form == Form::Tcp ? ListenOnVhidLoopback() : ListenOnVhidSocket(m_socketPath);
  if (!m_sockets) throw std::runtime_error("cannot serve " + m_socketPath);
  if (form == Form::Tcp) PublishPort();
  m_thread = std::thread([this] { Serve(); });
}

// Writes the port file under a name the host ignores and renames it, so it
// never names a port not yet served. Binary, so that Windows ends the line
// with a bare newline as the file's format wants.
void CVhidTestPeer::PublishPort() {
  const std::string staging = m_socketPath + ".new";
  std::ofstream(staging, std::ios::binary) << m_sockets->Port() << '\n';
  std::filesystem::rename(staging, m_socketPath);
}

CVhidTestPeer::~CVhidTestPeer() {
  Unplug();
  m_thread.join();
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

bool CVhidTestPeer::SendLocked(std::span<const std::uint8_t> bytes) { return m_sockets && m_sockets->SendAll(bytes); }

bool CVhidTestPeer::ConnectedLocked() const { return m_sockets && m_sockets->Connected(); }

void CVhidTestPeer::UnplugLocked() {
  if (m_unplugged) return;
  m_unplugged = true;
  // Only shut the connection down here: the serving thread may be waiting on
  // it, so it is closed there.
  m_sockets->Shutdown();
  std::error_code error;
  std::filesystem::remove(m_socketPath, error);
  m_sockets->Wake();
  m_changed.notify_all();
}

void CVhidTestPeer::Unplug() {
  std::lock_guard lock(m_mutex);
  UnplugLocked();
}

bool CVhidTestPeer::WaitConnected() {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, kTestWait, [&] { return ConnectedLocked() || m_unplugged; }) &&
         ConnectedLocked();
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
    {
      std::lock_guard lock(m_mutex);
      if (m_unplugged) break;
    }
    const CVhidPeerSockets::Ready ready = m_sockets->Wait();
    if (ready.woken) continue;  // unplug: looked at above
    if (ready.incoming) AcceptHost();
    if (ready.readable) ReceiveMessage();
  }
  std::lock_guard lock(m_mutex);
  m_sockets.reset();
}

// Takes a host and greets it with HELLO; one connection at a time, and none once unplugged.
void CVhidTestPeer::AcceptHost() {
  std::lock_guard lock(m_mutex);
  if (!m_sockets->Accept()) return;
  if (m_unplugged) {
    m_sockets->CloseConnection();
    return;
  }
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

// Reads one host message, records it and hands it to the handler; when the
// host closed, waits for the next connection.
void CVhidTestPeer::ReceiveMessage() {
  std::uint8_t header[4];
  HostMessage message;
  bool ok = m_sockets->ReceiveExact(header);
  if (ok) {
    message.type = header[0];
    message.payload.resize(header[2] | header[3] << 8);
    ok = m_sockets->ReceiveExact(message.payload);
  }
  Handler handler;
  {
    std::lock_guard lock(m_mutex);
    if (ok) {
      m_messages.push_back(message);
      handler = m_handler;
    } else {
      m_sockets->CloseConnection();
    }
    m_changed.notify_all();
  }
  if (handler) handler(*this, message);
}
