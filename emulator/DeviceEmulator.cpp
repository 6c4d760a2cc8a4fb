#include "emulator/DeviceEmulator.h"

#include <linux/uhid.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {
constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr std::size_t kUartBytesPerReport = 28;
constexpr std::uint8_t kKindUartData = 0x28;
constexpr std::uint8_t kKindStatus = 0xEE;
constexpr double kInterruptIntervalMs = 1.0;  // full-speed USB: one interrupt transfer per frame
constexpr double kResetAfterAnswerMs = 1.0;   // the device resets just after its last answer
// Unsent bytes the device keeps for a host that does not read: about half a
// minute of input reports at full speed, far beyond what a live host leaves.
constexpr std::size_t kMaxUnsentBytes = 1 << 20;
constexpr int kFlushWaitMs = 200;             // real time a leaving device waits for the host to take its bytes
constexpr std::uint16_t kUsbStall = EPIPE;     // what a stalled control request gives a USB host driver
// Input reports the device holds for a host that does not poll them (a USB
// host that has not opened the device); older ones are dropped beyond it.
constexpr std::size_t kMaxQueuedReports = 4096;

// The device's HID report descriptor: vendor-defined, no report IDs, an input
// report of 31 bytes and output and feature reports of 64 bytes each (the
// report lengths the host sees are one more: the report-ID byte 0).
const std::vector<std::uint8_t>& ReportDescriptor() {
  static_assert(kEmuInputReportLength - 1 < 0x80 && kEmuOutputReportLength - 1 < 0x80 &&
                kEmuFeatureReportLength - 1 < 0x80);
  static const std::vector<std::uint8_t> descriptor = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, static_cast<std::uint8_t>(kEmuInputReportLength - 1),  //   Report Count
      0x09, 0x01, 0x81, 0x02,  //   Usage (1), Input (Data, Variable, Absolute)
      0x95, static_cast<std::uint8_t>(kEmuOutputReportLength - 1),
      0x09, 0x01, 0x91, 0x02,  //   Usage (1), Output (Data, Variable, Absolute)
      0x95, static_cast<std::uint8_t>(kEmuFeatureReportLength - 1),
      0x09, 0x01, 0xB1, 0x02,  //   Usage (1), Feature (Data, Variable, Absolute)
      0xC0,                    // End Collection
  };
  return descriptor;
}

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

CDeviceEmulator::CDeviceEmulator(EmulatorConfig config, EmuChipFactory chipFactory)
    : m_config(std::move(config)), m_faults(m_config.faults), m_chipFactory(std::move(chipFactory)) {
  if (!(m_config.timeScale > 0)) m_config.timeScale = 1.0;
  if (m_config.uartBaud == 0) m_config.uartBaud = 921600;
  m_start = std::chrono::steady_clock::now();
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_firmware = std::make_unique<CEmuFirmware>(m_config, m_faults, static_cast<CEmuFirmwarePort&>(*this));
  auto send = [this](std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
    Post([this, copy = std::move(copy)]() mutable { OnChipBytes(std::move(copy)); });
  };
  if (m_chipFactory) {
    m_chip = m_chipFactory(send);
  } else if (m_config.useBluetoothChip) {
    m_chip = MakeBluetoothChipPort(m_config, send);
  }
  if (m_chip) {
    CEmuChipPort* chip = m_chip.get();
    m_firmware->SetChipVersionSource([chip] { return chip->VersionWord(); });
  }
}

CDeviceEmulator::~CDeviceEmulator() {
  Stop();
  m_chip.reset();
  if (m_wakeFd >= 0) close(m_wakeFd);
}

bool CDeviceEmulator::Start(const std::string& busDirectory) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  m_bus = busDirectory;
  m_frontEnd = EFrontEnd::Vhid;
  return StartFrontEnd();
}

bool CDeviceEmulator::StartOnUhid(const std::string& uhidNode) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  m_bus.clear();
  m_uhidNode = uhidNode;
  m_frontEnd = EFrontEnd::Uhid;
  return StartFrontEnd();
}

bool CDeviceEmulator::StartOnUsbGadget(const std::string& udc) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  m_bus.clear();
  m_udc = udc;
  m_frontEnd = EFrontEnd::UsbGadget;
  return StartFrontEnd();
}

bool CDeviceEmulator::StartFrontEnd() {
  if (m_wakeFd < 0) return false;
  if (!m_trace.Open(m_config.traceFile, m_config.keepTrace)) return false;
  m_stopping = false;
  m_start = std::chrono::steady_clock::now();
  BootDevice(m_config.startInBootloader || m_firmware->MustStayInLoader());
  Attach();
  if (!m_present) return false;
  if (m_faults.unplugAtMs >= 0) {
    Schedule(static_cast<double>(m_faults.unplugAtMs), Scheduled::EScope::Free,
             [this] { LeaveByFault("unplugged at the set time"); });
  }
  m_thread = std::thread([this] { Run(); });
  return true;
}

ChipLinkCounts CDeviceEmulator::ChipLinkStats() const { return m_chip ? m_chip->LinkCounts() : ChipLinkCounts{}; }

std::string CDeviceEmulator::ChipLinkSummary() const {
  if (!m_chip) return {};
  const ChipLinkCounts counts = m_chip->LinkCounts();
  char text[200];
  std::snprintf(text, sizeof text,
                "host frames %llu, chip retransmissions %llu, host frames abandoned after their header %llu, "
                "damaged %llu",
                static_cast<unsigned long long>(counts.hostFrames),
                static_cast<unsigned long long>(counts.retransmissions),
                static_cast<unsigned long long>(counts.abandonedHostFrames),
                static_cast<unsigned long long>(counts.damagedHostFrames));
  return text;
}

void CDeviceEmulator::Stop() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_thread.joinable()) return;
    m_stopping = true;
  }
  const std::uint64_t one = 1;
  if (write(m_wakeFd, &one, sizeof one) < 0) {
    // The counter is saturated, so the loop is awake anyway.
  }
  m_thread.join();
  std::lock_guard lock(m_mutex);
  if (m_present) Detach("emulator stopped");
  m_schedule.clear();
  if (const std::string summary = ChipLinkSummary(); !summary.empty()) m_trace.Event(Now(), "CHIP_LINK", summary);
  m_trace.Close();
}

// ---- time and scheduling ----

double CDeviceEmulator::RealToDevice(std::chrono::steady_clock::duration duration) const {
  return std::chrono::duration<double, std::milli>(duration).count() * m_config.timeScale;
}

double CDeviceEmulator::Now() const { return RealToDevice(std::chrono::steady_clock::now() - m_start); }

double CDeviceEmulator::NowMs() { return Now(); }

double CDeviceEmulator::ByteMs() const { return 10.0 * 1000.0 / m_config.uartBaud; }

void CDeviceEmulator::Schedule(double atMs, Scheduled::EScope scope, std::function<void()> action) {
  Scheduled entry;
  entry.scope = scope;
  entry.generation = scope == Scheduled::EScope::Bus          ? m_busGeneration
                     : scope == Scheduled::EScope::Connection ? m_connectionGeneration
                                                              : 0;
  entry.action = std::move(action);
  m_schedule.emplace(atMs, std::move(entry));
}

void CDeviceEmulator::Post(std::function<void()> action) {
  {
    std::lock_guard lock(m_postMutex);
    m_posted.push_back(std::move(action));
  }
  const std::uint64_t one = 1;
  if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0) {
    // Saturated counter: the loop is awake anyway.
  }
}

void CDeviceEmulator::RunDue() {
  std::vector<std::function<void()>> posted;
  {
    std::lock_guard lock(m_postMutex);
    posted.swap(m_posted);
  }
  for (auto& action : posted) action();
  // Actions may schedule further due actions; take them one at a time.
  while (!m_schedule.empty() && m_schedule.begin()->first <= Now()) {
    Scheduled entry = std::move(m_schedule.begin()->second);
    m_schedule.erase(m_schedule.begin());
    if (entry.scope == Scheduled::EScope::Bus && entry.generation != m_busGeneration) continue;
    if (entry.scope == Scheduled::EScope::Connection && entry.generation != m_connectionGeneration) continue;
    entry.action();
  }
}

// ---- the loop ----

void CDeviceEmulator::Run() {
  // The loop waits in ppoll until the next due time; with the kernel's default
  // 50 µs timer slack every modelled 1 ms transfer would end about 5 % late.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    RunDue();
    PumpInput();
    FlushOutput(false);

    const double next = std::min(NextPumpTime(), m_schedule.empty() ? kNever : m_schedule.begin()->first);
    std::optional<timespec> timeout = PollTimeout(next);
    pollfd fds[5] = {{m_wakeFd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
    const int connection = m_connectionFd;
    const int listener = m_listenFd;
    if (connection >= 0) fds[1] = {connection, static_cast<short>(POLLIN | (m_outBuffer.empty() ? 0 : POLLOUT)), 0};
    if (listener >= 0) fds[2] = {listener, POLLIN, 0};
    CUhidDevice* const uhid = m_uhid.get();
    if (uhid) fds[3] = {uhid->ReadyFd(), POLLIN, 0};
    CUsbGadget* const gadget = m_gadget.get();
    if (gadget) fds[4] = {gadget->ReadyFd(), POLLIN, 0};

    lock.unlock();
    const int ready = ppoll(fds, 5, timeout ? &*timeout : nullptr, nullptr);
    lock.lock();
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t value = 0;
      if (read(m_wakeFd, &value, sizeof value) < 0) {
        // Nothing to take: another read emptied the counter.
      }
    }
    if (connection >= 0 && connection == m_connectionFd && fds[1].revents != 0) {
      if (fds[1].revents & POLLOUT) FlushOutput(false);
      if (m_connectionFd == connection && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) ReadFromHost();
    }
    if (listener >= 0 && listener == m_listenFd && (fds[2].revents & POLLIN)) Accept();
    if (uhid && uhid == m_uhid.get() && (fds[3].revents & POLLIN)) {
      for (UhidEvent& event : uhid->TakeEvents()) {
        if (uhid != m_uhid.get()) break;  // the device left while its events were handled
        OnUhidEvent(std::move(event));
      }
    }
    if (gadget && gadget == m_gadget.get() && (fds[4].revents & POLLIN)) {
      for (UsbGadgetEvent& event : gadget->TakeEvents()) {
        if (gadget != m_gadget.get()) break;  // the device left while its events were handled
        OnGadgetEvent(std::move(event));
        // A transfer the host completed into the pipe's second buffer is
        // handled only after what the last one made due (an unplug after it).
        RunDue();
      }
    }
  }
}

// How long the loop may sleep before `nextDue` (device time); nothing = until woken.
std::optional<timespec> CDeviceEmulator::PollTimeout(double nextDue) const {
  const double spinMs = m_config.spinMs;
  if (nextDue == kNever) return std::nullopt;
  double realMs = std::max(0.0, (nextDue - Now()) / m_config.timeScale);
  realMs = realMs > spinMs ? realMs - spinMs : 0.0;
  const auto ns = static_cast<long long>(std::ceil(realMs * 1e6));
  return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

// ---- the bus ----

void CDeviceEmulator::BootDevice(bool intoBootloader) {
  m_firmware->Boot(intoBootloader);
  m_productId = intoBootloader ? kEmuBootloaderProductId : kEmuApplicationProductId;
}

void CDeviceEmulator::Attach() {
  if (m_frontEnd == EFrontEnd::Uhid) {
    AttachUhid();
    return;
  }
  if (m_frontEnd == EFrontEnd::UsbGadget) {
    AttachGadget();
    return;
  }
  const bool tcp = m_config.busForm == EmuBusForm::Tcp;
  char name[64];
  std::snprintf(name, sizeof name, "/vid_%04x&pid_%04x#0.%s", kEmuVendorId, m_productId, tcp ? "tcp" : "sock");
  const std::string path = m_bus + name;
  // The device's file is made ready under a name enumeration ignores and then
  // renamed, so it never exists without a listener behind it.
  const std::string staging = path + ".new";
  unlink(staging.c_str());  // files left by an earlier run that was killed
  unlink(path.c_str());
  const bool refuse = m_firmware->InBootloader() && m_faults.loaderRefusesConnections;
  const int fd = tcp ? ListenOnTcp(staging, refuse) : ListenOnSocket(staging, refuse);
  if (fd < 0 || rename(staging.c_str(), path.c_str()) != 0) {
    m_trace.Event(Now(), "ERROR", std::string("cannot serve ") + path + ": " + std::strerror(errno));
    unlink(staging.c_str());
    if (fd >= 0) close(fd);
    return;
  }
  m_listenFd = fd;
  m_socketPath = path;
  m_present = true;
  ++m_counters.attaches;
  m_inputSlotFreeAt = Now();
  m_trace.Event(Now(), "ATTACH", path + (refuse ? " (refusing connections)" : ""));
}

void CDeviceEmulator::AttachUhid() {
  char tags[32];
  std::snprintf(tags, sizeof tags, "#vid_%04x&pid_%04x", kEmuVendorId, m_productId);
  const std::string name = m_uhidNode + tags;
  UhidIdentity identity;
  identity.vendorId = kEmuVendorId;
  identity.productId = m_productId;
  identity.name = m_firmware->InBootloader() ? m_config.bootloaderProductString : m_config.productString;
  identity.phys = "quillon-devemu";
  identity.reportDescriptor = ReportDescriptor();
  ++m_uhidDevice;
  std::string error;
  m_uhid = CUhidDevice::Create(m_uhidNode, identity, error);
  if (!m_uhid) {
    m_trace.Event(Now(), "ERROR", "cannot create the uhid device " + name + ": " + error);
    return;
  }
  m_socketPath = name;
  m_present = true;
  ++m_counters.attaches;
  m_inputSlotFreeAt = Now();
  m_trace.Event(Now(), "ATTACH", name);
}

void CDeviceEmulator::AttachGadget() {
  UsbGadgetIdentity identity;
  identity.vendorId = kEmuVendorId;
  identity.productId = m_productId;
  identity.manufacturer = m_config.manufacturerString;
  identity.product = m_firmware->InBootloader() ? m_config.bootloaderProductString : m_config.productString;
  identity.serialNumber = m_config.serialNumber;
  identity.interruptOut = InterruptOutPresent();
  identity.consumerControl = m_config.consumerControlInterface;
  identity.reportDescriptor = ReportDescriptor();
  identity.inputReportLength = static_cast<std::uint16_t>(kEmuInputReportLength - 1);
  identity.outputReportLength = static_cast<std::uint16_t>(kEmuOutputReportLength - 1);
  ++m_gadgetDevice;
  std::string error;
  m_gadget = CUsbGadget::Create(m_udc, identity, error);
  char tags[32];
  std::snprintf(tags, sizeof tags, "#vid_%04x&pid_%04x", kEmuVendorId, m_productId);
  if (!m_gadget) {
    m_trace.Event(Now(), "ERROR", std::string("cannot make the USB device ") + tags + ": " + error);
    return;
  }
  m_socketPath = "usb:" + m_gadget->Udc() + tags;
  m_present = true;
  ++m_counters.attaches;
  m_inputSlotFreeAt = Now();
  m_trace.Event(Now(), "ATTACH", m_socketPath + (identity.interruptOut ? "" : " (no interrupt-OUT endpoint)"));
}

bool CDeviceEmulator::InterruptOutPresent() const {
  return m_firmware->InBootloader() ? m_config.bootloaderInterruptOut : m_config.applicationInterruptOut;
}

bool CDeviceEmulator::HostConnected() const { return m_connectionFd >= 0 || m_uhidOpen || m_gadgetConfigured; }

void CDeviceEmulator::Detach(const char* why) {
  if (m_uhid) {
    // UHID_DESTROY: the kernel removes the HID device and its hidraw node, and
    // every open file of it fails from then on.
    m_uhid.reset();
    if (m_uhidOpen) {
      m_uhidOpen = false;
      ++m_connectionGeneration;
      m_trace.Event(Now(), "DISCONNECT", why);
    }
  }
  if (m_gadget) {
    // Unbound from its controller, the device leaves the host's bus.
    m_gadget.reset();
    if (m_gadgetConfigured) {
      m_gadgetConfigured = false;
      ++m_connectionGeneration;
      m_trace.Event(Now(), "DISCONNECT", why);
    }
  }
  // The file goes first, so a host that sees its connection end finds the device gone.
  if (!m_socketPath.empty() && m_frontEnd == EFrontEnd::Vhid) unlink(m_socketPath.c_str());
  if (m_listenFd >= 0) close(m_listenFd);
  m_listenFd = -1;
  if (m_connectionFd >= 0) {
    FlushOutput(true);
    CloseConnection(why);
  }
  m_trace.Event(Now(), "DETACH", m_socketPath + ": " + why);
  m_socketPath.clear();
  m_present = false;
  ++m_busGeneration;
  m_inputQueue.clear();
  m_uartToHost.clear();
}

void CDeviceEmulator::Accept() {
  const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (m_connectionFd >= 0) {
    close(fd);
    m_trace.Event(Now(), "REFUSE", "second connection closed");
    return;
  }
  if (m_config.busForm == EmuBusForm::Tcp) {
    // Each frame leaves at once, as a USB transfer would, instead of waiting for more.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  m_connectionFd = fd;
  m_receiver = CVhidReceiver();
  m_outBuffer.clear();
  ++m_counters.connections;
  m_trace.Event(Now(), "CONNECT", m_socketPath);
  const std::string& product =
      m_firmware->InBootloader() ? m_config.bootloaderProductString : m_config.productString;
  const std::vector<std::uint8_t> hello =
      BuildVhidHello(kEmuVendorId, m_productId, static_cast<std::uint8_t>(kEmuInputReportLength),
                     static_cast<std::uint8_t>(kEmuOutputReportLength),
                     static_cast<std::uint8_t>(kEmuFeatureReportLength), product);
  SendMessage(EVhidType::Hello, hello);
}

void CDeviceEmulator::CloseConnection(const char* why) {
  if (m_connectionFd < 0) return;
  close(m_connectionFd);
  m_connectionFd = -1;
  ++m_connectionGeneration;
  m_outBuffer.clear();
  m_inputQueue.clear();
  m_trace.Event(Now(), "DISCONNECT", why);
}

void CDeviceEmulator::ReadFromHost() {
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
  const std::uint64_t generation = m_connectionGeneration;
  while (generation == m_connectionGeneration) {
    std::optional<VhidMessage> message = m_receiver.Next();
    if (!message) break;
    HandleMessage(*message);
  }
  if (generation == m_connectionGeneration && m_receiver.Malformed()) CloseConnection("malformed message header");
}

void CDeviceEmulator::SendMessage(EVhidType type, std::span<const std::uint8_t> payload) {
  if (m_connectionFd < 0) return;
  m_trace.Transfer(Now(), "d2h", VhidTypeName(type), payload);
  const std::vector<std::uint8_t> framed = EncodeVhidMessage(type, payload);
  if (m_outBuffer.size() + framed.size() > kMaxUnsentBytes) {
    // A host that reads nothing must not make the device hold its reports forever.
    CloseConnection("host does not read: unsent bytes over the limit");
    return;
  }
  m_outBuffer.insert(m_outBuffer.end(), framed.begin(), framed.end());
  FlushOutput(false);
}

void CDeviceEmulator::FlushOutput(bool block) {
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

// ---- requests ----

void CDeviceEmulator::HandleMessage(const VhidMessage& message) {
  HandleRequest(message.type, message.payload, Scheduled::EScope::Connection,
                [this](EVhidType type, std::vector<std::uint8_t> reply) { SendMessage(type, reply); });
}

void CDeviceEmulator::HandleRequest(EVhidType type, std::span<const std::uint8_t> payload,
                                    Scheduled::EScope answerScope,
                                    std::function<void(EVhidType, std::vector<std::uint8_t>)> answer) {
  m_trace.Transfer(Now(), "h2d", VhidTypeName(type), payload);
  ++m_counters.transfers;
  const bool timed = m_config.timing == EmuTiming::FullSpeed;
  // uhid never makes the host's write wait for the device: a transfer time
  // modelled for it could not slow the host, only make the device fall ever
  // further behind it.
  const bool unpaced = m_frontEnd == EFrontEnd::Uhid && type == EVhidType::Output;
  const double cost = !timed || unpaced           ? 0.0
                      : type == EVhidType::Output ? kInterruptIntervalMs
                                                  : m_config.classRequestMs;
  m_answerAt = unpaced ? Now() : std::max(Now(), m_replyFreeAt) + cost;
  if (!unpaced) m_replyFreeAt = m_answerAt;
  m_inRequest = true;

  EVhidType replyType = EVhidType::OutputDone;
  std::vector<std::uint8_t> reply(1, 0);
  switch (type) {
    case EVhidType::Output:
    case EVhidType::SetOutput:
      if (type == EVhidType::SetOutput) replyType = EVhidType::SetOutputDone;
      // A refused route completes as a transfer; the command is not carried out.
      if (RouteRefused(type, payload)) break;
      reply[0] = m_firmware->HandleOutputReport(payload) ? 0 : 1;
      break;
    case EVhidType::SetFeature:
      replyType = EVhidType::SetFeatureDone;
      reply[0] = m_firmware->HandleFeatureReport(payload) ? 0 : 1;
      break;
    case EVhidType::GetInput: {
      replyType = EVhidType::GetInputDone;
      std::optional<std::vector<std::uint8_t>> report;
      if (payload.size() >= 3) report = m_firmware->HandleGetInput(payload[0], payload[1] | (payload[2] << 8));
      if (report) {
        reply.insert(reply.end(), report->begin(), report->end());
      } else {
        reply[0] = 1;
      }
      break;
    }
    default:
      reply[0] = 1;
      break;
  }
  m_inRequest = false;

  Schedule(m_answerAt, answerScope, [answer = std::move(answer), replyType, reply = std::move(reply)]() mutable {
    answer(replyType, std::move(reply));
  });
  for (auto& [report, delayMs] : m_pendingReports) {
    Schedule(m_answerAt + delayMs, Scheduled::EScope::Bus,
             [this, report = std::move(report)]() mutable { QueueInput(std::move(report)); });
  }
  m_pendingReports.clear();
  for (auto& action : m_afterAnswer) Schedule(m_answerAt, Scheduled::EScope::Bus, std::move(action));
  m_afterAnswer.clear();
  if (m_faults.unplugAfterTransfers != 0 && m_counters.transfers == m_faults.unplugAfterTransfers) {
    Schedule(m_answerAt, Scheduled::EScope::Bus, [this] { LeaveByFault("unplugged after the set number of transfers"); });
  }
  CountCommandForUnplug(type, payload);
}

void CDeviceEmulator::CountCommandForUnplug(EVhidType type, std::span<const std::uint8_t> payload) {
  const std::vector<std::uint8_t>& prefix = m_faults.unplugAfterCommand;
  if (prefix.empty() || (type != EVhidType::Output && type != EVhidType::SetOutput)) return;
  if (payload.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), payload.begin())) return;
  if (++m_unplugCommandsSeen != m_faults.unplugAfterCommandCount) return;
  Schedule(m_answerAt, Scheduled::EScope::Free, [this] { PullCable("cable pulled after the set command"); });
}

// Power is gone: off the bus, and a restart under way does not come back.
void CDeviceEmulator::PullCable(const char* why) {
  if (m_present) Detach(why);
  ++m_busGeneration;
}

bool CDeviceEmulator::RouteRefused(EVhidType type, std::span<const std::uint8_t> payload) {
  if (!m_config.strictRoutes) return false;
  const bool transaction = CEmuFirmware::IsTransaction(payload);
  const bool byInterrupt = type == EVhidType::Output;
  if (byInterrupt == (transaction && InterruptOutPresent())) return false;
  ++m_counters.refusedRoutes;
  char command[8] = "";
  if (payload.size() >= 3) std::snprintf(command, sizeof command, "%02x%02x", payload[1], payload[2]);
  m_trace.Event(Now(), "REFUSE",
                std::string("refused route: ") + (transaction ? "transaction " : "class request ") + command +
                    (byInterrupt ? " on the interrupt-OUT pipe" : " as SET_REPORT(Output)"));
  return true;
}

// ---- requests through uhid ----

// uhid hands over the host's buffer as hidraw got it: output and feature data
// still begin with the report-ID byte 0x00, which a USB device never receives
// (the host's USB driver leaves it out of the transfer). The firmware takes
// reports in vhid's form, report ID in byte 0, so the buffer goes to it as it
// is; one that does not start with 0 is refused there, as a USB device would
// not take a 65-byte transfer for its 64-byte report. write() and HIDIOCSOUTPUT
// both arrive as UHID_OUTPUT, so every output report is taken as the
// interrupt-out one: the firmware accepts each command on either path anyway.
void CDeviceEmulator::OnUhidEvent(UhidEvent event) {
  const std::uint64_t device = m_uhidDevice;
  using EKind = UhidEvent::EKind;
  switch (event.kind) {
    case EKind::Start:
    case EKind::Stop:
      return;
    case EKind::Open:
      if (m_uhidOpen) return;
      m_uhidOpen = true;
      ++m_counters.connections;
      m_inputSlotFreeAt = Now();
      m_trace.Event(Now(), "CONNECT", m_socketPath);
      return;
    case EKind::Close:
      if (!m_uhidOpen) return;
      m_uhidOpen = false;
      ++m_connectionGeneration;
      m_inputQueue.clear();
      m_trace.Event(Now(), "DISCONNECT", "host closed the device");
      return;
    case EKind::Output:
      // Nothing goes back: the host's write has long returned.
      HandleRequest(EVhidType::Output, event.data, Scheduled::EScope::Bus,
                    [](EVhidType, std::vector<std::uint8_t>) {});
      return;
    case EKind::SetReport: {
      // A set request that is never answered keeps the host's ioctl waiting
      // for 5 s and then fails it with EIO, so every one is answered.
      auto answer = [this, device, id = event.requestId](EVhidType type, std::vector<std::uint8_t> reply) {
        if (device != m_uhidDevice || !m_uhid) return;
        m_trace.Transfer(Now(), "d2h", VhidTypeName(type), reply);
        m_uhid->ReplySetReport(id, reply[0] == 0 ? 0 : kUsbStall);
      };
      if (event.reportType == UHID_FEATURE_REPORT) {
        HandleRequest(EVhidType::SetFeature, event.data, Scheduled::EScope::Bus, std::move(answer));
      } else if (event.reportType == UHID_OUTPUT_REPORT) {
        HandleRequest(EVhidType::SetOutput, event.data, Scheduled::EScope::Bus, std::move(answer));
      } else {
        m_trace.Event(Now(), "NOTE", "SET_REPORT of an input report refused");
        m_uhid->ReplySetReport(event.requestId, kUsbStall);
      }
      return;
    }
    case EKind::GetReport: {
      if (event.reportType != UHID_INPUT_REPORT) {
        m_trace.Event(Now(), "NOTE", "GET_REPORT of a feature or output report refused");
        m_uhid->ReplyGetReport(event.requestId, kUsbStall, {});
        return;
      }
      // The request carries no length: answer the whole report, [0x00, payload...],
      // which is what a USB host driver gives the caller; the kernel cuts it to
      // the caller's buffer.
      const std::uint8_t request[3] = {event.reportNumber, static_cast<std::uint8_t>(kEmuInputReportLength), 0};
      HandleRequest(EVhidType::GetInput, request, Scheduled::EScope::Bus,
                    [this, device, id = event.requestId](EVhidType type, std::vector<std::uint8_t> reply) {
                      if (device != m_uhidDevice || !m_uhid) return;
                      m_trace.Transfer(Now(), "d2h", VhidTypeName(type), reply);
                      const std::span<const std::uint8_t> report = std::span(reply).subspan(1);
                      m_uhid->ReplyGetReport(id, reply[0] == 0 ? 0 : kUsbStall, report);
                    });
      return;
    }
  }
}

// ---- requests through the USB gadget ----

// The host's USB driver leaves the report-ID byte out of every transfer (the
// reports are unnumbered); the firmware takes reports in vhid's form, so the 0
// goes back in front. The gadget takes the next transfer on a pipe only when
// the model has completed the last one: the host is paced as by a real device.
void CDeviceEmulator::OnGadgetEvent(UsbGadgetEvent event) {
  const std::uint64_t device = m_gadgetDevice;
  using EKind = UsbGadgetEvent::EKind;
  std::vector<std::uint8_t> report;
  if (event.kind == EKind::InterruptOut || event.kind == EKind::SetReport) {
    report.reserve(event.data.size() + 1);
    report.push_back(0);
    report.insert(report.end(), event.data.begin(), event.data.end());
  }
  switch (event.kind) {
    case EKind::Configured:
      if (m_gadgetConfigured) return;
      m_gadgetConfigured = true;
      ++m_counters.connections;
      m_inputSlotFreeAt = Now();
      m_trace.Event(Now(), "CONNECT", m_socketPath + ": configured by the host");
      return;
    case EKind::Unconfigured:
      if (!m_gadgetConfigured) return;
      m_gadgetConfigured = false;
      ++m_connectionGeneration;
      m_inputQueue.clear();
      m_trace.Event(Now(), "DISCONNECT", "host deconfigured the device");
      return;
    case EKind::InterruptOut:
      HandleRequest(EVhidType::Output, report, Scheduled::EScope::Bus,
                    [this, device](EVhidType, std::vector<std::uint8_t>) {
                      if (device == m_gadgetDevice && m_gadget) m_gadget->TakeNextInterruptOut();
                    });
      HaltInterruptInWhenDue();
      return;
    case EKind::SetReport:
      HandleRequest(event.reportType == CUsbGadget::kReportTypeFeature ? EVhidType::SetFeature : EVhidType::SetOutput,
                    report, Scheduled::EScope::Bus,
                    [this, device](EVhidType type, std::vector<std::uint8_t> reply) {
                      if (device != m_gadgetDevice || !m_gadget) return;
                      m_trace.Transfer(Now(), "d2h", VhidTypeName(type), reply);
                      m_gadget->TakeNextControl();
                    });
      HaltInterruptInWhenDue();
      return;
    case EKind::GetReport: {
      // wLength counts the report without its ID byte; the model counts it with.
      const std::size_t length = std::min<std::size_t>(event.length, kEmuInputReportLength - 1) + 1;
      const std::uint8_t request[3] = {0, static_cast<std::uint8_t>(length), 0};
      HandleRequest(EVhidType::GetInput, request, Scheduled::EScope::Bus,
                    [this, device](EVhidType type, std::vector<std::uint8_t> reply) {
                      if (device != m_gadgetDevice || !m_gadget) return;
                      m_trace.Transfer(Now(), "d2h", VhidTypeName(type), reply);
                      if (reply[0] != 0 || reply.size() < 2) {
                        m_gadget->ReplyGetReport(std::nullopt);
                        return;
                      }
                      m_gadget->ReplyGetReport(std::vector<std::uint8_t>(reply.begin() + 2, reply.end()));
                    });
      return;
    }
    case EKind::InputSent:
      return;  // the pump sends the next report
    case EKind::InputHalted:
      m_trace.Event(Now(), "NOTE", "interrupt IN halted");
      return;
    case EKind::Request:
      m_trace.Event(Now(), "NOTE", "endpoint 0: " + event.text);
      return;
  }
}

// The halts that faults.haltInDuringRecords/Blocks ask for, each once the
// host has come to its record or DFU block.
void CDeviceEmulator::HaltInterruptInWhenDue() {
  if (!m_gadget) return;
  const auto due = [](std::uint32_t reached, std::uint32_t spacing, std::uint32_t asked) {
    return std::min(reached / spacing, asked);
  };
  const std::uint32_t records = due(m_firmware->RecordsReceived(), kEmuHaltRecordSpacing, m_faults.haltInDuringRecords);
  const std::optional<ChipDfuProgress> dfu = m_chip ? m_chip->DfuProgress() : std::nullopt;
  const std::uint32_t blocks =
      dfu && dfu->inLoader ? due(dfu->nextBlock, kEmuHaltBlockSpacing, m_faults.haltInDuringBlocks) : 0;
  for (; m_recordHaltsMade < records; ++m_recordHaltsMade) m_gadget->HaltInterruptIn();
  for (; m_blockHaltsMade < blocks; ++m_blockHaltsMade) m_gadget->HaltInterruptIn();
}

// ---- what the firmware asks for ----

void CDeviceEmulator::SendInputReport(std::vector<std::uint8_t> report, double delayMs) {
  if (m_inRequest) {
    m_pendingReports.emplace_back(std::move(report), delayMs);
    return;
  }
  Schedule(Now() + delayMs, Scheduled::EScope::Bus,
           [this, report = std::move(report)]() mutable { QueueInput(std::move(report)); });
}

// On vhid and uhid the reports leave as the pump sends them; a USB device
// holds them until the host polls, which a host may never do.
void CDeviceEmulator::QueueInput(std::vector<std::uint8_t> report) {
  if (m_frontEnd == EFrontEnd::UsbGadget && m_inputQueue.size() >= kMaxQueuedReports) {
    m_inputQueue.pop_front();
    m_trace.Event(Now(), "NOTE", "input report dropped: the host does not poll");
  }
  m_inputQueue.push_back(std::move(report));
}

void CDeviceEmulator::Restart(bool intoBootloader) {
  auto restart = [this, intoBootloader] {
    Detach(intoBootloader ? "restart into the bootloader" : "restart into the application");
    Schedule(Now() + m_config.reenumerationDelayMs, Scheduled::EScope::Bus, [this, intoBootloader] {
      if (intoBootloader && m_faults.loaderNeverAppears) {
        m_trace.Event(Now(), "NOTE", "the bootloader does not appear");
        return;
      }
      BootDevice(intoBootloader || m_firmware->MustStayInLoader());
      Attach();
    });
  };
  // The device resets just after the answer to the command has gone out.
  m_afterAnswer.push_back([this, restart] { Schedule(Now() + kResetAfterAnswerMs, Scheduled::EScope::Bus, restart); });
  if (!m_inRequest) {
    auto action = std::move(m_afterAnswer.back());
    m_afterAnswer.pop_back();
    action();
  }
}

void CDeviceEmulator::Unplug() {
  m_afterAnswer.push_back([this] { LeaveByFault("unplugged after the set number of records"); });
  if (!m_inRequest) {
    auto action = std::move(m_afterAnswer.back());
    m_afterAnswer.pop_back();
    action();
  }
}

void CDeviceEmulator::LeaveByFault(const char* why) {
  if (!m_present) return;
  Detach(why);
  if (m_faults.replugAfterMs >= 0) {
    Schedule(Now() + static_cast<double>(m_faults.replugAfterMs), Scheduled::EScope::Bus, [this] { PlugIn(); });
  }
}

void CDeviceEmulator::PlugIn() {
  if (m_present) return;
  ++m_busGeneration;  // forget a pending return from a restart
  // The cable powers the chip too: it starts again from what its flash holds.
  if (m_chip) m_chip->PowerCycle();
  BootDevice(m_firmware->MustStayInLoader());
  Attach();
}

void CDeviceEmulator::UartToChip(std::span<const std::uint8_t> bytes) {
  m_counters.uartBytesToChip += bytes.size();
  const double deliverAt = std::max(Now(), m_uartTxFreeAt) + ByteMs() * static_cast<double>(bytes.size());
  m_uartTxFreeAt = deliverAt;
  Schedule(deliverAt, Scheduled::EScope::Free, [this, copy = std::vector<std::uint8_t>(bytes.begin(), bytes.end())] {
    if (m_chip) m_chip->OnUartBytes(copy);
  });
}

void CDeviceEmulator::Note(const std::string& text) { m_trace.Event(Now(), "NOTE", text); }

// ---- the interrupt-in pipe and the UART's receive side ----

void CDeviceEmulator::OnChipBytes(std::vector<std::uint8_t> bytes) {
  // Outside bridge mode the microcontroller does not listen to the chip's UART.
  if (!m_present || !m_firmware->BridgeOn()) return;
  for (std::uint8_t byte : bytes) {
    m_uartRxFreeAt = std::max(Now(), m_uartRxFreeAt) + ByteMs();
    m_uartToHost.emplace_back(m_uartRxFreeAt, byte);
  }
  m_counters.uartBytesToHost += bytes.size();
}

double CDeviceEmulator::NextPumpTime() const {
  if (!HostConnected()) return kNever;
  if (m_gadget && m_gadget->InputBusy()) return kNever;  // the gadget's InputSent wakes the loop
  if (!m_inputQueue.empty()) return m_inputSlotFreeAt;
  if (!m_uartToHost.empty()) return std::max(m_inputSlotFreeAt, m_uartToHost.front().first);
  return kNever;
}

void CDeviceEmulator::PumpInput() {
  if (!HostConnected()) {
    m_inputQueue.clear();
    return;
  }
  const double interval = m_config.timing == EmuTiming::FullSpeed ? kInterruptIntervalMs : 0.0;
  while (HostConnected()) {
    const double now = Now();
    if (now < m_inputSlotFreeAt) return;
    // The interrupt-IN endpoint holds one report until the host polls it.
    if (m_gadget && m_gadget->InputBusy()) return;
    std::vector<std::uint8_t> report;
    if (!m_inputQueue.empty()) {
      report = std::move(m_inputQueue.front());
      m_inputQueue.pop_front();
    } else if (!m_uartToHost.empty() && m_uartToHost.front().first <= now) {
      report.assign(kEmuInputReportLength, 0);
      report[2] = kKindUartData;
      std::size_t count = 0;
      while (count < kUartBytesPerReport && !m_uartToHost.empty() && m_uartToHost.front().first <= now) {
        report[4 + count++] = m_uartToHost.front().second;
        m_uartToHost.pop_front();
      }
      report[3] = static_cast<std::uint8_t>(count);
    } else {
      return;
    }
    ++m_counters.inputReports;
    SendInput(report);
    m_inputSlotFreeAt = now + interval;
  }
}

void CDeviceEmulator::SendInput(const std::vector<std::uint8_t>& report) {
  if (m_gadget) {
    m_trace.Transfer(Now(), "d2h", VhidTypeName(EVhidType::InputReport), report);
    if (report.size() > 1) m_gadget->SendInput(std::span(report).subspan(1));
    return;
  }
  if (!m_uhid) {
    SendMessage(EVhidType::InputReport, report);
    return;
  }
  // The reports are unnumbered: the kernel takes them without the report-ID byte.
  m_trace.Transfer(Now(), "d2h", VhidTypeName(EVhidType::InputReport), report);
  if (report.size() > 1) m_uhid->SendInput(std::span(report).subspan(1));
}

// ---- the public operations ----

bool CDeviceEmulator::Present() const {
  std::lock_guard lock(m_mutex);
  return m_present;
}

bool CDeviceEmulator::HostAttached() const {
  std::lock_guard lock(m_mutex);
  return HostConnected();
}

bool CDeviceEmulator::InBootloader() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->InBootloader();
}

bool CDeviceEmulator::BridgeOn() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->BridgeOn();
}

std::string CDeviceEmulator::SocketPath() const {
  std::lock_guard lock(m_mutex);
  return m_socketPath;
}

std::uint32_t CDeviceEmulator::ProcessorVersion(std::size_t index) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->ProcessorVersion(index);
}

std::vector<std::uint8_t> CDeviceEmulator::ReadMainFlash(std::uint32_t address, std::size_t length) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->MainFlash().Read(address, length);
}

std::vector<std::uint8_t> CDeviceEmulator::ReadThirdFlash(std::uint32_t address, std::size_t length) const {
  std::lock_guard lock(m_mutex);
  return m_firmware->ThirdFlash().Read(address, length);
}

std::vector<std::uint8_t> CDeviceEmulator::BluetoothImage() const {
  std::lock_guard lock(m_mutex);
  return m_chip ? m_chip->StoredImage() : std::vector<std::uint8_t>{};
}

std::uint32_t CDeviceEmulator::RecordsReceived() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->RecordsReceived();
}

std::uint32_t CDeviceEmulator::EntryPoint() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->HexLoader().EntryPoint();
}

std::string CDeviceEmulator::LoaderError() const {
  std::lock_guard lock(m_mutex);
  return m_firmware->HexLoader().FirstError();
}

EmuCounters CDeviceEmulator::Counters() const {
  std::lock_guard lock(m_mutex);
  return m_counters;
}

std::vector<std::string> CDeviceEmulator::Trace() const { return m_trace.Lines(); }

void CDeviceEmulator::SetChipFaults(const CEmuBluetoothChip::Faults& faults) {
  std::lock_guard lock(m_mutex);
  if (m_chip) m_chip->SetFaults(faults);
}

void CDeviceEmulator::SetFaults(const EmuFaults& faults) {
  std::lock_guard lock(m_mutex);
  m_faults = faults;
  m_unplugCommandsSeen = 0;
  m_recordHaltsMade = 0;
  m_blockHaltsMade = 0;
  if (faults.unplugAtMs >= 0) {
    Post([this, at = faults.unplugAtMs] {
      Schedule(static_cast<double>(at), Scheduled::EScope::Free, [this] { LeaveByFault("unplugged at the set time"); });
    });
  }
}

EmuFaults CDeviceEmulator::Faults() const {
  std::lock_guard lock(m_mutex);
  return m_faults;
}

void CDeviceEmulator::InjectInputReport(std::vector<std::uint8_t> report) {
  report.resize(kEmuInputReportLength, 0);
  Post([this, report = std::move(report)]() mutable {
    m_trace.Event(Now(), "NOTE", "injected input report");
    QueueInput(std::move(report));
  });
}

void CDeviceEmulator::InjectUartReport(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> report(kEmuInputReportLength, 0);
  const std::size_t count = std::min(bytes.size(), kUartBytesPerReport);
  report[2] = kKindUartData;
  report[3] = static_cast<std::uint8_t>(count);
  std::copy_n(bytes.begin(), count, report.begin() + 4);
  InjectInputReport(std::move(report));
}

void CDeviceEmulator::InjectStatus(std::uint32_t status) {
  std::vector<std::uint8_t> report(kEmuInputReportLength, 0);
  report[2] = kKindStatus;
  for (int i = 0; i < 4; ++i) report[3 + i] = static_cast<std::uint8_t>(status >> (8 * i));
  InjectInputReport(std::move(report));
}

void CDeviceEmulator::UnplugCable() {
  Post([this] { PullCable("cable pulled"); });
}

void CDeviceEmulator::PlugCable() {
  Post([this] { PlugIn(); });
}

std::uint64_t CDeviceEmulator::ChipRefusedRequests() const { return m_chip ? m_chip->RefusedRequests() : 0; }

std::optional<ChipDfuProgress> CDeviceEmulator::ChipProgress() const {
  if (!m_chip) return std::nullopt;
  return m_chip->DfuProgress();
}

bool CDeviceEmulator::WaitFor(const std::function<bool(const CDeviceEmulator&)>& predicate,
                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate(*this)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
