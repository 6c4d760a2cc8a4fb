#include "bench/bluetooth/BluetoothFloor.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "bluetooth/testing/BcspFrames.h"

namespace {

constexpr std::size_t kBlock = 1023;
constexpr std::size_t kReportData = 60;    // UART bytes per output report
constexpr std::size_t kInputData = 28;     // UART bytes per input report
constexpr double kBusySleepMs = 20;

// Every link-establishment message, both ways, is modelled as a SYNC frame.
const bcsp_test::Frame kLeFrame{.channel = 1, .payload = {0xDA, 0xDC, 0xED, 0xED}};

class CFloorSimulation {
 public:
  CFloorSimulation(const FloorModel& model, FloorBreakdown& out)
      : m_model(model), m_byteMs(10.0 * 1000.0 / model.baud), m_out(out) {}

  double Now() const { return m_t; }
  void Sleep(double ms, bool busy = false) {
    m_t += ms;
    (busy ? m_out.busySleepMs : m_out.fixedSleepMs) += ms;
  }
  void ClassRequest() { m_t += m_model.classRequestMs; }

  // The host writes a frame in reports of up to 60 bytes, back to back, the
  // first beginning with the opening delimiter. Each report's bytes enter the UART as the
  // report arrives. Returns when the chip has the whole frame.
  double HostFrame(const std::vector<std::uint8_t>& frame) {
    ++m_out.hostFrames;
    std::vector<std::uint8_t> wire = std::exchange(m_ahead, {});
    wire.insert(wire.end(), frame.begin(), frame.end());
    m_out.hostWireBytes += wire.size();
    std::vector<std::size_t> reports;
    for (std::size_t left = wire.size(); left > 0; left -= std::min(left, kReportData))
      reports.push_back(std::min(left, kReportData));
    for (const std::size_t n : reports) {
      m_uartTxFree = std::max(m_t, m_uartTxFree) + static_cast<double>(n) * m_byteMs;
      m_t += m_model.classRequestMs;
      ++m_out.hostReports;
      m_out.usbOutMs += m_model.classRequestMs;
    }
    return m_uartTxFree;
  }

  // The chip writes a frame at `at`; the host has it once the interrupt-in
  // report carrying its last byte has gone out.
  double ChipFrame(double at, std::size_t wireBytes) {
    std::vector<double> arrival;
    for (std::size_t i = 0; i < wireBytes; ++i) {
      m_uartRxFree = std::max(at, m_uartRxFree) + m_byteMs;
      arrival.push_back(m_uartRxFree);
    }
    std::size_t next = 0;
    double sent = at;
    while (next < arrival.size()) {
      sent = std::max(m_slotFree, arrival[next]);
      std::size_t taken = 0;
      while (next < arrival.size() && taken < kInputData && arrival[next] <= sent) {
        ++next;
        ++taken;
      }
      m_slotFree = sent + m_model.interruptMs;
    }
    return sent;
  }

  // One reliable request and the chip's reliable answer. Returns when the chip had the request.
  double RoundTrip(std::uint8_t channel, std::span<const std::uint8_t> request, std::size_t answerLength) {
    const bcsp_test::Frame frame{.seq = m_hostSeq, .ack = m_hostAck, .reliable = true, .channel = channel,
                                 .payload = {request.begin(), request.end()}};
    const double chipAt = HostFrame(bcsp_test::EncodeFrame(frame));
    m_hostSeq = (m_hostSeq + 1) & 7;
    const bcsp_test::Frame answer{.seq = m_hostAck, .ack = m_hostSeq, .reliable = true, .channel = channel,
                                  .payload = std::vector<std::uint8_t>(answerLength, 0)};
    m_t = std::max(m_t, ChipFrame(chipAt, bcsp_test::EncodeFrame(answer).size()));
    m_hostAck = (m_hostAck + 1) & 7;
    return chipAt;
  }

  // Link establishment: SYNC, SYNC, CONF each answered.
  void LinkUp() {
    for (int message = 0; message < 3; ++message) {
      const std::vector<std::uint8_t> wire = bcsp_test::EncodeFrame(kLeFrame);
      const double chipAt = HostFrame(wire);
      m_t = std::max(m_t, ChipFrame(chipAt, wire.size()));
    }
  }

  // A link reset after a chip reset: the host's first SYNC makes the chip go
  // down, it comes back after its restart delay and the link is set up.
  void RelinkAfterReset() {
    m_hostSeq = m_hostAck = 0;
    const double chipAt = HostFrame(bcsp_test::EncodeFrame(kLeFrame));
    m_t = std::max(m_t, chipAt + m_model.restartDelayMs);
    m_out.chipRestartMs += m_model.restartDelayMs;
    LinkUp();
  }

  // A pure acknowledgement ahead of a block: after an idle status answer the
  // next pump starts the acknowledgement before the state machine queues the
  // block, which abandons it after its opening delimiter; the acknowledgement
  // is still owed and goes out ahead of the block, in the block's first
  // report, which the abandoned delimiter shares too. (Ahead of a status
  // request after a busy pause, the request itself is short and carries the
  // acknowledgement.)
  void AckAhead() {
    const std::vector<std::uint8_t> ack = bcsp_test::EncodeFrame({.ack = m_hostAck, .channel = 0, .payload = {}});
    m_ahead = {0xC0};
    m_ahead.insert(m_ahead.end(), ack.begin(), ack.end());
    ++m_out.hostFrames;
    ++m_out.acksAhead;
  }

  // Status requests until the chip is no longer busy. A busy answer is
  // followed by the 20 ms pause; an idle one by the acknowledgement ahead of
  // the block, unless `idleQueuesAtOnce` (the final poll queues the reset in
  // the same pass).
  void PollStatus(double busyUntil, bool idleQueuesAtOnce = false) {
    static constexpr std::array<std::uint8_t, 8> kGetStatus{0xA1, 0x03, 0, 0, 0, 0, 0x06, 0};
    for (;;) {
      const bool busy = RoundTrip(12, kGetStatus, 10) < busyUntil;
      if (busy) {
        ++m_out.busyAnswers;
        Sleep(kBusySleepMs, true);
      } else if (!idleQueuesAtOnce) {
        AckAhead();
      }
      if (!busy) return;
    }
  }

 private:
  const FloorModel& m_model;
  const double m_byteMs;
  FloorBreakdown& m_out;
  double m_t = 0;
  double m_uartTxFree = 0;
  double m_uartRxFree = 0;
  double m_slotFree = -std::numeric_limits<double>::infinity();
  std::uint8_t m_hostSeq = 0;
  std::uint8_t m_hostAck = 0;
  std::vector<std::uint8_t> m_ahead;  // an acknowledgement that rides in the next frame's first report
};

}  // namespace

FloorBreakdown ComputeDownloadFloor(std::span<const std::uint8_t> image, const FloorModel& model) {
  FloorBreakdown out;
  CFloorSimulation sim(model, out);
  sim.ClassRequest();  // bridge on
  sim.LinkUp();
  sim.Sleep(50);
  sim.Sleep(20 * 10.0);  // twenty polls for a packet nobody sends
  {
    // The opening message goes out one segment per poll, 10 ms apart: the
    // opening delimiter, header, payload, then CRC and closing delimiter,
    // which sends the frame's one report; the answer is taken at the next poll.
    const std::vector<std::uint8_t> wire =
        bcsp_test::EncodeFrame({.reliable = true, .channel = 13, .payload = {0x03, 0x00, 0x01, 0x00, 0x21, 0x40}});
    sim.Sleep(30);
    sim.HostFrame(wire);
    sim.Sleep(10);
  }
  sim.Sleep(500);
  static constexpr std::array<std::uint8_t, 8> kGetDevice{0xC1, 0x08, 0, 0, 0, 0, 0x0C, 0};
  static constexpr std::array<std::uint8_t, 8> kGetFuncDesc{0xC1, 0x09, 0, 0, 0, 0, 0x07, 0};
  static constexpr std::array<std::uint8_t, 8> kDetach{0x21, 0x00, 0x88, 0x13, 0, 0, 0, 0};
  static constexpr std::array<std::uint8_t, 8> kReset{0x41, 0x07, 0, 0, 0, 0, 0, 0};
  sim.RoundTrip(12, kGetDevice, 16);
  sim.RoundTrip(12, kGetFuncDesc, 11);
  sim.RoundTrip(12, kDetach, 4);
  sim.RoundTrip(12, kReset, 4);
  sim.Sleep(300);
  sim.RelinkAfterReset();
  sim.PollStatus(0);

  std::vector<std::uint8_t> request(8 + kBlock);
  std::size_t offset = 0;
  std::uint16_t block = 0;
  for (;;) {
    const std::size_t n = std::min(kBlock, image.size() - offset);
    request.assign({0x21, 0x01, static_cast<std::uint8_t>(block & 0xFF), static_cast<std::uint8_t>(block >> 8), 0, 0,
                    static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8)});
    request.insert(request.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                   image.begin() + static_cast<std::ptrdiff_t>(offset + n));
    const double blockStart = sim.Now();
    const double chipAt = sim.RoundTrip(12, request, 4);
    if (n == 0) {
      sim.PollStatus(chipAt + model.manifestMs, true);
      break;
    }
    sim.PollStatus(chipAt + model.blockBusyMs);
    if (block == 0) out.perBlockMs = sim.Now() - blockStart;
    offset += n;
    ++block;
  }
  sim.RoundTrip(12, kReset, 4);
  sim.Sleep(500);
  sim.RelinkAfterReset();
  out.totalMs = sim.Now();
  return out;
}
