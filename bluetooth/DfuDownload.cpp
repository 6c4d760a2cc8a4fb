#include "bluetooth/DfuDownload.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <thread>

#if defined(__linux__)
#endif

#include "app/log/Log.h"
#include "bluetooth/BcspLink.h"
#include "bluetooth/UartBridge.h"
#include "platform/Clock.h"
#include "platform/Poll.h"

namespace {

using RequestHeader = std::array<std::uint8_t, 8>;

// DFU requests: the 8-byte setup packet (bmRequestType, bRequest, wValue,
// wIndex, wLength, little-endian) at the start of every channel-12 payload.
constexpr RequestHeader kBtGetDevice{0xC1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00};
constexpr RequestHeader kBtGetFuncDesc{0xC1, 0x09, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};
constexpr RequestHeader kBtDetach{0x21, 0x00, 0x88, 0x13, 0x00, 0x00, 0x00, 0x00};
constexpr RequestHeader kBtReset{0x41, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr RequestHeader kBtGetStatus{0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
constexpr RequestHeader kBtClrStatus{0x21, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr RequestHeader kBtAbort{0x21, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr std::uint8_t kDfuRequestTypeClassOut = 0x21;
constexpr std::uint8_t kDfuDnload = 0x01;

// Opening message, sent once on channel 13 after the link first becomes Active.
constexpr std::array<std::uint8_t, 6> kBtPreamble{0x03, 0x00, 0x01, 0x00, 0x21, 0x40};

constexpr std::uint8_t kPreambleChannel = 13;
constexpr std::uint8_t kDfuChannel = 12;
constexpr std::size_t kRequestHeaderLength = 8;

// Reply layout: a 4-byte leading field, then the DFU status of a status reply
// (bStatus, bwPollTimeout[3], bState, iString).
constexpr std::size_t kReplyLeadLength = 4;
constexpr std::size_t kStatusStateOffset = 8;
constexpr std::uint8_t kDfuIdle = 2;
constexpr std::uint8_t kDfuDownloadIdle = 5;
constexpr std::uint8_t kDfuError = 10;

constexpr std::uint32_t kLinkUpSeconds = 3;
constexpr std::uint32_t kStepSeconds = 10;
constexpr std::uint32_t kFinalStepSeconds = 30;
constexpr std::uint32_t kRelinkSeconds = 2;
constexpr int kReplyPolls = 20;

// Real time before a pacing deadline at which blocking stops and the rest is
// spun: a blocked wait overshoots by about this much, even with a fine timer slack.
constexpr std::chrono::nanoseconds kSpinMargin{60'000};

// The descriptors and their buffers stay static: the link layer keeps
// pointing at them after the download.
std::array<std::uint8_t, kRequestHeaderLength + kDfuBlockSize> g_requestBuffer{};
std::array<std::uint8_t, kDfuReplyCapacity> g_replyBuffer{};
BcspPacket g_request;
BcspPacket g_reply;

enum class DfuState : std::uint8_t {
  WaitLink = 0,          // link Active -> device information request
  DeviceReply = 1,
  FuncDescReply = 2,
  DetachReply = 3,
  ResetReply = 4,        // the chip restarts into its loader
  WaitLoaderLink = 6,    // link Active -> status request
  ClrStatusReply = 7,
  StatusReply = 8,
  SendBlock = 9,
  BlockReply = 10,
  LastBlockReply = 11,
  FinalStatus = 12,
  FinalStatusReply = 13,
  FinalResetReply = 14,
  AbortReply = 15,       // a download left open by an earlier run is ended
  IdleStatusReply = 16,  // after an abort or clear status: the loader must be in dfuIDLE
  LoaderResetReply = 17, // the loader did not come back to dfuIDLE: it restarts afresh
  Done = 255,
};

// Status polls that repeat without forward progress: moving between these
// states does not renew the step deadline, so a chip that never settles ends
// in a time-out instead of keeping the download alive forever.
int PollCycleOf(DfuState state) {
  switch (state) {
    case DfuState::WaitLoaderLink:
    case DfuState::ClrStatusReply:
    case DfuState::StatusReply:
    case DfuState::AbortReply:
    case DfuState::IdleStatusReply:
      return 1;
    case DfuState::FinalStatus:
    case DfuState::FinalStatusReply:
      return 2;
    default:
      return 0;
  }
}

bool StaysInPollCycle(DfuState from, DfuState to) {
  return PollCycleOf(from) != 0 && PollCycleOf(from) == PollCycleOf(to);
}

// The steps after the final block wait longer: the loader manifests the image.
bool AfterFinalBlock(DfuState state) {
  return state == DfuState::FinalStatus || state == DfuState::FinalStatusReply || state == DfuState::FinalResetReply;
}

std::uint64_t Seconds(std::uint32_t seconds) { return Clock::QueryPerformanceFrequency() * seconds; }

std::chrono::nanoseconds ProgramCountsToReal(std::uint64_t counts) {
  const double ns = static_cast<double>(counts) * 1e9 /
                    static_cast<double>(Clock::QueryPerformanceFrequency()) / Clock::TimeScale();
  return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

void ArmReply() {
  g_reply.length = kDfuReplyCapacity;
  BcspArmReceive(&g_reply);
}

void QueueRequest(const RequestHeader& header) {
  std::copy(header.begin(), header.end(), g_requestBuffer.begin());
  g_request.length = static_cast<std::uint16_t>(kRequestHeaderLength);
  BcspQueuePacket(&g_request);
}

// "label" followed by every delivered byte as "%02X ".
void LogReply(const char* label) {
  std::string line = label;
  for (std::size_t i = 0; i < g_reply.length && i < g_replyBuffer.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", g_replyBuffer[i]);
    line += hex;
  }
  LogMessage("%s", line);
}

// bState of a status reply, when the reply is long enough to hold it.
std::optional<std::uint8_t> ReplyState() {
  if (g_reply.length <= kStatusStateOffset) return std::nullopt;
  return g_replyBuffer[kStatusStateOffset];
}

// Pumps the link, paced, until `done(events)` holds after a pump (true) or
// `deadline` passes (false). `endPaceOnUartData` as for DfuPace.
template <typename Done>
bool PumpUntil(std::uint64_t deadline, bool endPaceOnUartData, Done done) {
  for (;;) {
    std::uint8_t events = 0;
    const std::int8_t countdown = BcspPump(&events);
    if (done(events)) return true;
    if (Clock::QueryPerformanceCounter() >= deadline) return false;
    DfuPace(countdown, endPaceOnUartData);
  }
}

// Pumps the link until it is Active or `deadline` passes.
bool EstablishLink(std::uint64_t deadline) {
  return PumpUntil(deadline, false, [](std::uint8_t) { return BcspLink.linkState == BCSP_LINK_ACTIVE; });
}

// The first four bytes of the reply, the request's result (0: taken).
std::uint32_t ReplyLead() {
  std::uint32_t lead = 0;
  if (g_reply.length >= kReplyLeadLength) std::memcpy(&lead, g_replyBuffer.data(), sizeof lead);
  return lead;
}

// The reply says the request was taken: a result of 0. A reply too short to
// hold the result says nothing of the kind.
bool ReplyTaken() { return g_reply.length >= kReplyLeadLength && ReplyLead() == 0; }

// Asks the chip for its DFU status once the opening message has gone, so that
// a chip an earlier run left in its loader is not sent what only its
// application takes (detach, the reset into the loader). Returns the loader's
// bState; nothing when the chip names no state of the loader's range (dfuIDLE
// to dfuERROR: a runtime state, a reply too short to hold one, a refusal) or
// does not answer (then it is opened as an application).
std::optional<std::uint8_t> FindLoaderState() {
  // A request queued while the opening message still waits for its
  // acknowledgement would go with the same sequence number, and the chip
  // would drop it as a resend: a slow answer is waited for (and put aside) first.
  const std::uint64_t answered = Clock::QueryPerformanceCounter() + Seconds(1);
  if (!PumpUntil(answered, true, [](std::uint8_t events) {
        if (events & BCSP_EVENT_RX_PACKET) ArmReply();
        return BcspLink.txQueued == nullptr;
      })) {
    LogMessage("L::FirmwareUpgradeWriteB - Opening message not acknowledged; no DFU status asked");
    return std::nullopt;
  }
  g_request.channel = kDfuChannel;
  QueueRequest(kBtGetStatus);
  const std::uint64_t deadline = Clock::QueryPerformanceCounter() + Seconds(kLinkUpSeconds);
  if (!PumpUntil(deadline, true, [](std::uint8_t events) { return (events & BCSP_EVENT_RX_PACKET) != 0; })) {
    LogMessage("L::FirmwareUpgradeWriteB - No DFU status from the chip");
    return std::nullopt;
  }
  LogReply("BTGetStatus: ");
  const std::optional<std::uint8_t> bState = ReplyTaken() ? ReplyState() : std::nullopt;
  ArmReply();
  if (!bState || *bState < kDfuIdle || *bState > kDfuError) return std::nullopt;
  return bState;
}

// Pumps up to 20 times, 10 ms apart, for one delivered packet.
void AwaitAnyReply() {
  Poll(kReplyPolls, 10, EPollWait::AfterEachFailedTry, [](int) -> std::optional<bool> {
    std::uint8_t events = 0;
    BcspPump(&events);
    if ((events & BCSP_EVENT_RX_PACKET) == 0) return std::nullopt;
    ArmReply();
    return true;
  });
}

class CDfuDownload {
 public:
  CDfuDownload(const std::atomic<std::uint32_t>& readerStopped, std::span<const std::uint8_t> image,
               CWriteProgress& progress)
      : m_readerStopped(readerStopped),
        m_image(image),
        m_size(static_cast<std::uint32_t>(image.size())),
        m_remaining(m_size),
        m_progress(progress) {
    m_blocksPerStep = std::max<std::uint32_t>((m_size / kDfuBlockSize) / 100, 1);
  }

  int Run(const HidHandle& device);

 private:
  bool OpenLink(const HidHandle& device);
  void StartProgress();
  void RunStates();
  void Act(bool gotReply);
  void ConfirmIdle(const char* request);
  void RestartLoader();
  void AwaitLoaderLink();
  void SendBlock();
  void ShowBytesSent();

  const std::atomic<std::uint32_t>& m_readerStopped;
  std::span<const std::uint8_t> m_image;
  std::uint32_t m_size;
  std::uint32_t m_remaining;
  std::size_t m_readPosition = 0;
  std::uint32_t m_blockCounter = 0;
  std::uint32_t m_blocksPerStep = 1;
  DfuState m_state = DfuState::WaitLink;
  DfuState m_previousState = DfuState::WaitLink;
  std::uint64_t m_deadline = 0;
  int m_result = 1;
  // The chip was found in its loader and is not yet known to be back in
  // dfuIDLE: a download it reports open is an earlier run's.
  bool m_recovering = false;
  CWriteProgress& m_progress;
};

int CDfuDownload::Run(const HidHandle& device) {
  m_deadline = Clock::QueryPerformanceCounter();
  LogMessage("L::FirmwareUpgradeWriteB");
  if (!OpenLink(device)) {
    LogMessage("BT Link Establisment failed");
    return 0;
  }

  // After one more pump and a short settle: the opening message, then the
  // chip's state.
  std::uint8_t events = 0;
  BcspPump(&events);
  Clock::SleepMs(50);
  g_request.channel = kPreambleChannel;
  g_request.reliable = 1;
  ArmReply();
  AwaitAnyReply();
  std::copy(kBtPreamble.begin(), kBtPreamble.end(), g_requestBuffer.begin());
  g_request.length = static_cast<std::uint16_t>(kBtPreamble.size());
  BcspQueuePacket(&g_request);
  AwaitAnyReply();
  const std::optional<std::uint8_t> loaderState = FindLoaderState();
  if (loaderState) {
    // Left there by an interrupted run: no detach, no reset into the loader.
    LogMessage("L::FirmwareUpgradeWriteB - Chip already in its loader, bState[%d]", *loaderState);
  }

  Clock::SleepMs(500);
  m_state = m_previousState = loaderState ? DfuState::WaitLoaderLink : DfuState::WaitLink;
  m_recovering = loaderState.has_value();
  g_request.channel = kDfuChannel;
  g_replyBuffer.fill(0xCC);
  m_deadline = Clock::QueryPerformanceCounter() + Seconds(kLinkUpSeconds);
  StartProgress();

  LogMessage("L::FirmwareUpgradeWriteB starts");
  m_result = 1;
  RunStates();

  LogMessage("L::FirmwareUpgradeWriteB ends");
  Clock::SleepMs(500);
  BcspLinkReset();
  m_deadline += Seconds(kRelinkSeconds);
  if (!EstablishLink(m_deadline)) LogMessage("BT re-start Link Establisment failed");
  return m_result;
}

bool CDfuDownload::OpenLink(const HidHandle& device) {
  UartBridgeSetHandle(device);
  BcspLinkReset();
  g_request.data = g_requestBuffer.data();
  g_reply.data = g_replyBuffer.data();
  ArmReply();
  m_deadline += Seconds(kLinkUpSeconds);
  return EstablishLink(m_deadline);
}

// A hundred steps, or a single one for an image too small for a hundred; the
// progress window is started with its step count and never stepped by the download.
void CDfuDownload::StartProgress() {
  m_progress.WriteBegins({.steps = static_cast<std::uint16_t>(m_blocksPerStep == 1 ? 1 : 100),
                          .windowSteps = static_cast<std::uint16_t>((m_size / 512) * 32)});
}

void CDfuDownload::RunStates() {
  while (m_state != DfuState::Done) {
    std::uint8_t events = 0;
    const std::int8_t countdown = BcspPump(&events);
    const bool gotReply = (events & BCSP_EVENT_RX_PACKET) != 0;
    Act(gotReply);
    if (gotReply) ArmReply();

    const std::uint64_t now = Clock::QueryPerformanceCounter();
    if (m_state != m_previousState && !StaysInPollCycle(m_previousState, m_state)) {
      m_previousState = m_state;
      m_deadline = now + Seconds(AfterFinalBlock(m_state) ? kFinalStepSeconds : kStepSeconds);
    } else {
      m_previousState = m_state;
      if (m_readerStopped.load(std::memory_order_acquire) != 0) {
        m_result = 0;
        return;
      }
      if (now >= m_deadline) {
        m_result = 0;
        LogMessage("BT time-out!");
        return;
      }
    }
    DfuPace(countdown, true);
  }
}

void CDfuDownload::Act(bool gotReply) {
  const bool linkActive = BcspLink.linkState == BCSP_LINK_ACTIVE;
  switch (m_state) {
    case DfuState::WaitLink:
      if (!linkActive) return;
      QueueRequest(kBtGetDevice);
      m_state = DfuState::DeviceReply;
      return;
    case DfuState::DeviceReply:
      if (!gotReply) return;
      LogReply("BTGetDevice: ");
      QueueRequest(kBtGetFuncDesc);
      m_state = DfuState::FuncDescReply;
      return;
    case DfuState::FuncDescReply:
      if (!gotReply) return;
      LogReply("BTGetFuncDesc: ");
      QueueRequest(kBtDetach);
      m_state = DfuState::DetachReply;
      return;
    case DfuState::DetachReply:
      if (!gotReply) return;
      LogReply("BTDetach: ");
      QueueRequest(kBtReset);
      m_state = DfuState::ResetReply;
      return;
    case DfuState::ResetReply:
      if (!gotReply) return;
      LogReply("BTReset: ");
      AwaitLoaderLink();
      return;
    case DfuState::WaitLoaderLink:
      if (!linkActive) return;
      QueueRequest(kBtGetStatus);
      m_state = DfuState::StatusReply;
      return;
    case DfuState::ClrStatusReply:
      if (!gotReply) return;
      if (m_blockCounter != 0) {
        // The chip refused part of the image: the download has failed.
        LogMessage("L::FirmwareUpgradeWriteB - dfuERROR, blocks sent[%d]", m_blockCounter);
        m_result = 0;
        m_state = DfuState::Done;
      } else if (m_recovering) {
        ConfirmIdle("BTClrStatus");
      } else {
        m_state = DfuState::WaitLoaderLink;
      }
      return;
    case DfuState::StatusReply: {
      if (!gotReply) return;
      const std::optional<std::uint8_t> bState = ReplyState();
      if (bState == kDfuDownloadIdle && m_recovering) {
        // A download this run did not begin: back to dfuIDLE, then from block 0.
        LogReply("BTGetStatus: ");
        QueueRequest(kBtAbort);
        m_state = DfuState::AbortReply;
      } else if (bState == kDfuIdle || bState == kDfuDownloadIdle) {
        m_recovering = false;
        m_state = DfuState::SendBlock;
      } else if (bState == kDfuError) {
        LogReply("BTGetStatus: ");
        QueueRequest(kBtClrStatus);
        m_state = DfuState::ClrStatusReply;
      } else {
        Clock::SleepMs(20);
        m_state = DfuState::WaitLoaderLink;
      }
      return;
    }
    case DfuState::AbortReply:
      if (!gotReply) return;
      LogReply("BTAbort: ");
      ConfirmIdle("BTAbort");
      return;
    case DfuState::IdleStatusReply:
      if (!gotReply) return;
      if (ReplyState() == kDfuIdle) {
        m_recovering = false;
        m_state = DfuState::SendBlock;
      } else {
        LogReply("BTGetStatus: ");
        RestartLoader();
      }
      return;
    case DfuState::LoaderResetReply:
      if (!gotReply) return;
      LogReply("BTReset: ");
      if (ReplyTaken()) {
        AwaitLoaderLink();
      } else {
        LogMessage("L::FirmwareUpgradeWriteB - BTReset refused");
        m_result = 0;
        m_state = DfuState::Done;
      }
      return;
    case DfuState::SendBlock:
      SendBlock();
      return;
    case DfuState::BlockReply: {
      if (!gotReply) return;
      if (!ReplyTaken()) LogReply("BTDownload: ");
      ++m_blockCounter;
      ShowBytesSent();
      QueueRequest(kBtGetStatus);
      m_state = DfuState::StatusReply;
      return;
    }
    case DfuState::LastBlockReply:
      if (!gotReply) return;
      LogReply("Last block: ");
      ++m_blockCounter;
      m_state = DfuState::FinalStatus;
      return;
    case DfuState::FinalStatus:
      QueueRequest(kBtGetStatus);
      m_state = DfuState::FinalStatusReply;
      return;
    case DfuState::FinalStatusReply: {
      if (!gotReply) return;
      const std::optional<std::uint8_t> bState = ReplyState();
      if (bState == kDfuIdle || bState == kDfuDownloadIdle) {
        QueueRequest(kBtReset);
        m_state = DfuState::FinalResetReply;
      } else {
        Clock::SleepMs(20);
        m_state = DfuState::FinalStatus;
      }
      return;
    }
    case DfuState::FinalResetReply:
      if (!gotReply) return;
      LogReply("BTReset: ");
      LogMessage("L::FirmwareUpgradeWriteB - Upgrade done");
      m_state = DfuState::Done;
      return;
    case DfuState::Done:
      return;
  }
}

// Recovery: the loader took the abort or clear status named by `request` only
// if it says so and then reports dfuIDLE; otherwise it is restarted afresh.
void CDfuDownload::ConfirmIdle(const char* request) {
  if (!ReplyTaken()) {
    LogMessage("L::FirmwareUpgradeWriteB - %s refused", request);
    RestartLoader();
    return;
  }
  QueueRequest(kBtGetStatus);
  m_state = DfuState::IdleStatusReply;
}

// The loader's own way back when its state cannot be cleared: the vendor reset
// restarts it with any download forgotten, and the download begins at block 0.
// Tried once; what the restarted loader reports then goes the usual way.
void CDfuDownload::RestartLoader() {
  LogMessage("L::FirmwareUpgradeWriteB - Loader not back in dfuIDLE, restarting it");
  m_recovering = false;
  QueueRequest(kBtReset);
  m_state = DfuState::LoaderResetReply;
}

// The chip restarts into its loader: the host's side of the link starts over
// after 300 ms, and the loader's status is asked once the link is up again.
void CDfuDownload::AwaitLoaderLink() {
  Clock::SleepMs(300);
  BcspLinkReset();
  m_state = DfuState::WaitLoaderLink;
}

void CDfuDownload::SendBlock() {
  const std::uint32_t count = std::min(m_remaining, kDfuBlockSize);
  const std::uint16_t blockNumber = static_cast<std::uint16_t>(m_blockCounter);
  const std::uint8_t header[kRequestHeaderLength] = {
      kDfuRequestTypeClassOut,
      kDfuDnload,
      static_cast<std::uint8_t>(blockNumber & 0xFF),
      static_cast<std::uint8_t>(blockNumber >> 8),
      0x00,
      0x00,
      static_cast<std::uint8_t>(count & 0xFF),
      static_cast<std::uint8_t>(count >> 8)};
  std::copy(std::begin(header), std::end(header), g_requestBuffer.begin());
  const auto block = m_image.subspan(m_readPosition, count);
  std::copy(block.begin(), block.end(), g_requestBuffer.begin() + kRequestHeaderLength);
  g_request.length = static_cast<std::uint16_t>(kRequestHeaderLength + count);
  BcspQueuePacket(&g_request);

  if (m_blockCounter % m_blocksPerStep == 0) m_progress.Stepped();
  m_remaining -= count;
  m_readPosition += count;
  m_state = count > 0 ? DfuState::BlockReply : DfuState::LastBlockReply;
}

void CDfuDownload::ShowBytesSent() { m_progress.BytesAcknowledged(m_size - m_remaining, m_size); }

}  // namespace

void DfuPace(std::int8_t countdown, bool endOnUartData) {
  if (countdown <= 0) return;
  const std::uint64_t deadline = Clock::QueryPerformanceCounter() +
                                 static_cast<std::uint64_t>(countdown) * (Clock::QueryPerformanceFrequency() / 5000);
  for (;;) {
    if (endOnUartData && UartRxPending()) return;
    const std::uint64_t now = Clock::QueryPerformanceCounter();
    if (now >= deadline) return;
    const std::chrono::nanoseconds left = ProgramCountsToReal(deadline - now);
    if (left > kSpinMargin) {
      if (endOnUartData) {
        UartRxWaitFor(left - kSpinMargin);
      } else {
        std::this_thread::sleep_for(left - kSpinMargin);
      }
    }
  }
}

int DownloadDfuImage(const HidHandle& device, const std::atomic<std::uint32_t>& readerStopped,
                     std::span<const std::uint8_t> image, CWriteProgress& progress) {
  if (image.size() > std::numeric_limits<std::uint32_t>::max()) return 0;
  const CFineTimerSlack timerSlack;
  CDfuDownload download(readerStopped, image, progress);
  return download.Run(device);
}
