#include "hid/HIDHelper.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/log/Log.h"
#include "hid/DeviceIdentity.h"
#include "hid/HidDiscovery.h"
#include "hid/Reports.h"
#include "platform/Clock.h"
#include "platform/Poll.h"

namespace {

// A transaction waits this long after the last received report for its answer.
constexpr std::uint32_t kReplyWaitMs = 500;
// However many unrelated reports arrive, a transaction gives up after this long.
constexpr std::uint32_t kTransactionCapMs = 5000;
// The device must accept an interrupt-out report within this time.
constexpr std::uint32_t kWriteTimeoutMs = 500;
constexpr std::uint32_t kReaderSignalWaitMs = 1000;
constexpr int kFeatureAttempts = 5;
constexpr int kI2CTries = 5;
constexpr std::uint32_t kI2CRetrySleepMs = 100;
constexpr std::size_t kI2CMaxData = 60;
// An I2C write request: the target, the data's length, then the data.
constexpr std::size_t kI2CTargetByte = 3;
constexpr std::size_t kI2CLengthByte = 4;
constexpr std::size_t kI2CDataByte = 5;

constexpr std::uint32_t NextSlot(std::uint32_t index) { return (index + 1) % 32; }

bool PathNamesBootloader(const char16_t* path) {
  if (path == nullptr) return false;
  char tag[12];
  std::snprintf(tag, sizeof tag, "pid_%04x", kBootloaderProductId);
  const std::size_t tagLength = std::strlen(tag);
  for (const char16_t* start = path; *start != 0; ++start) {
    std::size_t i = 0;
    while (i < tagLength && start[i] == static_cast<char16_t>(tag[i])) ++i;
    if (i == tagLength) return true;
  }
  return false;
}

}  // namespace

// What one reader thread shares with the transaction thread. The generation
// counts reports published to the ring; a transaction waits for it to move.
struct CHIDHelper::ReaderState {
  std::thread thread;
  HidHandle device;
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t generation = 0;
  bool started = false;
  bool ended = false;
  std::atomic<bool> stopRequested{false};

  void Publish() {
    {
      std::lock_guard lock(mutex);
      ++generation;
    }
    changed.notify_all();
  }
  void MarkStarted() {
    {
      std::lock_guard lock(mutex);
      started = true;
    }
    changed.notify_all();
  }
  void MarkEnded() {
    {
      std::lock_guard lock(mutex);
      ended = true;
    }
    changed.notify_all();
  }
  std::uint64_t Generation() {
    std::lock_guard lock(mutex);
    return generation;
  }
  // True when a report newer than `seen` was published (and `seen` moves to
  // it); false after `ms` of program time without one or when the reader ended.
  bool WaitNewer(std::uint64_t& seen, std::uint32_t ms) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, Clock::RealDuration(ms), [&] { return generation != seen || ended; });
    if (generation == seen) return false;
    seen = generation;
    return true;
  }
};

void HIDInterruptThread(CHIDHelper& helper) {
  CHIDHelper::ReaderState& state = *helper.m_reader;
  LogMessage("HIDHelper::HIDInterruptThread");
  if (!state.device) {
    helper.m_readerStopped.store(1);
    state.MarkEnded();
    LogMessage("HIDHelper::HIDInterruptThread - Exit Event");
    return;
  }
  LogMessage("HIDHelper::HIDInterruptThread Loop");
  state.MarkStarted();

  std::array<std::uint8_t, CHIDHelper::kSlotBytes> report{};
  for (;;) {
    if (state.stopRequested.load()) {
      LogMessage("HIDHelper::HIDInterruptThread - Exiting Interrupt Thread - dwResult[%x]", 0);
      break;
    }
    report.fill(0);
    std::size_t received = 0;
    const HidReadResult result = state.device->ReadInputReport(report, received);
    if (result == HidReadResult::DeviceGone) break;  // removed: end without a line of its own
    if (result == HidReadResult::Cancelled) continue;  // the stop request is looked at above
    received = std::min(received, report.size());
    if (received == 0) continue;  // an empty report carries nothing to keep

    // Hand-offs first, so a consumer woken by the report already sees their effects.
    const std::span<const std::uint8_t> arrived(report.data(), received);
    if (const auto uartData = UartDataOf(arrived)) {
      if (const CHIDHelper::UartDataHook hook = helper.m_uartDataHook.load()) {
        // The count byte is the device's claim; hand on only bytes that arrived,
        // and make the count say so.
        std::array<std::uint8_t, CHIDHelper::kSlotBytes> data = report;
        SetPayloadCount(data, static_cast<std::uint8_t>(uartData->size()));
        hook(std::span<const std::uint8_t>(data.data(), kPayloadByte + uartData->size()));
      }
    } else if (const auto statusWord = StatusWordOf(arrived)) {
      helper.m_statusWord.store(*statusWord);
    }

    // Keep the report unless the consumer is 31 reports behind: then the newest
    // is not kept, so no slot it may be reading is rewritten and the kept ones
    // stay in arrival order.
    helper.m_ringProducer.Check("the input ring's producer");
    const std::uint32_t w = helper.m_ringWrite.load(std::memory_order_relaxed);
    if (NextSlot(w) != helper.m_ringRead.load(std::memory_order_acquire)) {
      std::memcpy(helper.m_inputRing[w].data(), report.data(), received);
      helper.m_ringLength[w] = static_cast<std::uint32_t>(received);
      helper.m_ringWrite.store(NextSlot(w), std::memory_order_release);
    }
    state.Publish();
  }
  helper.m_readerStopped.store(1);
  state.MarkEnded();
  LogMessage("HIDHelper::HIDInterruptThread - Exit Event");
}

CHIDHelper::CHIDHelper() { LogMessage("HIDHelper::HIDHelper"); }

CHIDHelper::~CHIDHelper() {
  LogMessage("HIDHelper::~HIDHelper");
  CloseDeviceHandle();
  LogMessage("HIDHelper::~HIDHelper - END");
}

HRESULT CHIDHelper::OpenDeviceHandle(std::uint16_t vendorId, std::uint16_t productId, int mode,
                                     std::uint16_t* outProductId, std::unique_ptr<char16_t[]>* devicePath) {
  HRESULT result = E_FAIL;
  if (mode == 0) {
    result = AXHID_GetHIDHandleByUsage(vendorId, productId, m_hDevice, devicePath, 1);
    if (SUCCEEDED(result)) m_isBootloader = 0;
  }
  if (mode == 2 || FAILED(result)) {
    result = AXHID_GetHIDHandleByUsage(kVendorId, kBootloaderProductId, m_hDevice, devicePath, 1);
    if (SUCCEEDED(result)) m_isBootloader = 1;
  }
  if (devicePath != nullptr) m_isBootloader = PathNamesBootloader(devicePath->get()) ? 1 : 0;
  if (SUCCEEDED(result)) {
    StartHIDInterruptThread();
    if (outProductId != nullptr) *outProductId = productId;
  }
  LogMessage("HIDHelper::OpenDeviceHandle - hRes[%08x] IsBootloader[%d]", result, m_isBootloader);
  return result;
}

void CHIDHelper::CloseDeviceHandle() {
  StopHIDInterruptThread();
  m_hDevice.reset();
  m_isBootloader = 0;
}

bool CHIDHelper::GetProductString(char16_t* buffer, std::uint32_t sizeBytes) {
  if (!m_hDevice || buffer == nullptr) return false;
  return m_hDevice->GetProductString(std::span<char16_t>(buffer, sizeBytes / sizeof(char16_t)));
}

bool CHIDHelper::ReaderRunning() const { return m_reader != nullptr && m_readerStopped.load() == 0; }

CHIDHelper::ScanOutcome CHIDHelper::ScanRing(std::span<std::uint8_t> request, bool checkNegative) {
  std::uint32_t r = m_ringRead.load(std::memory_order_relaxed);
  const std::uint32_t w = m_ringWrite.load(std::memory_order_acquire);
  while (r != w) {
    const std::span<const std::uint8_t> slot(m_inputRing[r].data(), m_ringLength[r]);
    if (IsAnswerTo(slot, request)) {
      if (checkNegative && IsNegativeAnswer(slot)) return ScanOutcome::Negative;
      // Only what arrived is copied; the rest of the caller's buffer keeps the request.
      m_answerLength = std::min(request.size(), slot.size());
      std::memcpy(request.data(), slot.data(), m_answerLength);
      return ScanOutcome::Answer;
    }
    r = NextSlot(r);
    m_ringRead.store(r, std::memory_order_release);
  }
  return ScanOutcome::None;
}

CHIDHelper::ScanOutcome CHIDHelper::AwaitAnswer(std::span<std::uint8_t> request, std::uint64_t& seen,
                                                bool checkNegative) {
  const std::uint64_t deadline = Clock::NowMs() + kTransactionCapMs;
  for (;;) {
    const std::uint64_t now = Clock::NowMs();
    if (now >= deadline) return ScanOutcome::None;
    const auto wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(kReplyWaitMs, deadline - now));
    const bool newer = m_reader->WaitNewer(seen, wait);
    const ScanOutcome outcome = ScanRing(request, checkNegative);
    if (outcome != ScanOutcome::None || !newer) return outcome;
  }
}

int CHIDHelper::Transaction(std::span<std::uint8_t> report) {
  m_answerLength = 0;
  if (report.size() < 2 || !m_hDevice || !ReaderRunning()) return 0;
  // Reports that came before the request are never its answer.
  m_ringRead.store(m_ringWrite.load(std::memory_order_acquire), std::memory_order_release);
  std::uint64_t seen = m_reader->Generation();
  if (!m_hDevice->WriteOutputReport(report, kWriteTimeoutMs)) return 0;
  return AwaitAnswer(report, seen, false) == ScanOutcome::Answer ? 1 : 0;
}

int CHIDHelper::OutputReportTransaction(std::span<std::uint8_t> report) { return Transaction(report); }

int CHIDHelper::CommandTransaction(std::span<std::uint8_t> report) { return Transaction(report); }

int CHIDHelper::FeatureReportTransaction(std::span<std::uint8_t> report) {
  m_answerLength = 0;
  if (report.size() < 2 || !m_hDevice || !ReaderRunning()) return 0;
  // Tried again at once: the answer's wait is the pause.
  const auto answered = Poll(kFeatureAttempts, 0, EPollWait::AfterEachFailedTry, [&](int) -> std::optional<int> {
    m_ringRead.store(m_ringWrite.load(std::memory_order_acquire), std::memory_order_release);
    std::uint64_t seen = m_reader->Generation();
    m_hDevice->SetFeatureReport(report);  // its answer, not its status, decides
    const ScanOutcome outcome = AwaitAnswer(report, seen, true);
    if (outcome == ScanOutcome::Negative) return 0;
    if (outcome == ScanOutcome::Answer) return 1;
    if (!ReaderRunning()) return 0;
    return std::nullopt;
  });
  return answered.value_or(0);
}

std::uint32_t CHIDHelper::IsBootloader() { return m_isBootloader; }

int CHIDHelper::I2CPassthruWrite(std::uint8_t target, std::uint8_t length, const std::uint8_t* data, int force) {
  if (length > kI2CMaxData || (length > 0 && data == nullptr)) return 0;
  std::array<std::uint8_t, kOutputReportLength> report{};
  const auto written = Poll(kI2CTries, kI2CRetrySleepMs, EPollWait::AfterEachFailedTry, [&](int attempt) -> std::optional<int> {
    report.fill(0);
    SetRequestHeader(report, CMD_GROUP_I2C_WRITE, 0x00);
    PutReportByte(report, kI2CTargetByte, target);
    PutReportByte(report, kI2CLengthByte, length);
    if (length > 0) std::memcpy(report.data() + kI2CDataByte, data, length);
    if (CommandTransaction(report) == 0) {
      LogMessage("L::I2CPassthruWrite - 2 Try [%d] failed", attempt);
      return 0;
    }
    // The answer value is the device's verdict only if the answer reached it.
    const std::span<const std::uint8_t> answer(report.data(), m_answerLength);
    const bool accepted = InputKind(answer) == CMD_GROUP_I2C_WRITE && AnswerValue(answer) == 0;
    if (m_isBootloader != 0 || force == 1 || accepted) return 1;
    LogMessage("L::I2CPassthruWrite - Try [%d] failed", attempt);
    return std::nullopt;
  });
  return written.value_or(0);
}

void CHIDHelper::JoinReader() {
  if (m_reader && m_reader->thread.joinable()) m_reader->thread.join();
  m_reader.reset();
  m_ringProducer.Release();
}

HRESULT CHIDHelper::StartHIDInterruptThread() {
  LogMessage("HIDHelper::StartHIDInterruptThread");
  if (!m_hDevice) {
    LogMessage("No HID device opened");
    return E_FAIL;
  }
  if (m_readerStopped.load() != 1) {
    LogMessage("Thread already created");
    return S_OK;
  }
  // A reader that ended by itself (device removed) is joined before a new one starts.
  JoinReader();
  m_ringRead.store(0);
  m_ringWrite.store(0);
  for (auto& slot : m_inputRing) slot.fill(0);
  m_ringLength.fill(0);

  m_reader = std::make_unique<ReaderState>();
  m_reader->device = m_hDevice;
  m_readerStopped.store(0);
  try {
    m_reader->thread = std::thread([this] { HIDInterruptThread(*this); });
  } catch (const std::system_error&) {
    m_reader.reset();
    m_readerStopped.store(1);
    LogMessage("Interrupt Thread creation fail");
    return E_FAIL;
  }
  std::unique_lock lock(m_reader->mutex);
  m_reader->changed.wait_for(lock, Clock::RealDuration(kReaderSignalWaitMs),
                             [this] { return m_reader->started || m_reader->ended; });
  return S_OK;
}

int CHIDHelper::StopHIDInterruptThread() {
  LogMessage("HIDHelper::StopHIDInterruptThread");
  if (!m_reader) return 0;
  m_reader->stopRequested.store(true);
  m_reader->device->CancelRead();
  // The reader uses the device and the ring until it returns, so nothing is
  // closed or reused before it has ended.
  JoinReader();
  LogMessage("HIDHelper::StopHIDInterruptThread - HID Interrupt Thread Done");
  m_readerStopped.store(1);
  return 0;
}

void CHIDHelper::SetUartDataHook(UartDataHook hook) { m_uartDataHook.store(hook); }
