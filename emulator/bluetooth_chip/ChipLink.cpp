#include "emulator/bluetooth_chip/ChipLink.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint8_t kLinkChannel = 1;
constexpr std::uint8_t kAckChannel = 0;

using LinkMessage = std::array<std::uint8_t, 4>;
constexpr LinkMessage kSync = {0xDA, 0xDC, 0xED, 0xED};
constexpr LinkMessage kSyncResp = {0xAC, 0xAF, 0xEF, 0xEE};
constexpr LinkMessage kConf = {0xAD, 0xEF, 0xAC, 0xED};
constexpr LinkMessage kConfResp = {0xDE, 0xAD, 0xD0, 0xD0};

bool Matches(std::span<const std::uint8_t> payload, const LinkMessage& message) {
  return payload.size() == message.size() && std::equal(message.begin(), message.end(), payload.begin());
}

// A frame whose header is sound but which ended before the length it
// announces: the sender began a new frame instead of finishing this one.
bool CutShortAfterHeader(std::span<const std::uint8_t> raw) {
  if (raw.size() < 4 || static_cast<std::uint8_t>(raw[0] + raw[1] + raw[2] + raw[3]) != 0xFF) return false;
  const std::size_t length = static_cast<std::size_t>((raw[1] >> 4) | (raw[2] << 4));
  const std::size_t crc = (raw[0] & 0x40) != 0 ? 2 : 0;
  return raw.size() < 4 + length + crc;
}

}  // namespace

CChipLink::CChipLink(Timing timing, bool pureAckBeforeReply)
    : m_timing(timing), m_pureAckBeforeReply(pureAckBeforeReply) {}

void CChipLink::Restart(TimePoint now) {
  m_state = EState::Shy;
  m_txSeq = 0;
  m_rxExpected = 0;
  m_txQueue.clear();
  m_headSent = false;
  if (!m_linkNeverUp) SendLinkMessage(kSync);
  m_nextLinkMessage = now + m_timing.syncInterval;
}

void CChipLink::Stop() {
  m_state = EState::Off;
  m_txQueue.clear();
  m_headSent = false;
  m_output.clear();
}

std::optional<CChipLink::Packet> CChipLink::OnFrame(std::span<const std::uint8_t> raw, TimePoint now) {
  if (m_state == EState::Off) return std::nullopt;
  std::optional<ChipFrame> frame = ParseChipFrame(raw);
  if (!frame) {  // damaged: the host sends it again
    ++(CutShortAfterHeader(raw) ? m_counts.abandonedHostFrames : m_counts.damagedHostFrames);
    return std::nullopt;
  }
  ++m_counts.hostFrames;

  if (frame->channel == kLinkChannel && !frame->reliable) {
    HandleLinkMessage(frame->payload, now);
    return std::nullopt;
  }

  if (m_state == EState::Shy) return std::nullopt;
  // Data from the host proves it took our CONF RESP: the link is up even if
  // its answer to our own CONF was lost.
  m_state = EState::Garrulous;

  if (!m_txQueue.empty() && m_headSent && frame->ack == ((m_txSeq + 1) & 7)) {
    m_txQueue.pop_front();
    m_txSeq = (m_txSeq + 1) & 7;
    m_headSent = false;
  }

  if (frame->payload.empty()) return std::nullopt;
  if (!frame->reliable) return Packet{frame->channel, false, std::move(frame->payload)};

  if (frame->seq != m_rxExpected) {
    // A repeat of a packet already taken: our acknowledgement was lost.
    SendPureAck();
    return std::nullopt;
  }
  m_rxExpected = (m_rxExpected + 1) & 7;
  if (m_pureAckBeforeReply) SendPureAck();
  return Packet{frame->channel, true, std::move(frame->payload)};
}

void CChipLink::HandleLinkMessage(std::span<const std::uint8_t> payload, TimePoint now) {
  if (m_linkNeverUp) return;
  if (Matches(payload, kSync)) {
    if (m_state == EState::Garrulous) {
      // The host started over: so do we.
      m_peerReset = true;
      Restart(now);
    }
    SendLinkMessage(kSyncResp);
  } else if (Matches(payload, kSyncResp)) {
    if (m_state == EState::Shy) {
      m_state = EState::Curious;
      SendLinkMessage(kConf);
      m_nextLinkMessage = now + m_timing.syncInterval;
    }
  } else if (Matches(payload, kConf)) {
    if (m_state != EState::Shy) SendLinkMessage(kConfResp);
  } else if (Matches(payload, kConfResp)) {
    if (m_state == EState::Curious) m_state = EState::Garrulous;
  }
}

void CChipLink::Send(Packet packet) {
  if (m_state == EState::Off) return;
  m_txQueue.push_back(std::move(packet));
}

void CChipLink::Poll(TimePoint now) {
  if (m_state == EState::Off) return;
  if ((m_state == EState::Shy || m_state == EState::Curious) && now >= m_nextLinkMessage) {
    if (!m_linkNeverUp) SendLinkMessage(m_state == EState::Shy ? kSync : kConf);
    m_nextLinkMessage = now + m_timing.syncInterval;
  }
  if (m_state == EState::Garrulous && !m_txQueue.empty() &&
      (!m_headSent || now >= m_headSentAt + m_timing.retransmit)) {
    if (m_headSent && m_timing.retransmitLimit != 0 && m_headResends >= m_timing.retransmitLimit) {
      // The host has not taken the packet: the link is given up.
      ++m_counts.linkRestarts;
      Restart(now);
      return;
    }
    SendHead(now);
  }
}

std::optional<CChipLink::TimePoint> CChipLink::NextDeadline() const {
  switch (m_state) {
    case EState::Off:
      return std::nullopt;
    case EState::Shy:
    case EState::Curious:
      return m_nextLinkMessage;
    case EState::Garrulous:
      if (m_txQueue.empty()) return std::nullopt;
      return m_headSent ? m_headSentAt + m_timing.retransmit : TimePoint{};
  }
  return std::nullopt;
}

std::vector<std::vector<std::uint8_t>> CChipLink::TakeOutput() {
  std::vector<std::vector<std::uint8_t>> output;
  output.swap(m_output);
  return output;
}

bool CChipLink::TakePeerReset() {
  const bool peerReset = m_peerReset;
  m_peerReset = false;
  return peerReset;
}

void CChipLink::SendLinkMessage(std::span<const std::uint8_t, 4> message) {
  ChipFrame frame;
  frame.channel = kLinkChannel;
  frame.payload.assign(message.begin(), message.end());
  m_output.push_back(EncodeChipFrame(frame));
}

void CChipLink::SendPureAck() {
  ChipFrame frame;
  frame.channel = kAckChannel;
  frame.ack = m_rxExpected;
  m_output.push_back(EncodeChipFrame(frame));
}

void CChipLink::SendHead(TimePoint now) {
  const Packet& packet = m_txQueue.front();
  ChipFrame frame;
  frame.reliable = true;
  frame.seq = m_txSeq;
  frame.ack = m_rxExpected;
  frame.channel = packet.channel;
  frame.payload = packet.payload;
  m_output.push_back(EncodeChipFrame(frame));
  if (m_headSent) {
    ++m_counts.retransmissions;
    ++m_headResends;
  } else {
    m_headResends = 0;
  }
  m_headSent = true;
  m_headSentAt = now;
}
