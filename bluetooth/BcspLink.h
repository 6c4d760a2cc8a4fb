#pragma once
// Host side of the BCSP link protocol on the bridged UART, cut down to what the
// DFU download needs: one packet in flight (window 1), one receive descriptor,
// no thread of its own. Frames are SLIP-delimited (0xC0, escape 0xDB) and carry
// a 4-byte header and a CRC-16 trailer; channel 1 carries the link-establishment
// handshake (SYNC, SYNC RESP, CONF, CONF RESP).
//
// One global instance, BcspLink, driven by repeated BcspPump calls from the
// upgrade thread. It never allocates: the caller owns the packet descriptors
// and their buffers, the link keeps pointers to them. The wire is reached only
// through UartPutByte / UartGetByte.
#include <array>
#include <cstdint>
#include <span>

// A packet to send, or a receive descriptor.
struct BcspPacket {
  std::uint8_t channel = 0;   // low 4 bits: BCSP channel 0..15
  std::uint8_t reliable = 0;  // 0 or 1
  // To send: payload bytes. To receive: the buffer's capacity when armed,
  // replaced by the received payload length when a packet is delivered.
  std::uint16_t length = 0;
  std::uint8_t* data = nullptr;
};

inline constexpr std::uint8_t BCSP_LINK_UNINITIALIZED = 0;
inline constexpr std::uint8_t BCSP_LINK_INITIALIZED = 1;
inline constexpr std::uint8_t BCSP_LINK_ACTIVE = 2;

// Link-establishment messages, the values of leNext.
inline constexpr std::uint8_t BCSP_LE_SYNC = 0;
inline constexpr std::uint8_t BCSP_LE_SYNC_RESP = 1;
inline constexpr std::uint8_t BCSP_LE_CONF = 2;
inline constexpr std::uint8_t BCSP_LE_CONF_RESP = 3;
inline constexpr std::uint8_t BCSP_LE_NONE = 4;

// Received link-establishment messages that still need an answer (leEvent).
inline constexpr std::uint8_t BCSP_LE_EVENT_NONE = 0;
inline constexpr std::uint8_t BCSP_LE_EVENT_SYNC = 1;
inline constexpr std::uint8_t BCSP_LE_EVENT_CONF = 2;

// Event bits reported by BcspPump.
inline constexpr std::uint8_t BCSP_EVENT_TX_DONE = 0x01;      // queued packet acknowledged / sent, or link became Active
inline constexpr std::uint8_t BCSP_EVENT_RX_PACKET = 0x02;    // a packet was delivered; the descriptor is disarmed
inline constexpr std::uint8_t BCSP_EVENT_PEER_RESET = 0x04;   // the chip restarted link establishment
inline constexpr std::uint8_t BCSP_EVENT_RX_RELIABLE = 0x08;  // the delivered packet was reliable

inline constexpr std::uint8_t BCSP_LE_CHANNEL = 1;
inline constexpr std::int8_t kBcspIdleCalls = 10;

// The link's whole state. Fields keep the protocol's names; the DFU layer
// reads linkState directly.
struct BcspLinkContext {
  std::uint8_t linkState = BCSP_LINK_UNINITIALIZED;
  std::uint8_t leEvent = BCSP_LE_EVENT_NONE;
  std::uint8_t leNext = BCSP_LE_SYNC;
  std::uint8_t txSeq = 0;       // 3 bits: seq of the reliable packet being sent
  std::uint8_t rxExpected = 0;  // 3 bits: seq expected next from the chip, sent as our ack
  bool ackPending = false;
  BcspPacket* txQueued = nullptr;
  BcspPacket* rxArmed = nullptr;
  // -4 at the start of a frame (header bytes go to rxHeader[4 + rxCount]),
  // then the number of bytes stored in the receive buffer.
  std::int32_t rxCount = -4;
  bool rxEscape = false;
  bool rxDiscard = false;  // the frame under reception is damaged; skip to the next delimiter
  std::array<std::uint8_t, 4> rxHeader{};

  const std::uint8_t* txCursor = nullptr;
  std::int32_t txRemaining = 0;
  const std::uint8_t* txNext = nullptr;
  std::int32_t txNextLength = 0;
  bool crcPending = false;
  std::uint16_t txCrc = 0xFFFF;
  // The frame under way is a pure acknowledgement: abandoning it leaves the
  // acknowledgement owed, and a packet it went ahead of follows at once.
  bool txPureAck = false;

  std::int8_t idleCountdown = 0;
  std::array<std::uint8_t, 4> dataHeader{};
  std::array<std::uint8_t, 4> ackHeader{};
  std::array<std::uint8_t, 2> crcBytes{};
};

extern BcspLinkContext BcspLink;

extern const std::array<std::uint8_t, 4> kLeHeader;
extern const std::array<std::array<std::uint8_t, 4>, 4> kLeMessages;
extern const std::array<std::array<std::uint8_t, 4>, 3> kLeNextTable;
extern const std::array<std::uint16_t, 16> kBcspCrcTable;

// Clears the sequence counters, the transmit cursor, the countdown and any
// link message still to be answered, and restarts link establishment
// (Uninitialized, next message SYNC). The queued packet and the armed
// descriptor survive.
void BcspLinkReset();

// Arms `packet` (its length set to the buffer's capacity) to receive the next packet.
void BcspArmReceive(BcspPacket* packet);

// Makes `packet` the one to send; a frame under way is abandoned (an
// abandoned pure acknowledgement is still owed).
void BcspQueuePacket(BcspPacket* packet);

// One step: sends at most one segment of a frame, then takes received bytes
// until a packet is delivered or none is waiting. An acknowledgement owed to
// the chip goes out in a frame of its own ahead of a queued packet whose
// frame is longer than one output report, so that the chip has it after one
// report instead of after the whole frame; otherwise it rides in the packet's
// header. Sets *events to the BCSP_EVENT_ bits of this step. Returns the idle
// countdown: 0 = call again at once, n > 0 = nothing urgent to send for the
// next n calls.
std::int8_t BcspPump(std::uint8_t* events);

// CRC register step for one byte (CRC-16/MCRF4XX register, nibble-wise), and
// the bit reversal applied to the final register before it is sent high byte first.
std::uint16_t BcspCrcUpdate(std::uint16_t crc, std::uint8_t byte);
std::uint16_t BcspCrcReverse(std::uint16_t crc);
