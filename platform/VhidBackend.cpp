#include "platform/VhidBackend.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

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

// Reads exactly `length` bytes; with a deadline (program time) when `waitMs` is given.
bool ReadExact(int fd, std::uint8_t* buffer, std::size_t length, std::optional<std::uint32_t> waitMs) {
  const std::uint64_t deadline = waitMs ? Clock::NowMs() + *waitMs : 0;
  std::size_t done = 0;
  while (done < length) {
    if (waitMs) {
      const std::uint64_t now = Clock::NowMs();
      if (now >= deadline) return false;
      pollfd entry{fd, POLLIN, 0};
      const auto realMs = std::chrono::ceil<std::chrono::milliseconds>(
          Clock::RealDuration(static_cast<std::uint32_t>(deadline - now)));
      const int ready = poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(1, realMs.count())));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    const ssize_t got = recv(fd, buffer + done, length - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// One framed message; nullopt on end of stream, a read error or a malformed header.
std::optional<Message> ReadMessage(int fd, std::optional<std::uint32_t> waitMs = std::nullopt) {
  std::uint8_t header[kHeaderLength];
  if (!ReadExact(fd, header, sizeof header, waitMs)) return std::nullopt;
  const std::size_t length = ReadLe16(&header[2]);
  if (!KnownDeviceType(header[0]) || header[1] != 0 || length > kMaxPayload) return std::nullopt;
  Message message{header[0], std::vector<std::uint8_t>(length)};
  if (length > 0 && !ReadExact(fd, message.payload.data(), length, waitMs)) return std::nullopt;
  return message;
}

// Sends header and payload whole, or fails by `deadline` (program time).
bool WriteMessage(int fd, std::uint8_t type, std::span<const std::uint8_t> payload, std::uint64_t deadline) {
  if (payload.size() > kMaxPayload) return false;
  std::vector<std::uint8_t> frame(kHeaderLength + payload.size());
  frame[0] = type;
  frame[2] = static_cast<std::uint8_t>(payload.size());
  frame[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderLength);
  std::size_t done = 0;
  while (done < frame.size()) {
    const std::uint64_t now = Clock::NowMs();
    if (now >= deadline) return false;
    pollfd entry{fd, POLLOUT, 0};
    const auto realMs = std::chrono::ceil<std::chrono::milliseconds>(
        Clock::RealDuration(static_cast<std::uint32_t>(deadline - now)));
    const int ready = poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(1, realMs.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t sent = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

class CVhidDevice final : public CHidDevice {
 public:
  CVhidDevice(int fd, std::u16string productString) : m_fd(fd), m_productString(std::move(productString)) {
    m_receiver = std::thread([this] { Receive(); });
  }

  ~CVhidDevice() override {
    shutdown(m_fd, SHUT_RDWR);  // wakes the receiver
    m_receiver.join();
    close(m_fd);
  }

  HidReadResult ReadInputReport(std::span<std::uint8_t> report, std::size_t& received) override {
    received = 0;
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_cancelPending || !m_inputs.empty() || m_gone; });
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

  void CancelRead() override {
    {
      std::lock_guard lock(m_mutex);
      m_cancelPending = true;
    }
    m_changed.notify_all();
  }

  bool WriteOutputReport(std::span<const std::uint8_t> report, std::uint32_t timeoutMs) override {
    const auto reply = Request(kOutput, report, kOutputDone, timeoutMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool SetOutputReport(std::span<const std::uint8_t> report) override {
    const auto reply = Request(kSetOutput, report, kSetOutputDone, kClassRequestWaitMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool GetInputReport(std::span<std::uint8_t> report) override {
    if (report.empty()) return false;
    const std::size_t wanted = std::min<std::size_t>(report.size(), 0xFFFF);
    const std::uint8_t request[] = {report[0], static_cast<std::uint8_t>(wanted),
                                    static_cast<std::uint8_t>(wanted >> 8)};
    const auto reply = Request(kGetInput, request, kGetInputDone, kClassRequestWaitMs);
    if (!reply || reply->empty() || (*reply)[0] != 0) return false;
    const std::size_t length = std::min(reply->size() - 1, report.size());
    std::copy_n(reply->begin() + 1, length, report.begin());
    return true;
  }

  bool SetFeatureReport(std::span<const std::uint8_t> report) override {
    const auto reply = Request(kSetFeature, report, kSetFeatureDone, kClassRequestWaitMs);
    return reply && !reply->empty() && (*reply)[0] == 0;
  }

  bool GetProductString(std::span<char16_t> buffer) override {
    if (buffer.empty() || m_productString.empty()) return false;
    {
      std::lock_guard lock(m_mutex);
      if (m_gone) return false;
    }
    const std::size_t units = std::min(m_productString.size(), buffer.size() - 1);
    std::copy_n(m_productString.begin(), units, buffer.begin());
    buffer[units] = 0;
    return true;
  }

 private:
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
    if (!WaitUntil(lock, deadline, [&] { return !m_awaiting || m_gone; }) || m_gone) return std::nullopt;
    m_awaiting = replyType;
    m_abandoned = false;
    m_reply.reset();
    lock.unlock();
    const bool sent = WriteMessage(m_fd, type, payload, deadline);
    lock.lock();
    if (!sent) {
      // A frame cut short leaves the stream unusable; the connection ends.
      if (!m_gone) shutdown(m_fd, SHUT_RDWR);
      m_awaiting.reset();
      return std::nullopt;
    }
    WaitUntil(lock, deadline, [&] { return m_reply.has_value() || m_gone; });
    if (m_reply) {
      std::optional<std::vector<std::uint8_t>> reply = std::move(m_reply);
      m_reply.reset();
      return reply;
    }
    m_abandoned = true;  // the receiver drops the late reply when it comes
    return std::nullopt;
  }

  template <typename Predicate>
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::uint64_t deadline, Predicate ready) {
    while (!ready()) {
      const std::uint64_t now = Clock::NowMs();
      if (now >= deadline) return false;
      m_changed.wait_for(lock, Clock::RealDuration(static_cast<std::uint32_t>(deadline - now)));
    }
    return true;
  }

  void Receive() {
    for (;;) {
      std::optional<Message> message = ReadMessage(m_fd);
      std::unique_lock lock(m_mutex);
      if (!message || !File(std::move(*message))) break;
      lock.unlock();
      m_changed.notify_all();
    }
    // End of stream, malformed framing, or a reply nobody asked for: the device is gone.
    shutdown(m_fd, SHUT_RDWR);
    {
      std::lock_guard lock(m_mutex);
      m_gone = true;
    }
    m_changed.notify_all();
  }

  // Files one message under m_mutex; false when it breaks the contract.
  bool File(Message message) {
    if (message.type == kInputReport) {
      if (m_inputs.size() >= kInputQueueLimit) m_inputs.pop_front();
      m_inputs.push_back(std::move(message.payload));
      return true;
    }
    if (message.type == kHello || !m_awaiting || *m_awaiting != message.type || message.payload.empty()) return false;
    m_awaiting.reset();
    if (!m_abandoned) m_reply = std::move(message.payload);
    m_abandoned = false;
    return true;
  }

  const int m_fd;
  const std::u16string m_productString;
  std::mutex m_requestMutex;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::vector<std::uint8_t>> m_inputs;
  std::optional<std::uint8_t> m_awaiting;  // reply type of the outstanding request
  bool m_abandoned = false;                // its requester stopped waiting
  std::optional<std::vector<std::uint8_t>> m_reply;
  bool m_cancelPending = false;
  bool m_gone = false;
  std::thread m_receiver;
};

}  // namespace

CVhidBackend::CVhidBackend(std::string busDirectory) : m_busDirectory(std::move(busDirectory)) {}

std::vector<HidInterfaceInfo> CVhidBackend::Enumerate() {
  std::vector<HidInterfaceInfo> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(m_busDirectory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 5 || !name.ends_with(".sock")) continue;
    std::error_code typeError;
    if (!entry.is_socket(typeError)) continue;
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
  sockaddr_un address{};
  if (!vendorId || !productId || path.size() >= sizeof address.sun_path) return nullptr;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return nullptr;
  }
  // HELLO: version, vendor ID, product ID, three report lengths, product string.
  const std::optional<Message> hello = ReadMessage(fd, kHelloWaitMs);
  constexpr std::size_t kHelloFixed = 8;
  if (!hello || hello->type != kHello || hello->payload.size() < kHelloFixed ||
      hello->payload[0] != kContractVersion || ReadLe16(&hello->payload[1]) != *vendorId ||
      ReadLe16(&hello->payload[3]) != *productId) {
    close(fd);
    return nullptr;
  }
  std::u16string product = HidUtf8ToUtf16(std::span(hello->payload).subspan(kHelloFixed));
  return std::make_unique<CVhidDevice>(fd, std::move(product));
}
