#include "emulator/VhidFrontEnd.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {
// Unsent bytes the device keeps for a host that does not read: about half a
// minute of input reports at full speed, far beyond what a live host leaves.
constexpr std::size_t kMaxUnsentBytes = 1 << 20;
constexpr int kFlushWaitMs = 200;  // real time a leaving device waits for the host to take its bytes

// Each returns a listener made ready under `staging` (a name enumeration
// ignores), or -1 with errno set. One that must refuse connections is bound
// but not listening: connecting to it fails at once, which is how a device
// that appears but cannot be opened looks to the host.

int CloseKeepingErrno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

int ListenOnSocket(const std::string& staging, bool refuse) {
  sockaddr_un address{};
  if (staging.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, staging.c_str(), staging.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || (!refuse && listen(fd, 4) != 0))
    return CloseKeepingErrno(fd);
  return fd;
}

// An ephemeral port on 127.0.0.1; `staging` is the file naming it.
int ListenOnTcp(const std::string& staging, bool refuse) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || (!refuse && listen(fd, 4) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return CloseKeepingErrno(fd);
  std::FILE* file = std::fopen(staging.c_str(), "w");
  if (!file) return CloseKeepingErrno(fd);
  const bool written = std::fprintf(file, "%u\n", unsigned{ntohs(address.sin_port)}) > 0;
  if (std::fclose(file) != 0 || !written) return CloseKeepingErrno(fd);
  return fd;
}
}  // namespace

CVhidFrontEnd::CVhidFrontEnd(CEmuFrontEndSink& sink, CEmuTrace& trace, std::string busDirectory, EmuBusForm form)
    : m_sink(sink), m_trace(trace), m_bus(std::move(busDirectory)), m_form(form) {}

CVhidFrontEnd::~CVhidFrontEnd() {
  if (m_connectionFd >= 0) close(m_connectionFd);
  if (m_listenFd >= 0) close(m_listenFd);
}

bool CVhidFrontEnd::Attach(const EmuIdentity& identity) {
  const bool tcp = m_form == EmuBusForm::Tcp;
  char name[64];
  std::snprintf(name, sizeof name, "/vid_%04x&pid_%04x#0.%s", kEmuVendorId, identity.productId, tcp ? "tcp" : "sock");
  const std::string path = m_bus + name;
  // The device's file is made ready under a name enumeration ignores and then
  // renamed, so it never exists without a listener behind it.
  const std::string staging = path + ".new";
  unlink(staging.c_str());  // files left by an earlier run that was killed
  unlink(path.c_str());
  const bool refuse = identity.refuseConnections;
  const int fd = tcp ? ListenOnTcp(staging, refuse) : ListenOnSocket(staging, refuse);
  if (fd < 0 || rename(staging.c_str(), path.c_str()) != 0) {
    m_trace.Event(m_sink.Now(), "ERROR", std::string("cannot serve ") + path + ": " + std::strerror(errno));
    unlink(staging.c_str());
    if (fd >= 0) close(fd);
    return false;
  }
  m_identity = identity;
  m_listenFd = fd;
  m_path = path;
  m_trace.Event(m_sink.Now(), "ATTACH", path + (refuse ? " (refusing connections)" : ""));
  return true;
}

void CVhidFrontEnd::Detach(const char* why) {
  // The file goes first, so a host that sees its connection end finds the device gone.
  if (!m_path.empty()) unlink(m_path.c_str());
  if (m_listenFd >= 0) close(m_listenFd);
  m_listenFd = -1;
  if (m_connectionFd >= 0) {
    FlushOutput(true);
    CloseConnection(why);
  }
  m_path.clear();
}

void CVhidFrontEnd::PollDescriptors(std::vector<pollfd>& fds) const {
  if (m_connectionFd >= 0)
    fds.push_back({m_connectionFd, static_cast<short>(POLLIN | (m_outBuffer.empty() ? 0 : POLLOUT)), 0});
  if (m_listenFd >= 0) fds.push_back({m_listenFd, POLLIN, 0});
}

void CVhidFrontEnd::Serve(std::span<const pollfd> fds) {
  for (const pollfd& entry : fds) {
    // What one entry did may have closed the other's descriptor.
    if (entry.fd == m_connectionFd && entry.fd >= 0 && entry.revents != 0) {
      if (entry.revents & POLLOUT) FlushOutput(false);
      if (entry.fd == m_connectionFd && (entry.revents & (POLLIN | POLLHUP | POLLERR))) ReadFromHost();
    } else if (entry.fd == m_listenFd && entry.fd >= 0 && (entry.revents & POLLIN)) {
      Accept();
    }
  }
}

void CVhidFrontEnd::Accept() {
  const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (m_connectionFd >= 0) {
    close(fd);
    m_trace.Event(m_sink.Now(), "REFUSE", "second connection closed");
    return;
  }
  if (m_form == EmuBusForm::Tcp) {
    // Each frame leaves at once, as a USB transfer would, instead of waiting for more.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  m_connectionFd = fd;
  m_receiver = CVhidReceiver();
  m_outBuffer.clear();
  m_sink.OnHostConnected(m_path, false);
  const std::vector<std::uint8_t> hello =
      BuildVhidHello(kEmuVendorId, m_identity.productId, static_cast<std::uint8_t>(kEmuInputReportLength),
                     static_cast<std::uint8_t>(kEmuOutputReportLength),
                     static_cast<std::uint8_t>(kEmuFeatureReportLength), m_identity.product);
  SendMessage(EVhidType::Hello, hello);
}

void CVhidFrontEnd::CloseConnection(const char* why) {
  if (m_connectionFd < 0) return;
  close(m_connectionFd);
  m_connectionFd = -1;
  ++m_connectionsClosed;
  m_outBuffer.clear();
  m_sink.OnHostDisconnected(why);
}

void CVhidFrontEnd::ReadFromHost() {
  std::uint8_t buffer[8192];
  const ssize_t got = recv(m_connectionFd, buffer, sizeof buffer, 0);
  if (got == 0) {
    CloseConnection("host closed the connection");
    return;
  }
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) CloseConnection("read failed");
    return;
  }
  m_receiver.Append(std::span(buffer, static_cast<std::size_t>(got)));
  const std::uint64_t connection = m_connectionsClosed;
  while (connection == m_connectionsClosed) {
    std::optional<VhidMessage> message = m_receiver.Next();
    if (!message) break;
    m_sink.OnHostRequest(message->type, message->payload, EEmuAnswerScope::Connection,
                       [this](EVhidType type, std::vector<std::uint8_t> reply) { SendMessage(type, reply); });
  }
  if (connection == m_connectionsClosed && m_receiver.Malformed()) CloseConnection("malformed message header");
}

void CVhidFrontEnd::SendInput(const std::vector<std::uint8_t>& report) { SendMessage(EVhidType::InputReport, report); }

void CVhidFrontEnd::SendMessage(EVhidType type, std::span<const std::uint8_t> payload) {
  if (m_connectionFd < 0) return;
  m_trace.Transfer(m_sink.Now(), "d2h", VhidTypeName(type), payload);
  const std::vector<std::uint8_t> framed = EncodeVhidMessage(type, payload);
  if (m_outBuffer.size() + framed.size() > kMaxUnsentBytes) {
    // A host that reads nothing must not make the device hold its reports forever.
    CloseConnection("host does not read: unsent bytes over the limit");
    return;
  }
  m_outBuffer.insert(m_outBuffer.end(), framed.begin(), framed.end());
  FlushOutput(false);
}

void CVhidFrontEnd::FlushOutput(bool block) {
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFlushWaitMs);
  while (m_connectionFd >= 0 && sent < m_outBuffer.size()) {
    const ssize_t n = send(m_connectionFd, m_outBuffer.data() + sent, m_outBuffer.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!block || std::chrono::steady_clock::now() >= deadline) break;
      pollfd out{m_connectionFd, POLLOUT, 0};
      poll(&out, 1, 10);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    m_outBuffer.clear();
    CloseConnection("write failed");
    return;
  }
  m_outBuffer.erase(m_outBuffer.begin(), m_outBuffer.begin() + static_cast<std::ptrdiff_t>(sent));
}
