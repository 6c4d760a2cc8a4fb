#include "emulator/BluetoothChip.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "emulator/bluetooth_chip/ChipDfuLoader.h"
#include "emulator/bluetooth_chip/ChipFrame.h"
#include "emulator/bluetooth_chip/ChipLink.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr std::uint8_t kDfuChannel = 12;

// A uniform draw in [0, 1) that does not depend on the library's distributions,
// so a seed gives the same fault pattern everywhere.
double Uniform(std::mt19937& random) { return static_cast<double>(random() >> 8) / 16777216.0; }

// Applies the loss and corruption rates to one byte; false when it is lost.
bool PassByte(std::mt19937& random, double lossRate, double corruptRate, std::uint8_t& byte) {
  if (lossRate <= 0.0 && corruptRate <= 0.0) return true;
  const double draw = Uniform(random);
  if (draw < lossRate) return false;
  if (draw < lossRate + corruptRate) byte ^= static_cast<std::uint8_t>(1u << (random() % 8));
  return true;
}

}  // namespace

class CEmuBluetoothChip::CImpl {
 public:
  CImpl(Config config, SendFunction sendToHost)
      : m_config(config),
        m_send(std::move(sendToHost)),
        m_link({Scaled(config.syncIntervalMs), Scaled(config.retransmitMs), config.retransmitLimit},
               config.pureAckBeforeReply),
        m_loader({Scaled(config.blockBusyMs), Scaled(config.manifestMs)}, config.initialVersion, config.strictDfu,
                 config.basicDfu) {
    ApplyFaults(config.faults);
    m_link.Restart(SteadyClock::now());
    m_thread = std::thread([this] { Run(); });
  }

  ~CImpl() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }

  void OnUartBytes(std::span<const std::uint8_t> bytes) {
    {
      std::lock_guard lock(m_mutex);
      if (m_faults.stopResponding) return;
      for (std::uint8_t byte : bytes) {
        if (PassByte(m_hostToChipRandom, m_faults.hostToChipLossRate, m_faults.hostToChipCorruptRate, byte)) {
          m_rxBytes.push_back(byte);
        }
      }
    }
    m_wake.notify_all();
  }

  std::uint32_t VersionWord() const {
    std::lock_guard lock(m_mutex);
    return m_loader.VersionWord();
  }

  std::vector<std::uint8_t> StoredImage() const {
    std::lock_guard lock(m_mutex);
    return m_loader.StoredImage();
  }

  bool RunningLoader() const {
    std::lock_guard lock(m_mutex);
    return m_loader.RunningLoader();
  }

  ChipLinkCounts LinkCounts() const {
    std::lock_guard lock(m_mutex);
    return m_link.Counts();
  }

  ChipDfuProgress DfuProgress() const {
    std::lock_guard lock(m_mutex);
    return {m_loader.RunningLoader(), m_loader.State(), m_loader.NextBlock(), m_link.Active()};
  }

  std::uint64_t RefusedRequests() const {
    std::lock_guard lock(m_mutex);
    return m_loader.RefusedRequests() + m_refusedOpenings;
  }

  void PowerCycle() {
    {
      std::lock_guard lock(m_mutex);
      m_rxBytes.clear();
      m_link.Stop();
      m_decoder.Reset();
      m_loader.PowerCycle();
      m_power = EPower::Restarting;
      m_powerDeadline = SteadyClock::now() + Scaled(m_config.restartDelayMs);
    }
    m_wake.notify_all();
  }

  void SetFaults(const Faults& faults) {
    {
      std::lock_guard lock(m_mutex);
      ApplyFaults(faults);
    }
    m_wake.notify_all();
  }

 private:
  // Running: answering requests. AwaitingResetAck: a reset was answered and the
  // chip waits for the host to take the reply before it goes down.
  // Restarting: silent until the restart delay has passed.
  enum class EPower { Running, AwaitingResetAck, Restarting };

  CChipLink::Duration Scaled(std::uint32_t ms) const {
    const double scale = m_config.timeScale > 0.0 ? m_config.timeScale : 1.0;
    return std::chrono::duration_cast<CChipLink::Duration>(std::chrono::duration<double, std::milli>(ms / scale));
  }

  void ApplyFaults(const Faults& faults) {
    m_faults = faults;
    m_hostToChipRandom.seed(faults.seed);
    m_chipToHostRandom.seed(faults.seed ^ 0x9E3779B9u);
    m_link.SetLinkNeverUp(faults.linkNeverUp);
    CChipDfuLoader::Faults loaderFaults;
    loaderFaults.errorBeforeFirstBlock = faults.dfuError == EDfuErrorFault::BeforeFirstBlock;
    loaderFaults.errorNeverClears = faults.dfuError == EDfuErrorFault::NeverClears;
    loaderFaults.errorAtBlock = faults.errorAtBlock;
    loaderFaults.statusNeverSettles = faults.statusNeverSettles;
    m_loader.SetFaults(loaderFaults);
  }

  void Run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
      Step(SteadyClock::now());
      std::vector<std::vector<std::uint8_t>> frames = m_link.TakeOutput();
      if (!frames.empty()) {
        if (m_faults.stopResponding) continue;
        for (auto& frame : frames) ApplyOutputFaults(frame);
        lock.unlock();
        for (const auto& frame : frames) {
          if (!frame.empty()) m_send(frame);
        }
        lock.lock();
        continue;
      }
      const std::optional<TimePoint> deadline = NextDeadline();
      const auto woken = [this] { return m_stop || !m_rxBytes.empty(); };
      if (deadline) {
        m_wake.wait_until(lock, *deadline, woken);
      } else {
        m_wake.wait(lock, woken);
      }
    }
  }

  void ApplyOutputFaults(std::vector<std::uint8_t>& frame) {
    std::vector<std::uint8_t> passed;
    passed.reserve(frame.size());
    for (std::uint8_t byte : frame) {
      if (PassByte(m_chipToHostRandom, m_faults.chipToHostLossRate, m_faults.chipToHostCorruptRate, byte)) {
        passed.push_back(byte);
      }
    }
    frame.swap(passed);
  }

  std::optional<TimePoint> NextDeadline() const {
    std::optional<TimePoint> deadline = m_link.NextDeadline();
    if (m_power != EPower::Running && (!deadline || m_powerDeadline < *deadline)) deadline = m_powerDeadline;
    return deadline;
  }

  void Step(TimePoint now) {
    while (!m_rxBytes.empty()) {
      const std::uint8_t byte = m_rxBytes.front();
      m_rxBytes.pop_front();
      if (m_power == EPower::Restarting) continue;
      if (std::optional<std::vector<std::uint8_t>> raw = m_decoder.Push(byte)) HandleFrame(*raw, now);
    }

    if (m_power == EPower::AwaitingResetAck && (m_link.AllAcknowledged() || now >= m_powerDeadline)) {
      GoDown(now);
    }
    if (m_power == EPower::Restarting && now >= m_powerDeadline) {
      const bool stuck = (m_loader.RunningLoader() && m_faults.neverReturns == EResetFault::IntoLoader) ||
                         (!m_loader.RunningLoader() && m_faults.neverReturns == EResetFault::IntoApplication);
      if (stuck) {
        m_powerDeadline = now + Scaled(m_config.restartDelayMs);
      } else {
        m_power = EPower::Running;
        m_link.Restart(now);
      }
    }
    m_link.Poll(now);
  }

  void HandleFrame(std::span<const std::uint8_t> raw, TimePoint now) {
    std::optional<CChipLink::Packet> packet = m_link.OnFrame(raw, now);
    if (m_link.TakePeerReset() && m_power == EPower::AwaitingResetAck) {
      // The host has moved on without acknowledging the reset reply.
      GoDown(now);
      return;
    }
    if (!packet || m_power != EPower::Running) return;

    CChipDfuLoader::Reply reply;
    if (packet->channel == kDfuChannel) {
      reply = m_loader.HandleRequest(packet->payload, now);
    } else if (m_loader.Strict() && m_loader.RunningLoader()) {
      // The opening message is the application's: a strict loader refuses it.
      ++m_refusedOpenings;
      reply.payload = {1, 0, 0, 0};
    } else {
      // The host's opening message: a result of 0 and whether the loader runs.
      reply.payload = {0, 0, 0, 0, static_cast<std::uint8_t>(m_loader.RunningLoader() ? 1 : 0)};
    }
    m_link.Send({packet->channel, true, std::move(reply.payload)});
    if (reply.after != CChipDfuLoader::EAfterReply::None) {
      m_power = EPower::AwaitingResetAck;
      m_restartIntoLoader = reply.after == CChipDfuLoader::EAfterReply::RestartIntoLoader;
      m_powerDeadline = now + Scaled(m_config.resetAckWaitMs);
    }
  }

  // The chip resets: the link drops at once and the chip stays silent for the
  // restart delay.
  void GoDown(TimePoint now) {
    m_link.Stop();
    m_decoder.Reset();
    m_loader.Restart(m_restartIntoLoader);
    m_power = EPower::Restarting;
    m_powerDeadline = now + Scaled(m_config.restartDelayMs);
  }

  const Config m_config;
  const SendFunction m_send;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  Faults m_faults;
  std::mt19937 m_hostToChipRandom;
  std::mt19937 m_chipToHostRandom;
  std::deque<std::uint8_t> m_rxBytes;
  CChipFrameDecoder m_decoder;
  CChipLink m_link;
  CChipDfuLoader m_loader;
  EPower m_power = EPower::Running;
  bool m_restartIntoLoader = false;
  std::uint64_t m_refusedOpenings = 0;
  TimePoint m_powerDeadline{};
  std::thread m_thread;  // last: starts after every other member exists
};

CEmuBluetoothChip::CEmuBluetoothChip(Config config, SendFunction sendToHost)
    : m_impl(std::make_unique<CImpl>(config, std::move(sendToHost))) {}

CEmuBluetoothChip::~CEmuBluetoothChip() = default;

void CEmuBluetoothChip::OnUartBytes(std::span<const std::uint8_t> bytes) { m_impl->OnUartBytes(bytes); }

std::uint32_t CEmuBluetoothChip::VersionWord() const { return m_impl->VersionWord(); }

std::vector<std::uint8_t> CEmuBluetoothChip::StoredImage() const { return m_impl->StoredImage(); }

bool CEmuBluetoothChip::RunningLoader() const { return m_impl->RunningLoader(); }

ChipDfuProgress CEmuBluetoothChip::DfuProgress() const { return m_impl->DfuProgress(); }

std::uint64_t CEmuBluetoothChip::RefusedRequests() const { return m_impl->RefusedRequests(); }

void CEmuBluetoothChip::PowerCycle() { m_impl->PowerCycle(); }

void CEmuBluetoothChip::SetFaults(const Faults& faults) { m_impl->SetFaults(faults); }

ChipLinkCounts CEmuBluetoothChip::LinkCounts() const { return m_impl->LinkCounts(); }
