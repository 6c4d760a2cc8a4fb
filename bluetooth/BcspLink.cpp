#include "bluetooth/BcspLink.h"

#include <algorithm>
#include <cstdio>

#include "bluetooth/UartBridge.h"

BcspLinkContext BcspLink;

// Unreliable, CRC present, seq 0, ack 0, channel 1, payload length 4, checksum.
const std::array<std::uint8_t, 4> kLeHeader{0x40, 0x41, 0x00, 0x7E};

// Indexed by BCSP_LE_SYNC .. BCSP_LE_CONF_RESP.
const std::array<std::array<std::uint8_t, 4>, 4> kLeMessages{{
    {0xDA, 0xDC, 0xED, 0xED},  // SYNC
    {0xAC, 0xAF, 0xEF, 0xEE},  // SYNC RESP
    {0xAD, 0xEF, 0xAC, 0xED},  // CONF
    {0xDE, 0xAD, 0xD0, 0xD0},  // CONF RESP
}};

// The next message to send, by leEvent (row) and linkState (column).
const std::array<std::array<std::uint8_t, 4>, 3> kLeNextTable{{
    {BCSP_LE_SYNC, BCSP_LE_CONF, BCSP_LE_NONE, BCSP_LE_NONE},
    {BCSP_LE_SYNC_RESP, BCSP_LE_SYNC_RESP, BCSP_LE_NONE, BCSP_LE_NONE},
    {BCSP_LE_NONE, BCSP_LE_CONF_RESP, BCSP_LE_CONF_RESP, BCSP_LE_NONE},
}};

const std::array<std::uint16_t, 16> kBcspCrcTable = [] {
  std::array<std::uint16_t, 16> table{};
  for (std::uint16_t n = 0; n < 16; ++n) table[n] = static_cast<std::uint16_t>(n * 0x1081);
  return table;
}();

std::uint16_t BcspCrcUpdate(std::uint16_t crc, std::uint8_t byte) {
  crc = static_cast<std::uint16_t>((crc >> 4) ^ kBcspCrcTable[(crc ^ byte) & 0x0F]);
  crc = static_cast<std::uint16_t>((crc >> 4) ^ kBcspCrcTable[(crc ^ (byte >> 4)) & 0x0F]);
  return crc;
}

std::uint16_t BcspCrcReverse(std::uint16_t crc) {
  std::uint16_t reversed = 0;
  for (int bit = 0; bit < 16; ++bit) {
    if (crc & (1u << bit)) reversed = static_cast<std::uint16_t>(reversed | (1u << (15 - bit)));
  }
  return reversed;
}

namespace {

constexpr std::uint8_t kDelimiter = 0xC0;
constexpr std::uint8_t kEscape = 0xDB;
constexpr std::uint8_t kEscapedDelimiter = 0xDC;
constexpr std::uint8_t kEscapedEscape = 0xDD;
constexpr int kNoMatch = -1;

// Link-establishment texts are formatted and discarded: they never reach the log file.
void BcspTrace(const char* text) {
  char line[64];
  std::snprintf(line, sizeof line, "%s", text);
  static_cast<void>(line);
}

std::uint8_t HeaderChecksum(const std::uint8_t* header) {
  return static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
}

void BcspPutEscapedByte(std::uint8_t byte) {
  if (byte == kDelimiter) {
    UartPutByte(kEscape);
    UartPutByte(kEscapedDelimiter);
  } else if (byte == kEscape) {
    UartPutByte(kEscape);
    UartPutByte(kEscapedEscape);
  } else {
    UartPutByte(byte);
  }
}

void BcspStartFrame(std::uint8_t* header, bool computeChecksum, const std::uint8_t* payload,
                    std::int32_t length) {
  BcspLinkContext& link = BcspLink;
  if (computeChecksum) header[3] = HeaderChecksum(header);
  link.txCursor = header;
  link.txRemaining = 4;
  link.txNext = payload;
  link.txNextLength = length;
  link.txCrc = 0xFFFF;
  link.crcPending = true;
}

// Same as BcspStartFrame for the constant link-establishment header, whose
// checksum is part of the table.
void BcspStartLeFrame(const std::uint8_t* message) {
  BcspLinkContext& link = BcspLink;
  link.txCursor = kLeHeader.data();
  link.txRemaining = 4;
  link.txNext = message;
  link.txNextLength = 4;
  link.txCrc = 0xFFFF;
  link.crcPending = true;
}

// Sends the rest of the current segment and moves to the next one. Returns
// true when this completed the frame (closing delimiter written).
bool BcspSendSegment() {
  BcspLinkContext& link = BcspLink;
  for (std::int32_t i = 0; i < link.txRemaining; ++i) {
    const std::uint8_t byte = link.txCursor[i];
    link.txCrc = BcspCrcUpdate(link.txCrc, byte);
    BcspPutEscapedByte(byte);
  }
  // An empty following segment is skipped, so the frame never stalls on it.
  link.txCursor = link.txNextLength > 0 ? link.txNext : nullptr;
  link.txRemaining = link.txNextLength > 0 ? link.txNextLength : 0;
  link.txNext = nullptr;
  link.txNextLength = 0;
  if (link.txCursor != nullptr) return false;

  if (link.crcPending) {
    link.crcPending = false;
    const std::uint16_t crc = BcspCrcReverse(link.txCrc);
    link.crcBytes[0] = static_cast<std::uint8_t>(crc >> 8);
    link.crcBytes[1] = static_cast<std::uint8_t>(crc & 0xFF);
    link.txCursor = link.crcBytes.data();
    link.txRemaining = 2;
    return false;
  }
  // A pure acknowledgement goes ahead of a packet longer than one report,
  // which starts on the next call: the two share the packet's first report,
  // so the acknowledgement costs no request of its own.
  if (link.txPureAck && link.txQueued != nullptr)
    UartPutHeldDelimiter();
  else
    UartPutByte(kDelimiter);
  return true;
}

// Whether the packet's frame, even before escaping (both delimiters, header,
// payload, CRC), needs more than one output report.
bool FrameLongerThanReport(const BcspPacket& packet) {
  return std::size_t{packet.length} + 8 > kUartReportDataMax;
}

int BcspMatchLinkMessage(std::span<const std::uint8_t> payload) {
  // Only an exact 4-byte payload is a link-establishment message.
  if (payload.size() != 4) return kNoMatch;
  for (std::size_t index = 0; index < kLeMessages.size(); ++index) {
    if (std::equal(payload.begin(), payload.end(), kLeMessages[index].begin())) return static_cast<int>(index);
  }
  return kNoMatch;
}

std::uint8_t BcspHandleLinkMessage(std::span<const std::uint8_t> payload, std::uint8_t events) {
  BcspLinkContext& link = BcspLink;
  link.idleCountdown = 0;
  switch (BcspMatchLinkMessage(payload)) {
    case BCSP_LE_SYNC:
      BcspTrace("Recv SYNC");
      if (link.linkState < BCSP_LINK_ACTIVE) {
        link.leEvent = BCSP_LE_EVENT_SYNC;
      } else {
        BcspTrace("PEER RESET");
        BcspLinkReset();
        return BCSP_EVENT_PEER_RESET;
      }
      break;
    case BCSP_LE_SYNC_RESP:
      BcspTrace("Recv SYNC RESP");
      if (link.linkState < BCSP_LINK_INITIALIZED) {
        BcspTrace("Link Initialized");
        link.linkState = BCSP_LINK_INITIALIZED;
      }
      break;
    case BCSP_LE_CONF:
      BcspTrace("Recv CONF");
      if (link.linkState >= BCSP_LINK_INITIALIZED) link.leEvent = BCSP_LE_EVENT_CONF;
      break;
    case BCSP_LE_CONF_RESP:
      BcspTrace("Recv CONF RESP");
      if (link.linkState < BCSP_LINK_ACTIVE) {
        BcspTrace("Link Active");
        link.linkState = BCSP_LINK_ACTIVE;
        link.txRemaining = 0;
        return static_cast<std::uint8_t>(events | BCSP_EVENT_TX_DONE);
      }
      break;
    default:
      break;
  }
  return events;
}

// A complete frame is in rxHeader and the armed buffer. Returns event bits.
std::uint8_t BcspHandlePacket() {
  BcspLinkContext& link = BcspLink;
  const auto& header = link.rxHeader;
  if (static_cast<std::uint8_t>(header[0] + header[1] + header[2] + header[3]) != 0xFF) {
    link.ackPending = true;
    return 0;
  }

  BcspPacket& rx = *link.rxArmed;
  const bool reliable = (header[0] & 0x80) != 0;
  const bool crcPresent = (header[0] & 0x40) != 0;
  const std::uint8_t ack = (header[0] >> 3) & 0x07;
  const std::uint8_t seq = header[0] & 0x07;
  const std::uint8_t channel = header[1] & 0x0F;
  const std::int32_t length = (header[1] >> 4) | (header[2] << 4);

  if (crcPresent) {
    if (link.rxCount != length + 2) {
      link.ackPending = true;
      return 0;
    }
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : header) crc = BcspCrcUpdate(crc, byte);
    for (std::int32_t i = 0; i < length; ++i) crc = BcspCrcUpdate(crc, rx.data[i]);
    crc = BcspCrcReverse(crc);
    if (rx.data[length] != (crc >> 8) || rx.data[length + 1] != (crc & 0xFF)) {
      link.ackPending = true;
      return 0;
    }
  } else if (link.rxCount != length) {
    link.ackPending = true;
    return 0;
  }
  rx.reliable = reliable ? 1 : 0;
  rx.channel = channel;

  std::uint8_t events = 0;
  // With one packet in flight, only the next sequence number acknowledges it.
  // Link-establishment frames carry no acknowledgement (their ack field is 0).
  if (channel != BCSP_LE_CHANNEL && link.txQueued != nullptr && link.txQueued->reliable &&
      ack == ((link.txSeq + 1) & 0x07)) {
    link.txQueued = nullptr;
    link.txSeq = (link.txSeq + 1) & 0x07;
    link.idleCountdown = 0;
    events |= BCSP_EVENT_TX_DONE;
  }

  const std::span<const std::uint8_t> payload(rx.data, static_cast<std::size_t>(length));
  if (channel == BCSP_LE_CHANNEL) return BcspHandleLinkMessage(payload, events);

  if (length == 0 || link.linkState != BCSP_LINK_ACTIVE) return events;
  if (reliable) {
    link.ackPending = true;
    if (seq != link.rxExpected) return events;  // out of sequence: acknowledged again, not delivered
    link.rxExpected = (link.rxExpected + 1) & 0x07;
    events |= BCSP_EVENT_RX_RELIABLE;
  }
  rx.length = static_cast<std::uint16_t>(length);
  link.rxArmed = nullptr;
  return static_cast<std::uint8_t>(events | BCSP_EVENT_RX_PACKET);
}

void BcspStoreByte(std::uint8_t byte) {
  BcspLinkContext& link = BcspLink;
  if (link.rxCount < 0) {
    link.rxHeader[static_cast<std::size_t>(4 + link.rxCount)] = byte;
    ++link.rxCount;
  } else if (link.rxCount < link.rxArmed->length) {
    link.rxArmed->data[link.rxCount] = byte;
    ++link.rxCount;
  }
}

// Receives bytes until a packet is delivered or the queue is empty.
std::uint8_t BcspReceive() {
  BcspLinkContext& link = BcspLink;
  std::uint8_t events = 0;
  std::uint8_t byte = 0;
  while (link.rxArmed != nullptr && UartGetByte(byte)) {
    if (link.rxEscape) {
      link.rxEscape = false;
      if (byte == kEscapedDelimiter) {
        BcspStoreByte(kDelimiter);
        continue;
      }
      if (byte == kEscapedEscape) {
        BcspStoreByte(kEscape);
        continue;
      }
      // Any other byte after an escape damages the frame; a delimiter still ends it.
      link.rxDiscard = true;
      if (byte != kDelimiter) continue;
    }
    if (byte == kDelimiter) {
      if (link.rxDiscard) {
        link.rxDiscard = false;
        link.ackPending = true;
      } else if (link.rxCount >= 0) {
        events |= BcspHandlePacket();
        if (events & BCSP_EVENT_RX_RELIABLE) link.idleCountdown = 0;
      }
      link.rxCount = -4;
    } else if (byte == kEscape) {
      link.rxEscape = true;
    } else if (!link.rxDiscard) {
      BcspStoreByte(byte);
    }
  }
  return events;
}

}  // namespace

void BcspLinkReset() {
  BcspLinkContext& link = BcspLink;
  link.txSeq = 0;
  link.rxExpected = 0;
  link.txCursor = nullptr;
  link.txRemaining = 0;
  link.idleCountdown = 0;
  link.rxCount = -4;
  link.linkState = BCSP_LINK_UNINITIALIZED;
  link.leNext = BCSP_LE_SYNC;
  // A message of the old link still to be answered would steer the new set-up
  // (a CONF would make the next message "none" and SYNC would never go again).
  link.leEvent = BCSP_LE_EVENT_NONE;
  BcspTrace("Hello Link Uninitialized\n");
}

void BcspArmReceive(BcspPacket* packet) {
  BcspLink.rxArmed = packet;
  BcspLink.rxCount = -4;
}

void BcspQueuePacket(BcspPacket* packet) {
  if (BcspLink.txRemaining != 0 && BcspLink.txPureAck) BcspLink.ackPending = true;
  BcspLink.txQueued = packet;
  BcspLink.txRemaining = 0;
  BcspLink.txCursor = nullptr;
}

std::int8_t BcspPump(std::uint8_t* events) {
  BcspLinkContext& link = BcspLink;
  *events = 0;
  std::int8_t idleReload = 0;

  if (link.txRemaining != 0) {
    if (BcspSendSegment()) {
      if (link.txQueued != nullptr && !link.txQueued->reliable) {
        link.txQueued = nullptr;
        *events |= BCSP_EVENT_TX_DONE;
      }
      // A packet still queued behind a pure acknowledgement has not been sent yet.
      idleReload = link.txPureAck && link.txQueued != nullptr ? 0 : kBcspIdleCalls;
    }
  } else if (link.idleCountdown == 0) {
    link.txPureAck = false;
    if (link.leNext != BCSP_LE_NONE) {
      UartPutHeldDelimiter();
      BcspStartLeFrame(kLeMessages[link.leNext].data());
      link.idleCountdown = 0;
      link.leNext = kLeNextTable[link.leEvent][link.linkState];
      link.leEvent = BCSP_LE_EVENT_NONE;
      return 0;
    }
    if (link.leEvent & BCSP_LE_EVENT_CONF) {
      UartPutHeldDelimiter();
      BcspStartLeFrame(kLeMessages[BCSP_LE_CONF_RESP].data());
      link.leEvent = BCSP_LE_EVENT_NONE;
    } else if (link.txQueued != nullptr && !(link.ackPending && FrameLongerThanReport(*link.txQueued))) {
      const BcspPacket& packet = *link.txQueued;
      UartPutHeldDelimiter();
      link.dataHeader[0] = static_cast<std::uint8_t>((packet.reliable ? 0x80 : 0x00) | 0x40 |
                                                     (link.rxExpected << 3) | link.txSeq);
      link.dataHeader[1] = static_cast<std::uint8_t>((packet.channel & 0x0F) | ((packet.length << 4) & 0xF0));
      link.dataHeader[2] = static_cast<std::uint8_t>((packet.length >> 4) & 0xFF);
      BcspStartFrame(link.dataHeader.data(), true, packet.data, packet.length);
      link.ackPending = false;
    } else if (link.ackPending) {
      UartPutHeldDelimiter();
      link.ackHeader[0] = static_cast<std::uint8_t>(0x40 | (link.rxExpected << 3));
      link.ackHeader[1] = 0;
      link.ackHeader[2] = 0;
      BcspStartFrame(link.ackHeader.data(), true, nullptr, 0);
      link.ackPending = false;
      link.txPureAck = true;
    } else {
      idleReload = kBcspIdleCalls;
    }
  }

  const std::uint8_t received = BcspReceive();
  *events |= received;
  // A reliable packet or an acknowledgement received in the call that
  // completed a frame still lets the next frame start on the next call, so
  // that an acknowledgement owed or the next request never waits out the
  // idle calls behind the frame just sent.
  if (received & (BCSP_EVENT_RX_RELIABLE | BCSP_EVENT_TX_DONE)) idleReload = 0;

  if (link.idleCountdown > 0) {
    --link.idleCountdown;
  } else {
    link.idleCountdown = idleReload;
  }
  return link.idleCountdown;
}
