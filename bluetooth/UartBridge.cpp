#include "bluetooth/UartBridge.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "hid/Reports.h"
#include "platform/ThreadChecker.h"

namespace {

constexpr std::uint8_t kFrameDelimiter = 0xC0;
constexpr std::uint32_t kRingMask = kUartRxQueueSize - 1;
static_assert((kUartRxQueueSize & kRingMask) == 0, "the ring size must be a power of two");

// Output side: upgrade thread only.
std::weak_ptr<CHidDevice> g_outputHandle;
std::array<std::uint8_t, kOutputReportLength> g_outputReport{};
std::size_t g_outputCount = 0;

// Receive ring: the reader thread alone moves the write index, the upgrade
// thread alone moves the read index. A byte is stored before the write index
// that covers it is published (release), and read after the index is seen
// (acquire); the consumer likewise takes a byte before releasing its slot.
std::array<std::uint8_t, kUartRxQueueSize> g_rxRing{};
std::atomic<std::uint32_t> g_rxWrite{0};
std::atomic<std::uint32_t> g_rxRead{0};

// Wakes a consumer blocked in UartRxWaitFor. The mutex only orders the
// wake-up against the consumer's check; the ring itself takes no lock.
std::mutex g_rxWaitMutex;
std::condition_variable g_rxWaitCondition;

// The output side and the ring's consumer: the upgrade thread; the ring's
// producer: the reader. Both are handed on when a new device is set.
CThreadChecker g_consumerThread;
CThreadChecker g_producerThread;

void SendOutputReport() {
  SetPayloadCount(g_outputReport, static_cast<std::uint8_t>(g_outputCount));
  g_outputCount = 0;
  if (const HidHandle device = g_outputHandle.lock()) {
    device->SetOutputReport(g_outputReport);
  }
}

// Appends one byte to the report; sends it when it is full or `send`.
void AppendOutputByte(std::uint8_t byte, bool send) {
  g_consumerThread.Check("UART output");
  if (g_outputHandle.expired()) return;
  RequestPayload(g_outputReport)[g_outputCount] = byte;
  ++g_outputCount;
  if (g_outputCount >= kUartReportDataMax || send) SendOutputReport();
}

}  // namespace

void UartBridgeSetHandle(const HidHandle& handle) {
  g_consumerThread.Release();
  g_producerThread.Release();
  g_consumerThread.Check("UartBridgeSetHandle");
  g_outputHandle = handle;
  g_outputReport.fill(0);
  SetRequestHeader(g_outputReport, CMD_GROUP_UART_DATA, 0x00);
  g_outputCount = 0;
}

void UartPutByte(std::uint8_t byte) { AppendOutputByte(byte, byte == kFrameDelimiter); }

void UartPutHeldDelimiter() { AppendOutputByte(kFrameDelimiter, false); }

bool UartGetByte(std::uint8_t& byte) {
  g_consumerThread.Check("UartGetByte");
  const std::uint32_t read = g_rxRead.load(std::memory_order_relaxed);
  if (read == g_rxWrite.load(std::memory_order_acquire)) return false;
  byte = g_rxRing[read];
  g_rxRead.store((read + 1) & kRingMask, std::memory_order_release);
  return true;
}

bool UartRxPending() {
  return g_rxRead.load(std::memory_order_relaxed) != g_rxWrite.load(std::memory_order_acquire);
}

void UartRxPush(std::span<const std::uint8_t> report) {
  const std::optional<std::span<const std::uint8_t>> data = UartDataOf(report);
  if (!data || data->empty()) return;
  g_producerThread.Check("UartRxPush");

  const std::uint32_t read = g_rxRead.load(std::memory_order_acquire);
  std::uint32_t write = g_rxWrite.load(std::memory_order_relaxed);
  for (const std::uint8_t byte : *data) {
    const std::uint32_t next = (write + 1) & kRingMask;
    if (next == read) break;  // full: the rest of this report is lost
    g_rxRing[write] = byte;
    write = next;
  }
  g_rxWrite.store(write, std::memory_order_release);

  { const std::lock_guard<std::mutex> lock(g_rxWaitMutex); }
  g_rxWaitCondition.notify_one();
}

bool UartRxWaitFor(std::chrono::nanoseconds realTimeout) {
  if (UartRxPending()) return true;
  if (realTimeout <= std::chrono::nanoseconds::zero()) return false;
  std::unique_lock<std::mutex> lock(g_rxWaitMutex);
  return g_rxWaitCondition.wait_for(lock, realTimeout, [] { return UartRxPending(); });
}
