// Arbitrary bytes from a vhid device. A fake device end serves one socket on a
// private bus; the host end (the vhid backend, and in one mode CHIDHelper's
// reader with the UART hand-off) must deliver exactly the well-formed input
// reports that came before the first breach of the framing, then report the
// device gone. It must never read or write outside a buffer, and never hang.
//
// Input: byte 0 mode, byte 1 buffer sizes, byte 2 product string length L,
// L bytes of product string (UTF-8, any bytes), then the device's stream.
//   mode 0: valid HELLO; the host asks GET_INPUT, the stream follows the request,
//           then the host reads input reports until the device is gone.
//   mode 1: the stream is the whole connection, HELLO included.
//   mode 2: valid HELLO; CHIDHelper's reader takes the reports and hands UART
//           data reports to a hook.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "hid/DeviceIdentity.h"
#include "hid/HIDHelper.h"
#include "platform/testing/TempDirectory.h"
#include "hid/Reports.h"
#include "platform/VhidBackend.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kDeviceWaitMs = 10000;  // real time; a host that keeps the device waiting longer has hung
constexpr std::size_t kReaderSlotBytes = 32;
constexpr std::size_t kUartDataMax = 28;

Bytes Frame(std::uint8_t type, std::span<const std::uint8_t> payload) {
  Bytes frame{type, 0, static_cast<std::uint8_t>(payload.size()), static_cast<std::uint8_t>(payload.size() >> 8)};
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes HelloFrame(std::span<const std::uint8_t> product) {
  Bytes payload{Vhid::kContractVersion,
                static_cast<std::uint8_t>(kVendorId & 0xFF),
                static_cast<std::uint8_t>(kVendorId >> 8),
                static_cast<std::uint8_t>(kApplicationProductId & 0xFF),
                static_cast<std::uint8_t>(kApplicationProductId >> 8),
                65,
                65,
                65};
  payload.insert(payload.end(), product.begin(), product.end());
  return Frame(Vhid::kHello, payload);
}

// What the host must make of a stream, worked out from the framing alone.
struct Expectation {
  bool opened = false;
  std::vector<Bytes> inputs;
  std::optional<Bytes> reply;
};

Expectation Expect(std::span<const std::uint8_t> stream, bool helloInStream, bool awaitingGetInput) {
  Expectation expected;
  expected.opened = !helloInStream;
  bool first = true;
  while (stream.size() >= Vhid::kHeaderLength) {
    const std::uint8_t type = stream[0];
    const std::size_t length = stream[2] | stream[3] << 8;
    const bool known = type == Vhid::kHello || type == Vhid::kInputReport || type == Vhid::kOutputDone ||
                       type == Vhid::kSetOutputDone || type == Vhid::kSetFeatureDone || type == Vhid::kGetInputDone;
    if (!known || stream[1] != 0 || length > Vhid::kMaxPayload) break;
    if (stream.size() < Vhid::kHeaderLength + length) break;
    const auto payload = stream.subspan(Vhid::kHeaderLength, length);
    stream = stream.subspan(Vhid::kHeaderLength + length);
    if (helloInStream && first) {
      first = false;
      expected.opened = type == Vhid::kHello && payload.size() >= 8 && payload[0] == Vhid::kContractVersion &&
                        (payload[1] | payload[2] << 8) == kVendorId &&
                        (payload[3] | payload[4] << 8) == kApplicationProductId;
      if (!expected.opened) return expected;
      continue;
    }
    if (type == Vhid::kInputReport) {
      expected.inputs.emplace_back(payload.begin(), payload.end());
    } else if (awaitingGetInput && type == Vhid::kGetInputDone && !payload.empty()) {
      expected.reply.emplace(payload.begin(), payload.end());
      awaitingGetInput = false;
    } else {
      break;  // HELLO again, or a reply nobody asked for: the host closes
    }
  }
  return expected;
}

bool DeviceReadExact(int fd, std::uint8_t* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kDeviceWaitMs) <= 0) return false;
    const ssize_t got = recv(fd, buffer + done, length - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

void DeviceWrite(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;  // the host closed: it is allowed to
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
}

// The private bus with one listening device socket, made once per process.
class CFuzzBus {
 public:
  CFuzzBus() {
    FUZZ_CHECK(m_bus.Valid());
    char name[64];
    std::snprintf(name, sizeof name, "/vid_%04x&pid_%04x#fuzz.sock", kVendorId, kApplicationProductId);
    m_socketPath = m_directory + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    FUZZ_CHECK(m_socketPath.size() < sizeof address.sun_path);
    std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
    m_listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(m_listenFd >= 0);
    FUZZ_CHECK(bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(listen(m_listenFd, 4) == 0);
    UseVhidBackend(m_directory);
  }
  ~CFuzzBus() { close(m_listenFd); }

  const std::string& SocketPath() const { return m_socketPath; }

  // One connection: greets, optionally waits for the host's request (header and
  // `requestPayload` bytes), sends the stream, closes its sending side, and
  // waits for the host to close.
  void Serve(std::span<const std::uint8_t> greeting, std::size_t requestPayload,
             std::span<const std::uint8_t> stream) const {
    pollfd entry{m_listenFd, POLLIN, 0};
    FUZZ_CHECK(poll(&entry, 1, kDeviceWaitMs) == 1);
    const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    DeviceWrite(fd, greeting);
    if (requestPayload > 0) {
      Bytes request(Vhid::kHeaderLength + requestPayload);
      FUZZ_CHECK(DeviceReadExact(fd, request.data(), request.size()));
      FUZZ_CHECK(request[0] == Vhid::kGetInput);
    }
    DeviceWrite(fd, stream);
    shutdown(fd, SHUT_WR);
    std::uint8_t sink[256];
    for (;;) {
      pollfd readable{fd, POLLIN, 0};
      FUZZ_CHECK(poll(&readable, 1, kDeviceWaitMs) == 1);  // the host must close in the end
      if (recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
    close(fd);
  }

 private:
  CTempDirectory m_bus{"quillon-fuzz-vhid"};
  const std::string m_directory = m_bus.Path().string();
  std::string m_socketPath;
  int m_listenFd = -1;
};

CFuzzBus& Bus() {
  static CFuzzBus bus;
  return bus;
}

void CheckProductString(CHidDevice& device, std::span<const std::uint8_t> product, std::size_t units) {
  std::vector<char16_t> buffer(units, u'?');
  const bool got = device.GetProductString(buffer);
  if (units == 0) {
    FUZZ_CHECK(!got);
    return;
  }
  // The connection may already be over; then nothing is claimed.
  if (got) {
    FUZZ_CHECK(!product.empty());
    FUZZ_CHECK(std::find(buffer.begin(), buffer.end(), u'\0') != buffer.end());
  }
}

// Reads every report the host delivers until the device is gone.
void ReadAll(CHidDevice& device, std::size_t bufferSize, const Expectation& expected) {
  std::size_t index = 0;
  for (;;) {
    Bytes report(bufferSize, 0xA5);
    std::size_t received = 0;
    const HidReadResult result = device.ReadInputReport(report, received);
    FUZZ_CHECK(result != HidReadResult::Cancelled);
    if (result == HidReadResult::DeviceGone) break;
    FUZZ_CHECK(index < expected.inputs.size());
    const Bytes& want = expected.inputs[index++];
    FUZZ_CHECK(received == std::min(want.size(), bufferSize));
    FUZZ_CHECK(std::equal(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(received), want.begin()));
  }
  FUZZ_CHECK(index == expected.inputs.size());
}

void RunPlainHost(std::span<const std::uint8_t> product, std::uint8_t sizes, std::span<const std::uint8_t> stream,
                  bool helloInStream) {
  const Bytes hello = HelloFrame(product);
  const Expectation expected = Expect(stream, helloInStream, !helloInStream);
  const std::size_t bufferSize = 1 + sizes % 64;

  std::thread device([&] {
    if (helloInStream) {
      Bus().Serve({}, 0, stream);
    } else {
      Bus().Serve(hello, 3, stream);
    }
  });
  std::unique_ptr<CHidDevice> host = HidBackend().Open(Bus().SocketPath());
  FUZZ_CHECK((host != nullptr) == expected.opened);
  if (host) {
    if (!helloInStream) {
      CheckProductString(*host, product, sizes >> 6);
      Bytes report(bufferSize, 0xA5);
      report[0] = 0;
      const bool answered = host->GetInputReport(report);
      const bool accepted = expected.reply && (*expected.reply)[0] == 0;
      FUZZ_CHECK(answered == accepted);
      if (accepted) {
        const std::size_t copied = std::min(expected.reply->size() - 1, bufferSize);
        FUZZ_CHECK(std::equal(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(copied),
                              expected.reply->begin() + 1));
        // Bytes beyond the answer keep their values (byte 0 held the report ID).
        for (std::size_t i = copied; i < bufferSize; ++i) FUZZ_CHECK(report[i] == (i == 0 ? 0 : 0xA5));
      }
    }
    ReadAll(*host, bufferSize, expected);
    host.reset();
  }
  device.join();
}

// UART data reports the reader handed on, for the helper mode.
std::vector<Bytes> g_hookReports;

void RecordUartReport(std::span<const std::uint8_t> report) { g_hookReports.emplace_back(report.begin(), report.end()); }

void RunHelperHost(std::span<const std::uint8_t> product, std::span<const std::uint8_t> stream) {
  const Bytes hello = HelloFrame(product);
  const Expectation expected = Expect(stream, false, false);
  g_hookReports.clear();

  std::thread device([&] { Bus().Serve(hello, 0, stream); });
  {
    CHIDHelper helper;
    helper.AttachDevice(HidBackend().Open(Bus().SocketPath()));
    FUZZ_CHECK(helper.Device() != nullptr);
    helper.SetUartDataHook(&RecordUartReport);
    FUZZ_CHECK(helper.StartHIDInterruptThread() == S_OK);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeviceWaitMs);
    while (helper.ReaderStopped() == 0) {
      FUZZ_CHECK(std::chrono::steady_clock::now() < giveUp);  // the reader must see the end of the stream
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    // The reader keeps 32 bytes of each report; a UART data report is handed on
    // with byte 3 cut to the bytes that arrived, and a status report sets the word.
    std::vector<Bytes> wantUart;
    std::uint32_t wantStatus = 0;
    for (const Bytes& input : expected.inputs) {
      const std::size_t received = std::min(input.size(), kReaderSlotBytes);
      if (received > 3 && input[2] == CMD_GROUP_UART_DATA) {
        const std::size_t count = std::min({static_cast<std::size_t>(input[3]), kUartDataMax, received - 4});
        Bytes report(input.begin(), input.begin() + 4 + static_cast<std::ptrdiff_t>(count));
        report[3] = static_cast<std::uint8_t>(count);
        wantUart.push_back(report);
      } else if (received >= 7 && input[2] == REPORT_KIND_STATUS) {
        wantStatus = input[3] | input[4] << 8 | input[5] << 16 | static_cast<std::uint32_t>(input[6]) << 24;
      }
    }
    FUZZ_CHECK(g_hookReports == wantUart);
    FUZZ_CHECK(helper.StatusWord() == wantStatus);
    helper.CloseDeviceHandle();
  }
  device.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  Bus();  // chooses the vhid backend before any device is opened
  const std::uint8_t mode = data[0] % 3;
  const std::uint8_t sizes = data[1];
  const std::size_t productLength = std::min<std::size_t>(data[2], size - 3);
  const std::span<const std::uint8_t> product(data + 3, productLength);
  const std::span<const std::uint8_t> stream(data + 3 + productLength, size - 3 - productLength);

  if (mode == 2) {
    RunHelperHost(product, stream);
  } else {
    RunPlainHost(product, sizes, stream, mode == 1);
  }
  return 0;
}
