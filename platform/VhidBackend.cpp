#include "platform/VhidBackend.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/log/Utf16Text.h"
#include "platform/Clock.h"
#include "platform/VhidConnection.h"

namespace Vhid {

std::optional<std::uint16_t> ParseIdTag(std::string_view name, std::string_view prefix) {
  for (std::size_t at = name.find(prefix); at != std::string_view::npos; at = name.find(prefix, at + 1)) {
    const std::string_view digits = name.substr(at + prefix.size(), 4);
    if (digits.size() != 4) continue;
    std::uint16_t value = 0;
    bool valid = true;
    for (char c : digits) {
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (digit < 0) valid = false;
      value = static_cast<std::uint16_t>(value << 4 | (digit & 0xF));
    }
    if (valid) return value;
  }
  return std::nullopt;
}

}  // namespace Vhid

namespace {

using namespace Vhid;

// While the device sends input reports, the receiver takes the read side back
// the moment a request ends, so a waiting reader gets them at once. While it
// sends none (a bootloader taking records), requests that follow each other
// keep the read side among themselves and the receiver takes it back only once
// they pause for kIdleHandBack: waking it twice per request would put two
// thread switches on every request's path.
using SteadyClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kInputQuiet{1000};
constexpr std::chrono::milliseconds kIdleHandBack{2};

struct Message {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
};

bool KnownDeviceType(std::uint8_t type) {
  return type == kHello || type == kInputReport || type == kOutputDone || type == kSetOutputDone ||
         type == kSetFeatureDone || type == kGetInputDone;
}

std::uint16_t ReadLe16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// Bytes received from the stream but not yet taken as messages. Whoever
// holds the connection's read side (see CVhidDevice) owns it.
class CReceiveBuffer {
 public:
  enum class Parse { Message, NeedMore, Malformed };

  // Takes the next whole message out of the buffer, if there is one.
  Parse Take(Message& message) {
    const std::size_t have = m_end - m_start;
    if (have < kHeaderLength) return Parse::NeedMore;
    const std::uint8_t* header = m_bytes.data() + m_start;
    const std::size_t length = ReadLe16(&header[2]);
    if (!KnownDeviceType(header[0]) || header[1] != 0 || length > kMaxPayload) return Parse::Malformed;
    if (have < kHeaderLength + length) return Parse::NeedMore;
    message.type = header[0];
    message.payload.assign(header + kHeaderLength, header + kHeaderLength + length);
    m_start += kHeaderLength + length;
    if (m_start == m_end) m_start = m_end = 0;
    return Parse::Message;
  }

  // Room for the next receive; what is left of a message moves to the front
  // first, so there is always room for at least one whole message.
  std::span<std::uint8_t> Space() {
    if (m_start > 0) {
      std::memmove(m_bytes.data(), m_bytes.data() + m_start, m_end - m_start);
      m_end -= m_start;
      m_start = 0;
    }
    return std::span(m_bytes).subspan(m_end);
  }
  void Added(std::size_t count) { m_end += count; }

 private:
  std::array<std::uint8_t, 2 * (kHeaderLength + kMaxPayload)> m_bytes{};
  std::size_t m_start = 0;
  std::size_t m_end = 0;
};

using Fill = CVhidConnection::Receive;

// One receive from `connection` into `buffer` (see CVhidConnection::ReceiveInto).
Fill ReceiveInto(CVhidConnection& connection, CReceiveBuffer& buffer, std::optional<std::uint64_t> deadline) {
  std::size_t received = 0;
  const Fill filled = connection.ReceiveInto(buffer.Space(), received, deadline);
  if (filled == Fill::Data) buffer.Added(received);
  return filled;
}

// Reads one framed message (used for HELLO, before any thread runs); nullopt
// on end of stream, a read error, a malformed header or when `deadline`
// (program time) passes.
std::optional<Message> ReadMessage(CVhidConnection& connection, CReceiveBuffer& buffer, std::uint64_t deadline) {
  Message message;
  for (;;) {
    const CReceiveBuffer::Parse parsed = buffer.Take(message);
    if (parsed == CReceiveBuffer::Parse::Message) return message;
    if (parsed == CReceiveBuffer::Parse::Malformed) return std::nullopt;
    const Fill filled = ReceiveInto(connection, buffer, deadline);
    if (filled == Fill::TimedOut || filled == Fill::Ended) return std::nullopt;
  }
}

// Sends header and payload whole, or fails by `deadline` (program time).
bool WriteMessage(CVhidConnection& connection, std::uint8_t type, std::span<const std::uint8_t> payload,
                  std::uint64_t deadline) {
  if (payload.size() > kMaxPayload) return false;
  std::array<std::uint8_t, kHeaderLength + kMaxPayload> frame;
  frame[0] = type;
  frame[1] = 0;
  frame[2] = static_cast<std::uint8_t>(payload.size());
  frame[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderLength);
  return connection.Send(std::span(frame).first(kHeaderLength + payload.size()), deadline);
}

// One connection. Its read side is held by one thread at a time: the
// receiver thread while no request runs, the requesting thread while one
// does, so a reply wakes the thread that waits for it directly instead of
// passing through a second thread. The holder files every message it reads
// the same way: input reports to the queue in arrival order, replies to the
// outstanding request. A request takes the read side by setting
// m_requestActive and waking the receiver out of its wait on the connection;
// it does so after sending, so the hand-over overlaps the device's
// own time for the request.
class CVhidDevice final : public CHidDevice {
 public:
  CVhidDevice(std::unique_ptr<CVhidConnection> connection, std::u16string productString, const CReceiveBuffer& buffer)
      : m_connection(std::move(connection)), m_productString(std::move(productString)), m_buffer(buffer) {
    m_receiver = std::thread([this] { Receive(); });
  }

  ~CVhidDevice() override {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_socketChanged.notify_all();
    m_connection->Shutdown();  // wakes the receiver if it waits on the connection
    m_receiver.join();
  }

 private:
  HidReadResult DoReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    std::unique_lock lock(m_mutex);
    m_inputChanged.wait(lock, [&] { return m_cancelPending || !m_inputs.empty() || m_gone; });
    if (m_cancelPending) {
      m_cancelPending = false;
      return HidReadResult::Cancelled;
    }
    // Reports that arrived before the end of stream are still handed over.
    if (m_inputs.empty()) return HidReadResult::DeviceGone;
    const std::vector<std::uint8_t>& next = m_inputs.front();
    received = std::min(next.size(), report.size());
    std::copy_n(next.begin(), received, report.begin());
    m_inputs.pop_front();
    return HidReadResult::Report;
  }

  void DoCancelRead() override {
    {
      std::lock_guard lock(m_mutex);
      m_cancelPending = true;
    }
    m_inputChanged.notify_all();
  }

  bool DoWriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) override {
    const auto reply = Request(kOutput, report, kOutputDone, timeoutMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool DoSetOutputReport(std::span<const std::uint8_t> report) override {
    const auto reply = Request(kSetOutput, report, kSetOutputDone, kClassRequestWaitMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool DoGetInputReport(std::span<std::uint8_t> report) override {
    const std::size_t wanted = std::min<std::size_t>(report.size(), 0xFFFF);
    const std::uint8_t request[] = {report[0], static_cast<std::uint8_t>(wanted),
                                    static_cast<std::uint8_t>(wanted >> 8)};
    const auto reply = Request(kGetInput, request, kGetInputDone, kClassRequestWaitMs);
    if (!reply || reply->empty() || (*reply)[0] != 0) return false;
    const std::size_t length = std::min(reply->size() - 1, report.size());
    std::copy_n(reply->begin() + 1, length, report.begin());
    return true;
  }

  bool DoSetFeatureReport(std::span<const std::uint8_t> report) override {
    const auto reply = Request(kSetFeature, report, kSetFeatureDone, kClassRequestWaitMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool DoGetProductString(std::span<char16_t> buffer) override {
    if (m_productString.empty()) return false;
    {
      std::lock_guard lock(m_mutex);
      if (m_gone) return false;
    }
    const std::size_t units = std::min(m_productString.size(), buffer.size() - 1);
    std::copy_n(m_productString.begin(), units, buffer.begin());
    buffer[units] = 0;
    return true;
  }

  enum class Holder { None, Receiver, Requester };
  enum class PumpEnd { Done, TimedOut, Kicked, Broken };

  // Sends one request and waits, up to `waitMs` of program time in all, for
  // its reply's payload. Only one request is outstanding on the connection:
  // a request whose wait ran out stays outstanding until its late reply comes,
  // and the next request waits for that first (within its own time).
  std::optional<std::vector<std::uint8_t>> Request(std::uint8_t type, std::span<const std::uint8_t> payload,
                                                   std::uint8_t replyType, std::uint32_t waitMs) {
    if (payload.size() > kMaxPayload) return std::nullopt;
    const std::uint64_t deadline = Clock::NowMs() + waitMs;
    std::lock_guard requestLock(m_requestMutex);
    std::unique_lock lock(m_mutex);
    if (m_gone) return std::nullopt;
    m_requestActive = true;
    const CReadSideRelease release(*this, lock);
    if (m_awaiting) {
      // The late reply of an abandoned request is still due: read up to it first.
      if (m_holder == Holder::Receiver) Kick();
      if (!TakeReadSide(lock, deadline) || Pump(lock, deadline, [&] { return !m_awaiting || m_gone; }) != PumpEnd::Done ||
          m_gone)
        return std::nullopt;
    }
    m_awaiting = replyType;
    m_abandoned = false;
    m_reply.reset();
    const bool receiverReads = m_holder == Holder::Receiver;
    lock.unlock();
    const bool sent = WriteMessage(*m_connection, type, payload, deadline);
    if (receiverReads) Kick();
    lock.lock();
    if (!sent) {
      // A frame cut short leaves the stream unusable; the connection ends.
      MarkGone();
      m_awaiting.reset();
      return std::nullopt;
    }
    if (TakeReadSide(lock, deadline)) Pump(lock, deadline, [&] { return m_reply.has_value() || m_gone; });
    if (m_reply) {
      std::optional<std::vector<std::uint8_t>> reply = std::move(m_reply);
      m_reply.reset();
      return reply;
    }
    m_abandoned = true;  // whoever reads the late reply drops it
    return std::nullopt;
  }

  // Hands the read side back to the receiver when a request ends, however it ends.
  class CReadSideRelease {
   public:
    CReadSideRelease(CVhidDevice& device, std::unique_lock<std::mutex>& lock) : m_device(device), m_lock(lock) {}
    ~CReadSideRelease() {
      if (!m_lock.owns_lock()) m_lock.lock();
      m_device.m_requestActive = false;
      m_device.m_requestEnded = SteadyClock::now();
      if (m_device.m_holder == Holder::Requester) m_device.m_holder = Holder::None;
      const bool handBackNow = m_device.InputFlowing(m_device.m_requestEnded);
      m_lock.unlock();
      if (handBackNow) m_device.m_socketChanged.notify_all();
    }
    CReadSideRelease(const CReadSideRelease&) = delete;
    CReadSideRelease& operator=(const CReadSideRelease&) = delete;

   private:
    CVhidDevice& m_device;
    std::unique_lock<std::mutex>& m_lock;
  };

  // Waits until the receiver has stepped aside, then holds the read side for
  // the request; false when the device is gone or `deadline` passes first.
  bool TakeReadSide(std::unique_lock<std::mutex>& lock, std::uint64_t deadline) {
    while (m_holder == Holder::Receiver && !m_gone) {
      const std::uint64_t now = Clock::NowMs();
      if (now >= deadline) return false;
      m_socketChanged.wait_for(lock, Clock::RealDuration(static_cast<std::uint32_t>(deadline - now)));
    }
    if (m_gone) return false;
    m_holder = Holder::Requester;
    return true;
  }

  // Makes the receiver leave its wait on the connection and look at m_requestActive.
  void Kick() { m_connection->Wake(); }

  void Receive() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      if (m_stopping || m_gone) break;
      if (const std::optional<SteadyClock::time_point> recheck = ReceiverMustWait()) {
        m_socketChanged.wait_until(lock, *recheck);
        continue;
      }
      m_holder = Holder::Receiver;
      const PumpEnd end = Pump(lock, std::nullopt, [] { return false; });
      m_holder = Holder::None;
      if (end == PumpEnd::Broken) break;
      lock.unlock();
      m_socketChanged.notify_all();  // the request waiting for the read side
      lock.lock();
    }
    // End of stream, malformed framing, or a reply nobody asked for: the device is gone.
    MarkGone();
    lock.unlock();
    m_socketChanged.notify_all();
  }

  // Under m_mutex: nothing when the receiver may take the read side now,
  // otherwise when to look again (a request's end or a kick may come sooner).
  std::optional<SteadyClock::time_point> ReceiverMustWait() const {
    const SteadyClock::time_point now = SteadyClock::now();
    if (m_requestActive) return now + kIdleHandBack;
    if (InputFlowing(now) || now >= m_requestEnded + kIdleHandBack) return std::nullopt;
    return m_requestEnded + kIdleHandBack;
  }

  bool InputFlowing(SteadyClock::time_point now) const { return now < m_lastInput + kInputQuiet; }

  // Run by the holder of the read side with m_mutex held: files every whole
  // message received, and reads more until `done` holds, `deadline` passes
  // (a request), or a request wants the read side (the receiver).
  template <typename Predicate>
  PumpEnd Pump(std::unique_lock<std::mutex>& lock, std::optional<std::uint64_t> deadline, Predicate done) {
    const bool receiver = !deadline;
    Message message;
    for (;;) {
      for (;;) {
        const CReceiveBuffer::Parse parsed = m_buffer.Take(message);
        if (parsed == CReceiveBuffer::Parse::NeedMore) break;
        if (parsed == CReceiveBuffer::Parse::Malformed || !File(std::move(message))) {
          MarkGone();
          return PumpEnd::Broken;
        }
      }
      if (done()) return PumpEnd::Done;
      if (receiver && (m_requestActive || m_stopping)) return PumpEnd::Kicked;
      lock.unlock();
      const Fill filled = ReceiveInto(*m_connection, m_buffer, deadline);
      lock.lock();
      if (filled == Fill::TimedOut) return PumpEnd::TimedOut;
      if (filled == Fill::Ended) {
        MarkGone();
        return PumpEnd::Broken;
      }
    }
  }

  // Files one message under m_mutex; false when it breaks the contract.
  bool File(Message&& message) {
    if (message.type == kInputReport) {
      m_lastInput = SteadyClock::now();
      if (m_inputs.size() >= kInputQueueLimit) m_inputs.pop_front();
      m_inputs.push_back(std::move(message.payload));
      m_inputChanged.notify_all();
      return true;
    }
    if (message.type == kHello || !m_awaiting || *m_awaiting != message.type || message.payload.empty()) return false;
    m_awaiting.reset();
    if (!m_abandoned) m_reply = std::move(message.payload);
    m_abandoned = false;
    return true;
  }

  // Under m_mutex: ends the connection; every pending and later operation fails.
  void MarkGone() {
    if (!m_gone) m_connection->Shutdown();
    m_gone = true;
    m_inputChanged.notify_all();
    m_socketChanged.notify_all();
  }

  const std::unique_ptr<CVhidConnection> m_connection;
  const std::u16string m_productString;
  std::mutex m_requestMutex;
  std::mutex m_mutex;
  std::condition_variable m_inputChanged;   // input queue, cancel, gone
  std::condition_variable m_socketChanged;  // read side hand-over, gone, stop
  CReceiveBuffer m_buffer;                  // owned by the holder of the read side
  Holder m_holder = Holder::None;
  bool m_requestActive = false;  // a request holds or wants the read side
  SteadyClock::time_point m_requestEnded;  // when the last request let go of the read side
  SteadyClock::time_point m_lastInput;     // when the last input report was filed
  std::deque<std::vector<std::uint8_t>> m_inputs;
  std::optional<std::uint8_t> m_awaiting;  // reply type of the outstanding request
  bool m_abandoned = false;                // its requester stopped waiting
  std::optional<std::vector<std::uint8_t>> m_reply;
  bool m_cancelPending = false;
  bool m_gone = false;
  bool m_stopping = false;
  std::thread m_receiver;
};

// The two forms of a device on the bus: a UNIX socket file, or a file holding
// the TCP port on 127.0.0.1.
enum class EForm { Socket, Tcp };

std::optional<EForm> FormOf(std::string_view name) {
  if (name.size() > 5 && name.ends_with(".sock")) return EForm::Socket;
  if (name.size() > 4 && name.ends_with(".tcp")) return EForm::Tcp;
  return std::nullopt;
}

// The port a TCP device's file names: decimal digits, at most one newline
// after them, 1 to 65535. Anything else (or an unreadable file) is no port.
std::optional<std::uint16_t> ReadPortFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::array<char, 8> text{};
  file.read(text.data(), text.size());
  std::string_view content(text.data(), static_cast<std::size_t>(file.gcount()));
  if (content.ends_with('\n')) content.remove_suffix(1);
  if (content.empty() || content.size() > 5) return std::nullopt;
  std::uint32_t port = 0;
  for (const char c : content) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (port == 0 || port > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

}  // namespace

CVhidBackend::CVhidBackend(std::string busDirectory) : m_busDirectory(std::move(busDirectory)) {}

std::vector<HidInterfaceInfo> CVhidBackend::Enumerate() {
  std::vector<HidInterfaceInfo> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(m_busDirectory, error)) {
    const std::string name = entry.path().filename().string();
    const std::optional<EForm> form = FormOf(name);
    if (!form) continue;
    // A system without UNIX sockets sees no socket files, so it lists only the TCP form.
    std::error_code typeError;
    if (*form == EForm::Socket ? !entry.is_socket(typeError) : !entry.is_regular_file(typeError)) continue;
    const auto vendorId = ParseIdTag(name, "vid_");
    const auto productId = ParseIdTag(name, "pid_");
    if (!vendorId || !productId) continue;
    found.push_back(HidInterfaceInfo{entry.path().string(), *vendorId, *productId});
  }
  std::sort(found.begin(), found.end(),
            [](const HidInterfaceInfo& a, const HidInterfaceInfo& b) { return a.path < b.path; });
  return found;
}

std::unique_ptr<CHidDevice> CVhidBackend::Open(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const auto vendorId = ParseIdTag(name, "vid_");
  const auto productId = ParseIdTag(name, "pid_");
  if (!vendorId || !productId) return nullptr;
  // One deadline for the connect and HELLO.
  const std::uint64_t deadline = Clock::NowMs() + kHelloWaitMs;
  std::unique_ptr<CVhidConnection> connection;
  if (FormOf(name) == EForm::Tcp) {
    if (const std::optional<std::uint16_t> port = ReadPortFile(path)) connection = ConnectVhidLoopback(*port, deadline);
  } else {
    connection = ConnectVhidSocket(path, deadline);
  }
  if (!connection) return nullptr;
  // HELLO: version, vendor ID, product ID, three report lengths, product string.
  CReceiveBuffer received;
  const std::optional<Message> hello = ReadMessage(*connection, received, deadline);
  constexpr std::size_t kHelloFixed = 8;
  if (!hello || hello->type != kHello || hello->payload.size() < kHelloFixed ||
      hello->payload[0] != kContractVersion || ReadLe16(&hello->payload[1]) != *vendorId ||
      ReadLe16(&hello->payload[3]) != *productId)
    return nullptr;
  std::u16string product = Utf8ToUtf16(std::span(hello->payload).subspan(kHelloFixed));
  // Whatever followed HELLO in the same receive stays buffered for the device.
  return std::make_unique<CVhidDevice>(std::move(connection), std::move(product), received);
}
