#include "emulator/DeviceEmulator.h"

#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "emulator/GadgetFrontEnd.h"
#include "emulator/UhidFrontEnd.h"
#include "emulator/VhidFrontEnd.h"

namespace {
constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr double kInterruptIntervalMs = 1.0;  // full-speed USB: one interrupt transfer per frame
constexpr double kResetAfterAnswerMs = 1.0;   // the device resets just after its last answer
// Input reports the device holds for a host that does not poll them (a USB
// host that has not opened the device); older ones are dropped beyond it.
constexpr std::size_t kMaxQueuedReports = 4096;
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
  return StartFrontEnd(std::make_unique<CVhidFrontEnd>(Sink(), m_trace, busDirectory, m_config.busForm));
}

bool CDeviceEmulator::StartOnUhid(const std::string& uhidNode) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  return StartFrontEnd(std::make_unique<CUhidFrontEnd>(Sink(), m_trace, uhidNode));
}

bool CDeviceEmulator::StartOnUsbGadget(const std::string& udc) {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return false;
  return StartFrontEnd(std::make_unique<CGadgetFrontEnd>(Sink(), m_trace, udc, m_config));
}

bool CDeviceEmulator::StartFrontEnd(std::unique_ptr<CEmuFrontEnd> frontEnd) {
  m_frontEnd = std::move(frontEnd);
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
  m_loopThread.Release();  // the set-up above ran on the caller's thread
  m_thread = std::thread([this] { Run(); });
  return true;
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
  m_loopThread.Release();
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
  m_loopThread.Check("the emulator's schedule");
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

// Runs `action` when the answer to the request being handled is due, or at once outside a request.
void CDeviceEmulator::AfterAnswer(std::function<void()> action) {
  if (m_inRequest) {
    m_afterAnswer.push_back(std::move(action));
    return;
  }
  action();
}

// ---- the loop ----

void CDeviceEmulator::Run() {
  // The loop waits in ppoll until the next due time; with the kernel's default
  // 50 µs timer slack every modelled 1 ms transfer would end about 5 % late.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  std::unique_lock lock(m_mutex);
  std::vector<pollfd> fds;
  while (!m_stopping) {
    RunDue();
    PumpInput();
    m_frontEnd->Flush();

    const double next = std::min(NextPumpTime(), m_schedule.empty() ? kNever : m_schedule.begin()->first);
    std::optional<timespec> timeout = PollTimeout(next);
    fds.assign(1, {m_wakeFd, POLLIN, 0});
    m_frontEnd->PollDescriptors(fds);

    lock.unlock();
    const int ready = ppoll(fds.data(), fds.size(), timeout ? &*timeout : nullptr, nullptr);
    lock.lock();
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t value = 0;
      if (read(m_wakeFd, &value, sizeof value) < 0) {
        // Nothing to take: another read emptied the counter.
      }
    }
    m_frontEnd->Serve(std::span(fds).subspan(1));
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
  EmuIdentity identity;
  identity.productId = m_productId;
  identity.product = m_firmware->InBootloader() ? m_config.bootloaderProductString : m_config.productString;
  identity.interruptOut = InterruptOutPresent();
  identity.refuseConnections = m_firmware->InBootloader() && m_faults.loaderRefusesConnections;
  if (!m_frontEnd->Attach(identity)) return;
  m_present = true;
  ++m_counters.attaches;
  m_inputSlotFreeAt = Now();
}

bool CDeviceEmulator::InterruptOutPresent() const {
  return m_firmware->InBootloader() ? m_config.bootloaderInterruptOut : m_config.applicationInterruptOut;
}

bool CDeviceEmulator::HostConnected() const { return m_frontEnd && m_frontEnd->HostConnected(); }

void CDeviceEmulator::Detach(const char* why) {
  const std::string name = m_frontEnd->Name();
  m_frontEnd->Detach(why);
  m_trace.Event(Now(), "DETACH", name + ": " + why);
  m_present = false;
  ++m_busGeneration;
  m_inputQueue.clear();
  m_uartToHost.clear();
}

void CDeviceEmulator::OnHostConnected(const std::string& where, bool pollsFromNow) {
  ++m_counters.connections;
  if (pollsFromNow) m_inputSlotFreeAt = Now();
  m_trace.Event(Now(), "CONNECT", where);
}

void CDeviceEmulator::OnHostDisconnected(const char* why) {
  ++m_connectionGeneration;
  m_inputQueue.clear();
  m_trace.Event(Now(), "DISCONNECT", why);
}

// ---- requests ----

void CDeviceEmulator::OnHostRequest(EVhidType type, std::span<const std::uint8_t> payload, EEmuAnswerScope scope,
                                    EmuAnswer answer) {
  m_loopThread.Check("a host request");
  m_trace.Transfer(Now(), "h2d", VhidTypeName(type), payload);
  ++m_counters.transfers;
  const bool timed = m_config.timing == EmuTiming::FullSpeed;
  const bool unpaced = m_frontEnd->OutputReportsUnpaced() && type == EVhidType::Output;
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

  const Scheduled::EScope answerScope =
      scope == EEmuAnswerScope::Connection ? Scheduled::EScope::Connection : Scheduled::EScope::Bus;
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
  ScheduleFaultsAfterRequest(type, payload);
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

// ---- what the firmware asks for ----

void CDeviceEmulator::SendInputReport(std::vector<std::uint8_t> report, double delayMs) {
  if (m_inRequest) {
    m_pendingReports.emplace_back(std::move(report), delayMs);
    return;
  }
  Schedule(Now() + delayMs, Scheduled::EScope::Bus,
           [this, report = std::move(report)]() mutable { QueueInput(std::move(report)); });
}

// The reports leave as the pump sends them; a front end whose host polls for
// them holds them until it does, which a host may never do.
void CDeviceEmulator::QueueInput(std::vector<std::uint8_t> report) {
  if (m_frontEnd->InputQueueBounded() && m_inputQueue.size() >= kMaxQueuedReports) {
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
  AfterAnswer([this, restart] { Schedule(Now() + kResetAfterAnswerMs, Scheduled::EScope::Bus, restart); });
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
  if (m_frontEnd->InputPipeBusy()) return kNever;  // the front end wakes the loop when it is free
  if (!m_inputQueue.empty()) return m_inputSlotFreeAt;
  if (!m_uartToHost.empty()) return std::max(m_inputSlotFreeAt, m_uartToHost.front().first);
  return kNever;
}

void CDeviceEmulator::PumpInput() {
  m_loopThread.Check("the emulator's input pump");
  if (!HostConnected()) {
    m_inputQueue.clear();
    return;
  }
  const double interval = m_config.timing == EmuTiming::FullSpeed ? kInterruptIntervalMs : 0.0;
  while (HostConnected()) {
    const double now = Now();
    if (now < m_inputSlotFreeAt) return;
    if (m_frontEnd->InputPipeBusy()) return;
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
    m_frontEnd->SendInput(report);
    m_inputSlotFreeAt = now + interval;
  }
}
