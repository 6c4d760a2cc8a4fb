#pragma once
// The chip's BCSP link-layer peer: link establishment (SYNC, SYNC RESP, CONF,
// CONF RESP on channel 1), reliable packets with window 1, acknowledgements
// (carried in the reply's header and, on request, also as separate frames)
// and retransmission of unacknowledged replies. Pure logic: the caller passes
// the time and collects the encoded frames to write to the UART.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "emulator/bluetooth_chip/ChipFrame.h"

// What the link saw of the host, for the emulator's summary: a host that
// answers late makes the chip resend, and a host that gives a frame up for
// a new packet leaves a frame that ends before its header's length.
struct ChipLinkCounts {
  std::uint64_t hostFrames = 0;           // frames received whole and valid
  std::uint64_t retransmissions = 0;      // reliable packets the chip sent again
  std::uint64_t abandonedHostFrames = 0;  // frames cut short after a valid header
  std::uint64_t damagedHostFrames = 0;    // other frames dropped (checksum, CRC, length)
  std::uint64_t linkRestarts = 0;         // times the retransmission limit ended the link
};

class CChipLink {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  struct Timing {
    Duration syncInterval;  // repetition of SYNC and CONF until answered
    Duration retransmit;    // resend of an unacknowledged reliable packet
    // Resends of one packet after which the chip gives the link up and starts
    // link establishment again; 0 = no limit.
    std::uint32_t retransmitLimit = 0;
  };

  // A packet handed to or from the layer above.
  struct Packet {
    std::uint8_t channel = 0;
    bool reliable = true;
    std::vector<std::uint8_t> payload;
  };

  enum class EState { Off, Shy, Curious, Garrulous };

  CChipLink(Timing timing, bool pureAckBeforeReply);

  // Starts link establishment from scratch (after a restart): sequence numbers
  // 0, queued packets dropped, a SYNC now and then periodically.
  void Restart(TimePoint now);
  // Stops the link: nothing is sent or accepted until the next Restart.
  void Stop();

  // While set, link establishment is neither started nor answered.
  void SetLinkNeverUp(bool neverUp) { m_linkNeverUp = neverUp; }

  // Handles the unescaped contents of one received frame. Returns the packet
  // to hand to the layer above, if the frame delivered one.
  std::optional<Packet> OnFrame(std::span<const std::uint8_t> raw, TimePoint now);

  // Queues a reliable packet; it goes out as soon as the window is free.
  void Send(Packet packet);

  // Runs the timers: link-establishment repetition, first sending and retransmission.
  void Poll(TimePoint now);

  // The time at which Poll has work to do next; nullopt when there is none.
  std::optional<TimePoint> NextDeadline() const;

  // Encoded frames waiting for the UART, in order; the list is emptied.
  std::vector<std::vector<std::uint8_t>> TakeOutput();

  EState State() const { return m_state; }
  bool Active() const { return m_state == EState::Garrulous; }
  // True when no reliable packet waits to be sent or acknowledged.
  bool AllAcknowledged() const { return m_txQueue.empty(); }
  // True once since the last call when the peer restarted link establishment
  // while the link was active.
  bool TakePeerReset();

  const ChipLinkCounts& Counts() const { return m_counts; }

 private:
  void SendLinkMessage(std::span<const std::uint8_t, 4> message);
  void SendPureAck();
  void SendHead(TimePoint now);
  void HandleLinkMessage(std::span<const std::uint8_t> payload, TimePoint now);

  Timing m_timing;
  bool m_pureAckBeforeReply;
  bool m_linkNeverUp = false;
  EState m_state = EState::Off;
  TimePoint m_nextLinkMessage{};
  std::uint8_t m_txSeq = 0;
  std::uint8_t m_rxExpected = 0;
  std::deque<Packet> m_txQueue;  // the head is the packet in flight
  bool m_headSent = false;
  TimePoint m_headSentAt{};
  std::uint32_t m_headResends = 0;
  bool m_peerReset = false;
  std::vector<std::vector<std::uint8_t>> m_output;
  ChipLinkCounts m_counts;
};
